// Judging a measured Sharpe ratio: the probability that the true ratio beats a
// benchmark (probabilistic), the same after a search over many configurations
// (deflated), and the track record needed to reach a confidence. All inputs
// and outputs are per period; skewness and kurtosis are as Moments reports
// them (a normal sample has 0 and 3).
#pragma once

#include <cstdint>
#include <span>

#include "tm_stats/error.h"

namespace tm_stats::dsr {

// Bailey & López de Prado (2012), "The Sharpe Ratio Efficient Frontier": PSR(SR*).
// Fails with TooFewObservations when n_observations < 2, NonFinite naming the
// first non-finite of observed ("sharpe"), benchmark, skewness, kurtosis, and
// OutOfRange when the dispersion factor overflows, ZeroVariance when it is not
// positive.
[[nodiscard]] Result<double> probabilistic_sharpe_ratio(std::uint64_t n_observations,
                                                        double observed, double benchmark,
                                                        double skewness, double kurtosis);

// Bailey & López de Prado (2014), "The Deflated Sharpe Ratio": DSR = PSR(SR0), SR0 = E[max SR].
// The benchmark SR0 is derived from the number of trials and their variance; a
// non-finite trial_variance therefore fails as NonFinite ("benchmark").
[[nodiscard]] Result<double> deflated_sharpe_ratio(std::uint64_t n_observations,
                                                   std::uint64_t trials, double observed,
                                                   double skewness, double kurtosis,
                                                   double trial_variance);

// The deflated ratio of the best of several configurations, from the Sharpe
// ratio of every configuration tried: the largest (NaN never wins) is the
// observed ratio, and their sample variance sets the benchmark. Fails with
// OneCandidate for fewer than two ratios, then as the form above.
[[nodiscard]] Result<double> deflated_sharpe_ratio(std::span<const double> all_sharpes,
                                                   std::uint64_t n_observations, double skewness,
                                                   double kurtosis);

// Bailey & López de Prado (2012), "The Sharpe Ratio Efficient Frontier": MinTRL.
// Returns a number of observations (not rounded); 1 for a confidence of at
// most one half. Fails with NonFinite naming
// the first non-finite of observed ("sharpe"), benchmark, skewness, kurtosis,
// confidence, BadConfidence for a confidence outside (0, 1), OutOfRange when
// the dispersion factor or the length overflows, and ZeroVariance when
// observed <= benchmark or the dispersion factor is not positive.
[[nodiscard]] Result<double> minimum_track_record_length(double observed, double benchmark,
                                                         double skewness, double kurtosis,
                                                         double confidence);

}  // namespace tm_stats::dsr
