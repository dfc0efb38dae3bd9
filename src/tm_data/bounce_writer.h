// BounceWriter: writes bytes from anywhere in memory to a file descriptor
// through a buffer placed at the same offset within a page as the file
// position the bytes go to. The kernel moves written bytes into the page cache
// with the processor's string copy, which on some processors runs several
// times slower when source and destination sit at different offsets within
// 64 bytes (an array 16 bytes into a page, written after the tick file's
// 32-byte header, for one). The copy into the buffer is a plain vector loop
// without that penalty, over a piece small enough to stay in cache for the
// checksum and for the kernel's copy that follow it. A long write asks its
// StopAsked every kPollBytes and whenever a signal interrupts a wait, so that
// Ctrl-C ends it within milliseconds.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "tm_data/stop_asked.h"

namespace tm_data {

// Writes all `n` bytes at `data` to `fd`, retrying short writes. A write that a
// signal interrupts (a FIFO whose reader stalls, say) asks `stop` before it
// goes on waiting. False with errno set when a write fails, and with errno
// ECANCELED when `stop` answers true.
[[nodiscard]] bool write_all(int fd, const void* data, std::size_t n, const StopAsked& stop = {});

// Copies `n` bytes with 16-byte vector moves, never with the processor's string
// copy that memcpy picks for large sizes: the copy into a bounce buffer.
void copy_vectors(std::uint8_t* dst, const std::uint8_t* src, std::size_t n);

class BounceWriter {
 public:
  // Bytes copied and written at a time: a multiple of the page, well inside a
  // core's second-level cache.
  static constexpr std::size_t kPieceBytes = 256 * 1024;
  // Bytes written between two questions to a StopAsked: some 10 ms of
  // writing, counted across calls.
  static constexpr std::size_t kPollBytes = std::size_t{16} << 20;

  BounceWriter();
  BounceWriter(BounceWriter&&) noexcept = default;
  BounceWriter& operator=(BounceWriter&&) noexcept = default;
  BounceWriter(const BounceWriter&) = delete;
  BounceWriter& operator=(const BounceWriter&) = delete;

  // Writes the `n` bytes at `data` to `fd` at its current position, which is
  // `offset` bytes into the file (any value works; the true one makes the
  // copy fastest), retrying short writes. Extends `*crc` over the bytes when
  // `crc` is given. False with errno set when a write fails, and with errno
  // ECANCELED when `stop` answers true; `*crc` then covers an unspecified
  // prefix. REQUIRES: not moved from.
  [[nodiscard]] bool write(int fd, std::uint64_t offset, const void* data, std::size_t n,
                           std::uint32_t* crc, const StopAsked& stop = {});

 private:
  struct Free {
    void operator()(std::uint8_t* p) const noexcept;
  };
  std::unique_ptr<std::uint8_t, Free> buffer_;  // page-aligned, kPieceBytes long
  std::size_t unpolled_ = 0;                    // bytes written since `stop` was last asked
};

}  // namespace tm_data
