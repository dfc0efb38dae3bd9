// The margined account a backtest trades: cash per currency, one Holding per
// instrument (its legs, exact cost memos, execution engine, tiers and
// contract), the running totals, and the switches that choose how fills are
// booked. The kernel owns the one State of a run and alone changes it.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "tm_core/matcher.h"
#include "tm_margin/tier.h"
#include "tm_types/currency.h"
#include "tm_types/fill.h"
#include "tm_types/fixed.h"
#include "tm_types/ids.h"
#include "tm_types/time.h"

namespace tm_core {

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
  QtyLots qty = 0;  // position + short_position before the close
  Cash balance = 0;  // the settlement balance after the liquidation
  Cash forfeited = 0;  // set on the last record of one liquidation, 0 on the others
  QtyLots position = 0;
  QtyLots short_position = 0;
  friend constexpr bool operator==(const Liquidated&, const Liquidated&) = default;
};

struct Holding {
  Holding(InstrumentId instrument, Matcher matcher, tm_margin::TierTable tiers,
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
  // The unrealised result of both legs at mark.
  [[nodiscard]] Cash unrealized_at_mark() const;

  CostBasis long_basis;
  CostBasis short_basis;
  Matcher matcher;
  tm_margin::TierTable tiers;
  tm_margin::Contract contract;
  QtyLots position = 0;  // long leg; in one-leg mode the signed net position
  Price entry = 0;       // 0 exactly when position is 0
  QtyLots short_position = 0;  // <= 0; always 0 in one-leg mode
  Price short_entry = 0;
  Price mark = 0;  // last traded price; 0 before the first tick
  InstrumentId instrument = 0;
};

struct State {
  // One holding for the instrument with an L0 engine; balances hold the
  // starting balance in USDT; liquidation enabled, every other flag and total 0.
  State(InstrumentId instrument, std::int64_t contract_size, tm_margin::TierTable tiers,
        Cash balance);
  State(State&&) noexcept = default;
  State& operator=(State&&) noexcept = default;
  State(const State&) = delete;
  State& operator=(const State&) = delete;

  // The state with `matcher` in place of the first holding's engine. The matcher
  // must be for that holding's instrument; both mismatches and a state without
  // holdings are invariant failures.
  [[nodiscard]] static State matching_with(State state, Matcher matcher);

  // Books one fill (after its fee was charged) into the holding of its
  // instrument. A fill for an instrument without a holding is an invariant
  // failure; a quantity below 1 changes nothing.
  void apply_fill(const tm_types::Fill& fill);

  // Balance plus the unrealised result of every leg at its holding's mark.
  [[nodiscard]] Cash equity() const;
  // Maintenance margin of every leg at its holding's mark; 0 when flat.
  [[nodiscard]] Cash maintenance() const;
  // The settlement-currency balance (0 when absent), and adding to it. Read on
  // every tick, so the lookup compares each 8-byte code as one integer.
  [[nodiscard]] Cash balance() const;
  void add_to_balance(Cash amount) { balances.add(currency, amount); }

  // Closes both legs of one holding at price, books their open result as
  // realised, resets the holding (mark kept) and cancels its engine's orders.
  Liquidated liquidate_holding(std::size_t index, Price price);
  // Liquidates, in index order, every holding with an open leg: each at its
  // mark, or before any tick at its entry price.
  std::vector<Liquidated> close_all();

  // Index of the holding for an instrument, or holdings.size() when none.
  std::size_t find_holding(InstrumentId instrument) const;

  std::vector<Holding> holdings;
  tm_types::Balances balances;
  tm_types::Currency currency = tm_types::USDT;
  Cash realised = 0;
  Cash funding = 0;
  Cash fees = 0;
  std::int64_t maker_fee = 0;  // parts per 10^9 of notional, fills with taker false
  std::int64_t taker_fee = 0;  // parts per 10^9 of notional, fills with taker true
  Nanos now = 0;
  Cash forfeited = 0;
  bool two_leg = false;
  bool fees_charged = false;
  bool fee_unknown = false;
  bool liquidation_enabled = true;
  bool external_fills = false;

 private:
  void book_realised(Cash profit);
};

[[gnu::always_inline]] inline Cash State::balance() const {
  const auto key = std::bit_cast<std::uint64_t>(currency.code);
  for (const auto& [code, amount] : balances.entries()) {
    if (std::bit_cast<std::uint64_t>(code.code) == key) return amount;
  }
  return 0;
}

[[gnu::always_inline]] inline Cash State::equity() const {
  Cash open = 0;
  for (const Holding& h : holdings) {
    if (!h.is_flat()) open = tm_types::sat_add(open, h.unrealized_at_mark());
  }
  return tm_types::sat_add(balance(), open);
}

}  // namespace tm_core
