// Sample moments of a per-period return series and its Sharpe ratio. Nothing
// is annualised and no risk-free rate is subtracted: the caller's returns are
// taken as they are.
#pragma once

#include <cstdint>
#include <span>

#include "tm_stats/error.h"

namespace tm_stats::moments {

struct Moments {
  std::uint64_t n = 0;  // number of returns
  double mean = 0;      // arithmetic mean
  double std = 0;       // sample standard deviation (divisor n - 1)
  double skewness = 0;  // m3 / m2^1.5, population central moments
  double kurtosis = 0;  // m4 / m2^2, population central moments; 3 for a normal sample

  // Joanes & Gill (1998), "Comparing measures of sample skewness and kurtosis": g1 and b2.
  // Fails with TooFewObservations below 4 returns, NonFinite ("return") on a
  // NaN or infinity, ZeroVariance when the returns do not vary.
  [[nodiscard]] static Result<Moments> from_returns(std::span<const double> returns);

  // The Sharpe ratio, mean / std: the value sharpe_ratio gives for the same returns.
  double sharpe() const { return mean / std; }
};

// Sharpe (1994), "The Sharpe Ratio": the historic ratio S_h = mean / standard deviation.
// Fails as Moments::from_returns does.
[[nodiscard]] Result<double> sharpe_ratio(std::span<const double> returns);

}  // namespace tm_stats::moments
