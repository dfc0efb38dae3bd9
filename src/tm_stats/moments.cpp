#include "tm_stats/moments.h"

#include <cmath>

namespace tm_stats::moments {
namespace {

constexpr std::uint64_t kMinimumReturns = 4;

// The checks shared by both estimators: enough returns, all of them finite.
// Returns the left-to-right sum, or the error. Sets *constant to whether every
// return equals the first, because the mean of equal values is not always one
// of them after rounding, and the deviations from it would then report a tiny
// variance where there is none.
Result<double> checked_sum(std::span<const double> returns, bool* constant) {
  if (returns.size() < kMinimumReturns)
    return StatsError::too_few_observations(returns.size(), kMinimumReturns);
  for (double r : returns) {
    if (!std::isfinite(r)) return StatsError::non_finite("return");
  }
  double sum = 0.0;
  bool equal = true;
  for (double r : returns) {
    sum += r;
    equal = equal && r == returns[0];
  }
  *constant = equal;
  return sum;
}

}  // namespace

Result<Moments> Moments::from_returns(std::span<const double> returns) {
  bool constant = false;
  Result<double> sum = checked_sum(returns, &constant);
  if (!sum.ok()) return sum.error();
  if (constant) return StatsError::zero_variance();

  const double n = static_cast<double>(returns.size());
  const double mean = sum.value() / n;
  double s2 = 0.0, s3 = 0.0, s4 = 0.0;
  for (double r : returns) {
    const double delta = r - mean;
    const double delta2 = delta * delta;
    s2 += delta2;
    s3 += delta * delta2;
    s4 += delta2 * delta2;
  }
  const double m2 = s2 / n, m3 = s3 / n, m4 = s4 / n;
  if (m2 <= 0) return StatsError::zero_variance();

  Moments m;
  m.n = returns.size();
  m.mean = mean;
  m.std = std::sqrt(m2 * n / (n - 1));
  m.skewness = m3 / std::pow(m2, 1.5);
  m.kurtosis = m4 / (m2 * m2);
  return m;
}

Result<double> sharpe_ratio(std::span<const double> returns) {
  bool constant = false;
  Result<double> sum = checked_sum(returns, &constant);
  if (!sum.ok()) return sum.error();
  if (constant) return StatsError::zero_variance();

  const double n = static_cast<double>(returns.size());
  const double mean = sum.value() / n;
  double s2 = 0.0;
  for (double r : returns) {
    const double delta = r - mean;
    s2 += delta * delta;
  }
  const double v = s2 / n;
  if (v <= 0) return StatsError::zero_variance();
  return mean / std::sqrt(v * n / (n - 1));
}

}  // namespace tm_stats::moments
