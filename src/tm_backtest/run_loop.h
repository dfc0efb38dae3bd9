// run_stream, the loop that feeds ticks to the kernel, settles funding, asks
// the strategy after every tick and turns its intents into kernel events.
// Generic over the strategy and the tick stream; knows nothing of Python.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "tm_backtest/run_config.h"
#include "tm_backtest/run_result.h"
#include "tm_backtest/tick_stream.h"
#include "tm_core/kernel.h"
#include "tm_strategy/strategy.h"
#include "tm_types/tick.h"

namespace tm_backtest {

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
template <tm_strategy::Strategy S, TickStream Src>
RunResult run_stream(const RunConfig& config, S& strategy, Src& source);

}  // namespace tm_backtest

#include "tm_backtest/run_loop-inl.h"
