// The papers' worked numbers for the normal distribution, the moments and the
// Sharpe judgements, and every refusal of the statistics with its message.
#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <limits>
#include <numeric>
#include <span>
#include <string>
#include <vector>

#include "tm_stats/dsr.h"
#include "tm_stats/moments.h"
#include "tm_stats/normal.h"
#include "tm_stats/pbo.h"

namespace tm_stats {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
using V = std::vector<double>;

// Each case is {computed, expected, tolerance}; normal tail values are to 17
// digits, with each regime's accuracy as the tolerance.
TEST(Estimates, WorkedNumbers) {
  const V one_to_four = {1, 2, 3, 4}, spike = {0, 0, 0, 0, 0, 0, 0, 10},
          mixed = {.01, -.02, .03, 0};
  const auto m = moments::Moments::from_returns(one_to_four).value();
  const auto s = moments::Moments::from_returns(spike).value();
  const double p = 1.0 / 8;  // the share of the spike in a two-point sample
  const double t = normal::inverse_cdf(0.95) / 0.1;
  const double sr0 = 0.1 * (0.42278433509846713 * normal::inverse_cdf(0.9) +
                            0.5772156649015329 * normal::inverse_cdf(1 - 1 / (10 * M_E)));
  const double v = (1.2 - 1) * (1.2 - 1) + (0.8 - 1) * (0.8 - 1);
  const auto psr = [](auto... a) { return dsr::probabilistic_sharpe_ratio(a...).value(); };
  const auto dsr = [](auto... a) { return dsr::deflated_sharpe_ratio(a...).value(); };
  // clang-format off
  const std::array<double, 3> cases[] = {
      {normal::cdf(0), 0.5, 0}, {normal::cdf(-37.5), 0, 0}, {normal::cdf(37.5), 1, 0},
      {normal::cdf(-1), 0.15865525393145707, 2e-16}, {normal::cdf(1.96), 0.9750021048517795, 1e-15},
      {normal::cdf(-3), 0.0013498980316300933, 2e-16},
      {normal::cdf(-7), 1.279812543885835e-12, 7e-21},
      {normal::cdf(-7.5), 3.1908916729108844e-14, 4e-27},
      {normal::cdf(-20), 2.7536241186061556e-89, 3e-102},
      {normal::cdf(-36.9), 2.3105244811403487e-298, 2e-310},
      {normal::inverse_cdf(0.5), 0, 0}, {normal::inverse_cdf(0.975), 1.959964, 1e-6},
      {normal::inverse_cdf(1e-300), -37.0470962993612, 5e-7},
      {normal::inverse_cdf(5e-324), -38.4674, 1e-3},
      {m.mean, 2.5, 0}, {m.std, std::sqrt(5.0 / 3), 0}, {m.skewness, 0, 0}, {m.kurtosis, 1.64, 0},
      {moments::sharpe_ratio(one_to_four).value(), 1.936492, 1e-6},
      {moments::Moments::from_returns(mixed).value().sharpe(),
       moments::sharpe_ratio(mixed).value(), 0},
      {s.skewness, (1 - 2 * p) / std::sqrt(p * (1 - p)), 1e-12},
      {s.kurtosis, (1 - 3 * p + 3 * p * p) / (p * (1 - p)), 1e-12},
      {psr(250, 0.3, 0.3, -0.5, 5.0), 0.5, 0},
      {psr(100, 0.1, 0.02, -0.2, 4.0), normal::cdf(0.08 * std::sqrt(99.0) / std::sqrt(1.0275)),
       1e-15},
      {dsr(250, 10, 0.12, 0.3, 4.5, 0.0), psr(250, 0.12, 0.0, 0.3, 4.5), 0},
      {dsr(250, 1, 0.12, 0.3, 4.5, 0.5), psr(250, 0.12, 0.0, 0.3, 4.5), 0},
      {dsr(250, 10, 0.3, 0.0, 3.0, 0.01),
       normal::cdf(std::sqrt(249.0) * (0.3 - sr0) / std::sqrt(1.045)), 1e-15},
      {dsr(V{1.2, 0.8}, 250, 0.0, 3.0), dsr(250, 2, 1.2, 0.0, 3.0, v), 0},
      {dsr::minimum_track_record_length(0.1, 0, 0, 3, 0.95).value(), 1 + 1.005 * (t * t), 0},
      {dsr::minimum_track_record_length(0.1, 0, 0, 3, 0.95).value(), 272.9, 0.01}};
  // clang-format on
  for (std::size_t i = 0; i < std::size(cases); ++i)
    EXPECT_NEAR(cases[i][0], cases[i][1], cases[i][2]) << "case " << i;
  for (double q : {1e-250, 1e-20, 1e-5, 0.02425, 0.1, 0.5, 0.7, 0.97575, 0.99, 0.999999})
    EXPECT_NEAR(normal::cdf(normal::inverse_cdf(q)) / q, 1.0, 1e-12) << q;
  for (double x : {normal::cdf(kNaN), normal::inverse_cdf(-0.1), normal::inverse_cdf(1.5)})
    EXPECT_TRUE(std::isnan(x));
  EXPECT_EQ(normal::inverse_cdf(0.0), -kInf);
  EXPECT_EQ(normal::inverse_cdf(1.0), kInf);
}

template <class R>
std::string error_of(const R& r) {
  return r.ok() ? "ok" : r.error().message();
}
using Columns = std::vector<std::vector<double>>;
std::string pbo_error(const Columns& columns, std::uint64_t blocks) {
  return error_of(pbo::probability_of_backtest_overfitting(std::span(columns), blocks));
}
std::string matrix_error(const pbo::PerformanceMatrix& matrix, std::uint64_t blocks) {
  return error_of(pbo::probability_of_backtest_overfitting(matrix, blocks));
}
// In the order each function checks its arguments.
TEST(Estimates, EveryRefusalWithItsMessage) {
  const std::string few = "too few observations: got 1, need at least 2",
                    flat = "sample has zero variance; Sharpe ratio is undefined",
                    split = "split count must be even, at least 4 and at most 24, got ",
                    malformed = "malformed performance matrix: ";
  const V a16(16), a31(31), few3 = {1, 2, 3};
  V a32(32);
  std::iota(a32.begin(), a32.end(), 0.0);
  const std::pair<std::string, std::string> cases[] = {
      {error_of(moments::Moments::from_returns(few3)),
       "too few observations: got 3, need at least 4"},
      {error_of(moments::sharpe_ratio(V{kNaN, 1, 2})),
       "too few observations: got 3, need at least 4"},
      {error_of(moments::Moments::from_returns(V{1, 2, 3, kNaN})), "return must be finite"},
      {error_of(moments::sharpe_ratio(V{1, -kInf, 2, 3})), "return must be finite"},
      {error_of(moments::Moments::from_returns(V{0.5, 0.5, 0.5, 0.5})), flat},
      {error_of(moments::sharpe_ratio(std::vector<double>(6, 0.1))), flat},  // 0.6 / 6 != 0.1
      {error_of(dsr::probabilistic_sharpe_ratio(1, kNaN, 0, 0, 3)), few},
      {error_of(dsr::probabilistic_sharpe_ratio(10, kNaN, kInf, 0, 3)), "sharpe must be finite"},
      {error_of(dsr::probabilistic_sharpe_ratio(10, 0.1, kInf, 0, 3)), "benchmark must be finite"},
      {error_of(dsr::probabilistic_sharpe_ratio(10, 0.1, 0, kNaN, kNaN)),
       "skewness must be finite"},
      {error_of(dsr::probabilistic_sharpe_ratio(10, 0.1, 0, 0, -kInf)), "kurtosis must be finite"},
      {error_of(dsr::probabilistic_sharpe_ratio(10, 1, 0, 0, -3)), flat},  // d = 0
      {error_of(dsr::deflated_sharpe_ratio(1, 2, 0.5, 0, 3, kNaN)), few},
      {error_of(dsr::deflated_sharpe_ratio(250, 2, kNaN, 0, 3, kNaN)), "sharpe must be finite"},
      {error_of(dsr::deflated_sharpe_ratio(250, 2, 0.5, 0, 3, kInf)), "benchmark must be finite"},
      {error_of(dsr::minimum_track_record_length(kInf, 0, 0, 3, kNaN)), "sharpe must be finite"},
      {error_of(dsr::minimum_track_record_length(0.1, 0, 0, 3, kNaN)), "confidence must be finite"},
      {error_of(dsr::minimum_track_record_length(0.1, 0.1, 0, 3, 0.95)), flat},
      {error_of(dsr::minimum_track_record_length(1, 0, 0, -3, 0.95)), flat},
      {error_of(dsr::deflated_sharpe_ratio(V{1.2}, 250, 0, 3)),
       "deflation needs more than one configuration: with one candidate there was no search to "
       "deflate, and the answer is the plain Sharpe ratio"},
      {error_of(dsr::deflated_sharpe_ratio(V{kNaN, 0.5, kNaN}, 250, 0, 3)),
       "benchmark must be finite"},
      {error_of(pbo::PerformanceMatrix::from_columns(Columns{})), malformed + "no configurations"},
      {error_of(pbo::PerformanceMatrix::from_columns(Columns{{}, {1.0}})),
       malformed + "configurations cover different numbers of periods"},
      {pbo_error({{0.1, 0.2}}, 16),
       "overfitting is a statement about a choice among alternatives; with one configuration "
       "there was no choice"},
      {pbo_error({{1, 2, 3}, {1, 2}, {1}}, 16),
       "column 1 has 2 returns and column 0 has 3; equalise them deliberately rather than having "
       "this truncate for you"},
      {pbo_error({{}, {}}, 4), malformed + "dimensions must be non-zero"},
      {pbo_error({{1, 2}, {3, kNaN}}, 4), "performance matrix entry must be finite"},
      {pbo_error({a16, a16}, 2), split + "2"},
      {pbo_error({a16, a16}, 5), split + "5"},
      {pbo_error({a16, a16}, 26), split + "26"},
      {matrix_error({{1, 2, 3}, 3, 1}, 3), split + "3"},  // the split is checked before the shape
      {matrix_error({a16, 16, 1}, 4), few},
      {pbo_error({a31, a31}, 16), "too few observations: got 31, need at least 32"},
      {pbo_error({a32, a32}, 16), "ok"},
      {pbo_error({V(16, 0.1), V(16, -0.2)}, 4), flat},
      {matrix_error({{1, 2, 3}, 8, 2}, 4),
       malformed + "data length does not match n_periods * n_configs"},
      {matrix_error({{}, std::uint64_t{1} << 62, 8}, 4),
       malformed + "data length does not match n_periods * n_configs"},
      {StatsError::bad_split(~std::uint64_t{0}).message(), split + "18446744073709551615"}};
  for (std::size_t i = 0; i < std::size(cases); ++i)
    EXPECT_EQ(cases[i].first, cases[i].second) << "case " << i;
}

}  // namespace
}  // namespace tm_stats
