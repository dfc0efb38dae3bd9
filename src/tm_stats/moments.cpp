#include "tm_stats/moments.h"

#include <cmath>

namespace tm_stats::moments {
namespace {

constexpr std::uint64_t kMinimumReturns = 4;

// The sum of the returns in their order, or the refusal shared by both
// estimators: too few returns, a NaN or infinity, or all returns equal (the
// mean of equal values is not always one of them after rounding, and the
// deviations from it would then report a tiny variance where there is none).
// One pass does it all: a NaN or infinity among the returns leaves the sum
// NaN or infinite, so the returns are searched for one only when the sum is
// not finite (which an overflow of finite returns can also cause).
Result<double> checked_sum(std::span<const double> returns) {
  if (returns.size() < kMinimumReturns)
    return StatsError::too_few_observations(returns.size(), kMinimumReturns);
  const double first = returns[0];
  double sum = 0.0;
  bool equal = true;
  for (double r : returns) {
    sum += r;
    equal &= r == first;
  }
  if (!std::isfinite(sum)) {
    for (double r : returns)
      if (!std::isfinite(r)) return StatsError::non_finite("return");
  }
  if (equal) return StatsError::zero_variance();
  return sum;
}

// The mean of the returns multiplied by `scale` (given), and the sums of the
// second to fourth powers of their deviations from it (the third and fourth
// only when `Higher`). Each sum runs in the order of the returns; the three
// are independent, so the pass costs about what the second power alone does.
struct Central {
  double mean = 0, s2 = 0, s3 = 0, s4 = 0;
};

template <bool Higher>
Central central_about(std::span<const double> returns, double scale, double mean) {
  Central c;
  c.mean = mean;
  for (double r : returns) {
    const double delta = r * scale - mean;
    const double delta2 = delta * delta;
    c.s2 += delta2;
    if constexpr (Higher) {
      c.s3 += delta * delta2;
      c.s4 += delta2 * delta2;
    }
  }
  return c;
}

// As central_about, with the mean of the scaled returns computed first.
template <bool Higher>
Central central(std::span<const double> returns, double scale) {
  double sum = 0.0;
  for (double r : returns) sum += r * scale;
  return central_about<Higher>(returns, scale, sum / static_cast<double>(returns.size()));
}

// Returns whose sums of powers overflow (around 1e77 and above for the fourth
// power) or underflow (spreads around 1e-77 and below) are computed again
// multiplied by the power of two that brings the largest magnitude to [1, 2).
// Every figure but the mean and the deviation is invariant under that scale,
// and ordinary inputs never take this path, so their results are unchanged.
// Returns the exponent of that power of two.
int rescaling_exponent(std::span<const double> returns) {
  double largest = 0.0;
  for (double r : returns) largest = std::fmax(largest, std::fabs(r));
  return -std::ilogb(largest);
}

}  // namespace

Result<Moments> Moments::from_returns(std::span<const double> returns) {
  const Result<double> sum = checked_sum(returns);
  if (!sum.ok()) return sum.error();
  const double n = static_cast<double>(returns.size());
  int exponent = 0;
  Central c = central_about<true>(returns, 1.0, sum.value() / n);
  if (!std::isfinite(c.s4) || !std::isnormal((c.s2 / n) * (c.s2 / n))) {
    exponent = rescaling_exponent(returns);
    c = central<true>(returns, std::ldexp(1.0, exponent));
  }
  const double m2 = c.s2 / n, m3 = c.s3 / n, m4 = c.s4 / n;
  if (m2 <= 0) return StatsError::zero_variance();

  Moments m;
  m.n = returns.size();
  m.mean = std::ldexp(c.mean, -exponent);
  m.std = std::ldexp(std::sqrt(m2 * n / (n - 1)), -exponent);
  m.skewness = m3 / std::pow(m2, 1.5);
  m.kurtosis = m4 / (m2 * m2);
  if (!std::isfinite(m.std) || !(m.std > 0)) {
    return StatsError::out_of_range("the standard deviation of the returns");
  }
  return m;
}

Result<double> sharpe_ratio(std::span<const double> returns) {
  const Result<double> sum = checked_sum(returns);
  if (!sum.ok()) return sum.error();
  const double n = static_cast<double>(returns.size());
  Central c = central_about<false>(returns, 1.0, sum.value() / n);
  if (!std::isfinite(c.s2) || !std::isnormal(c.s2 / n)) {
    c = central<false>(returns, std::ldexp(1.0, rescaling_exponent(returns)));
  }
  const double v = c.s2 / n;
  if (v <= 0) return StatsError::zero_variance();
  return c.mean / std::sqrt(v * n / (n - 1));
}

}  // namespace tm_stats::moments
