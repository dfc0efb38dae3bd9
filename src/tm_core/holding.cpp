#include "tm_core/holding.h"

#include <algorithm>
#include <utility>

#include "tm_core/cost.h"

namespace tm_core {

using tm_types::sat_abs;
using tm_types::sat_add;
using tm_types::sat_add128;
using tm_types::sat_mul128;

Holding::Holding(InstrumentId instrument_id, Matcher engine, tm_margin::MarginTable tier_table,
                 tm_margin::Contract contract_value)
    : matcher(std::move(engine)),
      tiers(std::move(tier_table)),
      contract(contract_value),
      instrument(instrument_id) {}

i128 Holding::leg_cost(Leg leg) const {
  const CostBasis& memo = leg == Leg::Long ? long_basis : short_basis;
  const QtyLots qty = leg == Leg::Long ? position : short_position;
  const Price at = leg == Leg::Long ? entry : short_entry;
  if (qty == 0) return 0;
  if (memo.qty == qty && memo.entry == at) return memo.cost;
  return tm_types::lots_value128(qty, at, contract.size);
}

void Holding::add_to_leg(Leg leg, QtyLots n, Price price, std::int64_t direction) {
  QtyLots& qty = leg == Leg::Long ? position : short_position;
  Price& at = leg == Leg::Long ? entry : short_entry;
  CostBasis& memo = leg == Leg::Long ? long_basis : short_basis;

  const i128 cost = sat_add128(leg_cost(leg), sat_mul128(sat_mul128(price, n), contract.size));
  const QtyLots size = sat_add(sat_abs(qty), n);
  const i128 divisor = sat_mul128(size, contract.size);
  const std::int64_t sign = qty != 0 ? (qty > 0 ? 1 : -1) : direction;
  qty = sign > 0 ? size : -size;
  at = divisor < 1 ? price : tm_types::clamp64(cost / divisor);
  memo = CostBasis{cost, qty, at};
}

Cash Holding::close_leg(Leg leg, QtyLots qty, Price price) {
  QtyLots& held = leg == Leg::Long ? position : short_position;
  Price& at = leg == Leg::Long ? entry : short_entry;
  CostBasis& memo = leg == Leg::Long ? long_basis : short_basis;
  if (held == 0 || qty < 1) return 0;

  const i128 cost = leg_cost(leg);
  const QtyLots n = std::min(sat_abs(held), qty);
  const i128 proceeds = tm_types::lots_value128(n, price, contract.size);
  const cost::Closed closed = cost::close(cost, held, n, proceeds);
  held = tm_types::checked_sub(held, held >= 1 ? n : -n);
  if (held == 0) at = 0;
  memo = CostBasis{closed.remaining, held, at};
  return closed.profit;
}

Cash Holding::unrealized_at(Price price) const {
  Cash legs = 0;
  if (position != 0) legs = contract.unrealized_from_cost(leg_cost(Leg::Long), price, position);
  if (short_position != 0) {
    legs =
        sat_add(legs, contract.unrealized_from_cost(leg_cost(Leg::Short), price, short_position));
  }
  return legs;
}

Cash Holding::maintenance_at(Price price) const {
  Cash legs = 0;
  if (position != 0) legs = tiers.maintenance(contract.size, price, position);
  if (short_position != 0) {
    legs = sat_add(legs, tiers.maintenance(contract.size, price, short_position));
  }
  return legs;
}

QtyLots Holding::lots_booked(const tm_types::Fill& fill, bool two_leg) const {
  if (!two_leg || fill.offset != tm_types::Offset::Close) return fill.qty;
  const QtyLots leg = fill.side == tm_types::Side::Buy ? short_position : position;
  return std::min(sat_abs(leg), fill.qty);
}

}  // namespace tm_core
