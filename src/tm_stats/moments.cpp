#include "tm_stats/moments.h"

#include <cmath>
#include <optional>

namespace tm_stats::moments {
namespace {

constexpr std::uint64_t kMinimumReturns = 4;

// The checks shared by both estimators: enough returns, all of them finite,
// and not all equal (the mean of equal values is not always one of them after
// rounding, and the deviations from it would then report a tiny variance where
// there is none).
std::optional<StatsError> refusal(std::span<const double> returns) {
  if (returns.size() < kMinimumReturns)
    return StatsError::too_few_observations(returns.size(), kMinimumReturns);
  bool equal = true;
  for (double r : returns) {
    if (!std::isfinite(r)) return StatsError::non_finite("return");
    equal = equal && r == returns[0];
  }
  if (equal) return StatsError::zero_variance();
  return std::nullopt;
}

// The mean of the returns multiplied by `scale`, and the sums of the second to
// fourth powers of their deviations from it (the fourth only when asked).
struct Central {
  double mean = 0, s2 = 0, s3 = 0, s4 = 0;
};

Central central(std::span<const double> returns, double scale, bool higher) {
  double sum = 0.0;
  for (double r : returns) sum += r * scale;
  Central c;
  c.mean = sum / static_cast<double>(returns.size());
  for (double r : returns) {
    const double delta = r * scale - c.mean;
    const double delta2 = delta * delta;
    c.s2 += delta2;
    if (higher) {
      c.s3 += delta * delta2;
      c.s4 += delta2 * delta2;
    }
  }
  return c;
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
  if (auto error = refusal(returns)) return *error;
  const double n = static_cast<double>(returns.size());
  int exponent = 0;
  Central c = central(returns, 1.0, true);
  if (!std::isfinite(c.s4) || !std::isnormal((c.s2 / n) * (c.s2 / n))) {
    exponent = rescaling_exponent(returns);
    c = central(returns, std::ldexp(1.0, exponent), true);
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
  if (auto error = refusal(returns)) return *error;
  const double n = static_cast<double>(returns.size());
  Central c = central(returns, 1.0, false);
  if (!std::isfinite(c.s2) || !std::isnormal(c.s2 / n)) {
    c = central(returns, std::ldexp(1.0, rescaling_exponent(returns)), false);
  }
  const double v = c.s2 / n;
  if (v <= 0) return StatsError::zero_variance();
  return c.mean / std::sqrt(v * n / (n - 1));
}

}  // namespace tm_stats::moments
