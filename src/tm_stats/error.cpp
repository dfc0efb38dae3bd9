#include "tm_stats/error.h"

#include <array>
#include <charconv>

namespace tm_stats {
namespace {

// One template per StatsErrorKind, in enumerator order. Each "{}" is replaced,
// left to right, by the error's arguments.
constexpr std::array<std::string_view, 5> kTemplates = {
    "too few observations: got {}, need at least {}",
    "sample has zero variance; Sharpe ratio is undefined",
    "malformed performance matrix: {}",
    "split count must be even, at least 4 and at most {}, got {}",
    "{} must be finite",
};

std::string decimal(std::uint64_t value) {
  char buffer[24];
  auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, value);
  (void)ec;  // 24 bytes hold every 64-bit unsigned value.
  return std::string(buffer, end);
}

// Substitutes the arguments for the placeholders of text in order; extra
// placeholders stay as they are.
std::string fill(std::string_view text, std::initializer_list<std::string> arguments) {
  std::string out;
  auto next = arguments.begin();
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '{' && i + 1 < text.size() && text[i + 1] == '}' && next != arguments.end()) {
      out += *next++;
      ++i;
    } else {
      out += text[i];
    }
  }
  return out;
}

}  // namespace

std::string StatsError::message() const {
  const std::string_view text = kTemplates[static_cast<std::size_t>(kind_)];
  switch (kind_) {
    case StatsErrorKind::kTooFewObservations:
      return fill(text, {decimal(first_), decimal(second_)});
    case StatsErrorKind::kZeroVariance:
      return std::string(text);
    case StatsErrorKind::kMalformed:
    case StatsErrorKind::kNonFinite:
      return fill(text, {std::string(detail_)});
    case StatsErrorKind::kBadSplit:
      return fill(text, {decimal(kMaxSplits), decimal(first_)});
  }
  return std::string(text);
}

}  // namespace tm_stats
