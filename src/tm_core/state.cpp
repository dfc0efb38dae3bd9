#include "tm_core/state.h"

#include <algorithm>
#include <string>
#include <utility>

#include "tm_core/cost.h"

namespace tm_core {

using tm_types::sat_abs;
using tm_types::sat_add;
using tm_types::sat_add128;
using tm_types::sat_mul128;

Holding::Holding(InstrumentId instrument_id, Matcher engine, tm_margin::TierTable tier_table,
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

State::State(InstrumentId instrument, std::int64_t contract_size, tm_margin::TierTable tiers,
             Cash balance)
    : balances(tm_types::Balances::of(tm_types::USDT, balance)) {
  holdings.emplace_back(instrument, Matcher::l0(instrument), std::move(tiers),
                        tm_margin::Contract{contract_size});
}

State State::matching_with(State state, Matcher matcher) {
  if (state.holdings.empty()) tm_types::invariant_failure("index out of range");
  Holding& first = state.holdings.front();
  if (matcher.instrument() != first.instrument) {
    tm_types::invariant_failure(
        "matcher is for a different instrument than the state it is going into: matcher " +
        std::to_string(matcher.instrument()) + ", state " + std::to_string(first.instrument));
  }
  first.matcher = std::move(matcher);
  return state;
}

std::size_t State::find_holding(InstrumentId instrument) const {
  std::size_t i = 0;
  while (i < holdings.size() && holdings[i].instrument != instrument) ++i;
  return i;
}

void State::book_realised(Cash profit) {
  realised = sat_add(realised, profit);
  add_to_balance(profit);
}

void State::apply_fill(const tm_types::Fill& fill) {
  const std::size_t index = find_holding(fill.instrument);
  if (index == holdings.size()) {
    tm_types::invariant_failure("a fill for an instrument this account does not hold");
  }
  Holding& h = holdings[index];
  if (fill.qty < 1) return;

  if (two_leg) {
    if (fill.offset == tm_types::Offset::Open) {
      if (fill.side == tm_types::Side::Buy) {
        h.add_to_leg(Leg::Long, fill.qty, fill.price, 1);
      } else {
        h.add_to_leg(Leg::Short, fill.qty, fill.price, -1);
      }
      return;
    }
    // A close larger than its leg closes the leg; the excess is ignored.
    const Leg leg = fill.side == tm_types::Side::Buy ? Leg::Short : Leg::Long;
    book_realised(h.close_leg(leg, fill.qty, fill.price));
    return;
  }

  const std::int64_t s = tm_types::checked_mul(fill.qty, tm_types::sign(fill.side));
  const std::int64_t direction = s > 0 ? 1 : -1;
  if (h.position == 0 || (h.position > 0) == (s > 0)) {
    h.add_to_leg(Leg::Long, sat_abs(s), fill.price, direction);
    return;
  }
  // The fill reduces the position, and what exceeds it opens the other way
  // from a flat leg with a fresh cost basis.
  const QtyLots c = std::min(sat_abs(h.position), sat_abs(s));
  book_realised(h.close_leg(Leg::Long, c, fill.price));
  const QtyLots rest = sat_abs(s) - c;
  if (rest >= 1) h.add_to_leg(Leg::Long, rest, fill.price, direction);
}

Cash Holding::unrealized_at_mark() const {
  Cash legs = 0;
  if (position != 0) legs = contract.unrealized_from_cost(leg_cost(Leg::Long), mark, position);
  if (short_position != 0) {
    legs = sat_add(legs,
                   contract.unrealized_from_cost(leg_cost(Leg::Short), mark, short_position));
  }
  return legs;
}

Cash State::maintenance() const {
  Cash total = 0;
  for (const Holding& h : holdings) {
    Cash legs = 0;
    if (h.position != 0) legs = h.tiers.maintenance(h.contract.size, h.mark, h.position);
    if (h.short_position != 0) {
      legs = sat_add(legs, h.tiers.maintenance(h.contract.size, h.mark, h.short_position));
    }
    total = sat_add(total, legs);
  }
  return total;
}

Liquidated State::liquidate_holding(std::size_t index, Price price) {
  if (index >= holdings.size()) tm_types::invariant_failure("index out of range");
  Holding& h = holdings[index];
  const Cash open = sat_add(
      h.contract.unrealized_from_cost(h.leg_cost(Leg::Long), price, h.position),
      h.contract.unrealized_from_cost(h.leg_cost(Leg::Short), price, h.short_position));
  book_realised(open);

  const Liquidated record{h.instrument,
                          now,
                          price,
                          tm_types::checked_add(h.position, h.short_position),
                          balance(),
                          0,
                          h.position,
                          h.short_position};
  h.long_basis = CostBasis{};
  h.short_basis = CostBasis{};
  h.position = 0;
  h.entry = 0;
  h.short_position = 0;
  h.short_entry = 0;
  h.matcher.cancel_all();
  return record;
}

std::vector<Liquidated> State::close_all() {
  std::vector<Liquidated> records;
  for (std::size_t i = 0; i < holdings.size(); ++i) {
    const Holding& h = holdings[i];
    if (h.is_flat()) continue;
    // Before its first tick a holding has no mark; its entry is the best price
    // known, and a holding with only a short leg uses that leg's entry.
    const Price price = h.mark != 0 ? h.mark : (h.entry != 0 ? h.entry : h.short_entry);
    records.push_back(liquidate_holding(i, price));
  }
  return records;
}

}  // namespace tm_core
