// Broken invariants reached through the run loop and the lookahead check: the
// call stops with tm_types::InvariantError carrying the fixed message, nothing
// is half-kept, and the next run over sound ticks is unaffected.
#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <span>
#include <string>
#include <vector>

#include "tm_backtest/lookahead.h"
#include "tm_backtest/run.h"
#include "tm_types/invariant.h"

namespace tm_backtest {
namespace {

using tm_engine::Tick;
using tm_strategy::Context;
using tm_strategy::Intent;

constexpr std::int64_t kMin = std::numeric_limits<std::int64_t>::min();

Tick quote(tm_types::Nanos t, std::int64_t last, std::int64_t low = 0) {
  Tick k{};
  k.exch_ts = t;
  k.local_ts = t;
  k.last = last;
  k.low = low;
  k.bid = last > 1 ? last - 1 : 0;
  k.ask = last > 0 ? last + 1 : 0;
  return k;
}

// Buys one lot at the market on its first call.
struct BuyOnce {
  int calls = 0;
  void on_tick(const Context& ctx, std::vector<Intent>& intents) {
    if (++calls == 1) {
      intents.push_back(tm_strategy::Market{ctx.instrument, tm_types::Side::Buy,
                                            tm_types::Offset::Open, 1, 1});
    }
  }
  std::string name() const { return "buy-once"; }
};

// Takes back an intent that an earlier strategy call appended: the recorder
// of the lookahead check refuses that.
struct Eraser {
  void on_tick(const Context& ctx, std::vector<Intent>& intents) {
    if (!intents.empty()) {
      intents.pop_back();
      return;
    }
    intents.push_back(tm_strategy::Market{ctx.instrument, tm_types::Side::Buy,
                                          tm_types::Offset::Open, 1, 1});
  }
  std::string name() const { return "eraser"; }
};

std::string message_of(auto&& call) {
  try {
    call();
  } catch (const tm_types::InvariantError& error) {
    return error.what();
  }
  return "no invariant error";
}

class Invariant : public ::testing::Test {
 protected:
  // A long position, then a tick whose `last` is the smallest price and whose
  // `low` is 0, so the adverse excursion entry - last overflows.
  std::vector<Tick> collapse{quote(1, 100, 99), quote(2, 100, 99), quote(3, kMin)};
  std::vector<Tick> sound{quote(1, 100, 99), quote(2, 100, 99), quote(3, 100, 99)};
  RunConfig config = [] {
    RunConfig c;
    c.balance = 1'000'000'000'000;
    c.enforce_margin = false;
    return c;
  }();

  RunResult run(std::span<const Tick> ticks) {
    BuyOnce strategy;
    SpanSource source(ticks);
    return run_stream(config, strategy, source);
  }
};

TEST_F(Invariant, AdverseExcursionOverflowStopsTheRunAndTheNextRunIsUnaffected) {
  const RunResult before = run(sound);
  EXPECT_EQ(message_of([&] { (void)run(collapse); }), tm_types::kArithmeticOverflow);
  const RunResult after = run(sound);
  EXPECT_EQ(after.ticks, 3u);
  ASSERT_EQ(after.fills.size(), 1u);
  EXPECT_EQ(after.fills, before.fills);
  EXPECT_EQ(after.final_equity, before.final_equity);
}

TEST_F(Invariant, LiquidationComesFirstWhenMarginIsEnforced) {
  config.enforce_margin = true;
  const RunResult r = run(collapse);
  EXPECT_EQ(r.liquidations.size(), 1u);
  EXPECT_EQ(r.ticks, 3u);
}

TEST_F(Invariant, LookaheadCheckStopsToo) {
  const auto build = [](std::span<const Tick>) { return BuyOnce{}; };
  EXPECT_EQ(message_of([&] { (void)lookahead<BuyOnce>(config, build, collapse, 200); }),
            tm_types::kArithmeticOverflow);
  const LookaheadReport report = lookahead<BuyOnce>(config, build, sound, 200);
  EXPECT_EQ(report.signals, 1u);
  EXPECT_TRUE(report.divergences.empty());
}

TEST_F(Invariant, RecorderRefusesAStrategyThatRemovesIntents) {
  // The second call takes back the intent the first one appended.
  Recorder<Eraser> recorder(Eraser{});
  std::vector<Intent> intents;
  Context ctx{};
  ctx.instrument = 1;
  recorder.on_tick(ctx, intents);
  EXPECT_EQ(message_of([&] { recorder.on_tick(ctx, intents); }),
            "a strategy removed intents it did not append");
}

}  // namespace
}  // namespace tm_backtest
