// The lookahead check: the spread of checked points, a strategy that decides
// from the past alone, one fitted to the whole series that peeks, and the
// broken invariants that stop a check or a run.
#include <gtest/gtest.h>

#include <numeric>

#include "tm_backtest/lookahead.h"

namespace tm_backtest {
namespace {

using tm_strategy::Intent;
using tm_types::OrderKind;
using tm_types::Tick;

TEST(Spread, AllWhenFewNoneForZeroAndEvenlyRoundingDownWhenMany) {
  const std::vector<std::uint64_t> signals{3, 9, 12, 40, 41};
  EXPECT_EQ(spread(signals, 5), signals);
  EXPECT_TRUE(spread(signals, 0).empty());
  EXPECT_EQ(spread(signals, 1), std::vector<std::uint64_t>{3});
  EXPECT_EQ(spread(signals, 2), (std::vector<std::uint64_t>{3, 41}));
  std::vector<std::uint64_t> many(1000);
  std::iota(many.begin(), many.end(), 0);
  const auto picks = spread(many, 200);
  ASSERT_EQ(picks.size(), 200u);
  for (std::uint64_t i = 0; i < 200; ++i) EXPECT_EQ(picks[i], i * 999 / 199) << i;
}

// Buys every `every` calls; when `peek` is set (fitted to the series it was
// built from) it also buys on call 10. An eraser takes back an earlier intent.
struct Periodic {
  bool peek;
  std::uint64_t every, calls = 0;
  bool eraser = false;
  tm_types::OrderId ids = 0;
  void on_tick(const tm_strategy::Context& ctx, std::vector<Intent>& intents) {
    if (eraser && !intents.empty()) return intents.pop_back();
    const std::uint64_t call = calls++;
    if ((peek && call == 10) || (call > 0 && call % every == 0)) {
      intents.push_back(tm_types::Order{++ids, tm_types::Side::Buy, tm_types::Offset::Open, 1,
                                        OrderKind::market(), ctx.instrument});
    }
  }
  std::string name() const { return "periodic"; }
};

TEST(Lookahead, PastOnlyStrategiesAreCleanAndAPeekDivergesOnTheTickItPeeksFrom) {
  std::vector<Tick> ticks;
  for (std::int64_t i = 0; i < 200; ++i) {
    const std::int64_t last = i == 150 ? 200 : 100;
    ticks.push_back(Tick{1000 + i, 1000 + i, last, last, last, last - 1, last + 1, i});
  }
  RunConfig config;
  config.balance = tm_types::units_to_cash(1'000'000);
  const struct {
    bool fitted;
    std::uint64_t every, max_points, signals, checked, divergences;
  } cases[] = {
      {false, 20, 200, 9, 9, 0},    // calls 20, 40, ..., 180
      {false, 1, 3, 199, 3, 0},     // max_points bounds the reruns
      {false, 1000, 200, 0, 0, 0},  // a never-trading strategy is built once
      {true, 20, 200, 10, 10, 8},   // the prefixes ending before tick 150 never buy on 10
  };
  for (const auto& c : cases) {
    int builds = 0;
    const auto build = [&](std::span<const Tick> prefix) {
      ++builds;
      bool peek = false;
      for (const Tick& t : prefix) peek = peek || (c.fitted && t.last == 200);
      return Periodic{peek, c.every};
    };
    const auto report = lookahead<Periodic>(config, build, ticks, c.max_points);
    EXPECT_EQ(report.signals, c.signals) << c.every;
    EXPECT_EQ(report.checked, c.checked) << c.every;
    EXPECT_EQ(builds, static_cast<int>(c.checked) + 1) << c.every;
    ASSERT_EQ(report.divergences.size(), c.divergences) << c.every;
    for (std::size_t k = 0; k < report.divergences.size(); ++k) {
      const Divergence& d = report.divergences[k];
      EXPECT_EQ(d.checked_at, k == 0 ? 10u : 20u * k);
      EXPECT_EQ(std::tie(d.tick, d.exch_ts), std::tuple(10u, 1010));
      EXPECT_EQ(d.expected, (std::vector<Intent>{tm_types::Order{
                                1, tm_types::Side::Buy, {}, 1, OrderKind::market(), 1}}));
      EXPECT_TRUE(d.found.empty());
    }
  }
}

std::string message_of(auto&& call) {
  try {
    call();
  } catch (const tm_types::InvariantError& error) {
    return error.what();
  }
  return "no invariant error";
}

TEST(Lookahead, OverflowStopsTheRunAndTheCheckAndARemovedIntentStopsTheRecorder) {
  // A long, then the smallest last price without a low: the adverse excursion
  // overflows unless a liquidation closes the long first.
  const std::vector<Tick> sound{
      {1, 1, 100, 0, 0, 0, 101}, {2, 2, 100, 0, 0, 0, 101}, {3, 3, 100, 0, 0, 0, 101}};
  std::vector<Tick> collapse = sound;
  collapse[2].last = tm_types::kI64Min;
  RunConfig config;
  config.balance = 1'000'000'000'000;
  config.enforce_margin = false;
  const auto run = [&](const std::vector<Tick>& ticks) {
    Periodic strategy{false, 1};
    SpanTicks stream(ticks);
    return run_stream(config, strategy, stream);
  };
  const RunResult before = run(sound);
  EXPECT_EQ(message_of([&] { (void)run(collapse); }), tm_types::kArithmeticOverflow);
  EXPECT_EQ(run(sound).fills, before.fills);
  EXPECT_EQ(before.fills.size(), 1u);
  const auto build = [](std::span<const Tick>) { return Periodic{false, 1}; };
  EXPECT_EQ(message_of([&] { (void)lookahead<Periodic>(config, build, collapse, 200); }),
            tm_types::kArithmeticOverflow);
  config.enforce_margin = true;
  EXPECT_EQ(run(collapse).liquidations.size(), 1u);

  Recorder<Periodic> recorder(Periodic{false, 1, 0, true});
  std::vector<Intent> intents;
  recorder.on_tick({}, intents);
  recorder.on_tick({}, intents);
  EXPECT_EQ(message_of([&] { recorder.on_tick({}, intents); }),
            "a strategy removed intents it did not append");
}

}  // namespace
}  // namespace tm_backtest
