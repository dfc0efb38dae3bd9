#include "tm_stats/pbo.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace tm_stats::pbo {
namespace {

constexpr double kInfinity = std::numeric_limits<double>::infinity();
// Relative ranks are kept inside (0, 1) so that every logit is finite.
constexpr double kOmegaFloor = 2.220446049250313e-16;
constexpr double kOmegaCeiling = 0.9999999999999998;
constexpr std::uint64_t kMinimumSplits = 4;
constexpr std::uint64_t kMinimumConfigs = 2;
constexpr std::uint64_t kMinimumPeriodsPerBlock = 2;

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

// The logit of the relative out-of-sample rank of a winner that beats `below`
// of the other configurations and ties with `ties` of them.
double logit_of(std::uint64_t below, std::uint64_t ties, std::uint64_t n_configs) {
  const double omega =
      std::clamp((static_cast<double>(below) + 0.5 * static_cast<double>(ties) + 1) /
                     static_cast<double>(n_configs + 1),
                 kOmegaFloor, kOmegaCeiling);
  return std::log(omega / (1 - omega));
}

// C(n, k) for the split counts accepted here (n <= 24), exactly.
std::uint64_t choose(std::uint64_t n, std::uint64_t k) {
  std::uint64_t result = 1;
  for (std::uint64_t i = 1; i <= k; ++i) result = result * (n - k + i) / i;
  return result;
}

// Per block, the four per-configuration statistics packed into one row of
// 4 * n_configs values: sums, sums of squares, minima, maxima. Summing block
// rows position by position is then one contiguous pass per statistic.
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
TM_STATS_WIDE_CLONES void extend_row(std::size_t nc, const double* __restrict prev, const double* __restrict block,
                double* __restrict next) {
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

// Sums over an ascending list of blocks, kept for every prefix of the list:
// row p + 1 holds the totals over the first p + 1 blocks and row 0 the empty
// total. Each row extends the row before it by one block, so every total is
// the same left-to-right sum as one summed from scratch, and a list that
// shares its first p blocks with the previous one is summed again only from
// row p + 1 on. Borrows stats and blocks (from packed_rows), which must
// outlive this object.
class UnionSums {
 public:
  UnionSums(const BlockStats& stats, std::span<const double> blocks, std::size_t length)
      : counts_of_(stats.counts),
        blocks_(blocks),
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
  UnionSums(const UnionSums&) = delete;
  UnionSums& operator=(const UnionSums&) = delete;

  // Re-sums the rows of positions from .. length - 1 of list.
  // REQUIRES: list.size() == length; rows up to position `from` are current.
  void update(std::span<const std::uint32_t> list, std::size_t from) {
    for (std::size_t p = from; p < length_; ++p) {
      const std::size_t b = list[p];
      counts_[p + 1] = counts_[p] + counts_of_[b];
      extend_row(configs_, &rows_[p * width_], &blocks_[b * width_], &rows_[(p + 1) * width_]);
    }
  }

  // Writes the Sharpe ratio of every configuration over the whole list to out
  // and returns whether any of them is finite.
  // REQUIRES: out.size() == n_configs; the blocks hold at least 2 periods together.
  bool sharpes(std::span<double> out) const {
    row_sharpes(configs_, &rows_[length_ * width_], static_cast<double>(counts_[length_]),
                out.data());
    bool any_finite = false;
    for (double r : out) any_finite |= (r > -kInfinity) & (r < kInfinity);
    return any_finite;
  }

 private:
  const std::vector<std::uint64_t>& counts_of_;
  const std::span<const double> blocks_;
  const std::size_t configs_;
  const std::size_t width_;
  const std::size_t length_;
  std::vector<std::uint64_t> counts_;
  std::vector<double> rows_;
};

// The median of values (reordered in place): the middle value for an odd
// count, the mean of the two middle values for an even one.
// REQUIRES: values is not empty.
double median(std::vector<double>& values) {
  const std::size_t mid = values.size() / 2;
  std::nth_element(values.begin(), values.begin() + static_cast<std::ptrdiff_t>(mid), values.end());
  const double upper = values[mid];
  if (values.size() % 2 == 1) return upper;
  const double lower =
      *std::max_element(values.begin(), values.begin() + static_cast<std::ptrdiff_t>(mid));
  return (lower + upper) / 2;
}

// The least-squares slope of y on x; 0 when x does not vary.
// REQUIRES: x and y have the same non-zero size.
double slope(const std::vector<double>& x, const std::vector<double>& y) {
  const double n = static_cast<double>(x.size());
  double sum_x = 0.0, sum_y = 0.0;
  for (double v : x) sum_x += v;
  for (double v : y) sum_y += v;
  const double mean_x = sum_x / n, mean_y = sum_y / n;
  double numerator = 0.0, denominator = 0.0;
  for (std::size_t i = 0; i < x.size(); ++i) {
    const double dx = x[i] - mean_x;
    numerator += dx * (y[i] - mean_y);
    denominator += dx * dx;
  }
  return denominator == 0 ? 0.0 : numerator / denominator;
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

Result<PboReport> probability_of_backtest_overfitting(const PerformanceMatrix& matrix,
                                                      std::uint64_t n_blocks) {
  const std::uint64_t nc = matrix.n_configs;
  // The fields are public: a matrix not built by from_columns is checked
  // before anything is read from it.
  std::uint64_t cells = 0;
  if (__builtin_mul_overflow(matrix.n_periods, nc, &cells) || cells != matrix.data.size()) {
    return StatsError::malformed("data length does not match n_periods * n_configs");
  }
  if (n_blocks % 2 != 0 || n_blocks < kMinimumSplits || n_blocks > kMaxSplits) {
    return StatsError::bad_split(n_blocks);
  }
  if (nc < kMinimumConfigs) return StatsError::too_few_observations(nc, kMinimumConfigs);
  if (matrix.n_periods < kMinimumPeriodsPerBlock * n_blocks) {
    return StatsError::too_few_observations(matrix.n_periods, kMinimumPeriodsPerBlock * n_blocks);
  }
  for (double r : matrix.data) {
    if (!std::isfinite(r)) return StatsError::non_finite("performance matrix entry");
  }

  const auto blocks = static_cast<std::uint32_t>(n_blocks);
  const std::uint32_t half = blocks / 2;
  const BlockStats stats = BlockStats::from_matrix(matrix, blocks);

  // The in-sample blocks J in lexicographic order and their complement, both
  // ascending. Every block holds at least 2 periods, so every union does.
  std::vector<std::uint32_t> in(half), out(half);
  for (std::uint32_t i = 0; i < half; ++i) {
    in[i] = i;
    out[i] = half + i;
  }
  const std::vector<double> rows = packed_rows(stats);
  UnionSums in_sample(stats, rows, half), out_of_sample(stats, rows, half);
  in_sample.update(in, 0);
  out_of_sample.update(out, 0);

  PboReport report;
  report.combinations = choose(blocks, half);
  report.logits.assign(report.combinations, 0.0);
  std::vector<double> winner_is(report.combinations), winner_oos(report.combinations);
  std::vector<double> is(nc), oos(nc);
  std::uint64_t overfit = 0, losses = 0;
  // The logit depends on the rank alone: one entry per (below, ties) with
  // below + ties < n_configs, computed once instead of per combination.
  std::vector<double> logits(nc * nc);
  for (std::size_t below = 0; below < nc; ++below) {
    for (std::size_t ties = 0; below + ties < nc; ++ties)
      logits[below * nc + ties] = logit_of(below, ties, nc);
  }
  // Records combination `at`: the winner of `chosen`, ranked on `other`.
  const auto record = [&](std::uint64_t at, std::span<const double> chosen,
                          std::span<const double> other) {
    std::size_t w = 0;
    for (std::size_t c = 1; c < nc; ++c) {
      if (chosen[c] > chosen[w]) w = c;
    }
    const double target = other[w];
    std::uint64_t below = 0, ties = 0;
    for (std::size_t c = 0; c < nc; ++c) {
      below += static_cast<std::uint64_t>(c != w && other[c] < target);
      ties += static_cast<std::uint64_t>(c != w && other[c] == target);
    }
    const double logit = logits[below * nc + ties];
    report.logits[at] = logit;
    overfit += static_cast<std::uint64_t>(logit <= 0);
    losses += static_cast<std::uint64_t>(target < 0);
    winner_is[at] = chosen[w];
    winner_oos[at] = target;
  };

  // In lexicographic order the complement of combination i is combination
  // C - 1 - i, and the first half are exactly those holding block 0. Each
  // combination of the first half therefore also settles its mirror, with the
  // roles of the two block sets swapped; their ratios are the same sums over
  // the same ascending blocks either way.
  for (std::uint64_t index = 0;; ++index) {
    if (!in_sample.sharpes(is)) return StatsError::zero_variance();
    if (!out_of_sample.sharpes(oos)) return StatsError::zero_variance();
    record(index, is, oos);
    record(report.combinations - 1 - index, oos, is);

    // Advance the rightmost index that can still grow and reset those after
    // it; once that would move block 0 out, the rest are mirrors.
    std::uint32_t i = half;
    while (i > 0 && in[i - 1] == blocks - half + i - 1) --i;
    if (i <= 1) break;
    --i;
    const std::uint32_t old = in[i];
    ++in[i];
    for (std::uint32_t j = i + 1; j < half; ++j) in[j] = in[j - 1] + 1;
    // Blocks below `old` keep their places in the complement: the ones in J
    // below it are unchanged, so old - i of them lie outside J.
    const std::uint32_t kept = old - i;
    std::uint32_t position = kept, member = i;
    for (std::uint32_t b = old; b < blocks; ++b) {
      if (member < half && in[member] == b) {
        ++member;
      } else {
        out[position++] = b;
      }
    }
    in_sample.update(in, i);
    out_of_sample.update(out, kept);
  }

  const double count = static_cast<double>(report.combinations);
  report.pbo = static_cast<double>(overfit) / count;
  report.probability_of_loss = static_cast<double>(losses) / count;
  report.degradation_slope = slope(winner_is, winner_oos);
  report.median_oos_sharpe = median(winner_oos);
  return report;
}

}  // namespace tm_stats::pbo
