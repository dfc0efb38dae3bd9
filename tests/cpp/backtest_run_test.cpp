// The run loop end to end with small C++ strategies over in-memory ticks.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "tm_backtest/run.h"

namespace tm_backtest {
namespace {

using tm_engine::Tick;
using tm_strategy::Context;
using tm_strategy::Intent;
using tm_types::Cash;

Tick tick_at(tm_types::Nanos t, std::int64_t last) {
  Tick k;
  k.exch_ts = t;
  k.local_ts = t + 1;
  k.last = last;
  return k;
}

// A strategy whose decisions are a function of the call number and the context.
struct Scripted {
  std::function<void(int call, const Context&, std::vector<Intent>&)> decide;
  std::vector<Context> seen;
  void on_tick(const Context& ctx, std::vector<Intent>& intents) {
    seen.push_back(ctx);
    if (decide) decide(static_cast<int>(seen.size()), ctx, intents);
  }
  std::string name() const { return "scripted"; }
};
static_assert(tm_strategy::Strategy<Scripted>);

class Run : public ::testing::Test {
 protected:
  RunResult run(const std::vector<Tick>& ticks) {
    SpanSource source(ticks);
    return run_stream(config, strategy, source);
  }
  static std::vector<Tick> flat_ticks(int n, std::int64_t last = 60000) {
    std::vector<Tick> ticks;
    for (int i = 1; i <= n; ++i) ticks.push_back(tick_at(i * 10, last));
    return ticks;
  }
  RunConfig config = [] {
    RunConfig c;
    c.balance = 100'000'000;
    return c;
  }();
  Scripted strategy;
};

TEST_F(Run, EmptySourceNeverCallsTheStrategy) {
  const RunResult r = run({});
  EXPECT_EQ(r.ticks, 0u);
  EXPECT_TRUE(r.fills.empty());
  EXPECT_EQ(r.final_equity, config.balance);
  EXPECT_EQ(r.min_equity, config.balance);
  EXPECT_TRUE(strategy.seen.empty());
  EXPECT_EQ(r.strategy, "scripted");
  EXPECT_EQ(r.tier, "L0");
}

}  // namespace
}  // namespace tm_backtest
