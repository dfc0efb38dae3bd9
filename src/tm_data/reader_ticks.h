// ReaderTicks: a TickReader as a stream of ticks for the run loop. next() hands out a
// pointer into the reader's block, so a tick costs no copy; the stream stops at
// the first error, which the source keeps for the caller to report.
#pragma once

#include <cstdint>
#include <optional>

#include "tm_data/tick_file.h"
#include "tm_types/tick.h"

namespace tm_data {

class ReaderTicks {
 public:
  // Borrows `reader`, which must outlive this stream and is advanced by it.
  explicit ReaderTicks(TickReader& reader) : reader_(reader), start_(reader.delivered()) {}
  ReaderTicks(const ReaderTicks&) = delete;
  ReaderTicks& operator=(const ReaderTicks&) = delete;

  // The next tick, valid until the next call; nullptr at the end of the stream
  // and at the first error (and on every call after either).
  const tm_types::Tick* next() { return reader_.next_tick(); }
  // The error that stopped the stream, if one did.
  const std::optional<Error>& error() const { return reader_.error(); }
  // Ticks this stream has handed out.
  std::uint64_t delivered() const { return reader_.delivered() - start_; }

 private:
  TickReader& reader_;
  std::uint64_t start_;
};

}  // namespace tm_data
