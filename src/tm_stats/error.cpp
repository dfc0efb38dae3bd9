#include "tm_stats/error.h"

#include <array>
#include <charconv>

#include "tm_types/message.h"

namespace tm_stats {
namespace {

// One template per StatsErrorKind, in enumerator order. Each "{}" is replaced,
// left to right, by the error's arguments.
constexpr std::array<std::string_view, 11> kTemplates = {
    "too few observations: got {}, need at least {}",
    "sample has zero variance; Sharpe ratio is undefined",
    "malformed performance matrix: {}",
    "split count must be even, at least 4 and at most {}, got {}",
    "{} must be finite",
    "deflation needs more than one configuration: with one candidate there was no search to "
    "deflate, and the answer is the plain Sharpe ratio",
    "overfitting is a statement about a choice among alternatives; with one configuration there "
    "was no choice",
    "column {} has {} returns and column 0 has {}; equalise them deliberately rather than having "
    "this truncate for you",
    "{} is beyond the range of a double for these inputs",
    "confidence must lie strictly between 0 and 1",
    "stopped before the estimate was complete",
};
static_assert(kTemplates.size() == static_cast<std::size_t>(StatsErrorKind::kStopped) + 1);

std::string decimal(std::uint64_t value) {
  char buffer[24];
  auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, value);
  (void)ec;  // 24 bytes hold every 64-bit unsigned value.
  return std::string(buffer, end);
}

}  // namespace

std::string StatsError::message() const {
  const std::string_view text = kTemplates[static_cast<std::size_t>(kind_)];
  switch (kind_) {
    case StatsErrorKind::kTooFewObservations:
      return tm_types::format_message(text, {decimal(figures_[0]), decimal(figures_[1])});
    case StatsErrorKind::kZeroVariance:
    case StatsErrorKind::kOneCandidate:
    case StatsErrorKind::kOneConfiguration:
    case StatsErrorKind::kBadConfidence:
    case StatsErrorKind::kStopped:
      return std::string(text);
    case StatsErrorKind::kMalformed:
    case StatsErrorKind::kNonFinite:
    case StatsErrorKind::kOutOfRange:
      return tm_types::format_message(text, {detail_});
    case StatsErrorKind::kBadSplit:
      return tm_types::format_message(text, {decimal(kMaxSplits), decimal(figures_[0])});
    case StatsErrorKind::kUnequalColumns:
      return tm_types::format_message(
          text, {decimal(figures_[0]), decimal(figures_[1]), decimal(figures_[2])});
  }
  return std::string(text);
}

}  // namespace tm_stats
