// The L2 engine: queue positions from depth, market orders priced by walking
// it, invalidity after a refused update and recovery by snapshot, and a long
// randomised stream through a kernel that must never lose or double an order.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <random>
#include <set>
#include <vector>

#include "tm_backtest/tier.h"
#include "tm_core/kernel.h"
#include "tm_engine/l2.h"
#include "tm_margin/tier.h"

namespace tm_engine {
namespace {

using tm_book::DepthSnapshot;
using tm_book::DepthUpdate;
using tm_types::limit_order;
using tm_types::market_order;
using tm_types::Nanos;
using tm_types::Offset;
using tm_types::OrderId;
using tm_types::Side;

constexpr Nanos kMs = 1'000'000;

Tick tick(Nanos t, std::int64_t last, std::int64_t high, std::int64_t low, std::int64_t bid,
          std::int64_t ask, std::int64_t volume) {
  return Tick{t, t + 1, last, high, low, bid, ask, volume};
}

std::vector<L0Fill> copy(std::span<const L0Fill> fills) { return {fills.begin(), fills.end()}; }

class L2Test : public ::testing::Test {
 protected:
  void start(const L1Config& c) {
    engine = std::make_unique<L2Engine>(1, c);
    engine->install_snapshot(
        DepthSnapshot{100, {{99, 7}, {98, 5}}, {{100, 2}, {101, 2}, {103, 10}}});
  }
  L1Config config;
  std::unique_ptr<L2Engine> engine;
};

TEST_F(L2Test, MarketBuysWalkTheAsksProgressivelyWithinATick) {
  start(config);
  engine->on_tick(tick(0, 100, 0, 0, 99, 100, 0));
  engine->submit(market_order(1, Side::Buy, 5, 0, 0, Offset::Open), 0);
  engine->submit(market_order(2, Side::Buy, 3, 0, 0, Offset::Open), 0);
  const auto fills = copy(engine->on_tick(tick(1000, 100, 0, 0, 99, 100, 0)));
  ASSERT_EQ(fills.size(), 2u);
  EXPECT_EQ(fills[0].fill.price, 101);  // 505 / 5 rounded up, above the ask of 100
  EXPECT_EQ(fills[1].fill.price, 103);  // starts from (103 x 9)
  EXPECT_EQ(engine->depth_priced(), 2u);
  // The book itself is not consumed: the next tick walks it afresh.
  EXPECT_EQ(engine->depth().asks().size_at(100), 2);
}

TEST_F(L2Test, TooThinADepthFallsBackToSquareRootImpact) {
  config.impact = 50;
  start(config);
  engine->on_tick(tick(0, 100, 0, 0, 99, 100, 1000));
  engine->submit(market_order(1, Side::Buy, 50, 0, 0, Offset::Open), 0);
  // 14 lots of asks for 50 wanted; V = 200, R = 8: sqrt(0.25) * 4 = 2.
  const auto fills = copy(engine->on_tick(tick(1000, 100, 104, 96, 99, 100, 1200)));
  ASSERT_EQ(fills.size(), 1u);
  EXPECT_EQ(fills[0].fill.price, 102);
  EXPECT_EQ(engine->fallbacks(), 1u);
  EXPECT_EQ(engine->depth_priced(), 0u);
}

TEST_F(L2Test, BuyLimitQueuesBehindTheBidSizeAtItsPriceFromNow) {
  start(config);
  engine->on_tick(tick(0, 100, 0, 0, 99, 100, 0));
  engine->submit(limit_order(1, Side::Buy, 99, 1, 0, 0, Offset::Open), 500);
  engine->submit(limit_order(2, Side::Buy, 97, 1, 0, 0, Offset::Open), 500);
  const auto queued = engine->l1().queued();
  ASSERT_EQ(queued.size(), 1u);  // nothing shown at 97: it rests at once
  EXPECT_EQ(queued[0].order.id, 1u);
  EXPECT_EQ(queued[0].ahead, 7);
  EXPECT_EQ(queued[0].queue_start, 500);
  EXPECT_EQ(engine->l1().inner().book().buy_limits().size(), 1u);
}

TEST_F(L2Test, PendingOrderReadsItsQueueFromTheDepthAtItsArrival) {
  config.submit_latency = Latency::fixed(5 * kMs);
  start(config);
  engine->on_tick(tick(0, 100, 0, 0, 99, 100, 0));
  engine->submit(limit_order(1, Side::Buy, 99, 1, 0, 0, Offset::Open), 0);
  EXPECT_EQ(engine->l1().pending()[0].explicit_ahead, 7);  // as shown at submission
  // Stamped before the arrival at 5 ms: the order is not refreshed by it.
  ASSERT_FALSE(engine->on_depth(DepthUpdate{std::nullopt, 101, 101, {{99, 4}}, {}, 3}));
  EXPECT_EQ(engine->l1().pending()[0].explicit_ahead, 7);
  // This update is stamped after the arrival: the order reads the depth before it.
  ASSERT_FALSE(engine->on_depth(DepthUpdate{101, 102, 102, {{99, 50}}, {}, 10}));
  EXPECT_EQ(engine->l1().pending()[0].explicit_ahead, 4);
  engine->on_tick(tick(10 * kMs, 100, 0, 0, 99, 100, 0));
  ASSERT_EQ(engine->l1().queued().size(), 1u);
  EXPECT_EQ(engine->l1().queued()[0].ahead, 4);
  EXPECT_EQ(engine->l1().queued()[0].queue_start, 5 * kMs);
}

TEST_F(L2Test, GapInvalidatesUntilANewSnapshot) {
  config.report_latency = Latency::fixed(2000);
  start(config);
  ASSERT_FALSE(engine->on_depth(DepthUpdate{std::nullopt, 101, 120, {}, {}, 0}));
  engine->on_tick(tick(0, 100, 0, 0, 99, 100, 0));
  engine->submit(market_order(1, Side::Buy, 1, 0, 0, Offset::Open), 0);
  EXPECT_TRUE(engine->on_tick(tick(1000, 100, 0, 0, 99, 100, 0)).empty());  // delayed

  const auto error = engine->on_depth(DepthUpdate{119, 121, 122, {}, {}, 0});
  ASSERT_TRUE(error.has_value());
  EXPECT_EQ(error->kind, tm_book::DepthError::Kind::Gap);
  EXPECT_EQ(error->last, 120u);
  EXPECT_EQ(error->expected, 119u);
  EXPECT_TRUE(engine->invalid());
  EXPECT_FALSE(engine->depth_available());
  EXPECT_TRUE(engine->depth().bids().levels().empty());
  EXPECT_FALSE(engine->depth().snapshot_id().has_value());
  EXPECT_EQ(engine->rejected_updates(), 1u);

  // While invalid, orders wait and ticks only release due reports.
  engine->submit(market_order(2, Side::Sell, 1, 0, 0, Offset::Open), 2000);
  EXPECT_TRUE(engine->on_tick(tick(2000, 100, 0, 0, 99, 100, 0)).empty());
  const auto reported = copy(engine->on_tick(tick(3000, 100, 0, 0, 99, 100, 0)));
  ASSERT_EQ(reported.size(), 1u);
  EXPECT_EQ(reported[0].fill.order, 1u);
  EXPECT_EQ(engine->invalid_ticks(), 2u);
  EXPECT_EQ(engine->l1().pending().size(), 1u);
  // Without a snapshot every update is refused.
  EXPECT_EQ(engine->on_depth(DepthUpdate{122, 123, 124, {}, {}, 0})->kind,
            tm_book::DepthError::Kind::NoSnapshot);
  EXPECT_EQ(engine->rejected_updates(), 2u);

  engine->install_snapshot(DepthSnapshot{200, {{99, 1}}, {{100, 1}}});
  EXPECT_FALSE(engine->invalid());
  engine->on_tick(tick(4000, 100, 0, 0, 99, 100, 0));
  EXPECT_TRUE(engine->l1().pending().empty());
  EXPECT_EQ(engine->invalid_ticks(), 2u);
  EXPECT_EQ(engine->depth_priced(), 2u);  // the sell walked the new bids
}

// Every order id an engine still holds: pending, queued or in the book.
std::multiset<OrderId> held(const L2Engine& e) {
  std::multiset<OrderId> ids;
  for (const Pending& p : e.l1().pending()) ids.insert(p.order.id);
  for (const Queued& q : e.l1().queued()) ids.insert(q.order.id);
  const Book& book = e.l1().inner().book();
  for (auto list : {book.buy_limits(), book.sell_limits(), book.market_buys(),
                    book.market_sells()}) {
    for (const Resting& r : list) ids.insert(r.order.id);
  }
  for (const Delayed& d : e.l1().delayed()) ids.insert(d.fill.fill.order);
  return ids;
}

void expect_sorted_without_zero(const tm_book::Side& side) {
  const auto levels = side.levels();
  for (std::size_t i = 0; i < levels.size(); ++i) {
    ASSERT_NE(levels[i].size, 0);
    if (i > 0) {
      ASSERT_TRUE(side.descending() ? levels[i - 1].price > levels[i].price
                                    : levels[i - 1].price < levels[i].price);
    }
  }
}

TEST(L2Kernel, RandomStreamKeepsDepthSortedAndEveryOrderAccountedFor) {
  std::mt19937_64 rng(99);
  L1Config config;
  config.submit_latency = Latency::quantiles(0, 500, 2000, 9000);
  config.report_latency = Latency::quantiles(0, 0, 1500, 4000);
  config.queue = QueueModel::lots(3);
  config.impact = 20;
  tm_core::State state(1, 1, tm_margin::TierTable::example_btcusdt(),
                       1'000'000'000 * tm_types::CASH_SCALE);
  state = tm_core::State::matching_with(std::move(state),
                                        tm_backtest::Tier::l2(config).matcher(1));
  tm_core::Kernel kernel(std::move(state));
  const L2Engine& engine = *kernel.state().holdings.front().matcher.l2();

  std::set<OrderId> filled, cancelled, accepted;
  std::multiset<OrderId> live;  // accepted and neither filled nor cancelled
  std::uint64_t update_id = 1000;
  std::int64_t last = 10'000, volume = 0;
  Nanos now = 0;
  OrderId next_id = 1;
  std::uint64_t gaps = 0, snapshots = 0, fills = 0;

  const auto random_levels = [&](std::int64_t centre, int dir) {
    std::vector<tm_book::Level> levels;
    for (int k = static_cast<int>(rng() % 6); k > 0; --k) {
      levels.push_back({centre + dir * static_cast<std::int64_t>(rng() % 8),
                        static_cast<std::int64_t>(rng() % 4 == 0 ? 0 : rng() % 20)});
    }
    return levels;
  };
  const auto apply = [&](const tm_core::Event& event) {
    for (const tm_core::Output& out : kernel.apply(event)) {
      if (const auto* f = std::get_if<tm_types::Fill>(&out)) {
        ASSERT_TRUE(accepted.count(f->order)) << f->order;
        ASSERT_TRUE(filled.insert(f->order).second) << "filled twice: " << f->order;
        ASSERT_FALSE(cancelled.count(f->order));
        live.erase(live.find(f->order));
        ++fills;
      } else if (const auto* c = std::get_if<tm_core::Cancelled>(&out)) {
        ASSERT_FALSE(filled.count(c->id));
        ASSERT_TRUE(cancelled.insert(c->id).second);
        live.erase(live.find(c->id));
      }
    }
  };

  apply(tm_core::DepthEvent{DepthSnapshot{update_id, random_levels(last - 1, -1),
                                          random_levels(last + 1, 1)}});
  for (int step = 0; step < 30000; ++step) {
    const unsigned what = rng() % 10;
    if (what < 4) {
      now += 100 + static_cast<Nanos>(rng() % 900);
      last = std::max<std::int64_t>(10, last + static_cast<std::int64_t>(rng() % 7) - 3);
      volume += static_cast<std::int64_t>(rng() % 30);
      apply(tm_core::TickEvent{tick(now, last, last + 2, last - 2, last - 1, last + 1, volume),
                               std::nullopt});
    } else if (what < 7) {
      DepthUpdate u{update_id, update_id + 1, update_id + 1 + rng() % 3,
                    random_levels(last - 1, -1), random_levels(last + 1, 1),
                    now / 1'000'000};
      if (rng() % 40 == 0) {
        u.prev_final = update_id + 2;  // a gap
        ++gaps;
      }
      update_id = u.final;
      apply(tm_core::DepthEvent{u});
    } else if (what < 9) {
      const OrderId id = next_id++;
      const bool limit = rng() % 3 != 0;
      apply(tm_core::SubmitEvent{id, rng() % 2 ? Side::Buy : Side::Sell, Offset::Open,
                                 static_cast<std::int64_t>(rng() % 5 + 1),
                                 last + static_cast<std::int64_t>(rng() % 9) - 4, limit, now,
                                 now, std::nullopt});
      accepted.insert(id);
      live.insert(id);
    } else if (!accepted.empty() && rng() % 2 == 0) {
      apply(tm_core::CancelEvent{1 + rng() % (next_id - 1)});
    } else {
      update_id += 50;
      apply(tm_core::DepthEvent{DepthSnapshot{update_id, random_levels(last - 1, -1),
                                              random_levels(last + 1, 1)}});
      ++snapshots;
    }
    expect_sorted_without_zero(engine.depth().bids());
    expect_sorted_without_zero(engine.depth().asks());
    // Every accepted order is filled, cancelled, or still held by the engine,
    // exactly once.
    ASSERT_EQ(held(engine), live) << "step " << step;
    if (HasFatalFailure()) return;
  }
  for (const tm_core::Output& out : kernel.settle_unreported()) {
    if (const auto* f = std::get_if<tm_types::Fill>(&out)) {
      ASSERT_TRUE(filled.insert(f->order).second);
    }
  }
  EXPECT_GT(gaps, 10u);
  EXPECT_GT(snapshots, 100u);
  EXPECT_GT(fills, 1000u);
  EXPECT_GT(engine.invalid_ticks(), 0u);
  EXPECT_GT(engine.depth_priced(), 0u);
  EXPECT_EQ(filled.size() + cancelled.size() + held(engine).size(), accepted.size());
}

}  // namespace
}  // namespace tm_engine
