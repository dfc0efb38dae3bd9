// The overfitting estimate agrees to the last bit with an evaluation written
// here from its definition, over seeded matrices with ties and constant
// columns; worked matrices pin the logits the papers' reasoning gives.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>
#include <random>
#include <span>
#include <tuple>
#include <utility>
#include <vector>

#include "tm_stats/pbo.h"

namespace tm_stats::pbo {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
using Columns = std::vector<std::vector<double>>;

Result<PboReport> estimate(const Columns& columns, std::size_t n_blocks) {
  return probability_of_backtest_overfitting(std::span(columns), n_blocks);
}

// Per-block sums, every combination of half the blocks in lexicographic order,
// each union summed afresh in ascending block order, the median by a full sort.
PboReport from_definition(const Columns& columns, std::size_t n_blocks) {
  const std::size_t nc = columns.size(), periods = columns[0].size();
  std::vector<double> count(n_blocks), sum(n_blocks * nc), square(n_blocks * nc),
      low(n_blocks * nc, kInf), high(n_blocks * nc, -kInf);
  for (std::size_t t = 0; t < periods; ++t) {
    const std::size_t b = std::min(n_blocks - 1, t * n_blocks / periods);
    ++count[b];
    for (std::size_t c = 0, at = b * nc; c < nc; ++c, ++at) {
      sum[at] += columns[c][t];
      square[at] += columns[c][t] * columns[c][t];
      low[at] = std::min(low[at], columns[c][t]);
      high[at] = std::max(high[at], columns[c][t]);
    }
  }
  const auto sharpes = [&](const std::vector<bool>& in, bool side) {
    std::vector<double> out;
    for (std::size_t c = 0; c < nc; ++c) {
      double n = 0, s = 0, q = 0, lo = kInf, hi = -kInf;
      for (std::size_t b = 0; b < n_blocks; ++b) {
        if (in[b] != side) continue;
        n += count[b], s += sum[b * nc + c], q += square[b * nc + c];
        lo = std::min(lo, low[b * nc + c]), hi = std::max(hi, high[b * nc + c]);
      }
      const double m = s / n, v = (q - m * (m * n)) / (n - 1);
      out.push_back(v > 0 && lo < hi ? m / std::sqrt(v) : -kInf);
    }
    return out;
  };
  PboReport r;
  std::vector<double> is, oos;
  std::vector<bool> in(n_blocks, false);
  std::fill(in.begin(), in.begin() + static_cast<std::ptrdiff_t>(n_blocks / 2), true);
  do {  // prev_permutation walks the combinations in lexicographic order
    const std::vector<double> x = sharpes(in, true), y = sharpes(in, false);
    const std::size_t w = std::max_element(x.begin(), x.end()) - x.begin();  // first maximum
    double below = 0, ties = 0;
    for (std::size_t c = 0; c < nc; ++c) {
      below += c != w && y[c] < y[w];
      ties += c != w && y[c] == y[w];
    }
    const double omega = std::clamp((below + 0.5 * ties + 1) / static_cast<double>(nc + 1),
                                    2.220446049250313e-16, 0.9999999999999998);
    r.logits.push_back(std::log(omega / (1 - omega)));
    r.pbo += r.logits.back() <= 0;
    r.probability_of_loss += y[w] < 0;
    is.push_back(x[w]);
    oos.push_back(y[w]);
  } while (std::prev_permutation(in.begin(), in.end()));
  r.combinations = r.logits.size();
  r.pbo /= static_cast<double>(r.combinations);
  r.probability_of_loss /= static_cast<double>(r.combinations);
  double sx = 0, sy = 0, num = 0, den = 0;
  for (std::size_t i = 0; i < is.size(); ++i) sx += is[i];
  for (std::size_t i = 0; i < is.size(); ++i) sy += oos[i];
  const double mx = sx / static_cast<double>(is.size()), my = sy / static_cast<double>(is.size());
  for (std::size_t i = 0; i < is.size(); ++i) {
    num += (is[i] - mx) * (oos[i] - my);
    den += (is[i] - mx) * (is[i] - mx);
  }
  r.degradation_slope = den == 0 ? 0 : num / den;
  std::sort(oos.begin(), oos.end());
  const std::size_t mid = oos.size() / 2;
  r.median_oos_sharpe = oos.size() % 2 ? oos[mid] : (oos[mid - 1] + oos[mid]) / 2;
  return r;
}

// Every figure of a report, as bits.
std::vector<std::uint64_t> bits(const PboReport& r) {
  std::vector<std::uint64_t> out = {r.combinations};
  for (double v : r.logits) out.push_back(std::bit_cast<std::uint64_t>(v));
  for (double v : {r.pbo, r.probability_of_loss, r.median_oos_sharpe, r.degradation_slope})
    out.push_back(std::bit_cast<std::uint64_t>(v));
  return out;
}

TEST(Pbo, AgreesBitForBitWithTheDefinitionOnSeededMatrices) {
  std::mt19937_64 rng(20261206);
  std::normal_distribution<double> noise(0.0005, 0.01);
  std::uniform_int_distribution<int> coarse(-3, 3);
  for (int trial = 0; trial < 40; ++trial) {
    const std::size_t blocks = 4 + 2 * (trial % 5), configs = 2 + trial % 6;
    const std::size_t periods = 2 * blocks + rng() % 40;
    Columns columns(configs);
    for (std::size_t c = 0; c < configs; ++c) {
      for (std::size_t t = 0; t < periods; ++t)  // coarse columns tie often
        columns[c].push_back(c % 3 == 1 ? coarse(rng) * 0.01 : noise(rng));
    }
    if (configs >= 4) columns[3] = columns[0];          // exact ties in both halves
    if (configs >= 6) columns[5].assign(periods, 0.3);  // constant; its sums leave a residue
    // Column 4 repeats column 2, which leads, over the first half: a tie for first place there.
    for (std::size_t t = 0; configs >= 5 && 2 * t < periods; ++t)
      columns[4][t] = columns[2][t] += 0.02;
    const auto got = estimate(columns, blocks);
    ASSERT_TRUE(got.ok()) << got.error().message();
    ASSERT_EQ(bits(got.value()), bits(from_definition(columns, blocks))) << "trial " << trial;
  }
}

// Two configurations: a winner that stays ahead out of sample ranks at 2/3 in
// every combination; one whose every half mirrors the other ranks at 1/3.
TEST(Pbo, WorkedMatricesGiveTheirKnownLogits) {
  const std::pair<std::size_t, std::uint64_t> splits[] = {
      {4, 6}, {8, 70}, {16, 12870}, {24, 2704156}};
  for (const auto& [blocks, combinations] : splits) {
    Columns steady(2), mirrored(2);
    double total = 0;
    for (std::size_t k = 0; k < blocks; ++k) {
      // Block sums 1, 2, 4, ... and minus their total: every half of the blocks
      // sums to minus the other half, never to zero.
      const double s = k + 1 < blocks ? std::ldexp(1.0, static_cast<int>(k)) : -total;
      total += s;
      for (double r : {s / 2 + 0.5, s / 2 - 0.5})
        mirrored[0].push_back(r), mirrored[1].push_back(-r);
      steady[0].insert(steady[0].end(), {1.0, 1.2});
      steady[1].insert(steady[1].end(), {-1.0, 1.3});
    }
    for (const auto& [columns, logit, pbo] :
         {std::tuple{steady, std::log(2.0), 0.0}, std::tuple{mirrored, -std::log(2.0), 1.0}}) {
      const auto r = estimate(columns, blocks);
      ASSERT_TRUE(r.ok()) << r.error().message();
      EXPECT_EQ(r.value().logits.size(), combinations);
      for (double l : r.value().logits) ASSERT_NEAR(l, logit, 1e-15) << blocks;
      EXPECT_EQ(r.value().pbo, pbo);
    }
  }
  const auto ten = PerformanceMatrix::from_columns(Columns(2, std::vector<double>(10))).value();
  EXPECT_EQ(BlockStats::from_matrix(ten, 4).counts, (std::vector<std::uint64_t>{3, 2, 3, 2}));
}

// The stop is asked by work done, wherever it is done: with thousands of
// configurations and few blocks most of it is the table of logits by rank.
TEST(Pbo, StopIsAskedWithinAMillionUnitsOfWork) {
  std::mt19937_64 rng(4);
  for (const auto& [configs, blocks] : {std::pair{2048, 4}, std::pair{64, 24}}) {
    Columns columns(configs, std::vector<double>(2 * blocks));
    for (auto& column : columns)
      for (double& r : column) r = static_cast<double>(rng() % 1000) - 500;
    int asked = 0;
    const auto r = probability_of_backtest_overfitting(std::span(columns), blocks, [&] {
      ++asked;
      return true;
    });
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().kind(), StatsErrorKind::kStopped);
    EXPECT_EQ(asked, 1);
  }
}

}  // namespace
}  // namespace tm_stats::pbo
