// The six statistics functions of the module without the interpreter: plain
// numbers and spans in, the value or the text of the error out. Nothing here
// touches a Python object, so these run with the interpreter lock released
// and can be tested without an interpreter; stats.cpp converts the arguments
// and turns an error text into ValueError.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <variant>
#include <vector>

namespace tm_py::pure {

// The value, or the message of the ValueError the Python function raises.
template <class T>
using Outcome = std::variant<T, std::string>;

// What `moments` returns: the inputs the Sharpe judgements take besides counts.
struct MomentTriple {
  double sharpe = 0;  // mean / sample standard deviation
  double skewness = 0;
  double kurtosis = 0;  // not excess: 3 for a normal sample
};

[[nodiscard]] Outcome<double> sharpe_ratio(std::span<const double> returns);

[[nodiscard]] Outcome<MomentTriple> moments(std::span<const double> returns);

[[nodiscard]] Outcome<double> probabilistic_sharpe_ratio(double observed, double benchmark,
                                                         std::uint64_t n_observations,
                                                         double skewness, double kurtosis);

// all_sharpes: the Sharpe ratio of every configuration tried. The largest
// (NaN never wins) is the observed ratio; their sample variance sets the bar.
[[nodiscard]] Outcome<double> deflated_sharpe_ratio(std::span<const double> all_sharpes,
                                                    std::uint64_t n_observations, double skewness,
                                                    double kurtosis);

// columns: one return series per configuration, all of the same length; they
// are never truncated or padded.
[[nodiscard]] Outcome<double> probability_of_backtest_overfitting(
    std::span<const std::vector<double>> columns, std::uint64_t n_blocks);

[[nodiscard]] Outcome<double> minimum_track_record_length(double observed, double benchmark,
                                                          double skewness, double kurtosis,
                                                          double confidence);

}  // namespace tm_py::pure
