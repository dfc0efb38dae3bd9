// What one backtest run produces: fills, liquidations, equity samples, the
// closing totals and the optional margin watch.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "tm_types/fill.h"
#include "tm_types/fixed.h"
#include "tm_types/time.h"

namespace tm_backtest {

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

// The sampled equity curve, one column per field, a row per sample: the
// first tick, every equity_every-th tick and the last tick, each once, in
// tick order. Empty when equity_every is 0. Columns, so that each can be
// handed out whole without copying.
struct EquityCurve {
  std::vector<tm_types::Nanos> exch_ts;     // of the tick the sample follows
  std::vector<tm_types::Cash> equity;       // after that tick
  std::vector<tm_types::QtyLots> position;  // net: position + short_position
};

// What booking one fill moved, in the order of RunResult::fills.
struct FillBooking {
  tm_types::Nanos tick_ts = 0;  // exch_ts of the tick it was booked on (the last for settlement)
  tm_types::Cash fee = 0;       // charged for the fill
  tm_types::Cash realised = 0;  // profit the fill realised, negative for a loss
  friend constexpr bool operator==(const FillBooking&, const FillBooking&) = default;
};

struct RunResult {
  std::string strategy;
  std::string tier;  // "L0", "L1" or "L2": the engine installed
  std::uint64_t ticks = 0;
  std::vector<tm_types::Fill> fills;  // in booking order, final settlement included
  std::vector<FillBooking> bookings;  // one per fill, in the same order
  std::vector<Liquidation> liquidations;
  std::vector<tm_types::Cash> equity_samples;  // the balance, then every equity_every ticks
  EquityCurve curve;
  tm_types::Cash final_equity = 0, min_equity = 0, fees_paid = 0, funding_paid = 0, realised = 0;
  std::int64_t max_adverse_excursion = 0;  // ticks
  // The largest fall of equity from its highest earlier value (the balance
  // included) over the equity after every tick; 0 if it never fell.
  tm_types::Cash max_drawdown = 0;
  std::optional<MarginWatch> margin_watch;  // present when track_margin
  std::uint64_t skipped_ticks = 0, foreign_intents = 0;
  std::uint64_t rejected_depth_updates = 0;  // refused by the L2 engine; 0 for the others
};

}  // namespace tm_backtest
