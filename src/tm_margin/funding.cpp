#include "tm_margin/funding.h"

#include <algorithm>
#include <utility>

#include "tm_margin/contract.h"

namespace tm_margin {

Settlement FundingRate::settle(std::int64_t contract_size, tm_types::QtyLots qty) const {
  const Cash notional = tm_types::clamp64(tm_types::lots_value128(qty, price, contract_size));
  const Cash charge = apply_rate(notional, rate);
  const Cash amount = qty >= 0 ? tm_types::sat_neg(charge) : charge;
  return Settlement{at, amount, rate, price};
}

FundingSchedule::FundingSchedule(std::vector<FundingRate> rates) : rates_(std::move(rates)) {
  std::stable_sort(rates_.begin(), rates_.end(),
                   [](const FundingRate& a, const FundingRate& b) { return a.at < b.at; });
}

std::span<const FundingRate> FundingSchedule::between(tm_types::Nanos from,
                                                      tm_types::Nanos to) const {
  auto at_or_before = [](tm_types::Nanos t) {
    return [t](const FundingRate& r) { return r.at <= t; };
  };
  const auto start = std::partition_point(rates_.begin(), rates_.end(), at_or_before(from));
  const auto end = std::partition_point(rates_.begin(), rates_.end(), at_or_before(to));
  if (end <= start) return {};
  return {start, end};
}

}  // namespace tm_margin
