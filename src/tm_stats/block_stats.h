// The return matrix of the overfitting estimate and its reduction to
// per-block sums: PerformanceMatrix holds the returns, BlockStats their
// statistics per contiguous block of periods, and UnionSums the totals over
// a list of blocks, kept for every prefix so that consecutive lists sharing a
// prefix are summed again only from where they differ.
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

// Per block, the four per-configuration statistics packed into one row of
// 4 * n_configs values: sums, sums of squares, minima, maxima. Summing block
// rows position by position is then one contiguous pass per statistic.
std::vector<double> packed_rows(const BlockStats& stats);

// Sums over an ascending list of `length` blocks, kept for every prefix of the
// list: row p + 1 holds the totals over the first p + 1 blocks and row 0 the
// empty total. Each row extends the row before it by one block, so every
// total is the same left-to-right sum as one summed from scratch.
class UnionSums {
 public:
  // Borrows stats and rows (from packed_rows(stats)), which must outlive this object.
  UnionSums(const BlockStats& stats, std::span<const double> rows, std::size_t length);
  UnionSums(const UnionSums&) = delete;
  UnionSums& operator=(const UnionSums&) = delete;

  // Re-sums the rows of positions from .. length - 1 of list.
  // REQUIRES: list.size() == length; rows up to position `from` are current.
  void update(std::span<const std::uint32_t> list, std::size_t from);

  // Writes the Sharpe ratio of every configuration over the whole list to out
  // and returns whether any of them is finite.
  // REQUIRES: out.size() == n_configs; the blocks hold at least 2 periods together.
  bool sharpes(std::span<double> out) const;

 private:
  const std::vector<std::uint64_t>& counts_of_;
  const std::span<const double> blocks_;
  const std::size_t configs_;
  const std::size_t width_;
  const std::size_t length_;
  std::vector<std::uint64_t> counts_;
  std::vector<double> rows_;
};

}  // namespace tm_stats::pbo
