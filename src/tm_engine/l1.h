// The L1 execution engine: the L0 engine plus submission latency, a queue
// position for limit orders, square-root market impact on market-order fills,
// and report latency. The L2 engine reuses all of it through `on_tick_with`.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <unordered_map>
#include <unordered_set>
#include <variant>
#include <vector>

#include "tm_engine/l0.h"
#include "tm_engine/latency.h"
#include "tm_types/fixed.h"
#include "tm_types/ids.h"
#include "tm_types/order.h"
#include "tm_types/tick.h"

namespace tm_engine {

// How much displayed size is ahead of a new limit order when no depth tells.
struct QueueModel {
  struct Off {  // limit orders rest at once
    friend constexpr bool operator==(const Off&, const Off&) = default;
  };
  struct Lots {  // this many lots ahead of every new limit order
    std::int64_t lots = 0;
    friend constexpr bool operator==(const Lots&, const Lots&) = default;
  };
  struct Percent {  // this share of the volume traded over the last tick interval
    std::uint32_t percent = 0;
    friend constexpr bool operator==(const Percent&, const Percent&) = default;
  };

  std::variant<Off, Lots, Percent> model;

  static QueueModel off() { return QueueModel{Off{}}; }
  static QueueModel lots(std::int64_t n) { return QueueModel{Lots{n}}; }
  static QueueModel percent(std::uint32_t p) { return QueueModel{Percent{p}}; }
  friend bool operator==(const QueueModel&, const QueueModel&) = default;
};

// Configuration of the L1 and L2 tiers. The default is the L0 behaviour.
struct L1Config {
  Latency submit_latency = Latency::fixed(0);
  Latency report_latency = Latency::fixed(0);
  QueueModel queue = QueueModel::off();
  std::uint32_t impact = 0;  // percent; 0 disables the impact adjustment
  friend bool operator==(const L1Config&, const L1Config&) = default;
};

// An order travelling to the venue.
struct Pending {
  std::optional<tm_types::QtyLots> explicit_ahead;  // set only by the L2 engine
  std::optional<tm_types::Nanos> queue_start;
  tm_types::Working order;
  tm_types::Nanos due = 0;     // venue time at which it arrives
  bool depth_refresh = false;  // the L2 engine re-reads its queue from depth
};

// A limit order at the venue still waiting behind displayed size.
struct Queued {
  // Volume counts against the queue only for intervals beginning at or after it.
  std::optional<tm_types::Nanos> queue_start;
  tm_types::Working order;
  tm_types::QtyLots ahead = 0;
};

// A fill made but not yet reported to the account.
struct Delayed {
  tm_types::Nanos due = 0;
  L0Fill fill;
};

// The square-root impact in ticks: sqrt(qty / volume) * (impact / 100 * range),
// in double precision, truncated toward zero and saturated to 64 bits. 0 when
// volume < 1, impact == 0 or range < 1.
std::int64_t sqrt_impact(tm_types::QtyLots qty, std::int64_t volume, std::uint32_t impact,
                         std::int64_t range);

class L1Engine {
 public:
  L1Engine(tm_types::InstrumentId instrument, const L1Config& config);
  L1Engine(const L1Engine&) = delete;
  L1Engine& operator=(const L1Engine&) = delete;
  L1Engine(L1Engine&&) noexcept = default;
  L1Engine& operator=(L1Engine&&) noexcept = default;

  // `now` is the order's submission time (the receive time of the tick it was
  // decided on); due times are compared with later ticks' venue times.
  void submit(const tm_types::Working& order, tm_types::Nanos now) {
    submit_queue(order, now, std::nullopt, false);
  }
  // As `submit`, with the queue ahead given by depth and the depth-refresh flag.
  void submit_queue(const tm_types::Working& order, tm_types::Nanos now,
                    std::optional<tm_types::QtyLots> explicit_ahead, bool depth_refresh);

  // Removes every pending and queued entry with this id, or else the order in
  // the book. True if anything was removed. O(1) on average: entries leave the
  // lists together before the lists are next read or changed.
  [[nodiscard]] bool cancel(tm_types::OrderId id);
  // Empties pending, queue and book; delayed fills are kept. Returns the count.
  std::size_t cancel_all();

  // The fills reported on this tick; valid until the next call on the engine.
  std::span<const L0Fill> on_tick(const Tick& tick);
  // The same steps with the impact step replaced: `impact(fill, volume)` is
  // called for every taker fill of the tick, in order, and may move its price.
  template <class Impact>
  std::span<const L0Fill> on_tick_with(const Tick& tick, Impact&& impact);
  // A tick the L2 engine cannot use: only due reports are released.
  std::span<const L0Fill> on_invalid_tick(const Tick& tick);

  // Every delayed fill, by due time (stable); the delayed list is left empty.
  std::vector<L0Fill> drain_unreported();

  // Moves a taker fill's price against the order by the square-root impact.
  void apply_sqrt_impact(L0Fill& fill, const Tick& tick, std::int64_t volume) const;

  // For the L2 engine: append a pending entry as given, reach the pending list,
  // and forget the previous tick's last price, time and cumulative volume.
  void defer(const Pending& entry) {
    purge();
    push_pending(entry);
  }
  std::span<Pending> pending() {
    purge();
    return pending_;
  }
  void forget_previous();

  std::span<const Pending> pending() const {
    purge();
    return pending_;
  }
  std::span<const Queued> queued() const {
    purge();
    return queued_;
  }
  std::span<const Delayed> delayed() const { return delayed_; }
  const L0Engine& inner() const { return l0_; }
  const L1Config& config() const { return config_; }
  tm_types::InstrumentId instrument() const { return l0_.instrument(); }

 private:
  // Traded volume of the interval ending at this tick; 0 on the first tick.
  std::int64_t interval_volume(const Tick& tick) const;
  // Queue ahead by the queue model, or nothing when the order rests at once.
  std::optional<tm_types::QtyLots> model_ahead(std::optional<std::int64_t> volume) const;
  // Puts an order into the queue (q >= 1) or the book; `arrived` marks one
  // that reached the venue after the previous tick (L0Engine::submit_arrived).
  void place(const tm_types::Working& order, std::optional<tm_types::QtyLots> ahead,
             std::optional<tm_types::Nanos> queue_start, bool arrived = false);
  void arrive(tm_types::Nanos now, std::int64_t volume);
  void advance_queue(const Tick& tick, std::int64_t volume);
  std::span<const L0Fill> report(const Tick& tick, std::int64_t volume);
  // Moves every delayed fill due by `now` to the output, in list order.
  void release_due(tm_types::Nanos now);
  void push_pending(const Pending& entry);
  void push_queued(const Queued& entry);
  // One entry of `id` left the pending or queued list.
  void left_lists(tm_types::OrderId id);
  // Drops the entries of cancelled ids from both lists in one pass.
  void purge() const {
    if (!cancelled_.empty()) drop_cancelled();
  }
  void drop_cancelled() const;

  L0Engine l0_;
  L1Config config_;
  std::optional<std::int64_t> prev_volume_;
  std::optional<std::int64_t> last_interval_volume_;
  std::optional<tm_types::Nanos> prev_time_;
  // Both lists drop the entries of `cancelled_` before they are read or
  // changed; that removal changes nothing observable, hence `mutable`.
  mutable std::vector<Pending> pending_;
  mutable std::vector<Queued> queued_;
  mutable std::unordered_set<tm_types::OrderId> cancelled_;
  // Entries per id in the pending and queued lists, cancelled ones excluded.
  std::unordered_map<tm_types::OrderId, std::uint32_t> travelling_;
  std::vector<Delayed> delayed_;
  std::vector<L0Fill> output_;
  std::vector<tm_types::Working> released_;  // scratch of the queue step
};

template <class Impact>
std::span<const L0Fill> L1Engine::on_tick_with(const Tick& tick, Impact&& impact) {
  purge();
  const std::int64_t volume = interval_volume(tick);
  if (!pending_.empty()) arrive(tick.exch_ts, volume);
  if (!queued_.empty()) advance_queue(tick, volume);
  const std::span<const L0Fill> made = l0_.on_tick(tick);
  output_.assign(made.begin(), made.end());
  for (L0Fill& fill : output_) {
    if (fill.fill.taker) impact(fill, volume);
  }
  return report(tick, volume);
}

inline std::span<const L0Fill> L1Engine::on_tick(const Tick& tick) {
  return on_tick_with(tick, [this, &tick](L0Fill& fill, std::int64_t volume) {
    apply_sqrt_impact(fill, tick, volume);
  });
}

}  // namespace tm_engine
