// The L0 engine tick by tick: the first tick, range crossing in arrival order on
// one side only, quote touches, market orders, absent quotes, fill numbering,
// cancellation, and the Matcher and Tier that wrap it.
#include <gtest/gtest.h>

#include <vector>

#include "tm_backtest/tier.h"
#include "tm_core/matcher.h"
#include "tm_engine/l0.h"

namespace tm_engine {
namespace {

using tm_types::limit_order;
using tm_types::market_order;
using tm_types::Offset;
using tm_types::OrderId;
using tm_types::Side;

Tick tick(tm_types::Nanos t, std::int64_t last, std::int64_t high = 0, std::int64_t low = 0,
          std::int64_t bid = 0, std::int64_t ask = 0) {
  return Tick{t, t + 5, last, high, low, bid, ask, 0};
}

class L0Test : public ::testing::Test {
 protected:
  void buy(OrderId id, std::int64_t price, std::int64_t qty = 1) {
    engine.submit(limit_order(id, Side::Buy, price, qty, 0, 0, Offset::Open));
  }
  void sell(OrderId id, std::int64_t price, std::int64_t qty = 1) {
    engine.submit(limit_order(id, Side::Sell, price, qty, 0, 0, Offset::Close));
  }
  std::vector<L0Fill> run(const Tick& t) {
    auto fills = engine.on_tick(t);
    return {fills.begin(), fills.end()};
  }
  L0Engine engine{9};
};

TEST_F(L0Test, FirstTickHasNoRangeCrossingAndFillsAtTheBetterOfLimitAndLast) {
  buy(1, 100, 3);
  const auto fills = run(tick(1000, 97, 0, 95));
  ASSERT_EQ(fills.size(), 1u);
  EXPECT_EQ(fills[0].kind, ExecKind::Touch);
  EXPECT_EQ(fills[0].fill.price, 97);
  EXPECT_EQ(fills[0].fill.qty, 3);
  EXPECT_EQ(fills[0].fill.exch_ts, 1000);
  EXPECT_EQ(fills[0].fill.local_ts, 1005);
  EXPECT_EQ(fills[0].fill.instrument, 9u);
  EXPECT_FALSE(fills[0].fill.taker);
}

TEST_F(L0Test, RisingRangeFillsSellsAtTheirLimitStampedWithThePreviousTick) {
  run(tick(1000, 100, 0, 0, 99, 101));
  sell(1, 103);
  buy(2, 98);
  const auto fills = run(tick(2000, 100, 105, 96, 99, 101));
  ASSERT_EQ(fills.size(), 1u);
  EXPECT_EQ(fills[0].fill.order, 1u);
  EXPECT_EQ(fills[0].fill.price, 103);
  EXPECT_EQ(fills[0].kind, ExecKind::Through);
  EXPECT_EQ(fills[0].fill.exch_ts, 1000);
  EXPECT_EQ(fills[0].fill.local_ts, 1005);
  // The buy at 98 was not examined by the range and the ask 101 is above it.
  EXPECT_EQ(engine.book().buy_limits().size(), 1u);
}

TEST_F(L0Test, BuyLeftByTheRangeIsJudgedAgainstTheLowWhenThereIsNoAsk) {
  run(tick(1000, 100));
  sell(1, 103);
  buy(2, 98);
  const auto fills = run(tick(2000, 99, 105, 96));
  ASSERT_EQ(fills.size(), 2u);
  EXPECT_EQ(fills[0].fill.order, 1u);
  EXPECT_EQ(fills[1].fill.order, 2u);
  EXPECT_EQ(fills[1].kind, ExecKind::Touch);
  EXPECT_EQ(fills[1].fill.price, 98);  // min(limit 98, last 99)
  EXPECT_EQ(fills[1].fill.exch_ts, 2000);
}

TEST_F(L0Test, RangeCrossingFillsInArrivalOrderNotPriceOrder) {
  run(tick(1000, 100, 0, 0, 99, 100));
  sell(1, 102);
  sell(2, 101);
  const auto fills = run(tick(2000, 100, 103, 0, 99, 100));
  ASSERT_EQ(fills.size(), 2u);
  EXPECT_EQ(fills[0].fill.order, 1u);
  EXPECT_EQ(fills[0].fill.price, 102);
  EXPECT_EQ(fills[1].fill.order, 2u);
  EXPECT_EQ(fills[1].fill.price, 101);
  EXPECT_EQ(fills[0].fill.seq, 1u);
  EXPECT_EQ(fills[1].fill.seq, 2u);
}

TEST_F(L0Test, FallingRangeFillsBuysInsideItOnly) {
  run(tick(1000, 100, 0, 0, 100, 101));
  buy(1, 97);
  buy(2, 100);  // at the previous last: outside the open interval
  buy(3, 94);   // below the low
  const auto fills = run(tick(2000, 100, 0, 95, 100, 101));
  ASSERT_EQ(fills.size(), 1u);
  EXPECT_EQ(fills[0].fill.order, 1u);
  EXPECT_EQ(fills[0].fill.price, 97);
  EXPECT_EQ(fills[0].kind, ExecKind::Through);
}

TEST_F(L0Test, MarketableLimitFillsAtTheAskNotItsLimit) {
  run(tick(1000, 100, 0, 0, 104, 105));
  buy(1, 110);
  sell(2, 90);
  const auto fills = run(tick(2000, 104, 0, 0, 104, 105));
  ASSERT_EQ(fills.size(), 2u);
  EXPECT_EQ(fills[0].fill.price, 105);
  EXPECT_EQ(fills[1].fill.price, 104);
  EXPECT_FALSE(fills[0].fill.taker);
  EXPECT_EQ(fills[0].kind, ExecKind::Touch);
}

TEST_F(L0Test, MarketOrdersPayTheOppositeQuoteOrLastWhenItIsEmpty) {
  engine.submit(market_order(1, Side::Buy, 2, 0, 0, Offset::Open));
  engine.submit(market_order(2, Side::Sell, 3, 0, 0, Offset::Open));
  engine.submit(market_order(3, Side::Buy, 1, 0, 0, Offset::Open));
  const auto fills = run(tick(1000, 250, 0, 0, 249, 0));
  ASSERT_EQ(fills.size(), 3u);
  EXPECT_EQ(fills[0].fill.order, 1u);
  EXPECT_EQ(fills[0].fill.price, 250);
  EXPECT_EQ(fills[1].fill.order, 3u);
  EXPECT_EQ(fills[2].fill.order, 2u);
  EXPECT_EQ(fills[2].fill.price, 249);
  for (const L0Fill& f : fills) {
    EXPECT_TRUE(f.fill.taker);
    EXPECT_EQ(f.kind, ExecKind::AtQuote);
  }
}

TEST_F(L0Test, NegativeQuotesAndExtremesCountAsAbsent) {
  run(tick(1000, 100));
  engine.submit(market_order(1, Side::Sell, 1, 0, 0, Offset::Open));
  sell(2, 101);
  // High -7 stands for last, so no rise; bid -1 stands for last as the base.
  const auto fills = run(Tick{2000, 2000, 100, -7, -3, -1, -2, 0});
  ASSERT_EQ(fills.size(), 1u);
  EXPECT_EQ(fills[0].fill.order, 1u);
  EXPECT_EQ(fills[0].fill.price, 100);
  EXPECT_EQ(engine.book().sell_limits().size(), 1u);
}

TEST_F(L0Test, OrdersSubmittedAfterATickWaitForTheNext) {
  run(tick(1000, 100, 0, 0, 99, 100));
  buy(1, 100);
  EXPECT_EQ(engine.book().size(), 1u);
  EXPECT_EQ(run(tick(2000, 100, 0, 0, 99, 100)).size(), 1u);
  EXPECT_TRUE(run(tick(3000, 100, 0, 0, 99, 100)).empty());
}

TEST_F(L0Test, CancelFindsOnlyOrdersStillInTheBookAndCancelAllCountsEveryList) {
  buy(1, 100);
  buy(2, 50);
  run(tick(1000, 100, 0, 0, 99, 100));
  EXPECT_FALSE(engine.cancel(1));   // filled
  EXPECT_FALSE(engine.cancel(77));  // never existed
  EXPECT_TRUE(engine.cancel(2));
  EXPECT_FALSE(engine.cancel(2));

  EXPECT_EQ(engine.cancel_all(), 0u);
  buy(3, 90);
  sell(4, 110);
  engine.submit(market_order(5, Side::Buy, 1, 0, 0, Offset::Open));
  engine.submit(market_order(6, Side::Sell, 1, 0, 0, Offset::Open));
  EXPECT_EQ(engine.cancel_all(), 4u);
  EXPECT_TRUE(engine.book().empty());
  EXPECT_TRUE(run(tick(2000, 100, 0, 0, 99, 101)).empty());
}

TEST(L0Numbering, EachEngineNumbersItsFillsFromOne) {
  L0Engine a(1), b(2);
  for (OrderId id = 1; id <= 3; ++id) {
    a.submit(market_order(id, Side::Buy, 1, 0, 0, Offset::Open));
  }
  b.submit(market_order(10, Side::Sell, 1, 0, 0, Offset::Open));
  const auto fa = a.on_tick(tick(1, 100));
  ASSERT_EQ(fa.size(), 3u);
  EXPECT_EQ(fa[2].fill.seq, 3u);
  const auto fb = b.on_tick(tick(1, 100));
  ASSERT_EQ(fb.size(), 1u);
  EXPECT_EQ(fb[0].fill.seq, 1u);
  EXPECT_EQ(fb[0].fill.instrument, 2u);
  a.submit(market_order(4, Side::Buy, 1, 0, 0, Offset::Open));
  EXPECT_EQ(a.on_tick(tick(2, 100))[0].fill.seq, 4u);
}

TEST(L0Matcher, TierL0BuildsAMatcherThatReportsEverythingAtOnce) {
  const tm_backtest::Tier tier = tm_backtest::Tier::l0();
  EXPECT_EQ(tier.name(), "L0");
  tm_core::Matcher m = tier.matcher(4);
  EXPECT_EQ(m.tier_name(), "L0");
  EXPECT_EQ(m.instrument(), 4u);
  m.submit(limit_order(1, Side::Buy, 100, 2, 0, 0, Offset::Open), 0);
  m.submit(limit_order(2, Side::Buy, 90, 2, 0, 0, Offset::Open), 0);
  EXPECT_EQ(m.on_tick(tick(1, 100, 0, 0, 99, 100)).size(), 1u);
  EXPECT_TRUE(m.drain_unreported().empty());
  EXPECT_EQ(m.skipped_ticks(), 0u);
  tm_core::Matcher moved = std::move(m);
  EXPECT_EQ(moved.cancel_all(), 1u);
  EXPECT_FALSE(moved.cancel(2));
}

}  // namespace
}  // namespace tm_engine
