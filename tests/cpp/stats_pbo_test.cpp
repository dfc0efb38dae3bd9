// The overfitting estimate by combinatorially symmetric cross-validation: its
// refusals, worked cases whose every logit is known, and agreement to the last
// bit with a straightforward evaluation written here from the definition.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "tm_stats/pbo.h"

namespace tm_stats::pbo {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();

using Columns = std::vector<std::vector<double>>;

PerformanceMatrix matrix_of(const Columns& columns) {
  auto m = PerformanceMatrix::from_columns(columns);
  if (!m.ok()) ADD_FAILURE() << m.error().message();
  return std::move(m).value();
}

std::string error_of(const Columns& columns, std::uint64_t n_blocks) {
  auto m = PerformanceMatrix::from_columns(columns);
  if (!m.ok()) return m.error().message();
  auto r = probability_of_backtest_overfitting(m.value(), n_blocks);
  return r.ok() ? "ok" : r.error().message();
}

// A column of `periods` returns alternating between two values, so every block
// of two or more periods has variance.
std::vector<double> alternating(std::size_t periods, double a, double b) {
  std::vector<double> column(periods);
  for (std::size_t t = 0; t < periods; ++t) column[t] = t % 2 == 0 ? a : b;
  return column;
}

TEST(PerformanceMatrixFromColumns, LaysColumnsOutPeriodMajor) {
  const auto m = matrix_of({{1, 2, 3}, {4, 5, 6}});
  EXPECT_EQ(m.n_periods, 3u);
  EXPECT_EQ(m.n_configs, 2u);
  EXPECT_EQ(m.data, (std::vector<double>{1, 4, 2, 5, 3, 6}));
}

TEST(PerformanceMatrixFromColumns, RefusesMalformedInputInOrder) {
  EXPECT_EQ(error_of({}, 4), "malformed performance matrix: no configurations");
  EXPECT_EQ(error_of({{}, {1.0}}, 4),
            "malformed performance matrix: configurations cover different numbers of periods");
  EXPECT_EQ(error_of({{}, {}}, 4), "malformed performance matrix: dimensions must be non-zero");
  EXPECT_EQ(error_of({{1, 2}, {3, std::nan("")}}, 4), "performance matrix entry must be finite");
  EXPECT_EQ(error_of({{1, -kInf}, {3, 4}}, 4), "performance matrix entry must be finite");
}

TEST(BlockStatsFromMatrix, TenPeriodsInFourBlocksAreThreeTwoThreeTwo) {
  std::vector<double> column(10);
  for (int t = 0; t < 10; ++t) column[t] = t;
  const auto stats = BlockStats::from_matrix(matrix_of({column, column}), 4);
  EXPECT_EQ(stats.counts, (std::vector<std::uint64_t>{3, 2, 3, 2}));
  EXPECT_EQ(stats.sums, (std::vector<double>{3, 3, 7, 7, 18, 18, 17, 17}));
  EXPECT_EQ(stats.sum_squares[2], 9.0 + 16.0);  // block 1, configuration 0: periods 3 and 4
}

TEST(BlockStatsSharpes, UnionOfBlocksAndItsRefusals) {
  const auto stats =
      BlockStats::from_matrix(matrix_of({{1, 2, 3, 4, 5, 6, 7, 8}, {1, 1, 1, 1, 2, 2, 2, 2}}), 4);
  const std::uint32_t first_two[] = {0, 1};
  auto s = stats.sharpes(first_two);
  ASSERT_TRUE(s.ok());
  EXPECT_NEAR(s.value()[0], 2.5 / std::sqrt(5.0 / 3), 1e-15);
  EXPECT_EQ(s.value()[1], -kInf);  // 1, 1, 1, 1
  const std::uint32_t second_half[] = {2, 3};
  EXPECT_EQ(stats.sharpes(second_half).value()[1], -kInf);
  const std::uint32_t none[] = {0};
  EXPECT_TRUE(stats.sharpes(std::span<const std::uint32_t>(none, 0)).error() ==
              StatsError::too_few_observations(0, 2));
  const auto flat = BlockStats::from_matrix(matrix_of({{1, 1, 1, 1}, {2, 2, 2, 2}}), 2);
  EXPECT_TRUE(flat.sharpes(first_two).error() == StatsError::zero_variance());
}

Columns two_configs(std::size_t periods) {
  return {alternating(periods, 1.0, 1.2), alternating(periods, -1.0, 1.3)};
}

TEST(PboRefusal, SplitCountsShapesAndVarianceInTheOrderChecked) {
  const std::string split = "split count must be even, at least 4 and at most 24, got ";
  for (std::uint64_t n : {0u, 2u, 3u, 5u, 25u, 26u}) {
    EXPECT_EQ(error_of(two_configs(100), n), split + std::to_string(n));
  }
  const struct {
    Columns columns;
    std::uint64_t blocks;
    std::string error;
  } cases[] = {
      {two_configs(100), 4, "ok"},
      {two_configs(100), 16, "ok"},
      {two_configs(32), 16, "ok"},
      {two_configs(31), 16, "too few observations: got 31, need at least 32"},
      {{alternating(64, 1, 2)}, 16, "too few observations: got 1, need at least 2"},
      {{alternating(3, 1, 2)}, 3, split + "3"},  // the split is checked before the shape
      {{std::vector<double>(16, 0.1), std::vector<double>(16, -0.2)}, 4,
       "sample has zero variance; Sharpe ratio is undefined"},
  };
  for (const auto& c : cases) EXPECT_EQ(error_of(c.columns, c.blocks), c.error) << c.error;
}

TEST(PboRefusal, TwentyFourBlocksEnumerateEveryCombination) {
  const auto report = probability_of_backtest_overfitting(matrix_of(two_configs(48)), 24);
  ASSERT_TRUE(report.ok());
  EXPECT_EQ(report.value().combinations, 2704156u);
  EXPECT_EQ(report.value().logits.size(), 2704156u);
}

TEST(PboRefusal, HandBuiltMatrixIsCheckedBeforeItIsRead) {
  PerformanceMatrix m{{1, 2, 3}, 8, 2};
  EXPECT_TRUE(probability_of_backtest_overfitting(m, 4).error() ==
              StatsError::malformed("data length does not match n_periods * n_configs"));
  PerformanceMatrix huge{{}, std::uint64_t{1} << 62, 8};
  EXPECT_FALSE(probability_of_backtest_overfitting(huge, 4).ok());
  auto finite = matrix_of(two_configs(16));
  finite.data[5] = std::nan("");
  EXPECT_TRUE(probability_of_backtest_overfitting(finite, 4).error() ==
              StatsError::non_finite("performance matrix entry"));
}

class PboWorkedCases : public ::testing::TestWithParam<std::uint64_t> {
 protected:
  // omega = 2/3 and 1/3 as the estimate computes them.
  static double logit(double omega) { return std::log(omega / (1 - omega)); }
};

TEST_P(PboWorkedCases, ConsistentWinnerIsNeverOverfit) {
  const std::uint64_t blocks = GetParam();
  const std::size_t periods = 4 * blocks;
  const auto report = probability_of_backtest_overfitting(
      matrix_of({alternating(periods, 1.0, 1.2), alternating(periods, -1, 1.3)}), blocks);
  ASSERT_TRUE(report.ok());
  for (double l : report.value().logits) ASSERT_EQ(l, logit(2.0 / 3));
  EXPECT_NEAR(report.value().logits[0], std::log(2.0), 1e-15);
  EXPECT_EQ(report.value().pbo, 0.0);
  EXPECT_EQ(report.value().probability_of_loss, 0.0);
}

TEST_P(PboWorkedCases, InSampleWinnerThatAlwaysLosesOutOfSampleIsAlwaysOverfit) {
  // Block sums 1, 2, 4, ... and minus their total: every half of the blocks
  // sums to the negative of the other half and never to zero. The second
  // configuration mirrors the first, so the in-sample winner is the loser out
  // of sample in every combination.
  const std::uint64_t blocks = GetParam();
  std::vector<double> a, b;
  double total = 0;
  for (std::uint64_t k = 0; k < blocks; ++k) {
    const double s = k + 1 < blocks ? std::ldexp(1.0, static_cast<int>(k)) : -total;
    total += s;
    for (double r : {s / 2 + 0.5, s / 2 - 0.5}) {
      a.push_back(r);
      b.push_back(-r);
    }
  }
  const auto report = probability_of_backtest_overfitting(matrix_of({a, b}), blocks);
  ASSERT_TRUE(report.ok());
  for (double l : report.value().logits) ASSERT_EQ(l, logit(1.0 / 3));
  EXPECT_NEAR(report.value().logits[0], -std::log(2.0), 1e-15);
  EXPECT_EQ(report.value().pbo, 1.0);
  EXPECT_EQ(report.value().probability_of_loss, 1.0);
}

TEST_P(PboWorkedCases, ConstantConfigurationNeverWinsEvenWhenRoundingLeavesAResidue) {
  // Three periods of 0.7 per block: over half of the blocks the sums formula
  // alone leaves a positive variance, which would give this flat configuration
  // a Sharpe ratio near 1e8 and rank it first.
  const std::uint64_t blocks = GetParam();
  const std::size_t periods = 3 * blocks;
  {
    const double block_sum = 0.0 + 0.7 + 0.7 + 0.7,
                 block_squares = 0.0 + 0.7 * 0.7 + 0.7 * 0.7 + 0.7 * 0.7;
    double s = 0, q = 0;
    for (std::uint64_t k = 0; k < blocks / 2; ++k) {
      s += block_sum;
      q += block_squares;
    }
    const double n = static_cast<double>(periods / 2), m = s / n;
    ASSERT_GT((q - m * (m * n)) / (n - 1), 0.0);
  }
  const auto matrix =
      matrix_of({std::vector<double>(periods, 0.7), alternating(periods, 0.01, -0.005)});
  std::vector<std::uint32_t> half(blocks / 2);
  for (std::uint32_t b = 0; b < half.size(); ++b) half[b] = 2 * b + 1;
  EXPECT_EQ(
      BlockStats::from_matrix(matrix, static_cast<std::uint32_t>(blocks)).sharpes(half).value()[0],
      -kInf);
  const auto report = probability_of_backtest_overfitting(matrix, blocks);
  ASSERT_TRUE(report.ok());
  for (double l : report.value().logits) ASSERT_EQ(l, logit(2.0 / 3));
  EXPECT_EQ(report.value().pbo, 0.0);
  // The winner is the alternating configuration, whose ratio is modest.
  EXPECT_LT(std::fabs(report.value().median_oos_sharpe), 10.0);
}

INSTANTIATE_TEST_SUITE_P(SplitCounts, PboWorkedCases, ::testing::Values(4, 8, 16));

// The estimate evaluated from its definition: every combination built by
// recursion in lexicographic order, every block union summed afresh from the
// returns' block sums, the median taken from a full sort.
class StraightforwardPbo {
 public:
  StraightforwardPbo(const Columns& columns, std::size_t n_blocks)
      : configs_(columns.size()), blocks_(n_blocks) {
    const std::size_t periods = columns[0].size();
    count_.assign(blocks_, 0);
    sum_.assign(blocks_ * configs_, 0.0);
    square_.assign(blocks_ * configs_, 0.0);
    low_.assign(blocks_ * configs_, kInf);
    high_.assign(blocks_ * configs_, -kInf);
    for (std::size_t t = 0; t < periods; ++t) {
      const std::size_t b = std::min(blocks_ - 1, t * blocks_ / periods);
      ++count_[b];
      for (std::size_t c = 0; c < configs_; ++c) {
        const double r = columns[c][t];
        sum_[b * configs_ + c] += r;
        square_[b * configs_ + c] += r * r;
        low_[b * configs_ + c] = std::min(low_[b * configs_ + c], r);
        high_[b * configs_ + c] = std::max(high_[b * configs_ + c], r);
      }
    }
  }

  PboReport run() {
    std::vector<std::size_t> chosen;
    recurse(0, chosen);
    PboReport r;
    r.combinations = logits_.size();
    std::size_t overfit = 0, losses = 0;
    for (double l : logits_) overfit += l <= 0;
    for (double y : oos_) losses += y < 0;
    r.logits = logits_;
    r.pbo = static_cast<double>(overfit) / static_cast<double>(r.combinations);
    r.probability_of_loss = static_cast<double>(losses) / static_cast<double>(r.combinations);
    const double n = static_cast<double>(is_.size());
    double sx = 0, sy = 0;
    for (std::size_t i = 0; i < is_.size(); ++i) sx += is_[i];
    for (std::size_t i = 0; i < is_.size(); ++i) sy += oos_[i];
    double num = 0, den = 0;
    for (std::size_t i = 0; i < is_.size(); ++i) {
      num += (is_[i] - sx / n) * (oos_[i] - sy / n);
      den += (is_[i] - sx / n) * (is_[i] - sx / n);
    }
    r.degradation_slope = den == 0 ? 0 : num / den;
    std::vector<double> sorted = oos_;
    std::sort(sorted.begin(), sorted.end());
    const std::size_t mid = sorted.size() / 2;
    r.median_oos_sharpe = sorted.size() % 2 ? sorted[mid] : (sorted[mid - 1] + sorted[mid]) / 2;
    return r;
  }

 private:
  std::vector<double> sharpes(const std::vector<std::size_t>& blocks) const {
    std::vector<double> out;
    for (std::size_t c = 0; c < configs_; ++c) {
      std::uint64_t n = 0;
      double s = 0, q = 0, lo = kInf, hi = -kInf;
      for (std::size_t b : blocks) {
        n += count_[b];
        s += sum_[b * configs_ + c];
        q += square_[b * configs_ + c];
        lo = std::min(lo, low_[b * configs_ + c]);
        hi = std::max(hi, high_[b * configs_ + c]);
      }
      const double m = s / static_cast<double>(n);
      const double v = (q - m * (m * static_cast<double>(n))) / static_cast<double>(n - 1);
      out.push_back(v > 0 && lo != hi ? m / std::sqrt(v) : -kInf);
    }
    return out;
  }

  void recurse(std::size_t next, std::vector<std::size_t>& chosen) {
    if (chosen.size() == blocks_ / 2) {
      std::vector<std::size_t> rest;
      for (std::size_t b = 0; b < blocks_; ++b) {
        if (std::find(chosen.begin(), chosen.end(), b) == chosen.end()) rest.push_back(b);
      }
      evaluate(sharpes(chosen), sharpes(rest));
      return;
    }
    for (std::size_t b = next; b < blocks_; ++b) {
      chosen.push_back(b);
      recurse(b + 1, chosen);
      chosen.pop_back();
    }
  }

  void evaluate(const std::vector<double>& is, const std::vector<double>& oos) {
    const std::size_t w =
        static_cast<std::size_t>(std::max_element(is.begin(), is.end()) - is.begin());
    std::size_t below = 0, ties = 0;
    for (std::size_t c = 0; c < configs_; ++c) {
      if (c == w) continue;
      below += oos[c] < oos[w];
      ties += oos[c] == oos[w];
    }
    double omega = (static_cast<double>(below) + 0.5 * static_cast<double>(ties) + 1) /
                   static_cast<double>(configs_ + 1);
    omega = std::min(std::max(omega, 2.220446049250313e-16), 0.9999999999999998);
    logits_.push_back(std::log(omega / (1 - omega)));
    is_.push_back(is[w]);
    oos_.push_back(oos[w]);
  }

  std::size_t configs_, blocks_;
  std::vector<std::uint64_t> count_;
  std::vector<double> sum_, square_, low_, high_;
  std::vector<double> logits_, is_, oos_;
};

bool same_bits(double a, double b) {
  return std::bit_cast<std::uint64_t>(a) == std::bit_cast<std::uint64_t>(b);
}

TEST(PboAgreement, IncrementalSumsEqualTheStraightforwardEvaluationBitForBit) {
  std::mt19937_64 rng(20261206);
  for (int trial = 0; trial < 40; ++trial) {
    const std::size_t blocks = 4 + 2 * (trial % 5);
    const std::size_t configs = 2 + trial % 6;
    const std::size_t periods = 2 * blocks + rng() % 40;
    std::normal_distribution<double> noise(0.0005, 0.01);
    std::uniform_int_distribution<int> coarse(-3, 3);
    Columns columns(configs);
    for (std::size_t c = 0; c < configs; ++c) {
      for (std::size_t t = 0; t < periods; ++t) {
        // Coarse columns tie often; some columns are duplicates or constant.
        columns[c].push_back(c % 3 == 1 ? coarse(rng) * 0.01 : noise(rng));
      }
    }
    if (configs >= 4) columns[3] = columns[0];                         // exact ties in both halves
    if (configs >= 6) columns[5] = std::vector<double>(periods, 0.3);  // flat, rounding residue
    const auto fast = probability_of_backtest_overfitting(matrix_of(columns), blocks);
    ASSERT_TRUE(fast.ok()) << fast.error().message();
    const PboReport slow = StraightforwardPbo(columns, blocks).run();
    const PboReport& got = fast.value();
    ASSERT_EQ(got.combinations, slow.combinations);
    for (std::size_t i = 0; i < got.logits.size(); ++i) {
      ASSERT_TRUE(same_bits(got.logits[i], slow.logits[i]))
          << "trial " << trial << " combination " << i;
    }
    EXPECT_TRUE(same_bits(got.pbo, slow.pbo)) << trial;
    EXPECT_TRUE(same_bits(got.probability_of_loss, slow.probability_of_loss)) << trial;
    EXPECT_TRUE(same_bits(got.median_oos_sharpe, slow.median_oos_sharpe)) << trial;
    EXPECT_TRUE(same_bits(got.degradation_slope, slow.degradation_slope)) << trial;
  }
}

}  // namespace
}  // namespace tm_stats::pbo
