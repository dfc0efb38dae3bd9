// Contract and rate arithmetic: what a quantity is worth at a price, and a rate
// applied to an amount of money. Rates are integers in parts per 10^9 of
// notional; no floating point.
#pragma once

#include <cstdint>
#include <vector>

#include "tm_types/fixed.h"

namespace tm_margin {

using tm_types::Cash;
using tm_types::i128;
using tm_types::Price;
using tm_types::QtyLots;

// Parts-per-10^9 denominator of every rate (fees, margin, funding).
inline constexpr std::int64_t kRateScale = 1'000'000'000;

// rate x amount / 10^9: product exact in 128 bits, quotient truncated toward
// zero, result clamped to 64 bits.
// Products that fit 64 bits (every realistic one) divide in 64 bits.
constexpr Cash apply_rate(Cash amount, std::int64_t rate) {
  std::int64_t product;
  if (!__builtin_mul_overflow(amount, rate, &product)) return product / kRateScale;
  return tm_types::clamp64(tm_types::sat_mul128(amount, rate) / kRateScale);
}

// |qty| x price x size exact in 128 bits (saturating), as tm_types::lots_value128,
// with the products that fit 64 bits (every realistic position) formed in 64.
inline i128 leg_value(QtyLots qty, Price price, std::int64_t size) {
  std::int64_t lots_price, value;
  if (qty != tm_types::kI64Min &&
      !__builtin_mul_overflow(qty < 0 ? -qty : qty, price, &lots_price) &&
      !__builtin_mul_overflow(lots_price, size, &value)) {
    return value;
  }
  return tm_types::lots_value128(qty, price, size);
}

// lots x price in ticks x size is money in Cash.
struct Contract {
  std::int64_t size = 0;

  // |qty| x price x size, exact in 128 bits and clamped to 64. Sign of qty ignored.
  [[nodiscard]] Cash notional(Price price, QtyLots qty) const {
    return tm_types::clamp64(leg_value(qty, price, size));
  }
  // Open profit of a leg of qty lots (positive long, negative short) whose exact
  // cost basis is `cost`: value minus cost for a long, cost minus value for a
  // short, clamped to 64 bits. 0 for a flat leg.
  [[nodiscard]] Cash unrealized_from_cost(i128 cost, Price price, QtyLots qty) const {
    if (qty == 0) return 0;
    const i128 d = tm_types::sat_sub128(leg_value(qty, price, size), cost);
    return tm_types::clamp64(qty < 1 ? tm_types::sat_neg128(d) : d);
  }

  friend constexpr bool operator==(const Contract&, const Contract&) = default;
};

}  // namespace tm_margin
