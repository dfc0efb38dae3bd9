// Funding payments of both sides and the half-open interval lookup that makes
// consecutive ticks settle each event exactly once.
#include <gtest/gtest.h>

#include <vector>

#include "tm_margin/funding.h"

namespace tm_margin {
namespace {

std::vector<tm_types::Nanos> times(std::span<const FundingRate> rates) {
  std::vector<tm_types::Nanos> out;
  for (const auto& r : rates) out.push_back(r.at);
  return out;
}

TEST(FundingRate, LongPaysAPositiveRateToTheShortAndANegativeOneReverses) {
  const FundingRate event{7, 100'000, 60000};
  EXPECT_EQ(event.settle(10000, 10), (Settlement{7, -600'000, 100'000, 60000}));
  EXPECT_EQ(event.settle(10000, -10).amount, 600'000);
  EXPECT_EQ(event.settle(10000, 0).amount, 0);
  const FundingRate negative{0, -100'000, 60000};
  EXPECT_EQ(negative.settle(10000, 10).amount, 600'000);
  EXPECT_EQ(negative.settle(10000, -10).amount, -600'000);
}

TEST(FundingRate, ChargeBelowOneUnitTruncatesToZero) {
  EXPECT_EQ((FundingRate{0, 1, 999'999'999}).settle(1, 1).amount, 0);
  EXPECT_EQ((FundingRate{0, 1, 1'000'000'000}).settle(1, 1).amount, -1);
}

class Schedule : public ::testing::Test {
 protected:
  FundingSchedule schedule{{{3, 1, 1}, {5, 1, 1}, {7, 1, 1}, {10, 1, 1}, {12, 1, 1}}};
};

TEST_F(Schedule, BetweenExcludesTheStartAndIncludesTheEnd) {
  EXPECT_EQ(times(schedule.between(5, 10)), (std::vector<tm_types::Nanos>{7, 10}));
  EXPECT_TRUE(schedule.between(10, 10).empty());
  EXPECT_TRUE(schedule.between(11, 4).empty());
  EXPECT_EQ(times(schedule.between(tm_types::kI64Min, 3)), (std::vector<tm_types::Nanos>{3}));
  EXPECT_TRUE(FundingSchedule{}.between(tm_types::kI64Min, tm_types::kI64Max).empty());
}

TEST_F(Schedule, ConsecutiveIntervalsSettleEveryEventExactlyOnce) {
  std::vector<tm_types::Nanos> seen;
  tm_types::Nanos last = tm_types::kI64Min;
  for (tm_types::Nanos tick : {4, 5, 6, 10, 10, 20}) {
    for (auto t : times(schedule.between(last, tick))) seen.push_back(t);
    last = tick;
  }
  EXPECT_EQ(seen, (std::vector<tm_types::Nanos>{3, 5, 7, 10, 12}));
}

TEST(FundingSchedule, OutOfOrderEventsAreOrderedSoNoneIsMissed) {
  FundingSchedule s{{{10, 1, 1}, {3, 2, 1}, {10, 3, 1}, {7, 4, 1}}};
  const auto got = s.between(0, 10);
  ASSERT_EQ(got.size(), 4u);
  EXPECT_EQ(got[0].rate, 2);
  EXPECT_EQ(got[1].rate, 4);
  EXPECT_EQ(got[2].rate, 1);  // equal times keep their given order
  EXPECT_EQ(got[3].rate, 3);
}

}  // namespace
}  // namespace tm_margin
