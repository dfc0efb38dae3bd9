// Sample moments, the Sharpe ratio and the texts of the statistics errors.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "tm_stats/error.h"
#include "tm_stats/moments.h"

namespace tm_stats::moments {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

TEST(StatsErrorText, EveryVariantFillsItsTemplate) {
  EXPECT_EQ(StatsError::too_few_observations(3, 4).message(),
            "too few observations: got 3, need at least 4");
  EXPECT_EQ(StatsError::zero_variance().message(),
            "sample has zero variance; Sharpe ratio is undefined");
  EXPECT_EQ(StatsError::malformed("no configurations").message(),
            "malformed performance matrix: no configurations");
  EXPECT_EQ(StatsError::bad_split(26).message(),
            "split count must be even, at least 4 and at most 24, got 26");
  EXPECT_EQ(StatsError::non_finite("kurtosis").message(), "kurtosis must be finite");
  EXPECT_EQ(StatsError::bad_split(18446744073709551615u).message(),
            "split count must be even, at least 4 and at most 24, got 18446744073709551615");
}

TEST(MomentsFromReturns, OneTwoThreeFourGivesTheWorkedMoments) {
  const std::vector<double> returns = {1, 2, 3, 4};
  const auto m = Moments::from_returns(returns);
  ASSERT_TRUE(m.ok());
  EXPECT_EQ(m.value().n, 4u);
  EXPECT_EQ(m.value().mean, 2.5);
  EXPECT_EQ(m.value().std, std::sqrt(1.25 * 4 / 3));
  EXPECT_NEAR(m.value().std, 1.290994, 1e-6);
  EXPECT_EQ(m.value().skewness, 0.0);
  EXPECT_EQ(m.value().kurtosis, 1.64);
  const auto sharpe = sharpe_ratio(returns);
  ASSERT_TRUE(sharpe.ok());
  EXPECT_NEAR(sharpe.value(), 1.936492, 1e-6);
  EXPECT_EQ(sharpe.value(), m.value().mean / m.value().std);
}

TEST(MomentsFromReturns, SkewnessSignFollowsTheLongTail) {
  const std::vector<double> right = {0, 0, 0, 0, 0, 0, 0, 10};
  const auto m = Moments::from_returns(right);
  ASSERT_TRUE(m.ok());
  // m2 = 10.9375, m3 = 7/8 * 2.5^3 * ... computed independently: skew = (1 - 2p)/sqrt(p(1-p)) for a
  // two-point sample.
  const double p = 1.0 / 8;
  EXPECT_NEAR(m.value().skewness, (1 - 2 * p) / std::sqrt(p * (1 - p)), 1e-12);
  EXPECT_NEAR(m.value().kurtosis, (1 - 3 * p + 3 * p * p) / (p * (1 - p)), 1e-12);
  std::vector<double> left = right;
  for (double& r : left) r = -r;
  EXPECT_EQ(Moments::from_returns(left).value().skewness, -m.value().skewness);
}

// Failures name the count before finiteness and finiteness before variance, and
// equal returns whose computed mean rounds away from them still have none.
TEST(MomentsFailure, MomentsAndSharpeRefuseAlike) {
  const std::string few = "too few observations: got 3, need at least 4", finite =
      "return must be finite", flat = "sample has zero variance; Sharpe ratio is undefined";
  const double inf = std::numeric_limits<double>::infinity();
  const struct {
    std::vector<double> returns;
    std::string error;
  } cases[] = {
      {{1, 2, 3}, few},
      {{}, "too few observations: got 0, need at least 4"},
      {{kNaN, 1, 2}, few},
      {{1, 2, 3, kNaN}, finite},
      {{kNaN, 1, 2, 3}, finite},
      {{1, -inf, 2, 3}, finite},
      {{0.5, 0.5, 0.5, 0.5}, flat},
      {std::vector<double>(6, 0.1), flat},  // 0.6 / 6 != 0.1
  };
  for (const auto& c : cases) {
    const auto m = Moments::from_returns(c.returns);
    const auto s = sharpe_ratio(c.returns);
    EXPECT_EQ(m.ok() ? "ok" : m.error().message(), c.error) << c.returns.size();
    EXPECT_EQ(s.ok() ? "ok" : s.error().message(), c.error) << c.returns.size();
  }
  double sum = 0;
  for (int k = 0; k < 6; ++k) sum += 0.1;
  EXPECT_NE(sum / 6, 0.1);
}

}  // namespace
}  // namespace tm_stats::moments
