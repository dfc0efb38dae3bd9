// The three execution engines against their literal model over seeded streams,
// every answer and every order's state compared after every event; the
// oracles L1 = L0 with every addition off and L2 = L1 without depth; and the
// worked cases that pin the model's own reading of the rules.
#include <gtest/gtest.h>

#include <memory>

#include "engine_model.h"

namespace tm_view {
namespace {

using tm_engine::L0Engine, tm_engine::L1Engine, tm_engine::L2Engine, tm_engine::L1Config;
using tm_engine::Latency, tm_engine::QueueModel, tm_model::L0Model, tm_model::L1Model;
using tm_test::kMs, tm_test::limit, tm_test::market, tm_test::tick;

template <class T>
std::unique_ptr<T> make(const L1Config& c) {
  if constexpr (std::is_constructible_v<T, int>) return std::make_unique<T>(1);
  if constexpr (!std::is_constructible_v<T, int>) return std::make_unique<T>(1, c);
}

// Replays one seeded stream per seed through a fresh A and B built alike;
// returns the number of fills reported.
template <class A, class B, class Config>
std::size_t agree(int seeds, bool depth, Config config, bool state = true) {
  std::size_t fills = 0;
  for (int seed = 1; seed <= seeds && !::testing::Test::HasFailure(); ++seed) {
    SCOPED_TRACE(seed);
    tm_test::Rng r(seed);
    const L1Config c = config(r);
    fills += replay(*make<A>(c), *make<B>(c), stream(seed, 200, depth), state);
  }
  return fills;
}
L1Config any(tm_test::Rng& r) { return random_config(r, true); }

TEST(L0Engine, MatchesTheModel) { EXPECT_GT((agree<L0Engine, L0Model>(300, false, any)), 1e4); }
TEST(L1Engine, MatchesTheModel) { EXPECT_GT((agree<L1Engine, L1Model>(400, false, any)), 1e4); }
TEST(L2Engine, MatchesTheModel) {
  EXPECT_GT((agree<L2Engine, tm_model::L2Model>(400, true, any)), 5e3);
}
TEST(L1Engine, WithEveryAdditionOffFillsAsL0) {
  agree<L0Engine, L1Engine>(100, false, [](tm_test::Rng&) { return L1Config{}; });
}
TEST(L2Engine, WithoutDepthFillsAsL1) {
  agree<L1Engine, L2Engine>(
      100, false, [](tm_test::Rng& r) { return random_config(r, false); }, false);
}

using Made = std::vector<std::tuple<OrderId, Price, ExecKind, Nanos>>;
Made made(std::span<const L0Fill> fills) {
  Made out;
  for (const L0Fill& f : fills)
    out.emplace_back(f.fill.order, f.fill.price, f.kind, f.fill.exch_ts);
  return out;
}

TEST(L0Engine, WorkedCases) {
  const Side buy = Side::Buy, sell = Side::Sell;
  const ExecKind through = ExecKind::Through;
  // Each row: orders submitted after a first tick with last 100, then one tick.
  const std::vector<std::tuple<std::vector<Working>, Tick, Made>> rows = {
      // Inside the risen range: filled at the limit, stamped with the previous
      // tick. The buy at 98 is left to the ask of 101.
      {{limit(1, sell, 103, 1), limit(2, buy, 98, 1)},
       tick(10, 100, 105, 96, 99, 101),
       {{1, 103, through, 0}}},
      // Crossed in arrival order, not price order; inclusive at the high.
      {{limit(5, sell, 102, 1), limit(4, sell, 101, 1), limit(3, sell, 105, 1)},
       tick(10, 100, 105, 0, 0, 0),
       {{5, 102, through, 0}, {4, 101, through, 0}, {3, 105, through, 0}}},
  };
  for (const auto& [orders, second, expected] : rows) {
    L0Engine engine(1);
    (void)engine.on_tick(tick(0, 100, 0, 0, 0, 0));
    for (const Working& o : orders) engine.submit(o);
    EXPECT_EQ(made(engine.on_tick(second)), expected);
  }
}

TEST(L1Engine, WorkedCases) {
  // Impact 50 %, V = 100, 25 lots, range 8: sqrt(0.25) x (0.5 x 8) = 2 above the
  // ask of 101; arrives after 5 ms, reported a second after it was made.
  L1Engine impact(
      1, L1Config{Latency::fixed(5 * kMs), Latency::fixed(1000 * kMs), QueueModel::off(), 50});
  (void)impact.on_tick(tick(0, 100, 0, 0, 0, 0, 0));
  impact.submit(market(1, Side::Buy, 25), 0);
  EXPECT_TRUE(impact.on_tick(tick(5 * kMs - 1, 100, 104, 96, 99, 101, 50)).empty());
  EXPECT_TRUE(impact.on_tick(tick(5 * kMs, 100, 104, 96, 99, 101, 150)).empty());
  EXPECT_EQ(made(impact.on_tick(tick(1005 * kMs, 100, 0, 0, 0, 0, 150))),
            (Made{{1, 103, ExecKind::AtQuote, 5 * kMs}}));
}

TEST(L1Engine, NeverFillsBeforeArrivalNorAgainstEarlierTrading) {
  // Sent at 0 with 5 ms latency, the sell at 103 arrives between the ticks at
  // 4 and 6 ms: the range 100..105 traded since 4 ms may not fill it, nor may
  // that interval's volume shorten its queue; the rise after 6 ms fills it.
  for (const QueueModel queue : {QueueModel::off(), QueueModel::lots(3)}) {
    L1Engine engine(1, L1Config{Latency::fixed(5 * kMs), Latency::fixed(0), queue, 0});
    (void)engine.on_tick(tick(0, 100, 0, 0, 0, 0, 0));
    engine.submit(limit(1, Side::Sell, 103, 1), 0);
    EXPECT_TRUE(engine.on_tick(tick(4 * kMs, 100, 0, 0, 0, 0, 0)).empty());
    EXPECT_TRUE(engine.on_tick(tick(6 * kMs, 101, 105, 99, 100, 102, 50)).empty());
    const Made through{{1, 103, ExecKind::Through, 6 * kMs}};
    EXPECT_EQ(made(engine.on_tick(tick(7 * kMs, 103, 104, 102, 103, 104, 51))),
              queue == QueueModel::off() ? through : Made{});
  }
}

TEST(L2Engine, DepthTakenStaysTakenWithinTheTick) {
  // Asks 100 x 2 and 101 x 2: a market buy of 4 takes both levels; the next
  // one finds nothing left and pays no less than the last level, 101, plus
  // the impact (50 % of a range of 4 for 1 lot in 4: 1).
  for (const std::uint32_t impact : {0u, 50u}) {
    L2Engine engine(1, L1Config{Latency::fixed(0), Latency::fixed(0), QueueModel::off(), impact});
    engine.install_snapshot(DepthSnapshot{1, {{99, 5}}, {{100, 2}, {101, 2}}});
    (void)engine.on_tick(tick(0, 100, 0, 0, 99, 100, 0));
    engine.submit(market(1, Side::Buy, 4), 0);
    engine.submit(market(2, Side::Buy, 1), 0);
    const Price second = impact == 0 ? 101 : 102;
    EXPECT_EQ(made(engine.on_tick(tick(1, 100, 102, 98, 99, 100, 4))),
              (Made{{1, 101, ExecKind::AtQuote, 1}, {2, second, ExecKind::AtQuote, 1}}));
    EXPECT_EQ(engine.fallbacks(), 1u);
  }
}

TEST(L2Engine, WorkedCases) {
  L2Engine engine(1, L1Config{});
  engine.install_snapshot(DepthSnapshot{100, {{99, 7}, {98, 5}}, {{100, 2}, {101, 2}, {103, 10}}});
  // Covered by the snapshot: stale, nothing changes.
  EXPECT_FALSE(engine.on_depth(DepthUpdate{std::nullopt, 95, 100, {{99, 1}}, {}, 0}));
  (void)engine.on_tick(tick(0, 100, 0, 0, 99, 100));
  // A buy limit at 99 queues behind the 7 lots shown there.
  engine.submit(limit(1, Side::Buy, 99, 1), 0);
  ASSERT_EQ(engine.l1().queued().size(), 1u);
  EXPECT_EQ(engine.l1().queued()[0].ahead, 7);
  // Two market buys walk the asks in turn: 505 / 5 rounded up, then from 103 x 9.
  engine.submit(market(2, Side::Buy, 5), 0);
  engine.submit(market(3, Side::Buy, 3), 0);
  EXPECT_EQ(made(engine.on_tick(tick(1, 100, 0, 0, 99, 100))),
            (Made{{2, 101, ExecKind::AtQuote, 1}, {3, 103, ExecKind::AtQuote, 1}}));
  // After final id 120 a claim of 119 is a gap, and the book is emptied.
  EXPECT_FALSE(engine.on_depth(DepthUpdate{std::nullopt, 101, 120, {}, {}, 0}));
  EXPECT_EQ(engine.on_depth(DepthUpdate{119, 121, 122, {}, {}, 0}),
            (DepthError{DepthError::Kind::Gap, 0, 0, 0, 120, 119}));
  EXPECT_TRUE(engine.depth().bids().levels().empty());
}

}  // namespace
}  // namespace tm_view
