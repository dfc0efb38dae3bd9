#include "tm_stats/block_stats.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace tm_stats::pbo {
namespace {

constexpr double kInfinity = std::numeric_limits<double>::infinity();

// The Sharpe ratio of one configuration over a union of blocks holding n >= 2
// periods, from the sums of its returns and squared returns and its smallest
// and largest return there. A configuration without variance ranks below
// every other.
inline double sharpe_of(double sum, double sum_squares, double lowest, double highest, double n) {
  const double m = sum / n;
  const double v = (sum_squares - m * (m * n)) / (n - 1);
  const double ratio = m / std::sqrt(v);
  return (v > 0 && lowest < highest) ? ratio : -kInfinity;
}

// The two loops below are built also for AVX2 and AVX-512 and the widest the
// processor runs is chosen at load time: they are most of the work, and each
// element is computed by the same operations in every width (no fused
// multiply-add), so every width gives the same bits.
#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__)
#define TM_STATS_WIDE_CLONES __attribute__((target_clones("avx512f", "avx2", "default")))
#else
#define TM_STATS_WIDE_CLONES
#endif

// next = prev extended by one block: sums added, extremes widened.
TM_STATS_WIDE_CLONES void extend_row(std::size_t nc, const double* __restrict prev,
                                     const double* __restrict block, double* __restrict next) {
  for (std::size_t c = 0; c < 2 * nc; ++c) next[c] = prev[c] + block[c];
  for (std::size_t c = 2 * nc; c < 3 * nc; ++c) next[c] = block[c] < prev[c] ? block[c] : prev[c];
  for (std::size_t c = 3 * nc; c < 4 * nc; ++c) next[c] = block[c] > prev[c] ? block[c] : prev[c];
}

// The Sharpe ratio of every configuration from a packed row over n periods.
TM_STATS_WIDE_CLONES void row_sharpes(std::size_t nc, const double* __restrict row, double n,
                                      double* __restrict out) {
  for (std::size_t c = 0; c < nc; ++c)
    out[c] = sharpe_of(row[c], row[nc + c], row[2 * nc + c], row[3 * nc + c], n);
}

}  // namespace

Result<PerformanceMatrix> PerformanceMatrix::from_columns(
    std::span<const std::vector<double>> columns) {
  if (columns.empty()) return StatsError::malformed("no configurations");
  const std::size_t periods = columns[0].size();
  for (const auto& column : columns) {
    if (column.size() != periods)
      return StatsError::malformed("configurations cover different numbers of periods");
  }
  if (periods == 0) return StatsError::malformed("dimensions must be non-zero");

  PerformanceMatrix matrix;
  matrix.n_periods = periods;
  matrix.n_configs = columns.size();
  matrix.data.reserve(periods * columns.size());
  for (std::size_t t = 0; t < periods; ++t) {
    for (const auto& column : columns) matrix.data.push_back(column[t]);
  }
  for (double r : matrix.data) {
    if (!std::isfinite(r)) return StatsError::non_finite("performance matrix entry");
  }
  return matrix;
}

BlockStats BlockStats::from_matrix(const PerformanceMatrix& matrix, std::uint32_t n_blocks) {
  const std::size_t nc = matrix.n_configs;
  BlockStats stats;
  stats.n_configs = nc;
  stats.counts.assign(n_blocks, 0);
  stats.sums.assign(n_blocks * nc, 0.0);
  stats.sum_squares.assign(n_blocks * nc, 0.0);
  stats.minima.assign(n_blocks * nc, kInfinity);
  stats.maxima.assign(n_blocks * nc, -kInfinity);
  for (std::uint64_t t = 0; t < matrix.n_periods; ++t) {
    const std::uint64_t block =
        std::min<std::uint64_t>(n_blocks - 1, t * n_blocks / matrix.n_periods);
    ++stats.counts[block];
    const double* row = &matrix.data[t * nc];
    for (std::size_t c = 0; c < nc; ++c) {
      const double r = row[c];
      const std::size_t at = block * nc + c;
      stats.sums[at] += r;
      stats.sum_squares[at] += r * r;
      stats.minima[at] = std::min(stats.minima[at], r);
      stats.maxima[at] = std::max(stats.maxima[at], r);
    }
  }
  return stats;
}

Result<std::vector<double>> BlockStats::sharpes(std::span<const std::uint32_t> blocks) const {
  std::uint64_t n = 0;
  for (std::uint32_t b : blocks) n += counts[b];
  if (n < 2) return StatsError::too_few_observations(n, 2);
  std::vector<double> out(n_configs);
  bool any_finite = false;
  for (std::size_t c = 0; c < n_configs; ++c) {
    double sum = 0.0, squares = 0.0, lowest = kInfinity, highest = -kInfinity;
    for (std::uint32_t b : blocks) {
      sum += sums[b * n_configs + c];
      squares += sum_squares[b * n_configs + c];
      lowest = std::min(lowest, minima[b * n_configs + c]);
      highest = std::max(highest, maxima[b * n_configs + c]);
    }
    out[c] = sharpe_of(sum, squares, lowest, highest, static_cast<double>(n));
    any_finite = any_finite || std::isfinite(out[c]);
  }
  if (!any_finite) return StatsError::zero_variance();
  return out;
}

std::vector<double> packed_rows(const BlockStats& stats) {
  const std::size_t nc = stats.n_configs;
  std::vector<double> rows;
  rows.reserve(stats.counts.size() * 4 * nc);
  for (std::size_t b = 0; b < stats.counts.size(); ++b) {
    for (const auto* field : {&stats.sums, &stats.sum_squares, &stats.minima, &stats.maxima}) {
      rows.insert(rows.end(), field->begin() + static_cast<std::ptrdiff_t>(b * nc),
                  field->begin() + static_cast<std::ptrdiff_t>((b + 1) * nc));
    }
  }
  return rows;
}

UnionSums::UnionSums(const BlockStats& stats, std::span<const double> rows, std::size_t length)
    : counts_of_(stats.counts),
      blocks_(rows),
      configs_(stats.n_configs),
      width_(4 * stats.n_configs),
      length_(length),
      counts_(length + 1, 0),
      rows_((length + 1) * width_, 0.0) {
  std::fill(rows_.begin() + static_cast<std::ptrdiff_t>(2 * configs_),
            rows_.begin() + static_cast<std::ptrdiff_t>(3 * configs_), kInfinity);
  std::fill(rows_.begin() + static_cast<std::ptrdiff_t>(3 * configs_),
            rows_.begin() + static_cast<std::ptrdiff_t>(width_), -kInfinity);
}

void UnionSums::update(std::span<const std::uint32_t> list, std::size_t from) {
  for (std::size_t p = from; p < length_; ++p) {
    const std::size_t b = list[p];
    counts_[p + 1] = counts_[p] + counts_of_[b];
    extend_row(configs_, &rows_[p * width_], &blocks_[b * width_], &rows_[(p + 1) * width_]);
  }
}

bool UnionSums::sharpes(std::span<double> out) const {
  row_sharpes(configs_, &rows_[length_ * width_], static_cast<double>(counts_[length_]),
              out.data());
  bool any_finite = false;
  for (double r : out) any_finite |= (r > -kInfinity) & (r < kInfinity);
  return any_finite;
}

}  // namespace tm_stats::pbo
