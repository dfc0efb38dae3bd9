#include "tm_margin/position.h"

namespace tm_margin {
namespace {

using tm_types::i128;

i128 mul(i128 a, i128 b) {
  i128 r;
  if (__builtin_mul_overflow(a, b, &r)) tm_types::invariant_failure(tm_types::kArithmeticOverflow);
  return r;
}
i128 add(i128 a, i128 b) {
  i128 r;
  if (__builtin_add_overflow(a, b, &r)) tm_types::invariant_failure(tm_types::kArithmeticOverflow);
  return r;
}
i128 sub(i128 a, i128 b) {
  i128 r;
  if (__builtin_sub_overflow(a, b, &r)) tm_types::invariant_failure(tm_types::kArithmeticOverflow);
  return r;
}
// Quotients rounded toward minus and plus infinity; REQUIRES: d >= 1.
i128 floor_div(i128 n, i128 d) {
  const i128 q = n / d;
  return (n % d != 0 && n < 0) ? q - 1 : q;
}
i128 ceil_div(i128 n, i128 d) {
  const i128 q = n / d;
  return (n % d != 0 && n > 0) ? q + 1 : q;
}
Price to_price(i128 v) {
  if (v > tm_types::kI64Max || v < tm_types::kI64Min) {
    tm_types::invariant_failure(tm_types::kArithmeticOverflow);
  }
  return static_cast<Price>(v);
}

}  // namespace

Cash MarginedPosition::unrealized(Price price) const {
  if (cost) return contract.unrealized_from_cost(*cost, price, qty);
  const i128 move = tm_types::sat_sub128(price, entry);
  return tm_types::clamp64(tm_types::sat_mul128(tm_types::sat_mul128(move, qty), contract.size));
}

bool MarginedPosition::is_liquidatable(const MarginTable& tiers, Price price) const {
  if (qty == 0) return false;
  const Cash equity = tm_types::sat_add(balance, unrealized(price));
  return equity <= tiers.maintenance(contract.size, price, qty);
}

Assessment MarginedPosition::assess(const MarginTable& tiers, Price price) const {
  if (qty == 0) return Flat{};
  const Cash equity = tm_types::sat_add(balance, unrealized(price));
  const Cash maintenance = tiers.maintenance(contract.size, price, qty);
  if (equity <= maintenance) return Liquidatable{equity, maintenance};
  const std::optional<Price> at = liquidation_price_at(tiers, price);
  if (!at) return Healthy{std::nullopt, equity, maintenance};
  const i128 gap = sub(price, *at);
  return Healthy{to_price(gap < 0 ? -gap : gap), equity, maintenance};
}

std::optional<Price> MarginedPosition::liquidation_price_at(const MarginTable& tiers,
                                                            Price price) const {
  if (qty == 0) return std::nullopt;
  const MarginTier& row = tiers.row_for(contract.notional(price, qty));
  const i128 lots = qty < 0 ? -static_cast<i128>(qty) : static_cast<i128>(qty);
  const i128 c = cost ? *cost : mul(mul(entry, lots), contract.size);
  const i128 s = mul(lots, contract.size);
  if (qty > 0) {
    const i128 numerator = mul(sub(sub(c, balance), row.deduction), kRateScale);
    const i128 divisor = mul(s, sub(kRateScale, row.rate));
    if (divisor < 1) return std::nullopt;
    const i128 p = floor_div(numerator, divisor);
    if (p < 1) return std::nullopt;
    return to_price(p);
  }
  const i128 numerator = mul(add(add(c, balance), row.deduction), kRateScale);
  const i128 divisor = mul(s, add(kRateScale, row.rate));
  if (divisor < 1) return std::nullopt;
  return to_price(ceil_div(numerator, divisor));
}

}  // namespace tm_margin
