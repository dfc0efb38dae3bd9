// One market observation: eight signed 64-bit integers, in the same order in
// memory, in the tick file and in the Python class. A plain value; owns nothing.
//
// A high, low, bid or ask that is zero or negative is not given; a zero bid or
// ask is the normal encoding of an empty side. The functions below are the one
// reading of that rule: every engine and the run loop decode a tick through them.
#pragma once

#include <cstdint>
#include <optional>

#include "tm_types/fixed.h"
#include "tm_types/time.h"

namespace tm_types {

struct Tick {
  Nanos exch_ts = 0;   // venue time; the clock of the simulation
  Nanos local_ts = 0;  // receive time; carried into fills unchanged
  std::int64_t last = 0;
  std::int64_t high = 0;
  std::int64_t low = 0;
  std::int64_t bid = 0;
  std::int64_t ask = 0;
  std::int64_t volume = 0;  // cumulative, in lots

  friend constexpr bool operator==(const Tick&, const Tick&) = default;
};

static_assert(sizeof(Tick) == 64, "the tick file stores Tick records byte for byte");

// An optional price field as given: present when above zero.
constexpr std::optional<Price> given(std::int64_t field) {
  return field > 0 ? std::optional<Price>(field) : std::nullopt;
}
constexpr std::optional<Price> high(const Tick& t) { return given(t.high); }
constexpr std::optional<Price> low(const Tick& t) { return given(t.low); }
constexpr std::optional<Price> bid(const Tick& t) { return given(t.bid); }
constexpr std::optional<Price> ask(const Tick& t) { return given(t.ask); }

// The field, or `last` in its place when it is not given.
constexpr Price high_or_last(const Tick& t) { return t.high > 0 ? t.high : t.last; }
constexpr Price low_or_last(const Tick& t) { return t.low > 0 ? t.low : t.last; }
constexpr Price bid_or_last(const Tick& t) { return t.bid > 0 ? t.bid : t.last; }
constexpr Price ask_or_last(const Tick& t) { return t.ask > 0 ? t.ask : t.last; }

}  // namespace tm_types
