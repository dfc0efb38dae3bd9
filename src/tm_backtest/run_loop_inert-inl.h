// The run loop's inert stretches: ticks that cannot change the account, read
// and counted without the engine's full step. Included from run_loop-inl.h only.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>

namespace tm_backtest {

// Once the strategy will never act again and the account is flat with no
// order at the venue, no later tick can change it: its equity stays what it
// is now. The rest of the stream is then only read and counted, so that a
// stream still reports its own errors where a full run would meet them.
template <tm_strategy::Strategy S, TickStream Src>
[[gnu::always_inline]] inline bool RunLoop<S, Src>::can_idle(const tm_core::Summary& summary) {
  if constexpr (requires { strategy_.finished(); }) {
    return idle_ticks_inert_ && !has_funding_ && strategy_.finished() &&
           kernel_.working_count() == 0 && summary.position == 0 && summary.short_position == 0;
  }
  return false;
}

// The common refusals (a position, a working order) are tested first.
template <tm_strategy::Strategy S, TickStream Src>
[[gnu::always_inline]] inline bool RunLoop<S, Src>::inert() const {
  if (!kernel_.account().holdings.front().is_flat() || kernel_.working_count() != 0 ||
      !idle_ticks_inert_ || next_depth_ != nullptr || !cancels_.empty()) {
    return false;
  }
  return !has_funding_ || next_funding_ >= config_.funding_schedule.rates().size();
}

// A kept tick's full step would hand the strategy no notice (none is waiting)
// and the strategy would append no intent, so the stretch ends with the
// account as it began.
template <tm_strategy::Strategy S, TickStream Src>
[[gnu::noinline]] bool RunLoop<S, Src>::keep_quiet_ticks(std::span<std::byte> room) {
  if constexpr (tm_strategy::KeepsTicks<S>) {
    const std::uint64_t quiet = room.size() / sizeof(tm_types::Tick);
    if (quiet == 0 || !endings_.empty() || !closes_.empty() || !inert()) return true;
    // Written through a local pointer, so that the loop's counters stay in registers.
    const std::uint64_t read = pass_inert(quiet, kernel_.summary().equity,
                                          [to = room.data()](const tm_types::Tick& tick) mutable {
                                            std::memcpy(to, &tick, sizeof(tick));
                                            to += sizeof(tick);
                                          });
    strategy_.kept(read);
    return read == quiet;
  }
  return true;
}

template <tm_strategy::Strategy S, TickStream Src>
template <class Keep>
[[gnu::noinline]] std::uint64_t RunLoop<S, Src>::pass_inert(std::uint64_t limit,
                                                            tm_types::Cash equity, Keep keep) {
  // Counted in locals: this loop runs at the speed of the stream alone.
  Src& source = source_;
  std::uint64_t ticks = result_.ticks;
  std::uint64_t until_sample = until_sample_;
  const std::uint64_t every = config_.equity_every;
  bool latest_added = latest_added_;
  std::uint64_t read = 0;
  tm_types::Tick last;  // meaningful once `read` is not 0
  while (read < limit) {
    const tm_types::Tick* next = source.next();
    if (next == nullptr) break;
    last = *next;
    ++read;
    keep(last);
    ticks = tm_types::checked_add_u(ticks, 1);
    if (until_sample != 0) {
      latest_added = --until_sample == 0;
      if (latest_added) {
        if (config_.keep_equity_samples) result_.equity_samples.push_back(equity);
        add_point(last.exch_ts, equity, 0);
        until_sample = every;
      }
    }
  }
  if (read == 0) return 0;
  result_.ticks = ticks;
  until_sample_ = until_sample;
  latest_added_ = latest_added;
  latest_ = {last.exch_ts, equity, 0};
  watch_equity(equity);
  now_ = last.exch_ts;
  (void)kernel_.apply_tick(last);
  return read;
}

}  // namespace tm_backtest
