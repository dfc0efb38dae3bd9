// The L1 engine: agreement with L0 when every addition is off, submission and
// report latency, the quantile draw, queue consumption and release, impact,
// and cancellation across pending, queued and resting orders.
#include <gtest/gtest.h>

#include <array>
#include <random>
#include <vector>

#include "tm_backtest/run.h"
#include "tm_backtest/tier.h"
#include "tm_engine/l0.h"
#include "tm_engine/l1.h"
#include "tm_engine/l2.h"

namespace tm_engine {
namespace {

using tm_types::limit_order;
using tm_types::market_order;
using tm_types::Nanos;
using tm_types::Offset;
using tm_types::OrderId;
using tm_types::Side;

constexpr Nanos kMs = 1'000'000;

Tick tick(Nanos t, std::int64_t last, std::int64_t high, std::int64_t low, std::int64_t bid,
          std::int64_t ask, std::int64_t volume) {
  return Tick{t, t + 3, last, high, low, bid, ask, volume};
}

std::vector<L0Fill> copy(std::span<const L0Fill> fills) { return {fills.begin(), fills.end()}; }

// L2 without any depth given behaves as L1 does.
TEST(L1AgreesWithL0, WithEveryAdditionOffFillForFillOverARandomStream) {
  std::mt19937_64 rng(20261206);
  L0Engine l0(3);
  L1Engine l1(3, L1Config{});
  L2Engine l2(3, L1Config{});
  std::int64_t last = 1000;
  std::int64_t volume = 0;
  OrderId next_id = 1;
  std::vector<OrderId> live;
  std::size_t total_fills = 0;
  for (int i = 0; i < 20000; ++i) {
    last = std::max<std::int64_t>(1, last + static_cast<std::int64_t>(rng() % 11) - 5);
    volume += static_cast<std::int64_t>(rng() % 50);
    const bool quotes = rng() % 5 != 0;
    const bool range = rng() % 3 != 0;
    const Tick t = tick(i * 1000, last, range ? last + static_cast<std::int64_t>(rng() % 4) : 0,
                        range ? last - static_cast<std::int64_t>(rng() % 4) : -1,
                        quotes ? last - 1 : 0, quotes ? last + 1 : 0, volume);
    const auto a = copy(l0.on_tick(t));
    const auto b = copy(l1.on_tick(t));
    ASSERT_EQ(a, b) << "tick " << i;
    ASSERT_EQ(a, copy(l2.on_tick(t))) << "tick " << i;
    total_fills += a.size();
    for (int k = static_cast<int>(rng() % 3); k > 0; --k) {
      const OrderId id = next_id++;
      const Side side = rng() % 2 ? Side::Buy : Side::Sell;
      const auto qty = static_cast<std::int64_t>(rng() % 5 + 1);
      const tm_types::Working order =
          rng() % 4 == 0 ? market_order(id, side, qty, t.exch_ts, t.local_ts, Offset::Open)
                         : limit_order(id, side, last + static_cast<std::int64_t>(rng() % 21) - 10,
                                       qty, t.exch_ts, t.local_ts, Offset::Open);
      l0.submit(order);
      l1.submit(order, t.local_ts);
      l2.submit(order, t.local_ts);
      live.push_back(id);
    }
    if (!live.empty() && rng() % 4 == 0) {
      const OrderId id = live[rng() % live.size()];
      const bool found = l0.cancel(id);
      ASSERT_EQ(found, l1.cancel(id));
      ASSERT_EQ(found, l2.cancel(id));
    }
  }
  EXPECT_GT(total_fills, 10000u);
  const std::size_t left = l0.cancel_all();
  EXPECT_EQ(left, l1.cancel_all());
  EXPECT_EQ(left, l2.cancel_all());
  EXPECT_TRUE(l1.drain_unreported().empty());
  EXPECT_EQ(l2.invalid_ticks(), 0u);
}

TEST(L1Latency, FixedSubmissionLatencyDefersToTheFirstTickAtOrAfterArrival) {
  L1Config config;
  config.submit_latency = Latency::fixed(5 * kMs);
  L1Engine engine(1, config);
  engine.on_tick(tick(0, 100, 0, 0, 99, 100, 0));
  engine.submit(market_order(1, Side::Buy, 1, 0, 0, Offset::Open), 0);
  EXPECT_TRUE(engine.on_tick(tick(4 * kMs, 100, 0, 0, 99, 100, 0)).empty());
  EXPECT_EQ(engine.pending().size(), 1u);
  const auto fills = copy(engine.on_tick(tick(5 * kMs, 100, 0, 0, 99, 101, 0)));
  ASSERT_EQ(fills.size(), 1u);
  EXPECT_EQ(fills[0].fill.price, 101);
  EXPECT_EQ(fills[0].fill.exch_ts, 5 * kMs);
}

TEST(L1Latency, QuantileDrawIsFixedPerIdAndSplitsFiftyFortyNineOne) {
  const Latency q = Latency::quantiles(1, 2, 3, 4);
  std::array<int, 5> counts{};
  for (OrderId id = 0; id < 200000; ++id) {
    const Nanos d = q.draw(id);
    ASSERT_EQ(d, q.draw(id));
    ++counts[static_cast<std::size_t>(d)];
  }
  EXPECT_NEAR(counts[1], 100000, 1500);
  EXPECT_NEAR(counts[2], 80000, 1500);
  EXPECT_NEAR(counts[3], 18000, 700);
  EXPECT_NEAR(counts[4], 2000, 250);
  // Pinned draws: the bucket is part of every run's reproducibility.
  EXPECT_EQ(latency_bucket(0), 0xE220A8397B1DCDAFULL % 1000);
  EXPECT_TRUE(Latency::quantiles(0, 0, 0, 0).is_zero());
  EXPECT_FALSE(Latency::quantiles(0, 0, 0, 7).is_zero());
}

TEST(L1Latency, NonZeroQuantilesDeferAnOrderWhoseOwnDrawIsZero) {
  L1Config config;
  config.submit_latency = Latency::quantiles(0, 0, 0, kMs);
  L1Engine engine(1, config);
  OrderId id = 1;
  while (config.submit_latency.draw(id) != 0) ++id;
  engine.submit(market_order(id, Side::Sell, 1, 0, 0, Offset::Open), 0);
  EXPECT_EQ(engine.pending().size(), 1u);
  EXPECT_EQ(engine.on_tick(tick(0, 100, 0, 0, 99, 100, 0)).size(), 1u);
}

class L1Queue : public ::testing::Test {
 protected:
  L1Queue() {
    config.queue = QueueModel::lots(10);
  }
  L1Config config;
};

TEST_F(L1Queue, TenLotsAheadAreConsumedByFourFourFour) {
  L1Engine engine(1, config);
  engine.on_tick(tick(0, 101, 0, 0, 100, 101, 1000));
  engine.submit(limit_order(1, Side::Buy, 100, 1, 0, 0, Offset::Open), 0);
  ASSERT_EQ(engine.queued().size(), 1u);
  // Each tick trades 4 lots with 100 inside its range; the ask stays above 100.
  EXPECT_TRUE(engine.on_tick(tick(1000, 101, 101, 100, 100, 101, 1004)).empty());
  EXPECT_EQ(engine.queued()[0].ahead, 6);
  EXPECT_TRUE(engine.on_tick(tick(2000, 101, 101, 100, 100, 101, 1008)).empty());
  const auto fills = copy(engine.on_tick(tick(3000, 100, 101, 99, 99, 100, 1012)));
  EXPECT_TRUE(engine.queued().empty());
  ASSERT_EQ(fills.size(), 1u);
  EXPECT_EQ(fills[0].fill.price, 100);
}

TEST_F(L1Queue, BuyTradedThroughIsReleasedWhateverItsQueue) {
  config.queue = QueueModel::lots(1'000'000);
  L1Engine engine(1, config);
  engine.on_tick(tick(0, 101, 0, 0, 100, 101, 0));
  engine.submit(limit_order(1, Side::Buy, 100, 2, 0, 0, Offset::Open), 0);
  const auto fills = copy(engine.on_tick(tick(1000, 98, 99, 97, 98, 99, 0)));
  EXPECT_TRUE(engine.queued().empty());
  ASSERT_EQ(fills.size(), 1u);
  // Released, then crossed by the fall from 101 to 97: filled at its limit.
  EXPECT_EQ(fills[0].fill.price, 100);
  EXPECT_EQ(fills[0].kind, ExecKind::Through);
}

TEST_F(L1Queue, PercentOfTheLastIntervalSetsTheQueue) {
  config.queue = QueueModel::percent(50);
  L1Engine engine(1, config);
  engine.submit(limit_order(1, Side::Sell, 200, 1, 0, 0, Offset::Open), 0);
  EXPECT_TRUE(engine.queued().empty());  // no interval known yet: it rests at once
  engine.on_tick(tick(0, 100, 0, 0, 99, 100, 10));
  engine.on_tick(tick(1000, 100, 0, 0, 99, 100, 31));
  engine.submit(limit_order(2, Side::Sell, 200, 1, 0, 0, Offset::Open), 0);
  ASSERT_EQ(engine.queued().size(), 1u);
  EXPECT_EQ(engine.queued()[0].ahead, 10);  // 50 % of 21, truncated
}

TEST(L1Impact, HalfPercentOfRangeScaledBySquareRootOfShare) {
  EXPECT_EQ(sqrt_impact(25, 100, 50, 8), 2);
  EXPECT_EQ(sqrt_impact(25, 0, 50, 8), 0);
  EXPECT_EQ(sqrt_impact(25, 100, 0, 8), 0);
  EXPECT_EQ(sqrt_impact(25, 100, 50, 0), 0);
  EXPECT_EQ(sqrt_impact(tm_types::kI64Max, 1, 4'000'000'000u, tm_types::kI64Max),
            tm_types::kI64Max);

  L1Config config;
  config.impact = 50;
  L1Engine engine(1, config);
  engine.on_tick(tick(0, 100, 0, 0, 99, 100, 500));
  engine.submit(market_order(1, Side::Buy, 25, 0, 0, Offset::Open), 0);
  engine.submit(market_order(2, Side::Sell, 25, 0, 0, Offset::Open), 0);
  engine.submit(limit_order(3, Side::Buy, 200, 25, 0, 0, Offset::Open), 0);
  const auto fills = copy(engine.on_tick(tick(1000, 100, 104, 96, 99, 101, 600)));
  ASSERT_EQ(fills.size(), 3u);
  EXPECT_EQ(fills[0].fill.price, 103);  // ask 101 + 2
  EXPECT_EQ(fills[1].fill.price, 97);   // bid 99 - 2
  EXPECT_EQ(fills[2].fill.price, 101);  // a limit order is never moved
  // An absent low gives no range rather than one from zero.
  engine.submit(market_order(4, Side::Buy, 25, 0, 0, Offset::Open), 0);
  const auto unmoved = copy(engine.on_tick(tick(2000, 100, 104, 0, 99, 101, 700)));
  ASSERT_EQ(unmoved.size(), 1u);
  EXPECT_EQ(unmoved[0].fill.price, 101);
}

TEST(L1Reports, OneSecondReportLatencyAndDrainInDueOrder) {
  L1Config config;
  config.report_latency = Latency::quantiles(1000 * kMs, 2000 * kMs, 3000 * kMs, 4000 * kMs);
  L1Engine engine(1, config);
  // Two orders with different draws, filled on the same tick.
  OrderId slow = 1, fast = 1;
  while (config.report_latency.draw(slow) != 2000 * kMs) ++slow;
  while (config.report_latency.draw(fast) != 1000 * kMs) ++fast;
  engine.submit(market_order(slow, Side::Buy, 1, 0, 0, Offset::Open), 0);
  engine.submit(market_order(fast, Side::Buy, 1, 0, 0, Offset::Open), 0);
  EXPECT_TRUE(engine.on_tick(tick(0, 100, 0, 0, 99, 100, 0)).empty());
  EXPECT_TRUE(engine.on_tick(tick(999 * kMs, 100, 0, 0, 99, 100, 0)).empty());
  const auto reported = copy(engine.on_tick(tick(1000 * kMs, 100, 0, 0, 99, 100, 0)));
  ASSERT_EQ(reported.size(), 1u);
  EXPECT_EQ(reported[0].fill.order, fast);
  EXPECT_EQ(reported[0].fill.exch_ts, 0);  // the execution time, not the report time
  engine.submit(market_order(fast + 10'000, Side::Sell, 1, 0, 0, Offset::Open), 0);
  engine.on_tick(tick(1001 * kMs, 100, 0, 0, 99, 100, 0));
  const auto drained = engine.drain_unreported();
  ASSERT_EQ(drained.size(), 2u);
  EXPECT_EQ(drained[0].fill.order, slow);  // due at 2000 ms, before anything due after 2001 ms
  EXPECT_TRUE(engine.delayed().empty());
  EXPECT_TRUE(engine.drain_unreported().empty());
}

class L1Cancel : public ::testing::Test {
 protected:
  L1Cancel() {
    config.submit_latency = Latency::fixed(10);
    config.queue = QueueModel::percent(100);
  }
  L1Config config;
};

TEST_F(L1Cancel, CancelledPendingOrderNeverArrives) {
  L1Engine engine(1, config);
  engine.submit(market_order(1, Side::Buy, 1, 0, 0, Offset::Open), 0);
  EXPECT_TRUE(engine.cancel(1));
  EXPECT_FALSE(engine.cancel(1));
  EXPECT_TRUE(engine.on_tick(tick(100, 100, 0, 0, 99, 100, 0)).empty());
  EXPECT_TRUE(engine.inner().book().empty());
}

TEST_F(L1Cancel, CancelAllCountsPendingQueuedAndResting) {
  tm_core::Matcher m = tm_backtest::Tier::l1(config).matcher(1);
  EXPECT_EQ(m.tier_name(), "L1");
  m.on_tick(tick(0, 100, 0, 0, 99, 100, 0));
  for (OrderId id = 1; id <= 3; ++id) {
    m.submit(limit_order(id, Side::Buy, 50, 1, 0, 0, Offset::Open), 0);
  }
  m.on_tick(tick(10, 100, 101, 99, 99, 100, 0));  // V = 0: all three rest at once
  m.submit(limit_order(4, Side::Buy, 50, 1, 0, 0, Offset::Open), 10);
  m.on_tick(tick(20, 100, 101, 99, 99, 100, 1000));  // V = 1000 ahead, 50 not reached
  m.submit(limit_order(5, Side::Buy, 50, 1, 0, 0, Offset::Open), 20);
  m.submit(market_order(6, Side::Sell, 1, 0, 0, Offset::Open), 20);
  EXPECT_EQ(m.cancel_all(), 6u);
  EXPECT_EQ(m.cancel_all(), 0u);
  EXPECT_TRUE(m.on_tick(tick(30, 100, 101, 49, 49, 50, 2000)).empty());
}

// Buys one lot at market on the first tick and then does nothing.
struct BuyOnce {
  bool done = false;
  void on_tick(const tm_strategy::Context& ctx, std::vector<tm_strategy::Intent>& intents) {
    if (done) return;
    done = true;
    intents.push_back(tm_strategy::Market{ctx.instrument, Side::Buy, Offset::Open, 1, 1});
  }
  std::string name() const { return "buy-once"; }
};

TEST(L1Run, RunStreamSettlesFillsStillDelayedAfterTheLastTick) {
  tm_backtest::RunConfig config;
  L1Config l1;
  l1.report_latency = Latency::fixed(10'000 * kMs);
  config.tier = tm_backtest::Tier::l1(l1);
  config.balance = 1'000'000 * tm_types::CASH_SCALE;
  std::vector<Tick> ticks;
  for (int i = 0; i < 3; ++i) ticks.push_back(tick(i * 1000 * kMs, 100, 0, 0, 99, 101, 0));
  tm_backtest::SpanSource source(ticks);
  BuyOnce strategy;
  const tm_backtest::RunResult result = tm_backtest::run_stream(config, strategy, source);
  EXPECT_EQ(result.tier, "L1");
  EXPECT_EQ(result.ticks, 3u);
  ASSERT_EQ(result.fills.size(), 1u);
  EXPECT_EQ(result.fills[0].price, 101);
  EXPECT_EQ(result.fills[0].exch_ts, 1000 * kMs);  // made on the second tick
  EXPECT_EQ(result.skipped_ticks, 0u);
}

}  // namespace
}  // namespace tm_engine
