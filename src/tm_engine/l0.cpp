#include "tm_engine/l0.h"

#include <algorithm>

#include "tm_types/fixed.h"
#include "tm_types/invariant.h"

namespace tm_engine {

using tm_types::OrderId;
using tm_types::Side;
using tm_types::Working;

namespace {

constexpr std::size_t kInitialCapacity = 16;

}  // namespace

L0Engine::L0Engine(tm_types::InstrumentId instrument) : instrument_(instrument) {
  fills_.reserve(kInitialCapacity);
  scratch_.reserve(kInitialCapacity);
  market_scratch_.reserve(kInitialCapacity);
  arrived_.reserve(kInitialCapacity);
}

std::size_t L0Engine::cancel_all() { return book_.clear(); }

void L0Engine::match(const Tick& tick) {
  const std::int64_t high = tm_types::high_or_last(tick);
  const std::int64_t low = tm_types::low_or_last(tick);
  const bool has_limits = !book_.buy_limits().empty() || !book_.sell_limits().empty();
  if (prev_last_ && has_limits) cross_range(tick, high, low);
  if (!book_.market_buys().empty()) {
    fill_market_orders(Side::Buy, tm_types::ask_or_last(tick), tick);
  }
  if (!book_.market_sells().empty()) {
    fill_market_orders(Side::Sell, tm_types::bid_or_last(tick), tick);
  }
  if (!book_.buy_limits().empty()) touch_buy_limits(tick, low);
  if (!book_.sell_limits().empty()) touch_sell_limits(tick, high);
}

void L0Engine::cross_range(const Tick& tick, std::int64_t high, std::int64_t low) {
  const std::int64_t p = *prev_last_;
  scratch_.clear();
  // Sorted once here so that each look-up costs O(log n); the list is
  // cleared at the end of the tick and its order means nothing.
  std::sort(arrived_.begin(), arrived_.end());
  const auto crossable = [this](const Resting& r) {
    return !std::binary_search(arrived_.begin(), arrived_.end(), r.order.id);
  };
  // One side per tick: a rise examines the sells, otherwise a fall the buys;
  // the scan starts at the first limit past the previous last price.
  if (high > p) {
    const RestingOrders::List& sells = book_.sell_limits();
    for (auto it = book_.first_past(Side::Sell, p); it != sells.end(); ++it) {
      if (it->order.kind.price > high) break;  // ascending: nothing further is inside the range
      if (crossable(*it)) scratch_.emplace_back(it->seq, it->order.id);
    }
  } else if (low < p) {
    const RestingOrders::List& buys = book_.buy_limits();
    for (auto it = book_.first_past(Side::Buy, p); it != buys.end(); ++it) {
      if (it->order.kind.price < low) break;  // descending: nothing further is inside the range
      if (crossable(*it)) scratch_.emplace_back(it->seq, it->order.id);
    }
  }
  if (scratch_.empty()) return;
  // Arrival order across prices: sequences are distinct.
  std::sort(scratch_.begin(), scratch_.end());
  const Stamp at = prev_time_ ? *prev_time_ : Stamp{tick.exch_ts, tick.local_ts};
  for (const auto& [seq, id] : scratch_) {
    if (std::optional<Working> order = book_.remove(id)) {
      execute_at(*order, order->kind.price, false, ExecKind::Through, at);
    }
  }
  scratch_.clear();
}

void L0Engine::fill_market_orders(Side side, std::int64_t price, const Tick& tick) {
  const Stamp at{tick.exch_ts, tick.local_ts};
  const RestingOrders::List& waiting =
      side == Side::Buy ? book_.market_buys() : book_.market_sells();
  if (waiting.empty()) return;
  market_scratch_.assign(waiting.begin(), waiting.end());
  for (const Resting& r : market_scratch_) {
    if (std::optional<Working> order = book_.remove(r.order.id)) {
      execute_at(*order, price, true, ExecKind::AtQuote, at);
    }
  }
  market_scratch_.clear();
}

void L0Engine::touch_buy_limits(const Tick& tick, std::int64_t low) {
  const std::int64_t threshold = tm_types::ask(tick).value_or(low);
  const std::int64_t base = tm_types::ask_or_last(tick);
  if (threshold < 1) return;
  while (!book_.buy_limits().empty()) {
    const Working order = book_.buy_limits().begin()->order;
    const std::int64_t limit = order.kind.price;
    if (limit < threshold) break;
    book_.remove(order.id);
    execute_at(order, base < 1 ? limit : std::min(limit, base), false, ExecKind::Touch,
               Stamp{tick.exch_ts, tick.local_ts});
  }
}

void L0Engine::touch_sell_limits(const Tick& tick, std::int64_t high) {
  const std::int64_t threshold = tm_types::bid(tick).value_or(high);
  const std::int64_t base = tm_types::bid_or_last(tick);
  if (threshold < 1) return;
  while (!book_.sell_limits().empty()) {
    const Working order = book_.sell_limits().begin()->order;
    const std::int64_t limit = order.kind.price;
    if (limit > threshold) break;
    book_.remove(order.id);
    execute_at(order, base < 1 ? limit : std::max(limit, base), false, ExecKind::Touch,
               Stamp{tick.exch_ts, tick.local_ts});
  }
}

void L0Engine::execute_at(const Working& order, std::int64_t price, bool taker, ExecKind kind,
                          Stamp at) {
  const tm_types::QtyLots remaining = order.remaining();
  if (remaining < 1) return;  // already out of the book; nothing to report
  if (std::holds_alternative<tm_types::FillError>(order.fill(remaining))) {
    tm_types::invariant_failure("a whole-remaining fill was refused");
  }
  fill_counter_ = tm_types::checked_add_u(fill_counter_, 1);
  tm_types::Fill fill;
  fill.exch_ts = at.exch_ts;
  fill.local_ts = at.local_ts;
  fill.order = order.id;
  fill.seq = fill_counter_;
  fill.price = price;
  fill.qty = remaining;
  fill.instrument = instrument_;
  fill.side = order.side;
  fill.offset = order.offset;
  fill.taker = taker;
  fills_.push_back(L0Fill{fill, kind});
}

}  // namespace tm_engine
