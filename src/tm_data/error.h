// The expected failures of reading a tick file: a tagged value per case with the
// figures it reports, and its fixed message. The messages live in one table in
// error.cpp; the callers prefix them with the file's path.
#pragma once

#include <cstdint>
#include <string>
#include <variant>

#include "tm_types/time.h"

namespace tm_data {

// The file ended (or could not be opened or read) before `needed` bytes; the
// data available stopped at file offset `available`.
struct Truncated {
  std::uint64_t needed = 0;
  std::uint64_t available = 0;
  friend bool operator==(const Truncated&, const Truncated&) = default;
};

// The first four bytes, read as a little-endian 32-bit value, are not "TMTK".
struct BadMagic {
  std::uint32_t magic = 0;
  friend bool operator==(const BadMagic&, const BadMagic&) = default;
};

// The header's version is not the one this reader understands.
struct UnknownVersion {
  std::uint16_t version = 0;
  friend bool operator==(const UnknownVersion&, const UnknownVersion&) = default;
};

// The CRC-32 of the record area differs from the one stored in the header.
struct ChecksumMismatch {
  std::uint32_t expected = 0;  // stored in the header
  std::uint32_t computed = 0;
  friend bool operator==(const ChecksumMismatch&, const ChecksumMismatch&) = default;
};

// A tick's exchange time is less than the previous tick's. `index` is the
// number of ticks delivered before the offending one.
struct Backwards {
  std::uint64_t index = 0;
  tm_types::Nanos previous = 0;
  tm_types::Nanos found = 0;
  friend bool operator==(const Backwards&, const Backwards&) = default;
};

// The cases in the order of their kinds; the order is part of the API.
enum class ErrorKind : std::uint8_t {
  kTruncated = 0,
  kBadMagic = 1,
  kUnknownVersion = 2,
  kChecksumMismatch = 3,
  kBackwards = 4,
};

class Error {
 public:
  using Case = std::variant<Truncated, BadMagic, UnknownVersion, ChecksumMismatch, Backwards>;

  // Every case converts to an Error implicitly.
  Error(Truncated e) : case_(e) {}         // NOLINT(google-explicit-constructor)
  Error(BadMagic e) : case_(e) {}          // NOLINT(google-explicit-constructor)
  Error(UnknownVersion e) : case_(e) {}    // NOLINT(google-explicit-constructor)
  Error(ChecksumMismatch e) : case_(e) {}  // NOLINT(google-explicit-constructor)
  Error(Backwards e) : case_(e) {}         // NOLINT(google-explicit-constructor)

  ErrorKind kind() const { return static_cast<ErrorKind>(case_.index()); }
  const Case& detail() const { return case_; }
  // The case's figures, or nullptr when the error is of another kind.
  template <class T>
  const T* get_if() const {
    return std::get_if<T>(&case_);
  }

  // The fixed message with its figures filled in, e.g.
  // "truncated: needed 32 bytes, 0 available".
  std::string message() const;

  friend bool operator==(const Error&, const Error&) = default;

 private:
  Case case_;
};

}  // namespace tm_data
