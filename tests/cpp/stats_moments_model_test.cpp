// The moments and the Sharpe ratio against a literal model: one pass checking
// the returns, one summing them in order for the mean, one summing the powers
// of the deviations in order, all again on the returns scaled by a power of two
// when the sums overflow or underflow. The estimators must agree with it bit
// for bit, refusals included, over seeded random series of every scale.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <span>
#include <string>
#include <vector>

#include "tm_stats/moments.h"

namespace tm_stats {
namespace {

using V = std::vector<double>;

struct Model {
  std::string refusal;  // empty when the figures below are given
  double sharpe = 0, skewness = 0, kurtosis = 0, mean = 0, std = 0;
};

// {mean, s2, s3, s4} of the returns times `scale`, each sum in order.
std::vector<double> model_sums(const V& r, double scale) {
  double sum = 0;
  for (double x : r) sum += x * scale;
  const double mean = sum / static_cast<double>(r.size());
  double s2 = 0, s3 = 0, s4 = 0;
  for (double x : r) {
    const double d = x * scale - mean;
    s2 += d * d;
    s3 += d * (d * d);
    s4 += (d * d) * (d * d);
  }
  return {mean, s2, s3, s4};
}

// The moments, or with `sharpe_only` the Sharpe ratio alone, which rescales
// only when the second power's sum needs it and reports the scaled ratio.
Model model(const V& r, bool sharpe_only) {
  if (r.size() < 4) return {"few"};
  for (double x : r)
    if (!std::isfinite(x)) return {"finite"};
  bool equal = true;
  for (double x : r) equal = equal && x == r[0];
  if (equal) return {"zero"};
  const double n = static_cast<double>(r.size());
  std::vector<double> s = model_sums(r, 1.0);
  const bool rescale = sharpe_only
                           ? !std::isfinite(s[1]) || !std::isnormal(s[1] / n)
                           : !std::isfinite(s[3]) || !std::isnormal((s[1] / n) * (s[1] / n));
  int exponent = 0;
  if (rescale) {
    double largest = 0;
    for (double x : r) largest = std::fmax(largest, std::fabs(x));
    exponent = -std::ilogb(largest);
    s = model_sums(r, std::ldexp(1.0, exponent));
  }
  const double m2 = s[1] / n;
  if (m2 <= 0) return {"zero"};
  Model m;
  if (sharpe_only) {
    m.sharpe = s[0] / std::sqrt(m2 * n / (n - 1));
    return m;
  }
  m.mean = std::ldexp(s[0], -exponent);
  m.std = std::ldexp(std::sqrt(m2 * n / (n - 1)), -exponent);
  if (!std::isfinite(m.std) || !(m.std > 0)) return {"range"};
  m.sharpe = m.mean / m.std;
  m.skewness = (s[2] / n) / std::pow(m2, 1.5);
  m.kurtosis = (s[3] / n) / (m2 * m2);
  return m;
}

// The refusal's kind in the model's words.
std::string kind(const StatsError& error) {
  switch (error.kind()) {
    case StatsErrorKind::kTooFewObservations:
      return "few";
    case StatsErrorKind::kNonFinite:
      return "finite";
    case StatsErrorKind::kZeroVariance:
      return "zero";
    case StatsErrorKind::kOutOfRange:
      return "range";
    default:
      return error.message();
  }
}

bool same_bits(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

// A series of `n` returns: normal around a drift, of magnitude `scale`, with
// now and then a run of equal values, a huge outlier or a non-finite value.
V series(std::mt19937_64& rng, std::size_t n, double scale) {
  std::normal_distribution<double> normal(0.03, 1.0);
  std::uniform_int_distribution<int> event(0, 99);
  V r(n);
  for (double& x : r) x = normal(rng) * scale;
  switch (event(rng)) {
    case 0:
      r.assign(n, r[0]);
      break;
    case 1:
      r[n / 2] = std::numeric_limits<double>::quiet_NaN();
      break;
    case 2:
      r[n - 1] = -std::numeric_limits<double>::infinity();
      break;
    case 3:
      r[0] = std::numeric_limits<double>::max();
      break;
    default:
      break;
  }
  return r;
}

TEST(MomentsModel, EstimatorsAgreeWithTheModelBitForBit) {
  std::mt19937_64 rng(20);
  const double scales[] = {1e-300, 1e-160, 1e-80, 1e-4, 1.0, 1e80, 1e160, 1e300};
  std::uniform_int_distribution<std::size_t> size(0, 300);
  for (int trial = 0; trial < 4000; ++trial) {
    const V r = series(rng, size(rng), scales[trial % 8]);
    const Model want = model(r, false), want_sharpe = model(r, true);
    const auto got = moments::Moments::from_returns(r);
    const auto sharpe = moments::sharpe_ratio(r);
    SCOPED_TRACE("trial " + std::to_string(trial) + ", " + std::to_string(r.size()) + " returns");
    if (want_sharpe.refusal.empty()) {
      ASSERT_TRUE(sharpe.ok()) << sharpe.error().message();
      EXPECT_TRUE(same_bits(sharpe.value(), want_sharpe.sharpe));
    } else {
      ASSERT_FALSE(sharpe.ok());
      EXPECT_EQ(kind(sharpe.error()), want_sharpe.refusal);
    }
    if (!want.refusal.empty()) {
      ASSERT_FALSE(got.ok());
      EXPECT_EQ(kind(got.error()), want.refusal);
      continue;
    }
    ASSERT_TRUE(got.ok()) << got.error().message();
    const moments::Moments& m = got.value();
    EXPECT_TRUE(same_bits(m.mean, want.mean) && same_bits(m.std, want.std));
    EXPECT_TRUE(same_bits(m.skewness, want.skewness) && same_bits(m.kurtosis, want.kurtosis));
    EXPECT_TRUE(same_bits(m.sharpe(), want.sharpe));
  }
}

}  // namespace
}  // namespace tm_stats
