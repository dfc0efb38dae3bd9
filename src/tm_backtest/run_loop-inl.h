// The body of run_stream; included from run_loop.h only.
#pragma once

#include <algorithm>
#include <limits>
#include <variant>

namespace tm_backtest {
namespace run_detail {

inline void record_liquidation(const tm_core::Liquidated& r, std::vector<Liquidation>& liquidations,
                               std::vector<tm_strategy::VenueClosed>& notices) {
  liquidations.push_back({r.at, r.price, r.qty, r.balance, r.forfeited});
  for (const auto& close : venue_closes(tm_core::Output(r))) notices.push_back(close);
}

inline tm_core::Account open_account(const RunConfig& config) {
  tm_core::Account state(config.instrument, config.contract_size, config.margin_tiers,
                         config.balance);
  state.maker_fee = config.maker_fee;
  state.taker_fee = config.taker_fee;
  state.two_leg = config.two_leg;
  state.fees_charged = true;
  state = tm_core::Account::matching_with(std::move(state),
                                          config.execution.matcher(config.instrument));
  if (!config.enforce_margin) state.liquidation_enabled = false;
  return state;
}

// The kernel submission of a Limit or Market intent, placed at the tick's times.
inline tm_core::SubmitEvent submission(const tm_strategy::Intent& intent,
                                       const tm_types::Tick& tick) {
  if (const auto* limit = std::get_if<tm_strategy::Limit>(&intent)) {
    return {limit->id, limit->side,  limit->offset, limit->qty,       limit->price,
            true,      tick.exch_ts, tick.local_ts, limit->instrument};
  }
  const auto& market = std::get<tm_strategy::Market>(intent);
  return {market.id, market.side,  market.offset, market.qty,       0,
          false,     tick.exch_ts, tick.local_ts, market.instrument};
}

}  // namespace run_detail

template <tm_strategy::Strategy S, TickStream Src>
RunResult run_stream(const RunConfig& config, S& strategy, Src& source) {
  using tm_types::checked_add_u;
  using tm_types::checked_sub;

  tm_core::Kernel kernel(run_detail::open_account(config));
  RunResult result;
  result.tier = std::string(kernel.account().holdings.front().matcher.name());
  if (config.equity_every != 0) result.equity_samples.push_back(config.balance);

  std::vector<tm_strategy::Intent> intents;
  std::vector<Ending> endings;
  std::vector<tm_strategy::VenueClosed> notices;
  std::vector<tm_types::OrderId> to_cancel;
  intents.reserve(16);
  endings.reserve(16);
  to_cancel.reserve(16);

  const bool has_funding = !config.funding_schedule.empty();
  tm_types::Nanos last_funding = std::numeric_limits<tm_types::Nanos>::min();
  tm_types::Cash peak_maintenance = 0;
  std::optional<tm_types::Cash> min_headroom;
  std::uint64_t ticks = 0;
  std::uint64_t foreign_intents = 0;
  std::int64_t max_adverse = 0;
  // Settings read on every tick, held locally so the loop keeps them in registers.
  const std::uint64_t equity_every = config.equity_every;
  const bool track_margin = config.track_margin;
  const tm_types::InstrumentId instrument = config.instrument;
  std::uint64_t until_sample = equity_every;
  tm_types::Cash min_equity = config.balance;
  const bool idle_ticks_inert = kernel.account().holdings.front().matcher.idle_ticks_inert();

  while (const tm_types::Tick* next = source.next()) {
    const tm_types::Tick tick = *next;

    if (has_funding) {
      for (const tm_margin::FundingRate& rate :
           config.funding_schedule.between(last_funding, tick.exch_ts)) {
        for (const tm_core::Output& out : kernel.apply(tm_core::FundingEvent{rate, std::nullopt})) {
          if (const auto* r = std::get_if<tm_core::Liquidated>(&out)) {
            run_detail::record_liquidation(*r, result.liquidations, notices);
          }
        }
      }
      last_funding = std::max(last_funding, tick.exch_ts);
    }

    ticks = checked_add_u(ticks, 1);
    const std::span<const tm_core::Output> outs = kernel.apply_tick(tick);
    if (!outs.empty()) {
      note_endings(outs, kernel.working(), endings);
      for (const tm_core::Output& out : outs) {
        if (const auto* fill = std::get_if<tm_types::Fill>(&out)) {
          result.fills.push_back(*fill);
        } else if (const auto* r = std::get_if<tm_core::Liquidated>(&out)) {
          run_detail::record_liquidation(*r, result.liquidations, notices);
        }
      }
    }

    const tm_core::Summary summary = kernel.summary();
    if (until_sample != 0 && --until_sample == 0) {
      result.equity_samples.push_back(summary.equity);
      until_sample = equity_every;
    }
    min_equity = std::min(min_equity, summary.equity);
    const bool open = summary.position != 0 || summary.short_position != 0;
    if (track_margin && open) {
      const tm_types::Cash m = kernel.account().maintenance();
      peak_maintenance = std::max(peak_maintenance, m);
      const tm_types::Cash headroom = checked_sub(summary.equity, m);
      min_headroom = min_headroom ? std::min(*min_headroom, headroom) : headroom;
    }
    if (summary.position != 0 && summary.entry > 0) {
      const std::int64_t excursion = summary.position > 0
                                         ? checked_sub(summary.entry, tm_types::low_or_last(tick))
                                         : checked_sub(tm_types::high_or_last(tick), summary.entry);
      max_adverse = std::max(max_adverse, excursion);
    }

    const tm_strategy::Context context{tick,
                                       summary.position,
                                       summary.entry,
                                       summary.short_position,
                                       summary.short_entry,
                                       summary.equity,
                                       kernel.working().size(),
                                       instrument};
    intents.clear();
    notices.clear();
    endings.clear();
    strategy.on_tick(context, intents);

    for (const tm_strategy::Intent& intent : intents) {
      if (const auto* cancel = std::get_if<tm_strategy::Cancel>(&intent)) {
        note_endings(kernel.apply(tm_core::CancelEvent{cancel->id}), kernel.working(), endings);
      } else if (std::holds_alternative<tm_strategy::CancelAll>(intent)) {
        to_cancel.assign(kernel.working().begin(), kernel.working().end());
        for (const tm_types::OrderId id : to_cancel) {
          note_endings(kernel.apply(tm_core::CancelEvent{id}), kernel.working(), endings);
        }
      } else {
        const tm_core::SubmitEvent submit = run_detail::submission(intent, tick);
        if (*submit.instrument != instrument) {
          foreign_intents = checked_add_u(foreign_intents, 1);
          continue;
        }
        note_endings(kernel.apply(submit), kernel.working(), endings);
      }
    }

    // Once the strategy will never act again and the account is flat with no
    // order at the venue, no later tick can change it: its equity stays what it
    // is now. The rest of the stream is then only read and counted, so that a
    // source still reports its own errors where a full run would meet them.
    if constexpr (requires { strategy.finished(); }) {
      if (idle_ticks_inert && !has_funding && strategy.finished() && kernel.working().empty() &&
          summary.position == 0 && summary.short_position == 0) {
        std::optional<tm_types::Tick> last;
        while (const tm_types::Tick* rest = source.next()) {
          last = *rest;
          ticks = checked_add_u(ticks, 1);
          if (until_sample != 0 && --until_sample == 0) {
            result.equity_samples.push_back(summary.equity);
            until_sample = equity_every;
          }
        }
        // The account's clock and mark end where a full run leaves them.
        if (last) (void)kernel.apply_tick(*last);
        break;
      }
    }
  }

  for (const tm_core::Output& out : kernel.settle_unreported()) {
    if (const auto* fill = std::get_if<tm_types::Fill>(&out)) result.fills.push_back(*fill);
  }
  const tm_core::Summary summary = kernel.summary();
  result.strategy = std::string(strategy.name());
  result.ticks = ticks;
  result.min_equity = min_equity;
  result.final_equity = summary.equity;
  result.fees_paid = summary.fees;
  result.funding_paid = summary.funding;
  result.realised = summary.realised;
  result.max_adverse_excursion = max_adverse;
  if (config.track_margin) result.margin_watch = MarginWatch{peak_maintenance, min_headroom};
  result.skipped_ticks = kernel.account().holdings.front().matcher.skipped_ticks();
  result.foreign_intents = foreign_intents;
  return result;
}

}  // namespace tm_backtest
