// PipedWriter: writes a long run of ticks to a file descriptor on two threads
// at once. A worker thread checks the ticks' order, copies them into a ring of
// page-aligned buffers (each placed at the file position's offset within a
// page, as BounceWriter places its one) and extends the checksum, while the
// calling thread writes the buffers the worker has filled. Memory is bounded
// by the ring; the worker never outlives a call to write(). Only the calling
// thread writes to the descriptor and asks the StopAsked. Short runs, and any
// run when no worker can be started, are checked and then bounced out on the
// calling thread alone, with the same results.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <variant>

#include "tm_data/bounce_writer.h"
#include "tm_data/stop_asked.h"
#include "tm_types/tick.h"

namespace tm_data {

// The index of the first tick of `ticks` whose exchange time is below its
// predecessor's (`previous` for the first), or ticks.size().
[[nodiscard]] std::size_t first_backwards(std::span<const tm_types::Tick> ticks,
                                          tm_types::Nanos previous);

// A piped write ended by a tick going backwards: its index among the ticks
// given, and whether bytes of the ticks before it had reached the descriptor.
struct OutOfOrder {
  std::size_t index = 0;
  bool wrote = false;
};
// Why a piped write ended early: ticks out of order, or an errno value
// (ECANCELED when the StopAsked answered true).
using PipeFailure = std::variant<OutOfOrder, int>;

class PipedWriter {
 public:
  // Runs shorter than this go faster on the calling thread alone: the worker
  // costs some tens of microseconds to start.
  static constexpr std::size_t kMinBytes = std::size_t{4} << 20;
  // The ring: kSlots buffers of kSlotBytes, a multiple of the page.
  static constexpr std::size_t kSlotBytes = std::size_t{1} << 20;
  static constexpr std::size_t kSlots = 4;

  PipedWriter() = default;  // allocates the bounce buffer
  PipedWriter(PipedWriter&&) noexcept = default;
  PipedWriter& operator=(PipedWriter&&) noexcept = default;
  PipedWriter(const PipedWriter&) = delete;
  PipedWriter& operator=(const PipedWriter&) = delete;

  // Writes the records of `ticks` to `fd` at its current position, which is
  // `offset` bytes into the file (as for BounceWriter::write), retrying short
  // writes, and extends `*crc` over them when `crc` is given. With `previous`,
  // the exchange times must not decrease from it on: the first tick that
  // does ends the write before any byte of its buffer is written. On any
  // failure `*crc` is left as it was and the descriptor holds an unspecified
  // prefix of the records. `stop` is asked every BounceWriter::kPollBytes
  // (counted across calls) and whenever a signal interrupts a write. Throws
  // std::bad_alloc when the ring cannot be had.
  [[nodiscard]] std::optional<PipeFailure> write(int fd, std::uint64_t offset,
                                                 std::span<const tm_types::Tick> ticks,
                                                 std::uint32_t* crc,
                                                 std::optional<tm_types::Nanos> previous,
                                                 const StopAsked& stop = {});

 private:
  struct Free {
    void operator()(std::uint8_t* p) const noexcept;
  };
  // write() on the calling thread alone.
  std::optional<PipeFailure> write_alone(int fd, std::uint64_t offset,
                                         std::span<const tm_types::Tick> ticks, std::uint32_t* crc,
                                         std::optional<tm_types::Nanos> previous,
                                         const StopAsked& stop);

  BounceWriter bounce_;                       // for short runs
  std::unique_ptr<std::uint8_t, Free> ring_;  // kSlots * kSlotBytes, taken at the first long run
  std::size_t unpolled_ = 0;                  // bytes written since `stop` was last asked
};

}  // namespace tm_data
