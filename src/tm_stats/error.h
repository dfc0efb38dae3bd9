// The one error type of the statistics package and the value-or-error result
// every statistics function returns. The display texts live in one table in
// error.cpp; they are the messages the Python functions raise.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <variant>

namespace tm_stats {

// Which estimate could not be formed. The values are stable: they identify the
// message template in the table of error.cpp.
enum class StatsErrorKind : std::uint8_t {
  kTooFewObservations = 0,  // carries got and need
  kZeroVariance = 1,        // carries nothing
  kMalformed = 2,           // carries a fixed text
  kBadSplit = 3,            // carries the requested split count
  kNonFinite = 4,           // carries the name of the offending input
  kOneCandidate = 5,        // carries nothing: a deflation over a single trial
  kOneConfiguration = 6,    // carries nothing: an overfitting estimate without a choice
  kUnequalColumns = 7,      // carries the column, its length and column 0's length
  kOutOfRange = 8,          // carries a fixed text naming the quantity that overflows
  kBadConfidence = 9,       // carries nothing: a confidence outside (0, 1)
  kStopped = 10,            // carries nothing: the caller asked a long estimate to stop
};

// The largest split count the overfitting estimate accepts.
inline constexpr std::uint64_t kMaxSplits = 24;

class StatsError {
 public:
  static StatsError too_few_observations(std::uint64_t got, std::uint64_t need) {
    return StatsError(StatsErrorKind::kTooFewObservations, {got, need, 0}, {});
  }
  static StatsError zero_variance() { return StatsError(StatsErrorKind::kZeroVariance, {}, {}); }
  // REQUIRES: text has static storage duration (one of the fixed texts).
  static StatsError malformed(std::string_view text) {
    return StatsError(StatsErrorKind::kMalformed, {}, text);
  }
  static StatsError bad_split(std::uint64_t requested) {
    return StatsError(StatsErrorKind::kBadSplit, {requested, 0, 0}, {});
  }
  // REQUIRES: name has static storage duration.
  static StatsError non_finite(std::string_view name) {
    return StatsError(StatsErrorKind::kNonFinite, {}, name);
  }
  static StatsError one_candidate() { return StatsError(StatsErrorKind::kOneCandidate, {}, {}); }
  static StatsError one_configuration() {
    return StatsError(StatsErrorKind::kOneConfiguration, {}, {});
  }
  static StatsError unequal_columns(std::uint64_t column, std::uint64_t length,
                                    std::uint64_t first_length) {
    return StatsError(StatsErrorKind::kUnequalColumns, {column, length, first_length}, {});
  }

  // REQUIRES: quantity has static storage duration.
  static StatsError out_of_range(std::string_view quantity) {
    return StatsError(StatsErrorKind::kOutOfRange, {}, quantity);
  }
  static StatsError bad_confidence() { return StatsError(StatsErrorKind::kBadConfidence, {}, {}); }
  static StatsError stopped() { return StatsError(StatsErrorKind::kStopped, {}, {}); }

  StatsErrorKind kind() const { return kind_; }
  // TooFewObservations: the count found and the count needed.
  std::uint64_t got() const { return figures_[0]; }
  std::uint64_t need() const { return figures_[1]; }
  // BadSplit: the split count that was asked for.
  std::uint64_t requested() const { return figures_[0]; }
  // UnequalColumns: the first column whose length differs from column 0's,
  // its length, and column 0's length.
  std::uint64_t column() const { return figures_[0]; }
  std::uint64_t length() const { return figures_[1]; }
  std::uint64_t first_length() const { return figures_[2]; }
  // Malformed: the fixed text; NonFinite: the name of the input; OutOfRange:
  // the quantity.
  std::string_view detail() const { return detail_; }

  // The display text, e.g. "too few observations: got 3, need at least 4".
  std::string message() const;

  friend bool operator==(const StatsError&, const StatsError&) = default;

 private:
  StatsError(StatsErrorKind kind, std::array<std::uint64_t, 3> figures, std::string_view detail)
      : kind_(kind), figures_(figures), detail_(detail) {}

  StatsErrorKind kind_;
  std::array<std::uint64_t, 3> figures_;
  std::string_view detail_;
};

// A value or the StatsError that prevented it.
template <class T>
class [[nodiscard]] Result {
 public:
  Result(T value) : state_(std::move(value)) {}  // NOLINT: implicit by design
  Result(StatsError error) : state_(error) {}    // NOLINT: implicit by design

  bool ok() const { return state_.index() == 0; }
  // REQUIRES: ok(). A violated precondition throws std::bad_variant_access.
  const T& value() const& { return std::get<0>(state_); }
  T&& value() && { return std::get<0>(std::move(state_)); }
  // REQUIRES: !ok().
  const StatsError& error() const { return std::get<1>(state_); }

 private:
  std::variant<T, StatsError> state_;
};

}  // namespace tm_stats
