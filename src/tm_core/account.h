// The margined account a backtest trades: cash per currency, one Holding per
// instrument (see holding.h), the running totals, and the switches that
// choose how fills are booked. The kernel owns the one Account of a run and alone changes it.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "tm_core/holding.h"
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

struct Account {
  // One holding for the matcher's instrument, trading through that matcher;
  // balances hold the starting balance in USDT; liquidation enabled, every
  // other flag and total 0.
  Account(Matcher matcher, std::int64_t contract_size, tm_margin::MarginTable tiers, Cash balance);
  // The same with an L0 engine for the instrument.
  Account(InstrumentId instrument, std::int64_t contract_size, tm_margin::MarginTable tiers,
          Cash balance);
  Account(Account&&) noexcept = default;
  Account& operator=(Account&&) noexcept = default;
  Account(const Account&) = delete;
  Account& operator=(const Account&) = delete;

  // Books one fill (after its fee was charged) into the holding of its
  // instrument. A fill for an instrument without a holding is an invariant
  // failure; a quantity below 1 changes nothing.
  void apply_fill(const tm_types::Fill& fill);
  // The fee of a fill into the holding at `index`, read before apply_fill
  // books it: the rate of its taker flag on the notional of the lots it books,
  // so a two-leg close larger than its leg pays for the leg only and one
  // against a flat leg pays nothing.
  [[nodiscard]] Cash fill_fee(std::size_t index, const tm_types::Fill& fill) const;

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

[[gnu::always_inline]] inline Cash Account::balance() const {
  const auto key = std::bit_cast<std::uint64_t>(currency.code);
  for (const auto& [code, amount] : balances.entries()) {
    if (std::bit_cast<std::uint64_t>(code.code) == key) return amount;
  }
  return 0;
}

[[gnu::always_inline]] inline Cash Account::equity() const {
  Cash open = 0;
  for (const Holding& h : holdings) {
    if (!h.is_flat()) open = tm_types::sat_add(open, h.unrealized_at_mark());
  }
  return tm_types::sat_add(balance(), open);
}

}  // namespace tm_core
