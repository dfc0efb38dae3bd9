#include "tm_backtest/lookahead.h"

namespace tm_backtest {
namespace {

// The entries made on ticks up to and including `t`: a prefix, since the log is
// in call order.
std::span<const LogEntry> up_to(std::span<const LogEntry> log, std::uint64_t t) {
  const auto end =
      std::partition_point(log.begin(), log.end(), [t](const LogEntry& e) { return e.first <= t; });
  return log.first(static_cast<std::size_t>(end - log.begin()));
}

}  // namespace

std::vector<std::uint64_t> spread(std::span<const std::uint64_t> signals,
                                  std::uint64_t max_points) {
  const std::uint64_t n = signals.size();
  if (n <= max_points) return {signals.begin(), signals.end()};
  if (max_points == 0) return {};
  const std::uint64_t d = max_points == 1 ? 1 : max_points - 1;
  std::vector<std::uint64_t> picks;
  picks.reserve(static_cast<std::size_t>(max_points));
  for (std::uint64_t i = 0; i < max_points; ++i) {
    const std::uint64_t pick = signals[tm_types::checked_mul_u(i, n - 1) / d];
    if (picks.empty() || picks.back() != pick) picks.push_back(pick);
  }
  return picks;
}

std::vector<tm_strategy::Intent> intents_on(std::span<const LogEntry> log, std::uint64_t tick) {
  std::vector<tm_strategy::Intent> out;
  for (const auto& [index, intent] : log) {
    if (index == tick) out.push_back(intent);
  }
  return out;
}

std::optional<Divergence> compare_prefix(std::span<const LogEntry> full,
                                         std::span<const LogEntry> prefix,
                                         std::span<const tm_types::Tick> ticks,
                                         std::uint64_t checked_at) {
  const auto a = up_to(full, checked_at);
  const auto b = up_to(prefix, checked_at);
  const std::size_t shorter = std::min(a.size(), b.size());
  std::size_t j = 0;
  while (j < shorter && a[j] == b[j]) ++j;
  if (j == shorter && a.size() == b.size()) return std::nullopt;

  const std::uint64_t tick = j < shorter ? std::min(a[j].first, b[j].first)
                                         : (a.size() > b.size() ? a[j].first : b[j].first);
  return Divergence{intents_on(a, tick), intents_on(b, tick), checked_at, tick,
                    ticks[static_cast<std::size_t>(tick)].exch_ts};
}

}  // namespace tm_backtest
