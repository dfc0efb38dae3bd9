// The normal distribution function and its inverse, and the probabilistic and
// deflated Sharpe ratios and minimum track record built on them.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <utility>

#include "tm_stats/dsr.h"
#include "tm_stats/normal.h"

namespace tm_stats {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

TEST(NormalCdf, MatchesReferenceValuesToTheAccuracyOfEachRegime) {
  // Reference values of the standard normal distribution function to 17 digits.
  // The rational approximation is accurate to about 1e-15 in absolute terms,
  // which near its end at 7.07 is a relative error of a few parts in 1e9; the
  // continued fraction beyond it is accurate to about 1e-13 relative.
  struct Case {
    double x, phi, relative;
  };
  const Case cases[] = {
      {-1.0, 0.15865525393145707, 1e-15},     {1.96, 0.9750021048517795, 1e-15},
      {-3.0, 0.0013498980316300933, 1e-13},   {-7.0, 1.279812543885835e-12, 5e-9},
      {-7.5, 3.1908916729108844e-14, 1e-13},  {-20.0, 2.7536241186061556e-89, 1e-13},
      {-36.9, 2.3105244811403487e-298, 5e-13}};
  for (const auto& c : cases) EXPECT_NEAR(normal::cdf(c.x) / c.phi, 1.0, c.relative) << c.x;
}

TEST(NormalCdf, CentreIsOneHalfTailsSaturateBeyond37AndNaNPropagates) {
  EXPECT_EQ(normal::cdf(0.0), 0.5);
  EXPECT_EQ(normal::cdf(-37.5), 0.0);
  EXPECT_EQ(normal::cdf(37.5), 1.0);
  EXPECT_EQ(normal::cdf(-kInf), 0.0);
  EXPECT_EQ(normal::cdf(kInf), 1.0);
  EXPECT_TRUE(std::isnan(normal::cdf(kNaN)));
}

TEST(NormalCdf, RationalAndContinuedFractionMeetAtTheirBoundary) {
  const double boundary = 7.071067811865475;
  const double below = normal::cdf(-std::nextafter(boundary, 0.0));
  const double at = normal::cdf(-boundary);
  EXPECT_NEAR(at / below, 1.0, 5e-9);
}

TEST(NormalInverse, PinnedPoints) {
  EXPECT_EQ(normal::inverse_cdf(0.5), 0.0);
  EXPECT_NEAR(normal::inverse_cdf(0.975), 1.959964, 1e-6);
  EXPECT_NEAR(normal::inverse_cdf(0.95), 1.6448536269514722, 1e-14);
  EXPECT_EQ(normal::inverse_cdf(0.0), -kInf);
  EXPECT_EQ(normal::inverse_cdf(1.0), kInf);
  EXPECT_TRUE(std::isnan(normal::inverse_cdf(-0.1)));
  EXPECT_TRUE(std::isnan(normal::inverse_cdf(1.5)));
  EXPECT_TRUE(std::isnan(normal::inverse_cdf(kNaN)));
}

TEST(NormalInverse, InvertsTheDistributionFunctionAcrossAllThreeRegions) {
  for (double p :
       {1e-250, 1e-20, 1e-5, 0.01, 0.02425, 0.1, 0.3, 0.7, 0.9, 0.97575, 0.99, 0.999999}) {
    const double x = normal::inverse_cdf(p);
    EXPECT_NEAR(normal::cdf(x) / p, 1.0, 1e-12) << p;
  }
}

TEST(NormalInverse, ProbabilitiesBeyondTheSaturatedTailKeepAcklamsEstimate) {
  // cdf is constant below -37, so the refinement cannot improve on the
  // estimate there; it would move 1e-300 to -37.03 and subnormals to NaN.
  EXPECT_NEAR(normal::inverse_cdf(1e-300) / -37.0470962993612, 1.0, 5e-9);
  const double x = normal::inverse_cdf(5e-324);
  EXPECT_TRUE(std::isfinite(x));
  EXPECT_NEAR(x, -38.4674, 1e-3);
}

class SharpeJudgement : public ::testing::Test {
 protected:
  template <class R>
  static std::string error_of(const R& r) {
    return r.ok() ? "ok" : r.error().message();
  }
};

TEST_F(SharpeJudgement, ObservedEqualToBenchmarkIsExactlyOneHalf) {
  EXPECT_EQ(dsr::probabilistic_sharpe_ratio(250, 0.3, 0.3, -0.5, 5.0).value(), 0.5);
}

TEST_F(SharpeJudgement, ProbabilisticRatioMatchesItsDefinition) {
  const double d = 1 - 0.1 * -0.2 + 0.1 * (0.1 * ((4.0 - 1) * 0.25));
  const double z = (0.1 - 0.02) * std::sqrt(99.0) / std::sqrt(d);
  EXPECT_EQ(dsr::probabilistic_sharpe_ratio(100, 0.1, 0.02, -0.2, 4.0).value(), normal::cdf(z));
}

TEST_F(SharpeJudgement, DeflationWithoutTrialVarianceIsTheProbabilisticRatioAgainstZero) {
  EXPECT_EQ(dsr::deflated_sharpe_ratio(250, 10, 0.12, 0.3, 4.5, 0.0).value(),
            dsr::probabilistic_sharpe_ratio(250, 0.12, 0.0, 0.3, 4.5).value());
  EXPECT_EQ(dsr::deflated_sharpe_ratio(250, 1, 0.12, 0.3, 4.5, 0.5).value(),
            dsr::probabilistic_sharpe_ratio(250, 0.12, 0.0, 0.3, 4.5).value());
}

TEST_F(SharpeJudgement, DeflationUsesTheExpectedMaximumAsBenchmark) {
  const double v = 0.08;
  const double sr0 =
      std::sqrt(v) * (0.42278433509846713 * normal::inverse_cdf(1 - 1 / 2.0) +
                      0.5772156649015329 * normal::inverse_cdf(1 - 1 / (2.0 * 2.718281828459045)));
  const double d = 1 - 1.2 * 0.0 + 1.2 * (1.2 * ((3.0 - 1) * 0.25));
  const double z = std::sqrt(249.0) * (1.2 - sr0) / std::sqrt(d);
  EXPECT_EQ(dsr::deflated_sharpe_ratio(250, 2, 1.2, 0.0, 3.0, v).value(), normal::cdf(z));
  // More trials raise the bar.
  EXPECT_LT(dsr::deflated_sharpe_ratio(250, 100, 0.1, 0.0, 3.0, v).value(),
            dsr::deflated_sharpe_ratio(250, 2, 0.1, 0.0, 3.0, v).value());
}

TEST_F(SharpeJudgement, MinimumTrackRecordWorkedExample) {
  const auto n = dsr::minimum_track_record_length(0.1, 0.0, 0.0, 3.0, 0.95);
  ASSERT_TRUE(n.ok());
  EXPECT_NEAR(n.value(), 272.9, 0.01);
  const double t = normal::inverse_cdf(0.95) / 0.1;
  EXPECT_EQ(n.value(), 1 + 1.005 * (t * t));
}

// Every refusal, in the order the arguments are checked. A non-finite variance
// of the trials is reported as the benchmark it would have set.
TEST_F(SharpeJudgement, FailuresInTheOrderChecked) {
  const std::string few = "too few observations: got 1, need at least 2",
                    flat = "sample has zero variance; Sharpe ratio is undefined";
  const std::pair<std::string, std::string> cases[] = {
      {error_of(dsr::probabilistic_sharpe_ratio(1, 0.1, 0, 0, 3)), few},
      {error_of(dsr::probabilistic_sharpe_ratio(1, kNaN, 0, 0, 3)), few},
      {error_of(dsr::probabilistic_sharpe_ratio(10, kNaN, kInf, 0, 3)), "sharpe must be finite"},
      {error_of(dsr::probabilistic_sharpe_ratio(10, 0.1, kInf, 0, 3)), "benchmark must be finite"},
      {error_of(dsr::probabilistic_sharpe_ratio(10, 0.1, 0, kNaN, kNaN)),
       "skewness must be finite"},
      {error_of(dsr::probabilistic_sharpe_ratio(10, 0.1, 0, 0, -kInf)), "kurtosis must be finite"},
      // d = 1 - 0 + 1 * (1 * ((-3 - 1) * 0.25)) = 0.
      {error_of(dsr::probabilistic_sharpe_ratio(10, 1, 0, 0, -3)), flat},
      {error_of(dsr::deflated_sharpe_ratio(250, 2, 0.5, 0, 3, kNaN)), "benchmark must be finite"},
      {error_of(dsr::deflated_sharpe_ratio(250, 2, 0.5, 0, 3, kInf)), "benchmark must be finite"},
      {error_of(dsr::deflated_sharpe_ratio(1, 2, 0.5, 0, 3, kNaN)), few},
      {error_of(dsr::deflated_sharpe_ratio(250, 2, kNaN, 0, 3, kNaN)), "sharpe must be finite"},
      {error_of(dsr::minimum_track_record_length(0.1, 0.1, 0, 3, 0.95)), flat},
      {error_of(dsr::minimum_track_record_length(0.1, 0.2, 0, 3, 0.95)), flat},
      {error_of(dsr::minimum_track_record_length(1, 0, 0, -3, 0.95)), flat},
      {error_of(dsr::minimum_track_record_length(0.1, 0, 0, 3, kNaN)), "confidence must be finite"},
      {error_of(dsr::minimum_track_record_length(kInf, 0, 0, 3, kNaN)), "sharpe must be finite"},
  };
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    EXPECT_EQ(cases[i].first, cases[i].second) << "case " << i;
  }
}

}  // namespace
}  // namespace tm_stats
