// What one backtest run is given: the execution engine, margin table, funding
// schedule, fees, starting balance and the switches of the account and the loop.
#pragma once

#include <cstdint>

#include "tm_engine/execution.h"
#include "tm_margin/funding.h"
#include "tm_margin/margin_table.h"
#include "tm_types/fixed.h"
#include "tm_types/ids.h"

namespace tm_backtest {

struct RunConfig {
  tm_engine::Execution execution;
  tm_margin::MarginTable margin_tiers = tm_margin::MarginTable::example_btcusdt();
  tm_margin::FundingSchedule funding_schedule;
  // True: each funding event values positions at the holding's mark, the last
  // traded price before the event, in place of the event's own price.
  bool funding_at_mark = false;
  std::uint64_t equity_every = 0;  // sample equity every this many ticks; 0: never
  // False: the samples go to the result's curve only, not to equity_samples too.
  bool keep_equity_samples = true;
  std::int64_t contract_size = 10000;
  tm_types::Cash balance = 0;
  std::int64_t maker_fee = 0, taker_fee = 0;  // parts per 10^9 of notional
  tm_types::InstrumentId instrument = 1;
  bool track_margin = false, enforce_margin = true, two_leg = false;
};

}  // namespace tm_backtest
