// The boundary between the run loop and whatever decides trades: the Context a
// strategy sees, the Intents it answers with, the notices the loop derives from
// the account, and the Strategy concept. Types only; no behaviour.
#pragma once

#include <concepts>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <variant>
#include <vector>

#include "tm_types/fixed.h"
#include "tm_types/ids.h"
#include "tm_types/order.h"
#include "tm_types/tick.h"
#include "tm_types/time.h"

namespace tm_core {
class Kernel;
}

namespace tm_strategy {

using tm_types::Cash;
using tm_types::InstrumentId;
using tm_types::OrderId;
using tm_types::Price;
using tm_types::QtyLots;

// What a strategy sees on one call, built fresh by the run loop for every call.
// Passed by shared reference; a strategy must not keep it beyond the call.
struct Context {
  tm_types::Tick tick;
  QtyLots position = 0;        // net position (one-leg) or long leg (two-leg)
  Price entry = 0;             // 0 when flat
  QtyLots short_position = 0;  // the short leg as the account holds it (<= 0); 0 in one-leg mode
  Price short_entry = 0;
  Cash equity = 0;
  std::uint64_t working = 0;  // how many orders the kernel lists as working
  InstrumentId instrument = 0;
  // The account and its engines as they stand during this call, for a strategy
  // that looks at its working orders; null when the caller offers none.
  const tm_core::Kernel* kernel = nullptr;
};

struct Cancel {
  OrderId id = 0;
  friend constexpr bool operator==(const Cancel&, const Cancel&) = default;
};
struct CancelAll {
  friend constexpr bool operator==(const CancelAll&, const CancelAll&) = default;
};

// One request from a strategy: place an order, cancel one, or cancel all.
// The variant index is the fixed tag (0..2).
using Intent = std::variant<tm_types::Order, Cancel, CancelAll>;

// Why an order stopped working.
enum class Ending : std::uint8_t { Filled = 0, Cancelled = 1 };

// A position leg closed by the venue (by liquidation).
struct VenueClosed {
  InstrumentId instrument = 0;
  tm_types::Side side = tm_types::Side::Buy;  // Buy: the long or net leg; Sell: the short leg
  QtyLots qty = 0;                            // positive
  Price price = 0;
  tm_types::Nanos at = 0;
};

// A strategy appends zero or more intents per call and never removes or
// reorders entries already in the list. `name` is read once, after the run.
// A strategy may also offer `bool finished() const`, true once it will never
// append an intent again; the run loop may then stop calling it and skip work
// that can no longer change the result.
template <class S>
concept Strategy = requires(S& s, const Context& ctx, std::vector<Intent>& intents) {
  s.on_tick(ctx, intents);
  { s.name() } -> std::convertible_to<std::string>;
};

// A strategy that gathers ticks between calls may also offer
// `std::span<std::byte> room_to_keep()`, room for the coming ticks it would
// only keep (sizeof(Tick) bytes each; empty when the next tick may lead to a
// call), and `kept(n)`, which takes the first n ticks written there: together
// they do for those ticks all that on_tick would do with any Context around
// them. The run loop hands ticks over this way only while nothing it would
// put in their Contexts but the tick itself can change.
template <class S>
concept KeepsTicks = Strategy<S> && requires(S& s, std::uint64_t n) {
  { s.room_to_keep() } -> std::same_as<std::span<std::byte>>;
  s.kept(n);
};

}  // namespace tm_strategy
