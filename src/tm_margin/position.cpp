#include "tm_margin/position.h"

namespace tm_margin {
using tm_types::checked_add128;
using tm_types::checked_mul128;
using tm_types::checked_narrow;
using tm_types::checked_sub128;
using tm_types::i128;

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
  const i128 gap = checked_sub128(price, *at);
  return Healthy{checked_narrow(gap < 0 ? -gap : gap), equity, maintenance};
}

std::optional<Price> MarginedPosition::liquidation_price_at(const MarginTable& tiers,
                                                            Price price) const {
  if (qty == 0) return std::nullopt;
  const MarginTier& row = tiers.row_for(contract.notional(price, qty));
  const i128 lots = qty < 0 ? -static_cast<i128>(qty) : static_cast<i128>(qty);
  const i128 c = cost ? *cost : checked_mul128(checked_mul128(entry, lots), contract.size);
  const i128 s = checked_mul128(lots, contract.size);
  if (qty > 0) {
    const i128 numerator =
        checked_mul128(checked_sub128(checked_sub128(c, balance), row.deduction), kRateScale);
    const i128 divisor = checked_mul128(s, checked_sub128(kRateScale, row.rate));
    if (divisor < 1) return std::nullopt;
    const i128 p = tm_types::floor_div128(numerator, divisor);
    if (p < 1) return std::nullopt;
    return checked_narrow(p);
  }
  const i128 numerator =
      checked_mul128(checked_add128(checked_add128(c, balance), row.deduction), kRateScale);
  const i128 divisor = checked_mul128(s, checked_add128(kRateScale, row.rate));
  if (divisor < 1) return std::nullopt;
  return checked_narrow(tm_types::ceil_div128(numerator, divisor));
}

}  // namespace tm_margin
