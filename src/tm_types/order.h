// Orders at the simulated venue: side, offset, kind, the Order a strategy places,
// and the Working record an engine keeps for one order over its life, with the
// one operation that fills it.
#pragma once

#include <cstdint>
#include <optional>
#include <variant>

#include "tm_types/fixed.h"
#include "tm_types/ids.h"
#include "tm_types/time.h"

namespace tm_types {

// Codes cross the Python boundary and the engine records: pinned.
enum class Side : std::uint8_t { Buy = 0, Sell = 1 };
enum class Offset : std::uint8_t { Open = 0, Close = 1 };

// +1 for a buy, -1 for a sell: turns a quantity into a signed position change.
constexpr std::int64_t sign(Side side) { return side == Side::Buy ? 1 : -1; }

// A limit order carries its price in ticks; a market order carries nothing.
struct OrderKind {
  bool is_limit = false;
  Price price = 0;  // meaningful only when is_limit

  static constexpr OrderKind limit(Price p) { return {true, p}; }
  static constexpr OrderKind market() { return {false, 0}; }
  friend constexpr bool operator==(const OrderKind&, const OrderKind&) = default;
};

// One order as placed: the only shape an order has between a strategy and an
// engine. An absent instrument means the only holding of a one-holding account.
struct Order {
  OrderId id = 0;
  Side side = Side::Buy;
  Offset offset = Offset::Open;
  QtyLots qty = 0;
  OrderKind kind;
  std::optional<InstrumentId> instrument;
  friend constexpr bool operator==(const Order&, const Order&) = default;
};

enum class Status : std::uint8_t { Live = 0, Complete = 1 };

struct FillError {
  enum class Kind : std::uint8_t { NonPositive, Overfill };
  Kind kind;
  QtyLots remaining = 0;  // Overfill only
  QtyLots requested = 0;  // Overfill only
  friend constexpr bool operator==(const FillError&, const FillError&) = default;
};

// An order resting at (or travelling to) the venue. 0 <= filled <= qty, qty >= 1.
struct Working {
  Status status = Status::Live;
  OrderKind kind;
  OrderId id = 0;
  QtyLots qty = 0;
  QtyLots filled = 0;
  Nanos placed_exch_ts = 0;
  Nanos placed_local_ts = 0;
  Side side = Side::Buy;
  Offset offset = Offset::Open;

  QtyLots remaining() const { return qty - filled; }

  // A copy of this order with `quantity` more filled (Complete when nothing
  // remains), or NonPositive for quantity < 1, or Overfill (remaining,
  // quantity) when more is asked than remains. The receiver is not modified.
  [[nodiscard]] std::variant<Working, FillError> fill(QtyLots quantity) const;

  friend constexpr bool operator==(const Working&, const Working&) = default;
};

// `order` live at the venue with nothing filled. Stops with the invariant
// failure "order quantity must be positive" when qty < 1; callers reject such
// orders first.
Working place(const Order& order, Nanos placed_exch_ts, Nanos placed_local_ts);

}  // namespace tm_types
