// The lookahead check: the spread of checked points, a strategy that decides from
// the past alone, and one fitted to the whole series that peeks.
#include <gtest/gtest.h>

#include <numeric>

#include "tm_backtest/lookahead.h"
#include "tm_margin/tier.h"

namespace tm_backtest {
namespace {

using tm_engine::Tick;
using tm_strategy::Intent;
using tm_strategy::Market;

std::vector<std::uint64_t> iota(std::uint64_t n) {
  std::vector<std::uint64_t> v(n);
  std::iota(v.begin(), v.end(), 0);
  return v;
}

TEST(Spread, AllWhenFewNoneForZeroFirstForOneAndTheEndsForTwo) {
  const std::vector<std::uint64_t> signals{3, 9, 12, 40, 41};
  EXPECT_EQ(spread(signals, 200), signals);
  EXPECT_EQ(spread(signals, 5), signals);
  EXPECT_TRUE(spread({}, 200).empty());
  EXPECT_TRUE(spread(iota(10), 0).empty());
  EXPECT_EQ(spread(signals, 1), std::vector<std::uint64_t>{3});
  EXPECT_EQ(spread(signals, 2), (std::vector<std::uint64_t>{3, 41}));
}

TEST(Spread, ManySignalsAreSpreadEvenlyRoundingDown) {
  const auto picks = spread(iota(1000), 200);
  ASSERT_EQ(picks.size(), 200u);
  for (std::uint64_t i = 0; i < 200; ++i) EXPECT_EQ(picks[i], i * 999 / 199) << i;
  EXPECT_EQ(picks.front(), 0u);
  EXPECT_EQ(picks.back(), 999u);
}

// Sends a market buy every `every` calls; when `peek` is set (a parameter fitted
// to the series it was built from) it also buys on call 10.
class Periodic {
 public:
  Periodic(bool peek, std::uint64_t every) : peek_(peek), every_(every) {}
  void on_tick(const tm_strategy::Context& ctx, std::vector<Intent>& intents) {
    const std::uint64_t call = calls_++;
    if ((peek_ && call == 10) || (call > 0 && call % every_ == 0)) {
      intents.push_back(Market{ctx.instrument, tm_types::Side::Buy, tm_types::Offset::Open, ++ids_, 1});
    }
  }
  std::string name() const { return "periodic"; }

 private:
  bool peek_;
  std::uint64_t every_;
  std::uint64_t calls_ = 0;
  tm_types::OrderId ids_ = 0;
};

class LookaheadTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (std::int64_t i = 0; i < 200; ++i) {
      const std::int64_t last = i == 150 ? 200 : 100;
      ticks_.push_back(Tick{1000 + i, 1000 + i, last, last, last, last - 1, last + 1, i});
    }
    config_.tier = Tier{};
    config_.margin_tiers = tm_margin::TierTable::example_btcusdt();
    config_.contract_size = 10000;
    config_.balance = tm_types::units_to_cash(1'000'000);
    config_.instrument = 1;
    config_.enforce_margin = true;
  }

  std::vector<Tick> ticks_;
  RunConfig config_;
};

// Strategies that decide from the past alone: clean, with the builder called
// once for the whole series and once per checked point.
TEST_F(LookaheadTest, AStrategyThatDecidesFromThePastIsClean) {
  const struct {
    std::uint64_t every, max_points, signals, checked;
  } cases[] = {
      {20, 200, 9, 9},    // calls 20, 40, ..., 180
      {1, 3, 199, 3},     // max_points bounds the reruns
      {1000, 200, 0, 0},  // a never-trading strategy is built once
  };
  for (const auto& c : cases) {
    int builds = 0;
    const auto report = lookahead<Periodic>(
        config_, [&](std::span<const Tick>) { ++builds; return Periodic(false, c.every); },
        ticks_, c.max_points);
    EXPECT_TRUE(report.divergences.empty()) << c.every;
    EXPECT_EQ(report.signals, c.signals) << c.every;
    EXPECT_EQ(report.checked, c.checked) << c.every;
    EXPECT_EQ(builds, static_cast<int>(c.checked) + 1) << c.every;
  }
}

TEST_F(LookaheadTest, AStrategyFittedToTheWholeSeriesDivergesOnTheTickItPeeksFrom) {
  int builds = 0;
  // The fitted parameter: whether the series it was built from ever traded at 200,
  // which only tick 150 does.
  auto build = [&](std::span<const Tick> prefix) {
    ++builds;
    bool peek = false;
    for (const Tick& t : prefix) peek = peek || t.last == 200;
    return Periodic(peek, 20);
  };
  const auto report = lookahead<Periodic>(config_, build, ticks_, 200);
  EXPECT_EQ(report.signals, 10u);  // 10, then 20, 40, ..., 180
  EXPECT_EQ(report.checked, 10u);
  EXPECT_EQ(builds, 11);
  // Prefixes ending before tick 150 never buy on tick 10; later ones see tick 150.
  ASSERT_EQ(report.divergences.size(), 8u);  // checked at 10, 20, ..., 140
  for (std::size_t k = 0; k < report.divergences.size(); ++k) {
    const Divergence& d = report.divergences[k];
    EXPECT_EQ(d.checked_at, k == 0 ? 10u : 20u * k);
    EXPECT_EQ(d.tick, 10u);
    EXPECT_EQ(d.exch_ts, 1010);
    ASSERT_EQ(d.expected.size(), 1u);
    EXPECT_EQ(std::get<Market>(d.expected[0]).id, 1u);
    EXPECT_TRUE(d.found.empty());
  }
}

}  // namespace
}  // namespace tm_backtest
