#include "tm_stats/pbo.h"

#include <algorithm>
#include <cmath>
#include <optional>
#include <utility>

namespace tm_stats::pbo {
namespace {

// Units of work (a configuration-block, a logit) between two questions to a
// StopAsked: a few milliseconds.
constexpr std::uint64_t kAskEvery = std::uint64_t{1} << 20;

// Relative ranks are kept inside (0, 1) so that every logit is finite.
constexpr double kOmegaFloor = 2.220446049250313e-16;
constexpr double kOmegaCeiling = 0.9999999999999998;
constexpr std::uint64_t kMinimumSplits = 4;
constexpr std::uint64_t kMinimumConfigs = 2;
constexpr std::uint64_t kMinimumPeriodsPerBlock = 2;

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

// The first refusal of a matrix and split count, in the order they are checked.
std::optional<StatsError> refusal(const PerformanceMatrix& matrix, std::uint64_t n_blocks) {
  // The fields are public: a matrix not built by from_columns is checked
  // before anything is read from it.
  std::uint64_t cells = 0;
  if (__builtin_mul_overflow(matrix.n_periods, matrix.n_configs, &cells) ||
      cells != matrix.data.size()) {
    return StatsError::malformed("data length does not match n_periods * n_configs");
  }
  if (n_blocks % 2 != 0 || n_blocks < kMinimumSplits || n_blocks > kMaxSplits) {
    return StatsError::bad_split(n_blocks);
  }
  if (matrix.n_configs < kMinimumConfigs) {
    return StatsError::too_few_observations(matrix.n_configs, kMinimumConfigs);
  }
  if (matrix.n_periods < kMinimumPeriodsPerBlock * n_blocks) {
    return StatsError::too_few_observations(matrix.n_periods, kMinimumPeriodsPerBlock * n_blocks);
  }
  for (double r : matrix.data) {
    if (!std::isfinite(r)) return StatsError::non_finite("performance matrix entry");
  }
  return std::nullopt;
}

// The in-sample blocks J of a combination and their complement, both
// ascending, stepped through the combinations in lexicographic order of J.
class Split {
 public:
  explicit Split(std::uint32_t blocks)
      : blocks_(blocks), half_(blocks / 2), in_(half_), out_(half_) {
    for (std::uint32_t i = 0; i < half_; ++i) {
      in_[i] = i;
      out_[i] = half_ + i;
    }
  }

  const std::vector<std::uint32_t>& in() const { return in_; }
  const std::vector<std::uint32_t>& out() const { return out_; }

  // Moves to the next combination and sets *in_from and *out_from to the first
  // positions of in() and out() that changed. Returns false instead once the
  // move would take block 0 out of J: the combinations from there on are the
  // complements of those already visited.
  bool advance(std::size_t* in_from, std::size_t* out_from) {
    // Advance the rightmost index that can still grow and reset those after it.
    std::uint32_t i = half_;
    while (i > 0 && in_[i - 1] == blocks_ - half_ + i - 1) --i;
    if (i <= 1) return false;
    --i;
    const std::uint32_t old = in_[i];
    ++in_[i];
    for (std::uint32_t j = i + 1; j < half_; ++j) in_[j] = in_[j - 1] + 1;
    // Blocks below `old` keep their places in the complement: the ones in J
    // below it are unchanged, so old - i of them lie outside J.
    const std::uint32_t kept = old - i;
    std::uint32_t position = kept, member = i;
    for (std::uint32_t b = old; b < blocks_; ++b) {
      if (member < half_ && in_[member] == b) {
        ++member;
      } else {
        out_[position++] = b;
      }
    }
    *in_from = i;
    *out_from = kept;
    return true;
  }

 private:
  std::uint32_t blocks_;
  std::uint32_t half_;
  std::vector<std::uint32_t> in_;
  std::vector<std::uint32_t> out_;
};

// The winner of every combination and how it ranks out of sample.
class Tally {
 public:
  Tally(std::uint64_t n_configs, std::uint64_t combinations)
      : nc_(n_configs),
        rank_logits_(n_configs * n_configs),
        winner_is_(combinations),
        winner_oos_(combinations) {
    report_.combinations = combinations;
    report_.logits.assign(combinations, 0.0);
  }

  // Fills the table of logits by rank, asking `stop` every kAskEvery entries
  // (with thousands of configurations the table alone takes a good part of a
  // second). False when `stop` answered true. REQUIRES: called once, before record().
  bool fill_rank_logits(const StopAsked& stop) {
    // The logit depends on the rank alone: one entry per (below, ties) with
    // below + ties < n_configs, computed once instead of per combination.
    std::uint64_t work = 0;
    for (std::size_t below = 0; below < nc_; ++below) {
      for (std::size_t ties = 0; below + ties < nc_; ++ties)
        rank_logits_[below * nc_ + ties] = logit_of(below, ties, nc_);
      work += nc_ - below;
      if (work >= kAskEvery) {
        work = 0;
        if (stop && stop()) return false;
      }
    }
    return true;
  }

  // Records combination `at`: the winner of `chosen`, ranked on `other`.
  void record(std::uint64_t at, std::span<const double> chosen, std::span<const double> other) {
    std::size_t w = 0;
    for (std::size_t c = 1; c < nc_; ++c) {
      if (chosen[c] > chosen[w]) w = c;
    }
    const double target = other[w];
    std::uint64_t below = 0, ties = 0;
    for (std::size_t c = 0; c < nc_; ++c) {
      below += static_cast<std::uint64_t>(c != w && other[c] < target);
      ties += static_cast<std::uint64_t>(c != w && other[c] == target);
    }
    const double logit = rank_logits_[below * nc_ + ties];
    report_.logits[at] = logit;
    overfit_ += static_cast<std::uint64_t>(logit <= 0);
    losses_ += static_cast<std::uint64_t>(target < 0);
    winner_is_[at] = chosen[w];
    winner_oos_[at] = target;
  }

  // The report. REQUIRES: every combination has been recorded.
  PboReport report() && {
    const double count = static_cast<double>(report_.combinations);
    report_.pbo = static_cast<double>(overfit_) / count;
    report_.probability_of_loss = static_cast<double>(losses_) / count;
    report_.degradation_slope = slope(winner_is_, winner_oos_);
    report_.median_oos_sharpe = median(winner_oos_);
    return std::move(report_);
  }

 private:
  std::size_t nc_;
  std::vector<double> rank_logits_;
  std::vector<double> winner_is_;
  std::vector<double> winner_oos_;
  std::uint64_t overfit_ = 0;
  std::uint64_t losses_ = 0;
  PboReport report_;
};

}  // namespace

Result<PboReport> probability_of_backtest_overfitting(const PerformanceMatrix& matrix,
                                                      std::uint64_t n_blocks,
                                                      const StopAsked& stop) {
  if (std::optional<StatsError> error = refusal(matrix, n_blocks)) return *error;
  const auto blocks = static_cast<std::uint32_t>(n_blocks);
  const BlockStats stats = BlockStats::from_matrix(matrix, blocks);
  const std::vector<double> rows = packed_rows(stats);

  // Every block holds at least 2 periods, so every union does.
  Split split(blocks);
  UnionSums in_sample(stats, rows, blocks / 2), out_of_sample(stats, rows, blocks / 2);
  in_sample.update(split.in(), 0);
  out_of_sample.update(split.out(), 0);
  const std::uint64_t combinations = choose(blocks, blocks / 2);
  Tally tally(matrix.n_configs, combinations);
  if (!tally.fill_rank_logits(stop)) return StatsError::stopped();
  std::vector<double> is(matrix.n_configs), oos(matrix.n_configs);

  // In lexicographic order the complement of combination i is combination
  // C - 1 - i, and the first half are exactly those holding block 0. Each
  // combination of the first half therefore also settles its mirror, with the
  // roles of the two block sets swapped; their ratios are the same sums over
  // the same ascending blocks either way.
  std::uint64_t work = 0;  // configuration-blocks since `stop` was last asked
  for (std::uint64_t index = 0;; ++index) {
    work += matrix.n_configs * blocks;
    if (work >= kAskEvery) {
      work = 0;
      if (stop && stop()) return StatsError::stopped();
    }
    if (!in_sample.sharpes(is) || !out_of_sample.sharpes(oos)) return StatsError::zero_variance();
    tally.record(index, is, oos);
    tally.record(combinations - 1 - index, oos, is);
    std::size_t in_from = 0, out_from = 0;
    if (!split.advance(&in_from, &out_from)) break;
    in_sample.update(split.in(), in_from);
    out_of_sample.update(split.out(), out_from);
  }
  return std::move(tally).report();
}

Result<PboReport> probability_of_backtest_overfitting(std::span<const std::vector<double>> columns,
                                                      std::uint64_t n_blocks,
                                                      const StopAsked& stop) {
  if (columns.size() < 2) return StatsError::one_configuration();
  for (std::size_t c = 1; c < columns.size(); ++c) {
    if (columns[c].size() != columns[0].size()) {
      return StatsError::unequal_columns(c, columns[c].size(), columns[0].size());
    }
  }
  const Result<PerformanceMatrix> matrix = PerformanceMatrix::from_columns(columns);
  if (!matrix.ok()) return matrix.error();
  return probability_of_backtest_overfitting(matrix.value(), n_blocks, stop);
}

}  // namespace tm_stats::pbo
