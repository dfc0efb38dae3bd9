// The lookahead check: does a strategy decide from the past alone? It runs the
// strategy once over all ticks, recording every intent with the tick it was made
// on, then reruns freshly built strategies on prefixes ending at a spread of
// those ticks and reports each prefix whose decisions up to its last tick differ.
// One strategy call per tick throughout.
#pragma once

#include <algorithm>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "tm_backtest/run_loop.h"
#include "tm_strategy/strategy.h"
#include "tm_types/fixed.h"
#include "tm_types/tick.h"

namespace tm_backtest {

// (call index, intent): the call index is the tick index, one call per tick.
using LogEntry = std::pair<std::uint64_t, tm_strategy::Intent>;

// A strategy wrapper that logs every intent with the index of the call that made it.
template <tm_strategy::Strategy S>
class Recorder {
 public:
  explicit Recorder(S strategy) : inner_(std::move(strategy)) {}
  Recorder(const Recorder&) = delete;
  Recorder& operator=(const Recorder&) = delete;

  void on_tick(const tm_strategy::Context& ctx, std::vector<tm_strategy::Intent>& intents);
  std::string name() { return std::string(inner_.name()); }

  const std::vector<LogEntry>& log() const { return log_; }
  std::vector<LogEntry> take_log() { return std::move(log_); }
  std::uint64_t calls() const { return calls_; }

 private:
  S inner_;
  std::vector<LogEntry> log_;
  std::uint64_t calls_ = 0;
};

// One prefix that decided differently from the full run.
struct Divergence {
  std::vector<tm_strategy::Intent> expected;  // what the full run did on `tick`
  std::vector<tm_strategy::Intent> found;     // what the prefix run did on `tick`
  std::uint64_t checked_at = 0;               // the last tick of the prefix
  std::uint64_t tick = 0;                     // the first tick the runs disagree on
  tm_types::Nanos exch_ts = 0;                // that tick's venue time
};

struct LookaheadReport {
  std::vector<Divergence> divergences;  // ascending checked_at
  std::uint64_t signals = 0;            // distinct ticks with at least one intent in the full run
  std::uint64_t checked = 0;            // prefixes rerun
};

// The signal ticks to check: all of them when there are at most `max_points`,
// otherwise `max_points` picks spread evenly from the first to the last (each
// position rounded down), with repeated picks merged.
std::vector<std::uint64_t> spread(std::span<const std::uint64_t> signals, std::uint64_t max_points);

// The intents the log recorded for one tick, in log order.
std::vector<tm_strategy::Intent> intents_on(std::span<const LogEntry> log, std::uint64_t tick);

// Runs the check. `build(prefix)` returns a fresh strategy for a span of ticks
// (the full series first, then each checked prefix): it is called checked + 1
// times. Every run reads the shared tick span; nothing is copied per run beyond
// what the run loop reads tick by tick. Builder and strategy failures are the
// strategies' own business (a failed build returns an inert strategy).
template <tm_strategy::Strategy S, class Build>
LookaheadReport lookahead(const RunConfig& config, Build&& build,
                          std::span<const tm_types::Tick> ticks, std::uint64_t max_points);

// ---------------------------------------------------------------------------
// Implementation.

// Compares one checked prefix's log with the full log; absent when they agree.
std::optional<Divergence> compare_prefix(std::span<const LogEntry> full,
                                         std::span<const LogEntry> prefix,
                                         std::span<const tm_types::Tick> ticks,
                                         std::uint64_t checked_at);

template <tm_strategy::Strategy S>
void Recorder<S>::on_tick(const tm_strategy::Context& ctx,
                          std::vector<tm_strategy::Intent>& intents) {
  const std::uint64_t index = calls_;
  calls_ = tm_types::checked_add_u(calls_, 1);
  const std::size_t before = intents.size();
  inner_.on_tick(ctx, intents);
  if (intents.size() < before) {
    tm_types::invariant_failure("a strategy removed intents it did not append");
  }
  for (std::size_t i = before; i < intents.size(); ++i) log_.emplace_back(index, intents[i]);
}

template <tm_strategy::Strategy S, class Build>
LookaheadReport lookahead(const RunConfig& config, Build&& build,
                          std::span<const tm_types::Tick> ticks, std::uint64_t max_points) {
  std::vector<LogEntry> full;
  {
    Recorder<S> recorder(build(ticks));
    SpanTicks source(ticks);
    (void)run_stream(config, recorder, source);
    full = recorder.take_log();
  }

  std::vector<std::uint64_t> signals;
  for (const auto& entry : full) {
    if (signals.empty() || signals.back() != entry.first) signals.push_back(entry.first);
  }
  const std::vector<std::uint64_t> points = spread(signals, max_points);

  LookaheadReport report;
  report.signals = signals.size();
  report.checked = points.size();
  for (const std::uint64_t t : points) {
    const auto prefix_ticks = ticks.first(static_cast<std::size_t>(t) + 1);
    Recorder<S> recorder(build(prefix_ticks));
    SpanTicks source(prefix_ticks);
    (void)run_stream(config, recorder, source);
    if (auto divergence = compare_prefix(full, recorder.log(), ticks, t)) {
      report.divergences.push_back(std::move(*divergence));
    }
  }
  return report;
}

}  // namespace tm_backtest
