// The run loop's input: the TickStream concept (anything that hands out ticks
// one at a time) and SpanTicks, ticks held in memory.
#pragma once

#include <concepts>
#include <cstddef>
#include <span>

#include "tm_types/tick.h"

namespace tm_backtest {

// A stream of ticks taken one at a time; nullptr ends it (a stream may stop
// early). The pointer is valid until the next call; the loop copies the tick.
template <class T>
concept TickStream = requires(T& s) {
  { s.next() } -> std::same_as<const tm_types::Tick*>;
};

// Ticks held in memory. `ticks` must outlive the stream.
class SpanTicks {
 public:
  explicit SpanTicks(std::span<const tm_types::Tick> ticks) : ticks_(ticks) {}
  // Asks for the tick a kilobyte ahead as it hands out this one, so a long run
  // streams its ticks from memory instead of waiting for each.
  const tm_types::Tick* next() {
    if (pos_ + kAhead < ticks_.size()) __builtin_prefetch(&ticks_[pos_ + kAhead]);
    return pos_ < ticks_.size() ? &ticks_[pos_++] : nullptr;
  }

 private:
  static constexpr std::size_t kAhead = 16;

  std::span<const tm_types::Tick> ticks_;
  std::size_t pos_ = 0;
};

}  // namespace tm_backtest
