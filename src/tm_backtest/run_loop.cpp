#include "tm_backtest/run_loop.h"

#include <utility>

namespace tm_backtest {

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

tm_core::Account open_account(const RunConfig& config) {
  tm_core::Account account(config.execution.matcher(config.instrument), config.contract_size,
                           config.margin_tiers, config.balance);
  account.maker_fee = config.maker_fee;
  account.taker_fee = config.taker_fee;
  account.two_leg = config.two_leg;
  account.fees_charged = true;
  if (!config.enforce_margin) account.liquidation_enabled = false;
  return account;
}

}  // namespace tm_backtest
