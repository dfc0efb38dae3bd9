#include "tm_engine/l1.h"

#include <algorithm>
#include <cmath>

#include "tm_types/invariant.h"

namespace tm_engine {

using tm_types::Nanos;
using tm_types::OrderId;
using tm_types::QtyLots;
using tm_types::Side;
using tm_types::Working;

namespace {

constexpr std::size_t kInitialCapacity = 16;

// Where a queued limit order stands against one tick's traded range.
enum class Reach { Through, Reached, NotReached };

// The tick's high and low are read raw here, not through the absent-field
// decoding: a buy above the whole range (or a sell below it) was traded
// through; inside it the price was reached; both at 0 means no range at all.
Reach reach(const Working& order, const Tick& tick) {
  const std::int64_t p = order.kind.price;
  const std::int64_t high = tick.high;
  const std::int64_t low = tick.low;
  if (high == 0 && low == 0 && p != 0) return Reach::NotReached;
  if (order.side == Side::Buy) {
    if (high < p) return Reach::Through;
    return low <= p ? Reach::Reached : Reach::NotReached;
  }
  if (low > p) return Reach::Through;
  return p <= high ? Reach::Reached : Reach::NotReached;
}

}  // namespace

std::int64_t sqrt_impact(QtyLots qty, std::int64_t volume, std::uint32_t impact,
                         std::int64_t range) {
  if (volume < 1 || impact == 0 || range < 1) return 0;
  // The one floating-point step between a tick and the ledger.
  const double m = std::sqrt(static_cast<double>(qty) /
                             static_cast<double>(static_cast<std::uint64_t>(volume))) *
                   ((static_cast<double>(impact) / 100.0) *
                    static_cast<double>(static_cast<std::uint64_t>(range)));
  if (!(m == m)) return 0;  // a quantity below zero has no root
  // Truncate toward zero; values beyond the 64-bit range saturate.
  if (m >= 9.2233720368547758e18) return tm_types::kI64Max;
  if (m <= -9.2233720368547758e18) return tm_types::kI64Min;
  return static_cast<std::int64_t>(m);
}

L1Engine::L1Engine(tm_types::InstrumentId instrument, const L1Config& config)
    : l0_(instrument), config_(config) {
  pending_.reserve(kInitialCapacity);
  queued_.reserve(kInitialCapacity);
  delayed_.reserve(kInitialCapacity);
  output_.reserve(kInitialCapacity);
  released_.reserve(kInitialCapacity);
}

std::optional<QtyLots> L1Engine::model_ahead(std::optional<std::int64_t> volume) const {
  return std::visit(
      [&](const auto& m) -> std::optional<QtyLots> {
        using M = std::decay_t<decltype(m)>;
        if constexpr (std::is_same_v<M, QueueModel::Off>) {
          return std::nullopt;
        } else if constexpr (std::is_same_v<M, QueueModel::Lots>) {
          return m.lots;
        } else {
          if (!volume) return std::nullopt;
          return tm_types::checked_mul(static_cast<std::int64_t>(m.percent), *volume) / 100;
        }
      },
      config_.queue.model);
}

void L1Engine::place(const Working& order, std::optional<QtyLots> ahead,
                     std::optional<Nanos> queue_start, bool arrived) {
  if (ahead && *ahead >= 1) {
    push_queued(Queued{queue_start, order, *ahead});
  } else if (arrived) {
    l0_.submit_arrived(order);
  } else {
    l0_.submit(order);
  }
}

void L1Engine::submit_queue(const Working& order, Nanos now, std::optional<QtyLots> explicit_ahead,
                            bool depth_refresh) {
  purge();
  const Nanos delay = config_.submit_latency.draw(order.id);
  const Nanos due = tm_types::sat_add(now, delay);
  if (!depth_refresh) {
    // A non-zero latency defers every order, even one whose own draw is 0.
    if (!config_.submit_latency.is_zero()) {
      push_pending(Pending{explicit_ahead, std::nullopt, order, due, false});
      return;
    }
  } else if (delay > 0) {
    push_pending(Pending{explicit_ahead, due, order, due, true});
    return;
  }
  if (!order.kind.is_limit) {
    l0_.submit(order);
    return;
  }
  if (explicit_ahead) {
    place(order, std::max<QtyLots>(*explicit_ahead, 0),
          depth_refresh ? std::optional<Nanos>(now) : std::nullopt);
  } else {
    place(order, model_ahead(last_interval_volume_), std::nullopt);
  }
}

bool L1Engine::cancel(OrderId id) {
  if (travelling_.erase(id) == 0) return l0_.cancel(id);
  cancelled_.insert(id);
  return true;
}

std::size_t L1Engine::cancel_all() {
  purge();
  const std::size_t count = pending_.size() + queued_.size();
  pending_.clear();
  queued_.clear();
  travelling_.clear();
  return count + l0_.cancel_all();
}

void L1Engine::push_pending(const Pending& entry) {
  pending_.push_back(entry);
  ++travelling_[entry.order.id];
}

void L1Engine::push_queued(const Queued& entry) {
  queued_.push_back(entry);
  ++travelling_[entry.order.id];
}

void L1Engine::left_lists(OrderId id) {
  const auto found = travelling_.find(id);
  if (found != travelling_.end() && --found->second == 0) travelling_.erase(found);
}

void L1Engine::drop_cancelled() const {
  std::erase_if(pending_, [this](const Pending& p) { return cancelled_.contains(p.order.id); });
  std::erase_if(queued_, [this](const Queued& q) { return cancelled_.contains(q.order.id); });
  cancelled_.clear();
}

std::int64_t L1Engine::interval_volume(const Tick& tick) const {
  if (!prev_volume_) return 0;
  return std::max<std::int64_t>(tm_types::sat_sub(tick.volume, *prev_volume_), 0);
}

void L1Engine::arrive(Nanos now, std::int64_t volume) {
  std::size_t kept = 0;
  for (std::size_t i = 0; i < pending_.size(); ++i) {
    const Pending& entry = pending_[i];
    if (entry.due > now) {
      pending_[kept++] = entry;
      continue;
    }
    // The order arrived after the previous tick: neither the range nor the
    // volume traded before this tick may fill it or shorten its queue.
    left_lists(entry.order.id);
    if (!entry.order.kind.is_limit) {
      l0_.submit_arrived(entry.order);
    } else if (entry.explicit_ahead) {
      place(entry.order, std::max<QtyLots>(*entry.explicit_ahead, 0), entry.due, true);
    } else {
      place(entry.order, model_ahead(volume), entry.due, true);
    }
  }
  pending_.resize(kept);
}

void L1Engine::advance_queue(const Tick& tick, std::int64_t volume) {
  released_.clear();
  std::size_t kept = 0;
  for (std::size_t i = 0; i < queued_.size(); ++i) {
    Queued& entry = queued_[i];
    bool release = false;
    if (entry.queue_start && (!prev_time_ || *prev_time_ < *entry.queue_start)) {
      release = false;  // the interval began before the order joined the queue
    } else if (!entry.order.kind.is_limit) {
      release = true;
    } else {
      switch (reach(entry.order, tick)) {
        case Reach::Through:
          release = true;
          break;
        case Reach::Reached:
          entry.ahead = tm_types::checked_sub(entry.ahead, volume);
          release = entry.ahead < 1;
          break;
        case Reach::NotReached:
          release = entry.ahead < 1;
          break;
      }
    }
    if (release) {
      left_lists(entry.order.id);
      released_.push_back(entry.order);
    } else {
      queued_[kept++] = entry;
    }
  }
  queued_.resize(kept);
  for (const Working& order : released_) l0_.submit(order);
  released_.clear();
}

void L1Engine::apply_sqrt_impact(L0Fill& fill, const Tick& tick, std::int64_t volume) const {
  // A range needs both extremes: an absent high or low gives no range, rather
  // than one measured from zero.
  const std::optional<tm_types::Price> high = tm_types::high(tick), low = tm_types::low(tick);
  const std::int64_t range = high && low ? tm_types::sat_sub(*high, *low) : 0;
  const std::int64_t m = sqrt_impact(fill.fill.qty, volume, config_.impact, range);
  if (m == 0) return;
  fill.fill.price = fill.fill.side == Side::Buy ? tm_types::sat_add(fill.fill.price, m)
                                                : tm_types::sat_sub(fill.fill.price, m);
}

std::span<const L0Fill> L1Engine::report(const Tick& tick, std::int64_t volume) {
  const Nanos now = tick.exch_ts;
  if (!config_.report_latency.is_zero()) {
    for (const L0Fill& fill : output_) {
      const Nanos delay = config_.report_latency.draw(fill.fill.order);
      delayed_.push_back(Delayed{tm_types::checked_add(now, delay), fill});
    }
    output_.clear();
  }
  release_due(now);
  if (prev_volume_) last_interval_volume_ = volume;
  prev_volume_ = tick.volume;
  prev_time_ = now;
  return output_;
}

void L1Engine::release_due(Nanos now) {
  std::size_t kept = 0;
  for (std::size_t i = 0; i < delayed_.size(); ++i) {
    if (delayed_[i].due <= now) {
      output_.push_back(delayed_[i].fill);
    } else {
      delayed_[kept++] = delayed_[i];
    }
  }
  delayed_.resize(kept);
}

std::span<const L0Fill> L1Engine::on_invalid_tick(const Tick& tick) {
  output_.clear();
  release_due(tick.exch_ts);
  prev_volume_ = tick.volume;
  prev_time_ = tick.exch_ts;
  l0_.forget_previous();
  return output_;
}

std::vector<L0Fill> L1Engine::drain_unreported() {
  std::stable_sort(delayed_.begin(), delayed_.end(),
                   [](const Delayed& a, const Delayed& b) { return a.due < b.due; });
  std::vector<L0Fill> out;
  out.reserve(delayed_.size());
  for (const Delayed& d : delayed_) out.push_back(d.fill);
  delayed_.clear();
  return out;
}

void L1Engine::forget_previous() {
  l0_.forget_previous();
  prev_volume_.reset();
  prev_time_.reset();
}

}  // namespace tm_engine
