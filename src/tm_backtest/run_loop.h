// The run loop: RunLoop feeds ticks to the kernel, settles funding, records
// what the account reports, asks the strategy after every tick and turns its
// intents into kernel events; run_stream builds one and runs it. Generic over
// the strategy and the tick stream; knows nothing of Python.
#pragma once

#include <cstdint>
#include <limits>
#include <optional>
#include <span>
#include <unordered_set>
#include <utility>
#include <vector>

#include "tm_backtest/depth_stream.h"
#include "tm_backtest/run_config.h"
#include "tm_backtest/run_result.h"
#include "tm_backtest/tick_stream.h"
#include "tm_core/kernel.h"
#include "tm_strategy/strategy.h"
#include "tm_types/tick.h"

namespace tm_backtest {

using Ending = std::pair<tm_types::OrderId, tm_strategy::Ending>;

// The legs a Liquidated output closed (long or net leg first, then the short
// leg), each with a positive quantity; empty for any other output.
std::vector<tm_strategy::VenueClosed> venue_closes(const tm_core::Output& output);

// The account a run starts from: the configuration's contract, margin table,
// balance, fees, leg mode and engine, with fees charged.
tm_core::Account open_account(const RunConfig& config);

// A strategy may offer `on_notices(endings, closes)`: before each call of
// on_tick that has news, it is handed the orders that ended since its previous
// call (each once, by the first way it ended) and the legs the venue closed.
template <class S>
concept HearsNotices = requires(S& s, std::span<const Ending> endings,
                                std::span<const tm_strategy::VenueClosed> closes) {
  s.on_notices(endings, closes);
};

// A depth stream for the loop to merge with its ticks, reached through one
// function pointer so that a run without depth pays a null test per tick.
struct DepthFeed {
  void* stream = nullptr;
  const TimedDepth* (*next)(void* stream) = nullptr;

  // Borrows `stream`, which must outlive the run.
  template <DepthStream D>
  static DepthFeed of(D& stream) {
    return {&stream, [](void* s) { return static_cast<D*>(s)->next(); }};
  }
};

// One run of `strategy` over `source`. Borrows all three arguments, which
// must outlive the loop; `run` may be called once.
template <tm_strategy::Strategy S, TickStream Src>
class RunLoop {
 public:
  RunLoop(const RunConfig& config, S& strategy, Src& source);
  RunLoop(const RunLoop&) = delete;
  RunLoop& operator=(const RunLoop&) = delete;

  // Runs every tick of the stream and returns what happened. Never fails on
  // its input; a broken invariant (an overflowing counter) stops it with
  // tm_types::InvariantError.
  RunResult run();
  // Merges `feed` with the ticks: before each tick, every depth event not
  // later than it (equal exchange times included) is applied to the kernel;
  // events after the last tick are never read. Call before run().
  void merge_depth(DepthFeed feed) { depth_ = feed; }

 private:
  void apply_depth_until(tm_types::Nanos exch_ts);
  // Sends a cancellation decided at receive time `now`: at once, or after the
  // submission latency the order `id` drew when the venue has one.
  void send_cancel(tm_types::OrderId id, tm_types::Nanos now);
  void apply_due_cancels(tm_types::Nanos exch_ts);
  void settle_funding(const tm_types::Tick& tick);
  void settle(tm_margin::FundingRate rate);
  void apply_tick(const tm_types::Tick& tick);
  void record(std::span<const tm_core::Output> outputs);
  void record_liquidation(const tm_core::Liquidated& record);
  void note_ending(tm_types::OrderId id, tm_strategy::Ending ending);
  void sample_equity(const tm_types::Tick& tick, const tm_core::Summary& summary);
  void add_point(tm_types::Nanos exch_ts, tm_types::Cash equity, tm_types::QtyLots position);
  void watch(const tm_core::Summary& summary, const tm_types::Tick& tick);
  void watch_equity(tm_types::Cash equity);
  tm_strategy::Context context(const tm_types::Tick& tick, const tm_core::Summary& summary) const;
  void ask_strategy(const tm_strategy::Context& context);
  void apply_intents(const tm_types::Tick& tick);
  bool can_idle(const tm_core::Summary& summary);
  // True when no tick can change the account: flat, nothing working or on
  // its way, no depth or funding event left to apply, ticks inert to the engine.
  bool inert() const;
  // Hands the strategy the ticks it will only keep while the account is
  // inert, into `room`, which it offered for them; false when the stream
  // ended among them. Out of line, so that the full step keeps its registers.
  bool keep_quiet_ticks(std::span<std::byte> room);
  // Reads up to `limit` ticks of an inert account whose equity is `equity`,
  // counting, sampling and watching each as a full step would, and hands each
  // to `keep`; the last one is then applied to the kernel, so the account's
  // clock and mark stand where a full step leaves them. Returns how many it
  // read: fewer than `limit` only at the end of the stream.
  template <class Keep>
  std::uint64_t pass_inert(std::uint64_t limit, tm_types::Cash equity, Keep keep);
  RunResult finish();

  const RunConfig& config_;
  S& strategy_;
  Src& source_;
  tm_core::Kernel kernel_;
  RunResult result_;
  std::vector<tm_strategy::Intent> intents_;
  std::vector<Ending> endings_;                   // since the strategy's previous call
  std::unordered_set<tm_types::OrderId> ended_;   // the ids in endings_
  std::vector<tm_strategy::VenueClosed> closes_;  // since the strategy's previous call
  std::vector<tm_types::OrderId> to_cancel_;
  DepthFeed depth_;
  // Cancellations on their way to an L1/L2 venue with submission latency, by
  // send order: each reaches the kernel before the first tick at or after its
  // arrival time, as an order sent at the same moment would arrive.
  struct TravellingCancel {
    tm_types::Nanos due = 0;
    tm_types::OrderId id = 0;
  };
  std::vector<TravellingCancel> cancels_;
  const bool cancels_travel_;
  const TimedDepth* next_depth_ = nullptr;  // the feed's first event not yet applied
  std::size_t next_funding_ = 0;            // the schedule's first event not yet settled
  tm_types::Cash peak_maintenance_ = 0;
  std::optional<tm_types::Cash> min_headroom_;
  tm_types::Cash min_equity_;
  tm_types::Cash peak_equity_;
  tm_types::Cash max_drawdown_ = 0;
  tm_types::Nanos now_ = 0;  // exch_ts of the tick being processed
  // The curve's sample of the latest tick, added at the end unless it was due anyway.
  struct Point {
    tm_types::Nanos exch_ts = 0;
    tm_types::Cash equity = 0;
    tm_types::QtyLots position = 0;
  } latest_;
  bool latest_added_ = true;
  std::uint64_t until_sample_;
  std::int64_t max_adverse_ = 0;
  const bool has_funding_;
  const bool idle_ticks_inert_;
};

// Runs `strategy` over every tick of `source` against a fresh account built
// from `config`, and returns what happened.
template <tm_strategy::Strategy S, TickStream Src>
RunResult run_stream(const RunConfig& config, S& strategy, Src& source) {
  return RunLoop<S, Src>(config, strategy, source).run();
}

// run_stream with `depth` merged into the ticks by exchange time.
template <tm_strategy::Strategy S, TickStream Src, DepthStream D>
RunResult run_stream(const RunConfig& config, S& strategy, Src& source, D& depth) {
  RunLoop<S, Src> loop(config, strategy, source);
  loop.merge_depth(DepthFeed::of(depth));
  return loop.run();
}

}  // namespace tm_backtest

#include "tm_backtest/run_loop-inl.h"
#include "tm_backtest/run_loop_inert-inl.h"
