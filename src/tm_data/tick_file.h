// The tick file: `encode` turns ticks into the bytes of a file, and TickReader
// streams them back a block of 8,192 records at a time, checking the order of
// exchange times and the checksum as it goes. The byte layout is described as a
// grammar in doc/tick_file.md.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <variant>
#include <vector>

#include "tm_data/error.h"
#include "tm_data/stop_asked.h"
#include "tm_types/tick.h"

namespace tm_data {

inline constexpr std::uint32_t kMagic = 0x4B544D54;  // "TMTK" read as little-endian
inline constexpr std::uint16_t kVersion = 2;
inline constexpr std::size_t kHeaderBytes = 32;
inline constexpr std::size_t kRecordBytes = 64;
inline constexpr std::size_t kBlockRecords = 8192;
inline constexpr std::size_t kBlockBytes = kBlockRecords * kRecordBytes;
static_assert(kBlockBytes == 524288, "a block is 512 KiB");
static_assert(sizeof(tm_types::Tick) == kRecordBytes, "a record is a Tick byte for byte");

// The bytes of a tick file holding `ticks` in the order given (their order is
// not checked): the 32-byte header, then 64 bytes per tick. Never fails.
[[nodiscard]] std::vector<std::uint8_t> encode(std::uint64_t instrument,
                                               std::span<const tm_types::Tick> ticks);

// The 32-byte header of a file of `count` records of `instrument` whose
// records have the CRC-32 `checksum`. Another file kind built on this layout
// (the depth file) passes its own `magic`.
[[nodiscard]] std::array<std::uint8_t, kHeaderBytes> encode_header(std::uint64_t instrument,
                                                                   std::uint64_t count,
                                                                   std::uint32_t checksum,
                                                                   std::uint32_t magic = kMagic);

class TickReader;
// An open reader, or why the file could not be opened.
using OpenResult = std::variant<TickReader, Error>;

// Streams the ticks of one file in file order. Opening reads and checks the
// header only. Memory is one 512 KiB block whatever the file size. A reader is
// consumed by reading it; to read a file twice, open it twice.
class TickReader {
 public:
  using Item = std::variant<tm_types::Tick, Error>;

  // Opens `path` read-only. A file that cannot be opened or holds fewer than 32
  // bytes is Truncated{32, 0}; then the magic and the version are checked.
  // A file that is not a regular file (a FIFO) is read as its data comes,
  // without blocking in open() or read(): `stop` is asked while none comes,
  // and once it answers true the stream ends as if the file ended there.
  // A file kind built on this layout passes its own `magic`.
  [[nodiscard]] static OpenResult open(const std::string& path, StopAsked stop = {},
                                       std::uint32_t magic = kMagic);
  // As open, over a descriptor positioned at the header, which the reader owns
  // from here on (it is closed also when the header is refused).
  [[nodiscard]] static OpenResult open_fd(int fd, StopAsked stop = {},
                                          std::uint32_t magic = kMagic);

  TickReader(TickReader&& other) noexcept;
  TickReader& operator=(TickReader&& other) noexcept;
  TickReader(const TickReader&) = delete;
  TickReader& operator=(const TickReader&) = delete;
  ~TickReader();

  // Records the header claims.
  std::uint64_t count() const { return count_; }
  // The instrument the file was written for.
  std::uint64_t instrument() const { return instrument_; }
  // Ticks handed out so far; also the index of the next one.
  std::uint64_t delivered() const { return delivered_; }

  // The next tick, or the error that ends the stream (returned once), or
  // nothing at the normal end and after an error.
  [[nodiscard]] std::optional<Item> next();

  // The same stream without copying: the next tick, valid until the next call,
  // or nullptr at the end or at an error, which error() then holds.
  const tm_types::Tick* next_tick();
  // The error that ended the stream, if one did.
  const std::optional<Error>& error() const { return error_; }

 private:
  TickReader(int fd, std::uint64_t count, std::uint64_t instrument, std::uint32_t checksum,
             std::optional<StopAsked> waits);

  // Reads the next block into the buffer. False at the end of the records or at
  // an error (then kept in error_).
  bool refill();
  const tm_types::Tick* fail(Error error);

  int fd_ = -1;
  // Set for a file that is not a regular file: reads wait for data with poll()
  // and ask the StopAsked held here between waits.
  std::optional<StopAsked> waits_;
  std::uint64_t count_ = 0;
  std::uint64_t instrument_ = 0;
  std::uint32_t stored_checksum_ = 0;
  std::uint32_t crc_ = 0;        // CRC of the records read so far
  std::uint64_t remaining_ = 0;  // records not yet read from the file
  std::uint64_t delivered_ = 0;
  tm_types::Nanos previous_ = 0;  // exchange time of the last tick handed out
  struct BlockDeleter {
    void operator()(tm_types::Tick* block) const noexcept;
  };
  // Room for min(count, 8,192) records, uninitialised until read into.
  std::unique_ptr<tm_types::Tick[], BlockDeleter> block_;
  const tm_types::Tick* cursor_ = nullptr;  // next tick of the block
  const tm_types::Tick* block_end_ = nullptr;
  bool finished_ = false;
  bool error_reported_ = false;  // next() has returned error_
  std::optional<Error> error_;
};

// The first tick is compared with the smallest time, which nothing precedes, so
// "no previous tick" needs no flag of its own.
inline const tm_types::Tick* TickReader::next_tick() {
  if (cursor_ == block_end_) [[unlikely]] {
    if (!refill()) return nullptr;
  }
  const tm_types::Tick* tick = cursor_;
  if (tick->exch_ts < previous_) [[unlikely]] {
    return fail(Backwards{delivered_, previous_, tick->exch_ts});
  }
  previous_ = tick->exch_ts;
  ++cursor_;
  ++delivered_;
  return tick;
}

}  // namespace tm_data
