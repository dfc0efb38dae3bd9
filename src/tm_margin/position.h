// One position and the wallet balance backing it, seen as an isolated-margin
// venue sees it: whether it must be liquidated at a price, and if not, how far
// the price may still move against it.
#pragma once

#include <optional>
#include <variant>

#include "tm_margin/margin_table.h"

namespace tm_margin {

struct Flat {
  friend constexpr bool operator==(const Flat&, const Flat&) = default;
};
// Equity exceeds maintenance. distance is how far (in ticks) the price may move
// against the position before it becomes liquidatable; absent when no price can.
struct Healthy {
  std::optional<Price> distance;
  Cash equity = 0;
  Cash maintenance = 0;
  friend constexpr bool operator==(const Healthy&, const Healthy&) = default;
};
// Equity is at or below maintenance.
struct Liquidatable {
  Cash equity = 0;
  Cash maintenance = 0;
  friend constexpr bool operator==(const Liquidatable&, const Liquidatable&) = default;
};
using Assessment = std::variant<Flat, Healthy, Liquidatable>;

struct MarginedPosition {
  std::optional<i128> cost;  // exact cost basis when known; else entry x |qty| x size
  Contract contract;
  Price entry = 0;
  QtyLots qty = 0;   // positive long, negative short
  Cash balance = 0;  // the wallet balance backing the position

  [[nodiscard]] Assessment assess(const MarginTable& tiers, Price price) const;
  // True exactly when assess gives Liquidatable; does not solve for a price.
  [[nodiscard]] bool is_liquidatable(const MarginTable& tiers, Price price) const;
  // The price at which equity meets maintenance, under the tier row that
  // applies at `price` (the row is not re-selected there, so the answer is
  // approximate when the notional at that price falls in another row): the
  // highest whole tick at which a long is liquidatable, the lowest for a short.
  // Absent for a flat position and for a long that survives any positive price.
  // Intermediates out of 128-bit range are an invariant failure.
  [[nodiscard]] std::optional<Price> liquidation_price_at(const MarginTable& tiers,
                                                          Price price) const;

 private:
  Cash unrealized(Price price) const;
};

}  // namespace tm_margin
