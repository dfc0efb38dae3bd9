// ReaderSource: a TickReader as the run loop's tick source. next() hands out a
// pointer into the reader's block, so a tick costs no copy; the stream stops at
// the first error, which the source keeps for the caller to report.
#pragma once

#include <cstdint>
#include <optional>

#include "tm_data/ticks.h"
#include "tm_engine/tick.h"

namespace tm_data {

class ReaderSource {
 public:
  // Borrows `reader`, which must outlive this source and is advanced by it.
  explicit ReaderSource(TickReader& reader) : reader_(reader), start_(reader.delivered()) {}
  ReaderSource(const ReaderSource&) = delete;
  ReaderSource& operator=(const ReaderSource&) = delete;

  // The next tick, valid until the next call; nullptr at the end of the stream
  // and at the first error (and on every call after either).
  const tm_engine::Tick* next() { return reader_.next_tick(); }
  // The error that stopped the stream, if one did.
  const std::optional<Error>& error() const { return reader_.error(); }
  // Ticks this source has handed out.
  std::uint64_t delivered() const { return reader_.delivered() - start_; }

 private:
  TickReader& reader_;
  std::uint64_t start_;
};

}  // namespace tm_data
