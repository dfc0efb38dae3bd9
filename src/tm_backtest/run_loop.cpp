#include "tm_backtest/run_loop.h"

#include <algorithm>

namespace tm_backtest {

void note_endings(std::span<const tm_core::Output> outputs,
                  std::span<const tm_types::OrderId> working, std::vector<Ending>& endings) {
  for (const tm_core::Output& output : outputs) {
    Ending ending;
    if (const auto* fill = std::get_if<tm_types::Fill>(&output)) {
      ending = {fill->order, tm_strategy::Ending::Filled};
    } else if (const auto* cancelled = std::get_if<tm_core::Cancelled>(&output)) {
      ending = {cancelled->id, tm_strategy::Ending::Cancelled};
    } else {
      continue;
    }
    if (std::find(working.begin(), working.end(), ending.first) != working.end()) continue;
    const bool seen = std::any_of(endings.begin(), endings.end(),
                                  [&](const Ending& e) { return e.first == ending.first; });
    if (!seen) endings.push_back(ending);
  }
}

std::vector<tm_strategy::VenueClosed> venue_closes(const tm_core::Output& output) {
  std::vector<tm_strategy::VenueClosed> closes;
  const auto* record = std::get_if<tm_core::Liquidated>(&output);
  if (record == nullptr) return closes;
  const auto leg = [&](tm_types::Side side, tm_types::QtyLots qty) {
    if (qty == 0) return;
    if (qty == tm_types::kI64Min) tm_types::invariant_failure(tm_types::kArithmeticOverflow);
    closes.push_back({record->instrument, side, qty < 0 ? -qty : qty, record->price, record->at});
  };
  leg(tm_types::Side::Buy, record->position);
  leg(tm_types::Side::Sell, record->short_position);
  return closes;
}

}  // namespace tm_backtest
