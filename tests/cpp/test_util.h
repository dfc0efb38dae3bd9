// Builders shared by the C++ tests: ticks, orders, and a seeded source of
// small random choices, so a failing stream can be replayed from its seed.
#pragma once

#include <cstdint>
#include <random>

#include "tm_types/order.h"
#include "tm_types/tick.h"

namespace tm_test {

inline constexpr tm_types::Nanos kMs = 1'000'000;

// A tick received 1 ns after the venue stamped it.
inline tm_types::Tick tick(tm_types::Nanos t, std::int64_t last, std::int64_t high,
                           std::int64_t low, std::int64_t bid, std::int64_t ask,
                           std::int64_t volume = 0) {
  return tm_types::Tick{t, t + 1, last, high, low, bid, ask, volume};
}

// Orders opening exposure, placed at the given venue and receive times.
inline tm_types::Working limit(tm_types::OrderId id, tm_types::Side side, tm_types::Price price,
                               tm_types::QtyLots qty, tm_types::Nanos exch_ts = 0,
                               tm_types::Nanos local_ts = 0) {
  return tm_types::place(
      {id, side, tm_types::Offset::Open, qty, tm_types::OrderKind::limit(price), {}}, exch_ts,
      local_ts);
}
inline tm_types::Working market(tm_types::OrderId id, tm_types::Side side, tm_types::QtyLots qty,
                                tm_types::Nanos exch_ts = 0, tm_types::Nanos local_ts = 0) {
  return tm_types::place({id, side, tm_types::Offset::Open, qty, tm_types::OrderKind::market(), {}},
                         exch_ts, local_ts);
}

struct Rng {
  explicit Rng(std::uint64_t seed) : gen(seed) {}
  // Uniform in [lo, hi].
  std::int64_t in(std::int64_t lo, std::int64_t hi) {
    return std::uniform_int_distribution<std::int64_t>(lo, hi)(gen);
  }
  bool chance(int percent) { return in(0, 99) < percent; }
  std::mt19937_64 gen;
};

}  // namespace tm_test
