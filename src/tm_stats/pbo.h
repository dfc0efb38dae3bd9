// The probability of backtest overfitting by combinatorially symmetric
// cross-validation: how often the configuration that looks best on half of the
// blocks of a return matrix does worse than the median configuration on the
// other half. The matrix is reduced once to per-block sums; every combination
// of blocks is then evaluated from those sums alone.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "tm_stats/error.h"

namespace tm_stats::pbo {

// Per-period returns, one column per configuration, stored period-major: the
// return of configuration c in period t is data[t * n_configs + c].
struct PerformanceMatrix {
  std::vector<double> data;
  std::uint64_t n_periods = 0;
  std::uint64_t n_configs = 0;

  // Lays the columns out period-major. Fails with Malformed when there are no
  // columns, their lengths differ or they are empty, and with NonFinite
  // ("performance matrix entry") on a NaN or infinite return.
  [[nodiscard]] static Result<PerformanceMatrix> from_columns(
      std::span<const std::vector<double>> columns);
};

// The matrix reduced to sufficient statistics per contiguous block of periods.
// Per-(block, configuration) arrays are block-major: index block * n_configs + c.
struct BlockStats {
  std::vector<std::uint64_t> counts;  // periods per block
  std::vector<double> sums;           // left-to-right sum of the returns
  std::vector<double> sum_squares;    // left-to-right sum of the squared returns
  std::uint64_t n_configs = 0;
  // Smallest and largest return, so that a configuration whose returns are all
  // equal over a set of blocks is recognised exactly; the sums alone can leave
  // a rounding residue that would pass for variance.
  std::vector<double> minima;
  std::vector<double> maxima;

  // Period t of n_periods belongs to block min(n_blocks - 1, t * n_blocks / n_periods).
  // REQUIRES: matrix.data.size() == n_periods * n_configs, n_blocks >= 1.
  static BlockStats from_matrix(const PerformanceMatrix& matrix, std::uint32_t n_blocks);

  // Bailey et al. (2017), "The Probability of Backtest Overfitting": SR per configuration.
  // The Sharpe ratio of every configuration over the union of the given blocks
  // (summed in the order given), minus infinity for a configuration without
  // variance there. Fails with TooFewObservations when the blocks hold fewer
  // than 2 periods and ZeroVariance when no ratio is finite.
  // REQUIRES: every block index is below counts.size().
  [[nodiscard]] Result<std::vector<double>> sharpes(std::span<const std::uint32_t> blocks) const;
};

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
                                                                    std::uint64_t n_blocks);

}  // namespace tm_stats::pbo
