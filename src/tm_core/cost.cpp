#include "tm_core/cost.h"

namespace tm_core::cost {

using tm_types::sat_abs;
using tm_types::sat_add128;
using tm_types::sat_mul128;
using tm_types::sat_neg128;
using tm_types::sat_sub128;

Closed close(i128 cost, QtyLots held, QtyLots closing, i128 proceeds) {
  const i128 n = sat_abs(held);
  if (n == 0) tm_types::invariant_failure("division by zero");
  // Split the cost so the pro-rata share never overflows: cost = q x n + r, |r| < n.
  const i128 q = cost / n;
  const i128 r = cost - q * n;
  const i128 spread = r * closing;  // |r| < 2^63 and closing < 2^63: exact
  const bool exact = spread % n == 0;
  const i128 closed = sat_add128(sat_mul128(q, closing), spread / n);

  const bool is_long = held >= 1;
  const i128 diff = sat_sub128(proceeds, closed);
  i128 profit = is_long ? diff : sat_neg128(diff);
  // The pro-rata share was truncated toward zero; move the profit toward zero
  // as well where that truncation pushed it away from zero.
  if (!exact) {
    if (is_long && profit >= 1) {
      profit -= 1;
    } else if (!is_long && profit < 0) {
      profit += 1;
    }
  }
  const i128 released = sat_sub128(proceeds, is_long ? profit : sat_neg128(profit));
  const i128 remaining = closing == n ? 0 : sat_sub128(cost, released);
  return Closed{remaining, tm_types::clamp64(profit)};
}

Cash fee_at(Cash notional, std::int64_t rate) { return tm_margin::apply_rate(notional, rate); }

Cash fill_fee(const tm_margin::Contract& contract, const tm_types::Fill& fill,
              std::int64_t maker_fee, std::int64_t taker_fee) {
  return fee_at(contract.notional(fill.price, fill.qty), fill.taker ? taker_fee : maker_fee);
}

}  // namespace tm_core::cost
