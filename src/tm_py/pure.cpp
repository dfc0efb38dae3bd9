#include "tm_py/pure.h"

#include <limits>

#include "tm_stats/dsr.h"
#include "tm_stats/moments.h"
#include "tm_stats/pbo.h"

namespace tm_py::pure {
namespace {

template <class T>
Outcome<T> outcome_of(const tm_stats::Result<T>& result) {
  if (!result.ok()) return result.error().message();
  return result.value();
}

constexpr const char* kOneCandidate =
    "deflation needs more than one configuration: with one candidate there was no search to "
    "deflate, "
    "and the answer is the plain Sharpe ratio";
constexpr const char* kOneConfiguration =
    "overfitting is a statement about a choice among alternatives; with one configuration there "
    "was no choice";

}  // namespace

Outcome<double> sharpe_ratio(std::span<const double> returns) {
  return outcome_of(tm_stats::moments::sharpe_ratio(returns));
}

Outcome<MomentTriple> moments(std::span<const double> returns) {
  const auto m = tm_stats::moments::Moments::from_returns(returns);
  if (!m.ok()) return m.error().message();
  return MomentTriple{m.value().mean / m.value().std, m.value().skewness, m.value().kurtosis};
}

Outcome<double> probabilistic_sharpe_ratio(double observed, double benchmark,
                                           std::uint64_t n_observations, double skewness,
                                           double kurtosis) {
  return outcome_of(tm_stats::dsr::probabilistic_sharpe_ratio(n_observations, observed, benchmark,
                                                              skewness, kurtosis));
}

Outcome<double> deflated_sharpe_ratio(std::span<const double> all_sharpes,
                                      std::uint64_t n_observations, double skewness,
                                      double kurtosis) {
  if (all_sharpes.size() < 2) return std::string(kOneCandidate);
  // A comparison with NaN is false, so NaN entries never replace the maximum.
  double observed = std::numeric_limits<double>::lowest();
  for (double s : all_sharpes) observed = s > observed ? s : observed;
  const double count = static_cast<double>(all_sharpes.size());
  double sum = 0.0;
  for (double s : all_sharpes) sum += s;
  const double mean = sum / count;
  double squares = 0.0;
  for (double s : all_sharpes) squares += (s - mean) * (s - mean);
  const double variance = squares / (count - 1);
  return outcome_of(tm_stats::dsr::deflated_sharpe_ratio(n_observations, all_sharpes.size(),
                                                         observed, skewness, kurtosis, variance));
}

Outcome<double> probability_of_backtest_overfitting(std::span<const std::vector<double>> columns,
                                                    std::uint64_t n_blocks) {
  if (columns.size() < 2) return std::string(kOneConfiguration);
  for (std::size_t c = 1; c < columns.size(); ++c) {
    if (columns[c].size() != columns[0].size()) {
      return "column " + std::to_string(c) + " has " + std::to_string(columns[c].size()) +
             " returns and column 0 has " + std::to_string(columns[0].size()) +
             "; equalise them deliberately rather than having this truncate for you";
    }
  }
  const auto matrix = tm_stats::pbo::PerformanceMatrix::from_columns(columns);
  if (!matrix.ok()) return matrix.error().message();
  const auto report = tm_stats::pbo::probability_of_backtest_overfitting(matrix.value(), n_blocks);
  if (!report.ok()) return report.error().message();
  return report.value().pbo;
}

Outcome<double> minimum_track_record_length(double observed, double benchmark, double skewness,
                                            double kurtosis, double confidence) {
  return outcome_of(tm_stats::dsr::minimum_track_record_length(observed, benchmark, skewness,
                                                               kurtosis, confidence));
}

}  // namespace tm_py::pure
