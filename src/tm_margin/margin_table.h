// Maintenance-margin tables: how much margin a position of a given notional
// must keep, by brackets of notional. Rates are parts per 10^9; no floating point.
#pragma once

#include <cstdint>
#include <vector>

#include "tm_margin/contract.h"
#include "tm_types/fixed.h"

namespace tm_margin {

// One row of a margin table: notional up to and including max_notional keeps
// notional x rate / 10^9 - deduction.
struct MarginTier {
  Cash max_notional = 0;
  std::int64_t rate = 0;  // parts per 10^9
  Cash deduction = 0;
  friend constexpr bool operator==(const MarginTier&, const MarginTier&) = default;
};

// Rows in ascending max_notional order; never empty.
class MarginTable {
 public:
  // REQUIRES: rows ascend by max_notional. An empty list is an invariant
  // failure ("non-empty by construction").
  explicit MarginTable(std::vector<MarginTier> rows);

  // The five-row table every run started from Python uses (0.4 % up to
  // 50,000 currency units of notional, rising to 5 %).
  static MarginTable example_btcusdt();

  // Maintenance margin of |qty| lots at price; never negative.
  [[nodiscard]] Cash maintenance(std::int64_t contract_size, Price price, QtyLots qty) const;
  // The first row whose max_notional covers the notional, else the last row.
  [[nodiscard]] const MarginTier& row_for(Cash notional) const;

  const std::vector<MarginTier>& rows() const { return rows_; }
  friend bool operator==(const MarginTable&, const MarginTable&) = default;

 private:
  std::vector<MarginTier> rows_;
};

}  // namespace tm_margin
