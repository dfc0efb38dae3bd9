#include "tm_margin/margin_table.h"

#include <utility>

namespace tm_margin {

using tm_types::clamp64;

MarginTable::MarginTable(std::vector<MarginTier> rows) : rows_(std::move(rows)) {
  if (rows_.empty()) tm_types::invariant_failure("non-empty by construction");
}

MarginTable MarginTable::example_btcusdt() {
  return MarginTable({
      {5'000'000'000'000, 4'000'000, 0},
      {50'000'000'000'000, 5'000'000, 5'000'000'000},
      {100'000'000'000'000, 10'000'000, 255'000'000'000},
      {1'000'000'000'000'000, 25'000'000, 1'755'000'000'000},
      {tm_types::kI64Max, 50'000'000, 26'755'000'000'000},
  });
}

const MarginTier& MarginTable::row_for(Cash notional) const {
  for (const MarginTier& row : rows_) {
    if (row.max_notional >= notional) return row;
  }
  return rows_.back();
}

Cash MarginTable::maintenance(std::int64_t contract_size, Price price, QtyLots qty) const {
  const Cash notional = clamp64(leg_value(qty, price, contract_size));
  const MarginTier& row = row_for(notional);
  const Cash margin = tm_types::sat_sub(apply_rate(notional, row.rate), row.deduction);
  return margin > 0 ? margin : 0;
}

}  // namespace tm_margin
