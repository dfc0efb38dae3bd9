// The depth file: DepthRecord rows in the tick file's layout (a 32-byte header
// with count, instrument and CRC-32, then 64-byte records), told apart by its
// magic "TMDP". DepthFileWriter writes one chunk at a time with the tick
// file's atomic replacement; DepthReader streams it back a block at a time.
// The byte layout is described as a grammar in doc/depth_file.md.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <variant>
#include <vector>

#include "tm_data/tick_file.h"
#include "tm_data/tick_writer.h"
#include "tm_types/depth_record.h"

namespace tm_data {

inline constexpr std::uint32_t kDepthMagic = 0x50444D54;  // "TMDP" read as little-endian

// The text of a failure to read a depth file: the tick file's messages, with
// the magic and backwards cases worded for depth rows.
std::string depth_error_message(const Error& error);

class DepthFileWriter;
// An open writer, or the operating system's error text.
using DepthWriterResult = std::variant<DepthFileWriter, std::string>;

class DepthFileWriter {
 public:
  [[nodiscard]] static DepthWriterResult open(const std::string& path, std::uint64_t instrument);

  // Appends `rows` after those written so far. A chunk with a row that breaks
  // a rule of tm_types::check, or whose exchange time is below the previous
  // row's, is refused whole with "depth row I: ..." (I counts the rows of the
  // file before it) and the writer stays usable; an operating system error
  // aborts the writer. REQUIRES: is_open().
  [[nodiscard]] std::optional<std::string> append(std::span<const tm_types::DepthRecord> rows);
  // Writes the header and commits the file; closed afterwards whatever the outcome.
  [[nodiscard]] std::optional<std::string> finish() { return ticks_.finish(); }
  void abort() noexcept { ticks_.abort(); }
  bool is_open() const { return ticks_.is_open(); }
  std::uint64_t count() const { return ticks_.count(); }

 private:
  explicit DepthFileWriter(TickFileWriter ticks) : ticks_(std::move(ticks)) {}

  TickFileWriter ticks_;
  std::vector<tm_types::Tick> block_;  // the rows of a chunk as the writer takes them
  tm_types::Nanos last_ = INT64_MIN;   // exchange time of the last row written
};

class DepthReader;
using DepthOpenResult = std::variant<DepthReader, std::string>;

// Streams the rows of one depth file in file order, checking the checksum,
// the order of exchange times and each row's rules; memory is one block.
class DepthReader {
 public:
  // Opens `path`; the text of the failure otherwise (without the path).
  [[nodiscard]] static DepthOpenResult open(const std::string& path);

  std::uint64_t count() const { return reader_.count(); }
  std::uint64_t instrument() const { return reader_.instrument(); }
  // The next row, valid until the next call, or nullptr at the end and at the
  // first error, which error() then holds.
  const tm_types::DepthRecord* next();
  const std::optional<std::string>& error() const { return error_; }

 private:
  explicit DepthReader(TickReader reader) : reader_(std::move(reader)) {}

  TickReader reader_;
  tm_types::DepthRecord row_;
  std::optional<std::string> error_;
};

}  // namespace tm_data
