// TickFileWriter: writes a tick file chunk after chunk, in memory bounded by
// the chunk the caller holds. The records go to the destination as they come
// with a running checksum; finish() completes the header (count and CRC) and
// only then makes the file appear at its path (see destination.h for where a
// write lands). A writer dropped unfinished leaves nothing behind.
//
//   auto opened = TickFileWriter::open("day.tmtk", 1);
//   auto& writer = std::get<TickFileWriter>(opened);
//   for (...) if (auto error = writer.append(chunk)) ...;   // refused chunk: nothing written
//   if (auto error = writer.finish()) ...;
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <variant>

#include "tm_data/destination.h"
#include "tm_data/error.h"
#include "tm_data/piped_writer.h"
#include "tm_data/tick_file.h"
#include "tm_types/tick.h"

namespace tm_data {

class TickFileWriter;
// An open writer, or the operating system's error text.
using WriterResult = std::variant<TickFileWriter, std::string>;
// Why append refused a chunk: its times go backwards (`index` counts the
// records of the file before the offending one), or the operating system's
// error text.
using AppendError = std::variant<Backwards, std::string>;

// Makes `ticks`, in the order given (not checked), the whole tick file at
// `path` of `instrument`: the bytes of encode(instrument, ticks), written by
// Destination's rule without a copy of the file in memory. The operating
// system's error text on failure; `stop` is asked as Destination::open and
// BounceWriter::write ask it.
[[nodiscard]] std::optional<std::string> write_tick_file(const std::string& path,
                                                         std::uint64_t instrument,
                                                         std::span<const tm_types::Tick> ticks,
                                                         const StopAsked& stop = {});

class TickFileWriter {
 public:
  // Opens the destination `path` for a file of `instrument`; `stop` as for
  // Destination::open. A file kind built on this layout passes its own `magic`.
  [[nodiscard]] static WriterResult open(const std::string& path, std::uint64_t instrument,
                                         const StopAsked& stop = {}, std::uint32_t magic = kMagic);

  TickFileWriter(TickFileWriter&& other) noexcept;
  TickFileWriter& operator=(TickFileWriter&& other) noexcept;
  TickFileWriter(const TickFileWriter&) = delete;
  TickFileWriter& operator=(const TickFileWriter&) = delete;
  // Aborts an unfinished writer.
  ~TickFileWriter() { abort(); }

  // Appends `ticks` after those written so far. A chunk whose exchange times
  // decrease, within it or from the last tick written, is refused whole, and
  // the writer stays usable. A chunk that `stop` ends (asked as
  // BounceWriter::write asks it) is taken back whole too, with the error text
  // of ECANCELED. After an operating system error the writer is aborted.
  // A chunk of PipedWriter::kMinBytes or more is checked, copied and
  // checksummed on a second thread while this one writes.
  // REQUIRES: is_open().
  [[nodiscard]] std::optional<AppendError> append(std::span<const tm_types::Tick> ticks,
                                                  const StopAsked& stop = {});
  // Writes the header and commits the file. The writer is closed afterwards,
  // whatever the outcome; on failure (`stop` answering true while a write to
  // a FIFO waits among them) nothing was committed. REQUIRES: is_open().
  [[nodiscard]] std::optional<std::string> finish(const StopAsked& stop = {});
  // Closes the writer and removes what it wrote. No effect once closed.
  void abort() noexcept;

  bool is_open() const { return open_; }
  // Records appended so far.
  std::uint64_t count() const { return count_; }

 private:
  TickFileWriter(Destination destination, int staging, std::uint64_t instrument)
      : destination_(std::move(destination)), staging_(staging), instrument_(instrument) {}
  // The descriptor the records go to.
  int records_fd() const { return staging_ >= 0 ? staging_ : destination_.fd(); }
  // The offset in records_fd() where the next record goes.
  std::uint64_t records_end() const {
    return (staging_ >= 0 ? 0 : kHeaderBytes) + count_ * kRecordBytes;
  }
  // The refusal of `ticks`, whose tick `index` goes backwards; takes back what
  // the chunk wrote from offset `start` on, if it `wrote`, with checksum `crc`.
  std::optional<AppendError> refuse(std::span<const tm_types::Tick> ticks, std::size_t index,
                                    bool wrote, std::uint64_t start, std::uint32_t crc);
  // After a write of the chunk from `start` on failed with errno `error`: a
  // stop takes the chunk back, any other error aborts the writer.
  std::optional<AppendError> failed_write(int error, std::uint64_t start, std::uint32_t crc);
  std::optional<std::string> write_header_and_staged(const StopAsked& stop);
  // Removes the records written from file offset `start` on and restores the
  // checksum `crc` they began with; an error aborts the writer.
  std::optional<AppendError> take_back(std::uint64_t start, std::uint32_t crc);

  Destination destination_;
  // An unnamed temporary file holding the records of a destination that cannot
  // seek back to its header (a FIFO); copied after the header by finish().
  int staging_ = -1;
  PipedWriter records_;
  std::uint64_t instrument_ = 0;
  std::uint32_t magic_ = kMagic;
  std::uint64_t count_ = 0;
  std::uint32_t crc_ = 0;
  tm_types::Nanos last_ = 0;  // exchange time of the last tick written
  bool open_ = true;
};

}  // namespace tm_data
