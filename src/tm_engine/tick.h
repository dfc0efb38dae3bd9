// One market observation: eight signed 64-bit integers, in the same order in
// memory, in the tick file and in the Python class. A plain value; owns nothing.
//
// Readers treat a high, low, bid or ask that is zero or negative as not given and
// use `last` in its place; a zero bid/ask is the normal encoding of an empty side.
#pragma once

#include <cstdint>

#include "tm_types/time.h"

namespace tm_engine {

struct Tick {
  tm_types::Nanos exch_ts = 0;   // venue time; the clock of the simulation
  tm_types::Nanos local_ts = 0;  // receive time; carried into fills unchanged
  std::int64_t last = 0;
  std::int64_t high = 0;
  std::int64_t low = 0;
  std::int64_t bid = 0;
  std::int64_t ask = 0;
  std::int64_t volume = 0;  // cumulative, in lots

  friend constexpr bool operator==(const Tick&, const Tick&) = default;
};

static_assert(sizeof(Tick) == 64, "the tick file stores Tick records byte for byte");

}  // namespace tm_engine
