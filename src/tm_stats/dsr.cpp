#include "tm_stats/dsr.h"

#include <cmath>
#include <limits>
#include <optional>
#include <string_view>

#include "tm_stats/normal.h"

namespace tm_stats::dsr {
namespace {

constexpr double kEulerGamma = 0.5772156649015329;
constexpr double kOneMinusEulerGamma = 0.42278433509846713;
constexpr double kE = 2.718281828459045;
constexpr std::uint64_t kMinimumObservations = 2;
constexpr std::string_view kDispersion =
    "the variance factor 1 - sharpe * skewness + sharpe^2 * (kurtosis - 1) / 4";

// The variance factor of the estimated Sharpe ratio under non-normal returns,
// 1 - SR * skewness + SR^2 * (kurtosis - 1) / 4, in this association.
double dispersion(double observed, double skewness, double kurtosis) {
  return 1 - observed * skewness + observed * (observed * ((kurtosis - 1) * 0.25));
}

// The first of the inputs every judgement shares that is not finite, under the
// name it is reported by: the observed ratio is reported as "sharpe".
std::optional<StatsError> non_finite_input(double observed, double benchmark, double skewness,
                                           double kurtosis) {
  if (!std::isfinite(observed)) return StatsError::non_finite("sharpe");
  if (!std::isfinite(benchmark)) return StatsError::non_finite("benchmark");
  if (!std::isfinite(skewness)) return StatsError::non_finite("skewness");
  if (!std::isfinite(kurtosis)) return StatsError::non_finite("kurtosis");
  return std::nullopt;
}

// The expected maximum Sharpe ratio among `trials` unskilled configurations
// whose ratios have variance `variance`; 0 when there was no real search.
double expected_maximum(std::uint64_t trials, double variance) {
  if (variance <= 0 || trials < 2) return 0.0;
  const double n = static_cast<double>(trials);
  return std::sqrt(variance) * (kOneMinusEulerGamma * normal::inverse_cdf(1 - 1 / n) +
                                kEulerGamma * normal::inverse_cdf(1 - 1 / (n * kE)));
}

}  // namespace

Result<double> probabilistic_sharpe_ratio(std::uint64_t n_observations, double observed,
                                          double benchmark, double skewness, double kurtosis) {
  if (n_observations < kMinimumObservations) {
    return StatsError::too_few_observations(n_observations, kMinimumObservations);
  }
  if (auto error = non_finite_input(observed, benchmark, skewness, kurtosis)) return *error;
  const double d = dispersion(observed, skewness, kurtosis);
  if (!std::isfinite(d)) return StatsError::out_of_range(kDispersion);
  if (d <= 0) return StatsError::zero_variance();
  const double z =
      (observed - benchmark) * std::sqrt(static_cast<double>(n_observations - 1)) / std::sqrt(d);
  return normal::cdf(z);
}

Result<double> deflated_sharpe_ratio(std::uint64_t n_observations, std::uint64_t trials,
                                     double observed, double skewness, double kurtosis,
                                     double trial_variance) {
  const double benchmark = expected_maximum(trials, trial_variance);
  if (n_observations < kMinimumObservations) {
    return StatsError::too_few_observations(n_observations, kMinimumObservations);
  }
  if (auto error = non_finite_input(observed, benchmark, skewness, kurtosis)) return *error;
  const double d = dispersion(observed, skewness, kurtosis);
  if (!std::isfinite(d)) return StatsError::out_of_range(kDispersion);
  if (d <= 0) return StatsError::zero_variance();
  const double z =
      std::sqrt(static_cast<double>(n_observations - 1)) * (observed - benchmark) / std::sqrt(d);
  return normal::cdf(z);
}

Result<double> deflated_sharpe_ratio(std::span<const double> all_sharpes,
                                     std::uint64_t n_observations, double skewness,
                                     double kurtosis) {
  if (all_sharpes.size() < 2) return StatsError::one_candidate();
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
  return deflated_sharpe_ratio(n_observations, all_sharpes.size(), observed, skewness, kurtosis,
                               variance);
}

Result<double> minimum_track_record_length(double observed, double benchmark, double skewness,
                                           double kurtosis, double confidence) {
  if (auto error = non_finite_input(observed, benchmark, skewness, kurtosis)) return *error;
  if (!std::isfinite(confidence)) return StatsError::non_finite("confidence");
  if (!(confidence > 0 && confidence < 1)) return StatsError::bad_confidence();
  const double d = dispersion(observed, skewness, kurtosis);
  if (!std::isfinite(d)) return StatsError::out_of_range(kDispersion);
  if (observed <= benchmark || d <= 0) return StatsError::zero_variance();
  // Below a confidence of one half the observed ratio beats the benchmark with
  // that probability from the first observation on: the quantile is negative,
  // and squaring it would answer as for 1 - confidence.
  const double t = std::fmax(normal::inverse_cdf(confidence), 0.0) / (observed - benchmark);
  const double length = 1 + d * (t * t);
  if (!std::isfinite(length)) return StatsError::out_of_range("the minimum track record length");
  return length;
}

}  // namespace tm_stats::dsr
