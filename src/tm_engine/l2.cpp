#include "tm_engine/l2.h"

#include <algorithm>

#include "tm_types/fixed.h"
#include "tm_types/invariant.h"

namespace tm_engine {

using tm_types::Nanos;
using tm_types::QtyLots;
using tm_types::Side;
using tm_types::Working;

namespace {

constexpr Nanos kNanosPerMilli = 1'000'000;

// The price of the last level, in walking order, that shows a positive size.
std::optional<tm_types::Price> worst_level(const tm_book::DepthSide& side) {
  const auto levels = side.levels();
  for (auto it = levels.rbegin(); it != levels.rend(); ++it) {
    if (it->size > 0) return it->price;
  }
  return std::nullopt;
}

}  // namespace

std::optional<WorkingDepth::DepthPrice> WorkingDepth::take(const tm_book::DepthBook& book,
                                                           Side side, QtyLots qty) {
  tm_book::DepthSide& levels = side == Side::Sell ? bids_ : asks_;
  bool& have = side == Side::Sell ? have_bids_ : have_asks_;
  std::optional<tm_types::Price>& last = side == Side::Sell ? last_bid_ : last_ask_;
  if (!have) {
    levels = side == Side::Sell ? book.bids() : book.asks();  // reuses the copy's capacity
    have = true;
  }
  // A take that uses up the side ends at its worst level, read before it goes.
  const std::optional<tm_types::Price> worst = worst_level(levels);
  const tm_book::DepthSide::Taken taken = levels.take(qty);
  if (worst && (taken.short_ || !worst_level(levels))) last = worst;
  if (taken.short_ || taken.filled < 1) {
    if (!last) return std::nullopt;
    return DepthPrice{*last, true};
  }
  const tm_types::i128 filled = taken.filled;
  // Rounded against the order: up for a buy, toward zero for a sell.
  const tm_types::i128 average =
      side == Side::Buy ? (taken.notional + filled - 1) / filled : taken.notional / filled;
  if (average > tm_types::kI64Max || average < tm_types::kI64Min) return std::nullopt;
  return DepthPrice{static_cast<tm_types::Price>(average), false};
}

L2Engine::L2Engine(tm_types::InstrumentId instrument, const L1Config& config)
    : l1_(instrument, config) {}

std::optional<QtyLots> L2Engine::displayed_ahead(const Working& order) const {
  if (!depth_available_ || !order.kind.is_limit) return std::nullopt;
  const tm_book::DepthSide& own = order.side == Side::Buy ? book_.bids() : book_.asks();
  return own.size_at(order.kind.price).value_or(0);
}

void L2Engine::refresh_pending(Nanos cutoff) {
  for (Pending& entry : l1_.pending()) {
    if (!entry.depth_refresh || entry.due > cutoff) continue;
    entry.explicit_ahead = displayed_ahead(entry.order);
    entry.depth_refresh = false;
  }
}

void L2Engine::submit(const Working& order, Nanos now) {
  if (invalid_) {
    // The depth is unknown now: read the queue when the order arrives.
    const Nanos due = tm_types::sat_add(now, l1_.config().submit_latency.draw(order.id));
    l1_.defer(Pending{std::nullopt, due, order, due, true});
    return;
  }
  l1_.submit_queue(order, now, displayed_ahead(order), true);
}

std::span<const L0Fill> L2Engine::on_tick(const Tick& tick) {
  if (invalid_) {
    invalid_ticks_ = tm_types::checked_add_u(invalid_ticks_, 1);
    return l1_.on_invalid_tick(tick);
  }
  refresh_pending(tick.exch_ts);
  working_.reset();
  return l1_.on_tick_with(tick, [this, &tick](L0Fill& fill, std::int64_t volume) {
    const std::optional<WorkingDepth::DepthPrice> p =
        working_.take(book_, fill.fill.side, fill.fill.qty);
    if (p) {
      fill.fill.price = fill.fill.side == Side::Buy ? std::max(fill.fill.price, p->price)
                                                    : std::min(fill.fill.price, p->price);
    }
    if (p && !p->beyond) {
      depth_priced_ = tm_types::checked_add_u(depth_priced_, 1);
    } else {
      fallbacks_ = tm_types::checked_add_u(fallbacks_, 1);
      l1_.apply_sqrt_impact(fill, tick, volume);
    }
  });
}

std::optional<tm_book::DepthError> L2Engine::on_depth(const tm_book::DepthUpdate& update) {
  // Orders that reached the venue before this update read the depth before it.
  const Nanos cutoff = tm_types::sat_sub(
      tm_types::clamp64(tm_types::sat_mul128(update.event_time, kNanosPerMilli)), 1);
  refresh_pending(cutoff);
  const auto result = book_.apply(update);
  const auto* error = std::get_if<tm_book::DepthError>(&result);
  if (error == nullptr) return std::nullopt;
  rejected_updates_ = tm_types::checked_add_u(rejected_updates_, 1);
  book_.clear();
  depth_available_ = false;
  invalid_ = true;
  l1_.forget_previous();
  for (Pending& entry : l1_.pending()) {
    entry.depth_refresh = true;
    entry.explicit_ahead.reset();
  }
  return *error;
}

void L2Engine::install_snapshot(const tm_book::DepthSnapshot& snapshot) {
  book_.install(snapshot);
  depth_available_ = true;
  invalid_ = false;
}

}  // namespace tm_engine
