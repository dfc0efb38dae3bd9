// The two pieces of exact money arithmetic applied to every fill: how much of
// a leg's exact cost basis a close releases (and what profit it realises), and
// what a fill costs in fees. Both round in one fixed way so that two runs over
// the same data agree to the last unit.
#pragma once

#include <cstdint>

#include "tm_margin/contract.h"
#include "tm_types/fill.h"
#include "tm_types/fixed.h"

namespace tm_core::cost {

using tm_types::Cash;
using tm_types::i128;
using tm_types::QtyLots;

struct Closed {
  i128 remaining = 0;  // the cost basis that stays with the lots still held
  Cash profit = 0;     // realised profit, negative for a loss
  friend constexpr bool operator==(const Closed&, const Closed&) = default;
};

// Closes `closing` lots of a leg of `held` lots (positive long, negative short)
// whose exact cost basis is `cost`, for `proceeds` = closing x price x size.
// The profit is the exact rational profit truncated toward zero; whatever the
// truncation leaves stays in the remaining cost, so any sequence of partial
// closes releases the whole cost, and closing the whole leg leaves exactly 0.
// REQUIRES: 1 <= closing <= |held|. held == 0 is an invariant failure.
[[nodiscard]] Closed close(i128 cost, QtyLots held, QtyLots closing, i128 proceeds);

// rate x notional / 10^9, the product exact, truncated toward zero and clamped;
// a negative rate is a rebate.
[[nodiscard]] Cash fee_at(Cash notional, std::int64_t rate);

// The fee of a fill: taker_fee when the fill's taker flag is set, else
// maker_fee, on the fill's notional under `contract`.
[[nodiscard]] Cash fill_fee(const tm_margin::Contract& contract, const tm_types::Fill& fill,
                            std::int64_t maker_fee, std::int64_t taker_fee);

}  // namespace tm_core::cost
