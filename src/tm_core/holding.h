// One instrument's holding inside the account: its two legs with their exact
// cost memos, its execution engine, margin table and contract, and the record
// of a liquidated holding.
#pragma once

#include <cstdint>

#include "tm_engine/matcher.h"
#include "tm_margin/margin_table.h"
#include "tm_types/fill.h"
#include "tm_types/fixed.h"
#include "tm_types/ids.h"
#include "tm_types/time.h"

namespace tm_core {

using tm_engine::Matcher;
using tm_types::Cash;
using tm_types::i128;
using tm_types::InstrumentId;
using tm_types::Nanos;
using tm_types::Price;
using tm_types::QtyLots;

// The exact cost of a leg together with the (qty, entry) it belongs to. A leg
// whose (qty, entry) no longer matches reads |qty| x entry x size instead.
struct CostBasis {
  i128 cost = 0;
  QtyLots qty = 0;
  Price entry = 0;
  friend constexpr bool operator==(const CostBasis&, const CostBasis&) = default;
};

// Leg 0 is the long leg (the signed net position in one-leg mode); leg 1 the short leg.
enum class Leg : std::uint8_t { Long = 0, Short = 1 };

// One liquidated holding, as the kernel reports it.
struct Liquidated {
  InstrumentId instrument = 0;
  Nanos at = 0;
  Price price = 0;
  QtyLots qty = 0;     // position + short_position before the close
  Cash balance = 0;    // the settlement balance after the liquidation
  Cash forfeited = 0;  // set on the last record of one liquidation, 0 on the others
  QtyLots position = 0;
  QtyLots short_position = 0;
  friend constexpr bool operator==(const Liquidated&, const Liquidated&) = default;
};

struct Holding {
  Holding(InstrumentId instrument, Matcher matcher, tm_margin::MarginTable tiers,
          tm_margin::Contract contract);
  Holding(Holding&&) noexcept = default;
  Holding& operator=(Holding&&) noexcept = default;
  Holding(const Holding&) = delete;
  Holding& operator=(const Holding&) = delete;

  // The leg's exact cost by the memo rules: 0 when flat, the memo's cost when
  // the memo belongs to the leg's (qty, entry), else |qty| x entry x size.
  [[nodiscard]] i128 leg_cost(Leg leg) const;
  // Adds n >= 1 lots at price to the leg; the new entry is the exact cost over
  // the new size, truncated toward zero. direction (+1/-1) signs a flat net leg.
  void add_to_leg(Leg leg, QtyLots n, Price price, std::int64_t direction);
  // Closes up to qty lots of the leg at price and returns the realised profit
  // (negative for a loss); the caller books it. A partial close keeps the entry.
  [[nodiscard]] Cash close_leg(Leg leg, QtyLots qty, Price price);

  bool is_flat() const { return position == 0 && short_position == 0; }
  // The unrealised result of both legs, and their maintenance margin, with
  // both legs valued at price; a flat leg contributes 0 to each.
  [[nodiscard]] Cash unrealized_at(Price price) const;
  [[nodiscard]] Cash maintenance_at(Price price) const;
  // The same at the holding's mark.
  [[nodiscard]] Cash unrealized_at_mark() const { return unrealized_at(mark); }
  // The lots a fill of qty would book: a close in two-leg mode books at most
  // what its leg holds (nothing against a flat leg); any other fill books qty.
  [[nodiscard]] QtyLots lots_booked(const tm_types::Fill& fill, bool two_leg) const;

  CostBasis long_basis;
  CostBasis short_basis;
  Matcher matcher;
  tm_margin::MarginTable tiers;
  tm_margin::Contract contract;
  QtyLots position = 0;        // long leg; in one-leg mode the signed net position
  Price entry = 0;             // 0 exactly when position is 0
  QtyLots short_position = 0;  // <= 0; always 0 in one-leg mode
  Price short_entry = 0;
  Price mark = 0;  // last traded price; 0 before the first tick
  InstrumentId instrument = 0;
};

}  // namespace tm_core
