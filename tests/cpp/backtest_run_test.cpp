// The run loop end to end with small C++ strategies over in-memory ticks.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <tuple>
#include <vector>

#include "tm_backtest/run_loop.h"

namespace tm_backtest {
namespace {

using tm_strategy::Context;
using tm_strategy::Intent;
using tm_types::Cash;
using tm_types::Tick;

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
    SpanTicks source(ticks);
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

using tm_strategy::CancelAll;
using tm_strategy::Limit;
using tm_strategy::Market;
using tm_types::Offset;
using tm_types::Side;

Market buy_market(tm_types::OrderId id, tm_types::QtyLots qty, tm_types::InstrumentId inst = 1) {
  return Market{inst, Side::Buy, Offset::Open, id, qty};
}

TEST_F(Run, OrderPlacedAfterTickKIsFilledOnTickKPlusOne) {
  strategy.decide = [](int call, const Context&, std::vector<Intent>& out) {
    if (call == 2) out.push_back(buy_market(1, 1));
  };
  std::vector<Tick> ticks = flat_ticks(4);
  ticks[2].last = 60010;
  const RunResult r = run(ticks);
  ASSERT_EQ(r.fills.size(), 1u);
  EXPECT_EQ(r.fills[0].exch_ts, ticks[2].exch_ts);
  EXPECT_EQ(r.fills[0].price, 60010);
  ASSERT_EQ(strategy.seen.size(), 4u);
  EXPECT_EQ(strategy.seen[1].working, 0u);  // seen before the order was placed
  EXPECT_EQ(strategy.seen[1].position, 0);
  EXPECT_EQ(strategy.seen[2].working, 0u);  // filled by the next call
  EXPECT_EQ(strategy.seen[2].position, 1);
  EXPECT_EQ(strategy.seen[2].entry, 60010);
  EXPECT_EQ(strategy.seen[2].instrument, 1u);
  EXPECT_EQ(strategy.seen[2].tick, ticks[2]);
}

// What each call sees working after the intents of the previous ones: a resting
// order counts, a second order reusing a live id in one call is rejected, and
// CancelAll followed by a new order in one call leaves only the new order.
TEST_F(Run, WorkingCountFollowsRestsDuplicatesAndCancelAll) {
  strategy.decide = [](int call, const Context&, std::vector<Intent>& out) {
    if (call == 1) {
      out.push_back(Limit{1, Side::Buy, Offset::Open, 1, 100, 1});
      out.push_back(Limit{1, Side::Buy, Offset::Open, 1, 100, 1});
    }
    if (call == 2) out.push_back(Limit{1, Side::Buy, Offset::Open, 2, 101, 1});
    if (call == 3) {
      out.push_back(CancelAll{});
      out.push_back(Limit{1, Side::Buy, Offset::Open, 1, 102, 1});  // reuses a cancelled id
    }
  };
  run(flat_ticks(4));
  std::vector<std::size_t> working;
  for (const Context& c : strategy.seen) working.push_back(c.working);
  EXPECT_EQ(working, (std::vector<std::size_t>{0, 1, 2, 1}));
}

TEST_F(Run, IntentForAnotherInstrumentIsCountedAndDropped) {
  strategy.decide = [](int call, const Context&, std::vector<Intent>& out) {
    if (call == 1) {
      out.push_back(buy_market(1, 1, 2));
      out.push_back(Limit{2, Side::Buy, Offset::Open, 2, 100, 1});
    }
  };
  const RunResult r = run(flat_ticks(3));
  EXPECT_EQ(r.foreign_intents, 2u);
  EXPECT_TRUE(r.fills.empty());
  EXPECT_EQ(strategy.seen[1].working, 0u);
}

TEST_F(Run, FeesAreChargedAtTheConfiguredRates) {
  config.maker_fee = 200'000;
  config.taker_fee = 500'000;
  strategy.decide = [](int call, const Context&, std::vector<Intent>& out) {
    if (call == 1) out.push_back(buy_market(1, 2));
    if (call == 2) out.push_back(Limit{1, Side::Sell, Offset::Open, 2, 60000, 2});
  };
  const RunResult r = run(flat_ticks(3));
  ASSERT_EQ(r.fills.size(), 2u);
  EXPECT_TRUE(r.fills[0].taker);
  EXPECT_FALSE(r.fills[1].taker);
  EXPECT_EQ(r.fees_paid, 600'000 + 240'000);
  EXPECT_EQ(r.final_equity, config.balance - 840'000);
  EXPECT_EQ(r.realised, 0);
}

class Sampling : public Run, public ::testing::WithParamInterface<std::tuple<int, int, int>> {};

TEST_P(Sampling, TakesTheBalanceThenEveryNthTick) {
  const auto [every, ticks, expected] = GetParam();
  config.equity_every = static_cast<std::uint64_t>(every);
  const RunResult r = run(flat_ticks(ticks));
  EXPECT_EQ(r.equity_samples.size(), static_cast<std::size_t>(expected));
  if (expected > 0) {
    EXPECT_EQ(r.equity_samples[0], config.balance);
  }
  EXPECT_EQ(r.ticks, static_cast<std::uint64_t>(ticks));
}

INSTANTIATE_TEST_SUITE_P(Intervals, Sampling,
                         ::testing::Values(std::tuple{0, 5, 0}, std::tuple{1, 3, 4},
                                           std::tuple{2, 5, 3}, std::tuple{5, 12, 3},
                                           std::tuple{5, 3, 1}, std::tuple{1, 0, 1}));

TEST_F(Run, SamplesFollowEquityAfterTheSampledTicks) {
  config.equity_every = 2;
  strategy.decide = [](int call, const Context&, std::vector<Intent>& out) {
    if (call == 1) out.push_back(buy_market(1, 1));
  };
  std::vector<Tick> ticks = flat_ticks(5);
  ticks[3].last = 60100;  // tick 4: one lot up 100 ticks
  const RunResult r = run(ticks);
  EXPECT_EQ(r.equity_samples,
            (std::vector<Cash>{config.balance, config.balance, config.balance + 100 * 10000}));
}

class Adverse : public Run {
 protected:
  void SetUp() override {
    strategy.decide = [](int call, const Context&, std::vector<Intent>& out) {
      if (call == 1) out.push_back(buy_market(1, 1));
    };
  }
};

TEST_F(Adverse, MinEquityAndExcursionTrackTheWorstTick) {
  std::vector<Tick> ticks = flat_ticks(5);
  ticks[2].last = 59900;
  ticks[2].low = 59800;  // the low counts for a long's excursion
  ticks[3].last = 60050;
  const RunResult r = run(ticks);
  EXPECT_EQ(r.max_adverse_excursion, 200);
  EXPECT_EQ(r.min_equity, config.balance - 100 * 10000);
  EXPECT_EQ(r.final_equity, config.balance);
}

TEST_F(Adverse, NoPositionMeansNoExcursionAndNoMarginWatchEntries) {
  strategy.decide = nullptr;
  EXPECT_FALSE(run(flat_ticks(2)).margin_watch.has_value());  // absent unless tracked
  config.track_margin = true;
  const RunResult r = run(flat_ticks(3));
  EXPECT_EQ(r.max_adverse_excursion, 0);
  ASSERT_TRUE(r.margin_watch.has_value());
  EXPECT_EQ(r.margin_watch->peak_maintenance, 0);
  EXPECT_FALSE(r.margin_watch->min_headroom.has_value());
}

TEST_F(Adverse, MarginWatchKeepsPeakMaintenanceAndMinimumHeadroom) {
  config.track_margin = true;
  std::vector<Tick> ticks = flat_ticks(4);
  ticks[2].last = 61000;
  ticks[3].last = 59000;
  const RunResult r = run(ticks);
  ASSERT_TRUE(r.margin_watch.has_value());
  EXPECT_EQ(r.margin_watch->peak_maintenance, Cash{61000} * 10000 * 4 / 1000);
  const Cash worst = config.balance - 1000 * 10000 - Cash{59000} * 10000 * 4 / 1000;
  EXPECT_EQ(r.margin_watch->min_headroom, worst);
}

class Funded : public Run {
 protected:
  void SetUp() override {
    strategy.decide = [](int call, const Context&, std::vector<Intent>& out) {
      if (call == 1) out.push_back(Market{1, Side::Buy, Offset::Open, 1, 10});
    };
  }
};

TEST_F(Funded, EventsAreSettledBeforeTheTickTheyFallOn) {
  // Ticks at 10, 20, 30, 40; the position opens on the tick at 20.
  config.funding_schedule = tm_margin::FundingSchedule(
      {{5, 100'000, 60000}, {20, 100'000, 60000}, {30, 100'000, 60000}, {35, -100'000, 60000}});
  const RunResult r = run(flat_ticks(4));
  // The events at 5 (before the first tick) and 20 (before the fill on that
  // tick) meet a flat account; 30 charges the long, 35 pays it back.
  EXPECT_EQ(r.funding_paid, 0);
  EXPECT_EQ(r.final_equity, config.balance);
  config.funding_schedule = tm_margin::FundingSchedule({{30, 100'000, 60000}});
  strategy.seen.clear();
  const RunResult charged = run(flat_ticks(4));
  EXPECT_EQ(charged.funding_paid, -600'000);
  EXPECT_EQ(strategy.seen[2].equity, config.balance - 600'000);  // booked before tick 3
  config.funding_schedule = tm_margin::FundingSchedule({{41, 100'000, 60000}});
  strategy.seen.clear();
  EXPECT_EQ(run(flat_ticks(4)).funding_paid, 0);  // after the last tick: never settled
}

TEST_F(Funded, FundingCanLiquidate) {
  config.funding_schedule = tm_margin::FundingSchedule({{30, 0, 59100}});
  const RunResult r = run(flat_ticks(4));
  ASSERT_EQ(r.liquidations.size(), 1u);
  EXPECT_EQ(r.liquidations[0], (Liquidation{30, 59100, 10, 0, 10'000'000}));
}

class Liquidated : public Funded {};

TEST_F(Liquidated, TickAt59100ClosesTheLongAndTakesTheRest) {
  std::vector<Tick> ticks = flat_ticks(4);
  ticks[2].last = 59100;
  const RunResult r = run(ticks);
  ASSERT_EQ(r.liquidations.size(), 1u);
  EXPECT_EQ(r.liquidations[0], (Liquidation{30, 59100, 10, 0, 10'000'000}));
  EXPECT_EQ(r.realised, -90'000'000);
  EXPECT_EQ(r.final_equity, 0);
  EXPECT_EQ(r.min_equity, 0);
  EXPECT_EQ(strategy.seen[2].position, 0);
}

TEST_F(Liquidated, GapForfeitsANegativeAmountUnlessEnforcementIsOff) {
  std::vector<Tick> ticks = flat_ticks(3);
  ticks[2].last = 50000;
  const RunResult r = run(ticks);
  ASSERT_EQ(r.liquidations.size(), 1u);
  EXPECT_EQ(r.liquidations[0].forfeited, -900'000'000);
  EXPECT_EQ(r.liquidations[0].balance, 0);
  EXPECT_EQ(r.final_equity, 0);
  config.enforce_margin = false;
  strategy.seen.clear();
  const RunResult off = run(ticks);
  EXPECT_TRUE(off.liquidations.empty());
  EXPECT_EQ(off.final_equity, -900'000'000);
}

TEST_F(Liquidated, LaterOrdersFindNoFundsAndTheAccountStaysFlat) {
  strategy.decide = [](int call, const Context&, std::vector<Intent>& out) {
    if (call == 1) out.push_back(buy_market(1, 10));
    if (call >= 3) out.push_back(buy_market(static_cast<tm_types::OrderId>(call), 1));
  };
  std::vector<Tick> ticks = flat_ticks(6);
  ticks[2].last = 59100;
  const RunResult r = run(ticks);
  ASSERT_EQ(r.liquidations.size(), 1u);
  EXPECT_EQ(r.fills.size(), 1u);
  ASSERT_EQ(strategy.seen.size(), 6u);
  for (int i = 3; i < 6; ++i) {
    EXPECT_EQ(strategy.seen[i].position, 0);
    EXPECT_EQ(strategy.seen[i].working, 0u);
    EXPECT_EQ(strategy.seen[i].equity, 0);
  }
}

TEST(NoteEndings, SkipsStillWorkingAndAlreadyNotedOrders) {
  tm_types::Fill f1;
  f1.order = 1;
  tm_types::Fill f2;
  f2.order = 2;
  const std::vector<tm_core::Output> outs{f1, tm_core::Cancelled{3}, f2, tm_core::Cancelled{1},
                                          tm_core::Rejected{}};
  const std::vector<tm_types::OrderId> working{2};
  std::vector<Ending> endings;
  note_endings(outs, working, endings);
  EXPECT_EQ(endings, (std::vector<Ending>{{1, tm_strategy::Ending::Filled},
                                          {3, tm_strategy::Ending::Cancelled}}));
}

TEST(VenueCloses, ListsEachOpenLegLongFirst) {
  const tm_core::Output out = tm_core::Liquidated{1, 9, 500, 1, 0, 0, 2, -1};
  const auto closes = venue_closes(out);
  ASSERT_EQ(closes.size(), 2u);
  EXPECT_EQ(closes[0].side, Side::Buy);
  EXPECT_EQ(closes[0].qty, 2);
  EXPECT_EQ(closes[1].side, Side::Sell);
  EXPECT_EQ(closes[1].qty, 1);
  EXPECT_EQ(closes[1].price, 500);
  EXPECT_EQ(closes[1].at, 9);
  EXPECT_TRUE(venue_closes(tm_core::Cancelled{1}).empty());
}

}  // namespace
}  // namespace tm_backtest
