#include "tm_core/account.h"

#include <algorithm>
#include <utility>

#include "tm_core/cost.h"

namespace tm_core {

using tm_types::sat_abs;
using tm_types::sat_add;
using tm_types::sat_add128;
using tm_types::sat_mul128;

Account::Account(Matcher matcher, std::int64_t contract_size, tm_margin::MarginTable tiers,
                 Cash balance)
    : balances(tm_types::Balances::of(tm_types::USDT, balance)) {
  const InstrumentId instrument = matcher.instrument();
  holdings.emplace_back(instrument, std::move(matcher), std::move(tiers),
                        tm_margin::Contract{contract_size});
}

Account::Account(InstrumentId instrument, std::int64_t contract_size, tm_margin::MarginTable tiers,
                 Cash balance)
    : Account(Matcher::l0(instrument), contract_size, std::move(tiers), balance) {}

std::size_t Account::find_holding(InstrumentId instrument) const {
  std::size_t i = 0;
  while (i < holdings.size() && holdings[i].instrument != instrument) ++i;
  return i;
}

void Account::book_realised(Cash profit) {
  realised = sat_add(realised, profit);
  add_to_balance(profit);
}

void Account::apply_fill(const tm_types::Fill& fill) {
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

Cash Account::fill_fee(std::size_t index, const tm_types::Fill& fill) const {
  if (index >= holdings.size()) tm_types::invariant_failure("index out of range");
  const Holding& h = holdings[index];
  tm_types::Fill booked = fill;
  booked.qty = h.lots_booked(fill, two_leg);
  return cost::fill_fee(h.contract, booked, maker_fee, taker_fee);
}

Cash Account::maintenance() const {
  Cash total = 0;
  for (const Holding& h : holdings) {
    total = sat_add(total, h.maintenance_at(h.mark));
  }
  return total;
}

Liquidated Account::liquidate_holding(std::size_t index, Price price) {
  if (index >= holdings.size()) tm_types::invariant_failure("index out of range");
  Holding& h = holdings[index];
  const Cash open =
      sat_add(h.contract.unrealized_from_cost(h.leg_cost(Leg::Long), price, h.position),
              h.contract.unrealized_from_cost(h.leg_cost(Leg::Short), price, h.short_position));
  book_realised(open);

  const Liquidated record{
      h.instrument, now, price,      tm_types::checked_add(h.position, h.short_position),
      balance(),    0,   h.position, h.short_position};
  h.long_basis = CostBasis{};
  h.short_basis = CostBasis{};
  h.position = 0;
  h.entry = 0;
  h.short_position = 0;
  h.short_entry = 0;
  h.matcher.cancel_all();
  return record;
}

std::vector<Liquidated> Account::close_all() {
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
