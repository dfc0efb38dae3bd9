// Cost release and fees: the worked figures, and the property that any sequence
// of partial closes releases exactly the leg's whole cost.
#include <gtest/gtest.h>

#include <random>

#include "tm_core/cost.h"

namespace tm_core::cost {
namespace {

// Each close truncates the profit toward zero and keeps the rounding in the
// remaining cost: close(cost, held, closed, proceeds) = {remaining, profit}.
TEST(CostClose, WorkedClosesLongShortAndAtALoss) {
  const struct {
    i128 cost;
    QtyLots held, closed;
    i128 proceeds;
    Closed expected;
  } cases[] = {
      {3'020'000, 3, 1, 1'010'000, {2'013'333, 3'333}},   // partial long
      {2'013'333, 2, 2, 2'020'000, {0, 6'667}},           // ... and the rest: 10,000 in all
      {3'020'000, 3, 3, 3'030'000, {0, 10'000}},          // the whole long at once
      {3'020'000, -3, 1, 1'000'000, {2'013'334, 6'666}},  // short
      {1'000'001, 3, 1, 300'000, {666'668, -33'333}},     // long loss
      {3'020'000, -3, 1, 1'010'000, {2'013'333, -3'333}},  // short loss: exact -3,333.33
  };
  for (const auto& c : cases) {
    EXPECT_EQ(close(c.cost, c.held, c.closed, c.proceeds), c.expected)
        << static_cast<std::int64_t>(c.cost) << " " << c.held << " " << c.closed;
  }
}

TEST(CostClose, FlatLegIsAnInvariantFailure) {
  EXPECT_THROW((void)close(0, 0, 1, 0), tm_types::InvariantError);
}

// Closing a leg in random pieces: every piece realises its exact rational profit
// truncated toward zero, the rounding stays in the remaining cost, so the pieces
// add up to exactly the one-shot total and the last piece leaves a cost of 0.
TEST(CostClose, AnySequenceOfPartialClosesAddsUpToTheWholeClose) {
  std::mt19937_64 rng(20261206);
  for (int round = 0; round < 2000; ++round) {
    const std::int64_t size = std::uniform_int_distribution<std::int64_t>(1, 10000)(rng);
    const QtyLots lots = std::uniform_int_distribution<QtyLots>(1, 50)(rng);
    const bool is_long = rng() & 1;
    const QtyLots held0 = is_long ? lots : -lots;
    const i128 cost0 = std::uniform_int_distribution<std::int64_t>(1, 1'000'000'000)(rng);
    const std::int64_t price = std::uniform_int_distribution<std::int64_t>(1, 200000)(rng);
    const auto proceeds = [&](QtyLots n) { return i128{n} * price * size; };

    const Cash whole = close(cost0, held0, lots, proceeds(lots)).profit;
    i128 cost = cost0;
    QtyLots left = lots;
    Cash total = 0;
    int pieces = 0;
    while (left > 0) {
      const QtyLots n = std::uniform_int_distribution<QtyLots>(1, left)(rng);
      const Closed c = close(cost, is_long ? left : -left, n, proceeds(n));
      const i128 exact_times_left = (is_long ? 1 : -1) * (proceeds(n) * left - cost * n);
      ASSERT_EQ(c.profit, exact_times_left / left) << "round " << round;
      total += c.profit;
      cost = c.remaining;
      left -= n;
      ++pieces;
    }
    ASSERT_EQ(cost, 0) << "round " << round;
    ASSERT_EQ(total, whole) << "round " << round << ", " << pieces << " pieces";
  }
}

TEST(Fee, TakerRateOnAMarketFill) {
  tm_types::Fill fill;
  fill.price = 60000;
  fill.qty = 2;
  fill.taker = true;
  EXPECT_EQ(fill_fee(tm_margin::Contract{10000}, fill, 0, 500'000), 600'000);
  fill.taker = false;
  EXPECT_EQ(fill_fee(tm_margin::Contract{10000}, fill, 0, 500'000), 0);
  EXPECT_EQ(fill_fee(tm_margin::Contract{10000}, fill, -100'000, 500'000), -120'000);
}

TEST(Fee, FeeBelowOneUnitTruncatesToZero) {
  EXPECT_EQ(fee_at(500'000, 1'999), 0);
  EXPECT_EQ(fee_at(500'000, -1'999), 0);
  EXPECT_EQ(fee_at(500'000, 2'000), 1);
}

}  // namespace
}  // namespace tm_core::cost
