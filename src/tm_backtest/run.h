// One backtest run: the configuration it is given, the result it produces, and
// run_stream, the loop that feeds ticks to the kernel, settles funding, asks
// the strategy after every tick and turns its intents into kernel events.
// Generic over the strategy and the tick source; knows nothing of Python.
#pragma once

#include <concepts>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "tm_backtest/tier.h"
#include "tm_core/kernel.h"
#include "tm_engine/tick.h"
#include "tm_margin/funding.h"
#include "tm_margin/tier.h"
#include "tm_strategy/strategy.h"
#include "tm_types/fill.h"
#include "tm_types/fixed.h"

namespace tm_backtest {

// A stream of ticks taken one at a time; nullptr ends it (a source may stop
// early). The pointer is valid until the next call; the loop copies the tick.
template <class T>
concept TickSource = requires(T& s) {
  { s.next() } -> std::same_as<const tm_engine::Tick*>;
};

// Ticks held in memory. `ticks` must outlive the source.
class SpanSource {
 public:
  explicit SpanSource(std::span<const tm_engine::Tick> ticks) : ticks_(ticks) {}
  // Asks for the tick a kilobyte ahead as it hands out this one, so a long run
  // streams its ticks from memory instead of waiting for each.
  const tm_engine::Tick* next() {
    if (pos_ + kAhead < ticks_.size()) __builtin_prefetch(&ticks_[pos_ + kAhead]);
    return pos_ < ticks_.size() ? &ticks_[pos_++] : nullptr;
  }

 private:
  static constexpr std::size_t kAhead = 16;

  std::span<const tm_engine::Tick> ticks_;
  std::size_t pos_ = 0;
};

struct RunConfig {
  Tier tier;
  tm_margin::TierTable margin_tiers = tm_margin::TierTable::example_btcusdt();
  tm_margin::FundingSchedule funding_schedule;
  std::uint64_t equity_every = 0;  // sample equity every this many ticks; 0: never
  std::int64_t contract_size = 10000;
  tm_types::Cash balance = 0;
  std::int64_t maker_fee = 0, taker_fee = 0;  // parts per 10^9 of notional
  tm_types::InstrumentId instrument = 1;
  bool track_margin = false, enforce_margin = true, two_leg = false;
};

// One liquidation as the run records it, copied from the kernel's record.
struct Liquidation {
  tm_types::Nanos at = 0;
  tm_types::Price price = 0;
  tm_types::QtyLots qty = 0;  // position + short_position before the close
  tm_types::Cash balance = 0;
  tm_types::Cash forfeited = 0;
  friend constexpr bool operator==(const Liquidation&, const Liquidation&) = default;
};

struct MarginWatch {
  tm_types::Cash peak_maintenance = 0;
  std::optional<tm_types::Cash> min_headroom;  // absent when no tick had an open position
  friend constexpr bool operator==(const MarginWatch&, const MarginWatch&) = default;
};

struct RunResult {
  std::string strategy;
  std::string tier;      // "L0", "L1" or "L2": the engine installed
  std::uint64_t ticks = 0;
  std::vector<tm_types::Fill> fills;  // in booking order, final settlement included
  std::vector<Liquidation> liquidations;
  std::vector<tm_types::Cash> equity_samples;  // the balance, then every equity_every ticks
  tm_types::Cash final_equity = 0, min_equity = 0, fees_paid = 0, funding_paid = 0, realised = 0;
  std::int64_t max_adverse_excursion = 0;  // ticks
  std::optional<MarginWatch> margin_watch;  // present when track_margin
  std::uint64_t skipped_ticks = 0, foreign_intents = 0;
};

using Ending = std::pair<tm_types::OrderId, tm_strategy::Ending>;

// Appends (id, Filled) for each Fill and (id, Cancelled) for each Cancelled
// output, skipping ids still in `working` and ids already in `endings`.
void note_endings(std::span<const tm_core::Output> outputs,
                  std::span<const tm_types::OrderId> working, std::vector<Ending>& endings);

// The legs a Liquidated output closed (long or net leg first, then the short
// leg), each with a positive quantity; empty for any other output.
std::vector<tm_strategy::VenueClosed> venue_closes(const tm_core::Output& output);

// Runs `strategy` over every tick of `source` against a fresh account built
// from `config`, and returns what happened. Never fails on its input; a broken
// invariant (an overflowing counter) stops it with tm_types::InvariantError.
template <tm_strategy::Strategy S, TickSource Src>
RunResult run_stream(const RunConfig& config, S& strategy, Src& source);

}  // namespace tm_backtest

#include "tm_backtest/run-inl.h"
