// The probability of backtest overfitting by combinatorially symmetric
// cross-validation: how often the configuration that looks best on half of the
// blocks of a return matrix does worse than the median configuration on the
// other half. The matrix is reduced once to per-block sums (block_stats.h);
// every combination of blocks is then evaluated from those sums alone.
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <vector>

#include "tm_stats/block_stats.h"
#include "tm_stats/error.h"

namespace tm_stats::pbo {

// Asked every million or so units of work (configuration-blocks of the
// combinations, entries of the table of logits by rank), a few milliseconds;
// true ends the estimate with Stopped. Empty: never asked.
using StopAsked = std::function<bool()>;

struct PboReport {
  std::vector<double> logits;  // one per combination, in enumeration order
  double pbo = 0;              // share of logits <= 0
  std::uint64_t combinations = 0;
  double probability_of_loss = 0;  // share of winners with a negative out-of-sample ratio
  double median_oos_sharpe = 0;    // median out-of-sample ratio of the winners
  double degradation_slope = 0;  // least-squares slope of winners' out-of-sample on in-sample ratio
};

// Bailey et al. (2017), "The Probability of Backtest Overfitting": PBO = P[λ_c <= 0] by CSCV.
// Fails with Malformed when data does not hold n_periods * n_configs entries,
// BadSplit unless n_blocks is even and in [4, 24], TooFewObservations for
// fewer than 2 configurations or fewer than 2 * n_blocks periods, NonFinite on
// a non-finite entry and ZeroVariance when some block union leaves no
// configuration with a finite Sharpe ratio. Each combination costs
// O(n_blocks * n_configs) at worst and far less on average.
[[nodiscard]] Result<PboReport> probability_of_backtest_overfitting(const PerformanceMatrix& matrix,
                                                                    std::uint64_t n_blocks,
                                                                    const StopAsked& stop = {});

// The same estimate over one return series per configuration. The columns are
// never truncated or padded: fails with OneConfiguration for fewer than two
// columns and UnequalColumns naming the first column whose length differs from
// column 0's, then as PerformanceMatrix::from_columns and the form above.
[[nodiscard]] Result<PboReport> probability_of_backtest_overfitting(
    std::span<const std::vector<double>> columns, std::uint64_t n_blocks,
    const StopAsked& stop = {});

}  // namespace tm_stats::pbo
