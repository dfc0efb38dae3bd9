// The body of RunLoop; included from run_loop.h only.
#pragma once

#include <algorithm>
#include <string>
#include <variant>

namespace tm_backtest {

template <tm_strategy::Strategy S, TickStream Src>
RunLoop<S, Src>::RunLoop(const RunConfig& config, S& strategy, Src& source)
    : config_(config),
      strategy_(strategy),
      source_(source),
      kernel_(open_account(config)),
      cancels_travel_(config.execution.kind != tm_engine::Execution::Kind::L0 &&
                      !config.execution.config.submit_latency.is_zero()),
      min_equity_(config.balance),
      peak_equity_(config.balance),
      until_sample_(config.equity_every),
      has_funding_(!config.funding_schedule.empty()),
      idle_ticks_inert_(kernel_.account().holdings.front().matcher.idle_ticks_inert()) {
  result_.tier = std::string(kernel_.account().holdings.front().matcher.name());
  if (config.equity_every != 0 && config.keep_equity_samples) {
    result_.equity_samples.push_back(config.balance);
  }
  intents_.reserve(16);
  endings_.reserve(16);
  to_cancel_.reserve(16);
}

template <tm_strategy::Strategy S, TickStream Src>
RunResult RunLoop<S, Src>::run() {
  if (depth_.next != nullptr) next_depth_ = depth_.next(depth_.stream);
  while (const tm_types::Tick* next = source_.next()) {
    const tm_types::Tick tick = *next;
    now_ = tick.exch_ts;
    if (has_funding_) settle_funding(tick);
    if (next_depth_ != nullptr) apply_depth_until(tick.exch_ts);
    if (!cancels_.empty()) apply_due_cancels(tick.exch_ts);
    result_.ticks = tm_types::checked_add_u(result_.ticks, 1);
    apply_tick(tick);
    const tm_core::Summary summary = kernel_.summary();
    sample_equity(tick, summary);
    watch(summary, tick);
    ask_strategy(context(tick, summary));
    apply_intents(tick);
    // A position held before a call that sent nothing is held still: neither
    // the idle tail nor a quiet stretch can begin.
    const bool held = summary.position != 0 || summary.short_position != 0;
    if (held && intents_.empty()) continue;
    if (can_idle(summary)) {
      (void)pass_inert(std::numeric_limits<std::uint64_t>::max(), summary.equity,
                       [](const tm_types::Tick&) {});
      break;
    }
    if constexpr (tm_strategy::KeepsTicks<S>) {
      // Tested here, as most steps of a strategy called on every tick have no room.
      const std::span<std::byte> room = strategy_.room_to_keep();
      if (!room.empty() && !keep_quiet_ticks(room)) break;
    }
  }
  return finish();
}

// The events after the latest tick time seen so far and at or before this
// tick's, in schedule order: the cursor only moves forward, so each event is
// settled once and a tick with nothing due costs one comparison.
template <tm_strategy::Strategy S, TickStream Src>
[[gnu::always_inline]] inline void RunLoop<S, Src>::settle_funding(const tm_types::Tick& tick) {
  const std::vector<tm_margin::FundingRate>& rates = config_.funding_schedule.rates();
  while (next_funding_ < rates.size() && rates[next_funding_].at <= tick.exch_ts) {
    settle(rates[next_funding_++]);
  }
}

template <tm_strategy::Strategy S, TickStream Src>
void RunLoop<S, Src>::settle(tm_margin::FundingRate rate) {
  if (config_.funding_at_mark) rate.price = kernel_.account().holdings.front().mark;
  for (const tm_core::Output& out : kernel_.apply(tm_core::FundingEvent{rate, std::nullopt})) {
    if (const auto* r = std::get_if<tm_core::Liquidated>(&out)) record_liquidation(*r);
  }
}

template <tm_strategy::Strategy S, TickStream Src>
void RunLoop<S, Src>::apply_depth_until(tm_types::Nanos exch_ts) {
  while (next_depth_ != nullptr && next_depth_->exch_ts <= exch_ts) {
    record(kernel_.apply(next_depth_->event));
    next_depth_ = depth_.next(depth_.stream);
  }
}

template <tm_strategy::Strategy S, TickStream Src>
void RunLoop<S, Src>::send_cancel(tm_types::OrderId id, tm_types::Nanos now) {
  if (!cancels_travel_) {
    record(kernel_.apply(tm_core::CancelEvent{id}));
    return;
  }
  const tm_types::Nanos delay = config_.execution.config.submit_latency.draw(id);
  cancels_.push_back({tm_types::sat_add(now, delay), id});
}

template <tm_strategy::Strategy S, TickStream Src>
void RunLoop<S, Src>::apply_due_cancels(tm_types::Nanos exch_ts) {
  std::size_t kept = 0;
  for (std::size_t i = 0; i < cancels_.size(); ++i) {
    const TravellingCancel c = cancels_[i];
    if (c.due > exch_ts) {
      cancels_[kept++] = c;
      continue;
    }
    record(kernel_.apply(tm_core::CancelEvent{c.id}));
  }
  cancels_.resize(kept);
}

template <tm_strategy::Strategy S, TickStream Src>
[[gnu::always_inline]] inline void RunLoop<S, Src>::apply_tick(const tm_types::Tick& tick) {
  const std::span<const tm_core::Output> outs = kernel_.apply_tick(tick);
  if (!outs.empty()) record(outs);
}

// Fills and liquidations go into the result; a Fill or Cancelled output means
// the kernel no longer lists the order as working, so it is an ending.
template <tm_strategy::Strategy S, TickStream Src>
void RunLoop<S, Src>::record(std::span<const tm_core::Output> outputs) {
  const std::span<const tm_core::Booked> booked = kernel_.booked();
  std::size_t fills = 0;
  for (const tm_core::Output& out : outputs) {
    if (const auto* fill = std::get_if<tm_types::Fill>(&out)) {
      result_.fills.push_back(*fill);
      const tm_core::Booked& b = booked[fills++];
      result_.bookings.push_back({now_, b.fee, b.realised});
      note_ending(fill->order, tm_strategy::Ending::Filled);
    } else if (const auto* cancelled = std::get_if<tm_core::Cancelled>(&out)) {
      note_ending(cancelled->id, tm_strategy::Ending::Cancelled);
    } else if (const auto* r = std::get_if<tm_core::Liquidated>(&out)) {
      record_liquidation(*r);
    }
  }
}

template <tm_strategy::Strategy S, TickStream Src>
void RunLoop<S, Src>::record_liquidation(const tm_core::Liquidated& r) {
  result_.liquidations.push_back({r.at, r.price, r.qty, r.balance, r.forfeited});
  for (const auto& close : venue_closes(tm_core::Output(r))) closes_.push_back(close);
}

// The first way an order ended since the strategy's previous call is the one
// it hears; the set makes the check O(1) per output.
template <tm_strategy::Strategy S, TickStream Src>
void RunLoop<S, Src>::note_ending(tm_types::OrderId id, tm_strategy::Ending ending) {
  if (ended_.insert(id).second) endings_.emplace_back(id, ending);
}

// With sampling on, every equity_every-th tick adds to both the samples and
// the curve; the curve also takes the first tick, and the latest one is kept
// for finish() to add when the run did not end on a due tick.
template <tm_strategy::Strategy S, TickStream Src>
[[gnu::always_inline]] inline void RunLoop<S, Src>::sample_equity(const tm_types::Tick& tick,
                                                                  const tm_core::Summary& summary) {
  if (until_sample_ == 0) return;
  const tm_types::QtyLots net = tm_types::sat_add(summary.position, summary.short_position);
  const bool due = --until_sample_ == 0;
  if (due) {
    if (config_.keep_equity_samples) result_.equity_samples.push_back(summary.equity);
    until_sample_ = config_.equity_every;
  }
  latest_added_ = due || result_.ticks == 1;
  if (latest_added_) {
    add_point(tick.exch_ts, summary.equity, net);
  } else {
    latest_ = {tick.exch_ts, summary.equity, net};
  }
}

template <tm_strategy::Strategy S, TickStream Src>
void RunLoop<S, Src>::add_point(tm_types::Nanos exch_ts, tm_types::Cash equity,
                                tm_types::QtyLots position) {
  result_.curve.exch_ts.push_back(exch_ts);
  result_.curve.equity.push_back(equity);
  result_.curve.position.push_back(position);
}

template <tm_strategy::Strategy S, TickStream Src>
[[gnu::always_inline]] inline void RunLoop<S, Src>::watch(const tm_core::Summary& summary,
                                                          const tm_types::Tick& tick) {
  using tm_types::checked_sub;
  watch_equity(summary.equity);
  const bool open = summary.position != 0 || summary.short_position != 0;
  if (config_.track_margin && open) {
    const tm_types::Cash m = kernel_.account().maintenance();
    peak_maintenance_ = std::max(peak_maintenance_, m);
    const tm_types::Cash headroom = checked_sub(summary.equity, m);
    min_headroom_ = min_headroom_ ? std::min(*min_headroom_, headroom) : headroom;
  }
  if (summary.position != 0 && summary.entry > 0) {
    const std::int64_t excursion = summary.position > 0
                                       ? checked_sub(summary.entry, tm_types::low_or_last(tick))
                                       : checked_sub(tm_types::high_or_last(tick), summary.entry);
    max_adverse_ = std::max(max_adverse_, excursion);
  }
}

template <tm_strategy::Strategy S, TickStream Src>
[[gnu::always_inline]] inline void RunLoop<S, Src>::watch_equity(tm_types::Cash equity) {
  min_equity_ = std::min(min_equity_, equity);
  peak_equity_ = std::max(peak_equity_, equity);
  max_drawdown_ = std::max(max_drawdown_, tm_types::sat_sub(peak_equity_, equity));
}

template <tm_strategy::Strategy S, TickStream Src>
[[gnu::always_inline]] inline tm_strategy::Context RunLoop<S, Src>::context(
    const tm_types::Tick& tick, const tm_core::Summary& summary) const {
  return {tick,
          summary.position,
          summary.entry,
          summary.short_position,
          summary.short_entry,
          summary.equity,
          kernel_.working_count(),
          config_.instrument,
          &kernel_};
}

// Hands the strategy its notices (when it hears them) and then the tick; the
// notices are then spent.
template <tm_strategy::Strategy S, TickStream Src>
[[gnu::always_inline]] inline void RunLoop<S, Src>::ask_strategy(
    const tm_strategy::Context& context) {
  if constexpr (HearsNotices<S>) {
    if (!endings_.empty() || !closes_.empty()) strategy_.on_notices(endings_, closes_);
  }
  if (!endings_.empty()) {
    endings_.clear();
    ended_.clear();
  }
  closes_.clear();
  intents_.clear();
  strategy_.on_tick(context, intents_);
}

// Each kernel call's outputs are recorded before the working list is read again.
template <tm_strategy::Strategy S, TickStream Src>
[[gnu::always_inline]] inline void RunLoop<S, Src>::apply_intents(const tm_types::Tick& tick) {
  for (const tm_strategy::Intent& intent : intents_) {
    if (const auto* cancel = std::get_if<tm_strategy::Cancel>(&intent)) {
      send_cancel(cancel->id, tick.local_ts);
    } else if (std::holds_alternative<tm_strategy::CancelAll>(intent)) {
      to_cancel_ = kernel_.working();
      for (const tm_types::OrderId id : to_cancel_) send_cancel(id, tick.local_ts);
    } else {
      const auto& order = std::get<tm_types::Order>(intent);
      if (order.instrument != config_.instrument) {
        result_.foreign_intents = tm_types::checked_add_u(result_.foreign_intents, 1);
        continue;
      }
      record(kernel_.apply(tm_core::SubmitEvent{order, tick.exch_ts, tick.local_ts}));
    }
  }
}

template <tm_strategy::Strategy S, TickStream Src>
RunResult RunLoop<S, Src>::finish() {
  if (!latest_added_) add_point(latest_.exch_ts, latest_.equity, latest_.position);
  record(kernel_.settle_unreported());
  const tm_core::Summary summary = kernel_.summary();
  result_.strategy = std::string(strategy_.name());
  result_.min_equity = min_equity_;
  result_.final_equity = summary.equity;
  result_.fees_paid = summary.fees;
  result_.funding_paid = summary.funding;
  result_.realised = summary.realised;
  result_.max_adverse_excursion = max_adverse_;
  result_.max_drawdown = max_drawdown_;
  if (config_.track_margin) result_.margin_watch = MarginWatch{peak_maintenance_, min_headroom_};
  const tm_engine::Matcher& matcher = kernel_.account().holdings.front().matcher;
  result_.skipped_ticks = matcher.skipped_ticks();
  result_.rejected_depth_updates = matcher.rejected_depth_updates();
  return std::move(result_);
}

}  // namespace tm_backtest
