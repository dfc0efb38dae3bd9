// The endings a strategy hears: each order that stopped working since its
// previous call, once, by the first way it ended.
#include <gtest/gtest.h>

#include <vector>

#include "test_util.h"
#include "tm_backtest/run_loop.h"

namespace tm_backtest {
namespace {

using tm_strategy::Ending;
using tm_types::Side;

// Plays one list of intents per call and keeps the endings heard before each call.
struct Scripted {
  std::vector<std::vector<tm_strategy::Intent>> script;
  std::vector<std::vector<tm_backtest::Ending>> heard;
  std::size_t calls = 0;

  void on_notices(std::span<const tm_backtest::Ending> endings,
                  std::span<const tm_strategy::VenueClosed>) {
    heard.resize(calls + 1);
    heard[calls].assign(endings.begin(), endings.end());
  }
  void on_tick(const tm_strategy::Context&, std::vector<tm_strategy::Intent>& intents) {
    if (calls < script.size()) intents = script[calls];
    heard.resize(++calls);
  }
  std::string name() const { return "scripted"; }
};

TEST(Endings, ACancelAndAFillEachEndAnOrderAndTheFirstEndingWins) {
  using tm_types::Offset;
  using tm_types::OrderKind;
  const tm_types::Order market_3{3, Side::Buy, Offset::Open, 1, OrderKind::market(), 1};
  Scripted strategy;
  strategy.script = {
      {tm_types::Order{1, Side::Buy, Offset::Open, 1, OrderKind::limit(50), 1},
       tm_types::Order{2, Side::Buy, Offset::Open, 1, OrderKind::market(), 1}, market_3,
       tm_strategy::Cancel{3}, market_3},
      {tm_strategy::Cancel{1}},
  };
  std::vector<tm_types::Tick> ticks;
  for (int i = 1; i <= 3; ++i)
    ticks.push_back(tm_test::tick(i * tm_test::kMs, 100, 100, 100, 99, 101));
  RunConfig config;
  config.balance = 1'000'000'000'000'000;
  SpanTicks source(ticks);
  const RunResult result = run_stream(config, strategy, source);

  ASSERT_EQ(result.fills.size(), 2u);  // 2 and the second 3 filled on the second tick
  using E = tm_backtest::Ending;
  const std::vector<std::vector<E>> expected = {
      {},
      {{3, Ending::Cancelled}, {2, Ending::Filled}},
      {{1, Ending::Cancelled}},
  };
  EXPECT_EQ(strategy.heard, expected);
}

}  // namespace
}  // namespace tm_backtest
