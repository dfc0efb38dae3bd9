// A run whose strategy has finished and whose account can no longer change
// skips the rest of the stream's work, with exactly the result of a full run.
#include <gtest/gtest.h>

#include "tm_backtest/run_loop.h"

namespace tm_backtest {
namespace {

using tm_strategy::Intent;
using tm_strategy::Market;
using tm_types::Tick;

// Buys on the first call and sells on the `sell_at`-th; acts no more after the
// `stop_after`-th call. Only `Finishing` says so.
struct RoundTrip {
  std::uint64_t sell_at, stop_after, calls = 0;
  void on_tick(const tm_strategy::Context& ctx, std::vector<Intent>& intents) {
    ++calls;
    if (calls > stop_after) return;
    if (calls == 1) intents.push_back(Market{ctx.instrument, tm_types::Side::Buy, {}, 1, 3});
    if (calls == sell_at) intents.push_back(Market{ctx.instrument, tm_types::Side::Sell, {}, 2, 3});
  }
  std::string name() const { return "round-trip"; }
};
struct Finishing : RoundTrip {
  bool finished() const { return calls >= stop_after; }
};

std::vector<Tick> series(std::int64_t n) {
  std::vector<Tick> ticks;
  for (std::int64_t i = 0; i < n; ++i) {
    const std::int64_t last = 60000 + (i * 37 % 101) - 50;
    ticks.push_back(Tick{i, i, last, last + 3, last - 3, last - 1, last + 1, i * 5});
  }
  return ticks;
}

template <class S>
RunResult run(S& strategy, const std::vector<Tick>& ticks, std::uint64_t equity_every) {
  RunConfig config;
  config.balance = tm_types::units_to_cash(1000);
  config.equity_every = equity_every;
  config.track_margin = true;
  SpanTicks source(ticks);
  return run_stream(config, strategy, source);
}

void expect_same(const RunResult& a, const RunResult& b) {
  EXPECT_EQ(a.ticks, b.ticks);
  EXPECT_EQ(a.fills, b.fills);
  EXPECT_EQ(a.equity_samples, b.equity_samples);
  EXPECT_EQ(a.final_equity, b.final_equity);
  EXPECT_EQ(a.min_equity, b.min_equity);
  EXPECT_EQ(a.realised, b.realised);
  EXPECT_EQ(a.max_adverse_excursion, b.max_adverse_excursion);
  EXPECT_EQ(a.margin_watch->peak_maintenance, b.margin_watch->peak_maintenance);
  EXPECT_EQ(a.margin_watch->min_headroom, b.margin_watch->min_headroom);
}

TEST(IdleRun, AFinishedStrategyOverAFlatAccountGivesTheFullRunsResult) {
  const auto ticks = series(1000);
  for (std::uint64_t every : {0u, 1u, 7u}) {
    RoundTrip full{50, 60};
    Finishing skipping{{50, 60}};
    const RunResult expected = run(full, ticks, every);
    const RunResult found = run(skipping, ticks, every);
    expect_same(expected, found);
    EXPECT_EQ(expected.fills.size(), 2u);
    EXPECT_EQ(full.calls, 1000u);
    EXPECT_EQ(skipping.calls, 60u);  // never called once it had finished
  }
}

TEST(IdleRun, AnOpenPositionKeepsEveryTickAtWork) {
  const auto ticks = series(500);
  RoundTrip full{10'000, 20};  // buys, never sells: the position stays open
  Finishing skipping{{10'000, 20}};
  expect_same(run(full, ticks, 3), run(skipping, ticks, 3));
  EXPECT_EQ(skipping.calls, 500u);
}

}  // namespace
}  // namespace tm_backtest
