#include "tm_types/order.h"

namespace tm_types {
namespace {

Working new_order(OrderId id, Side side, OrderKind kind, QtyLots qty, Nanos exch_ts,
                  Nanos local_ts, Offset offset) {
  if (qty < 1) invariant_failure("order quantity must be positive");
  return Working{Status::Live, kind, id, qty, 0, exch_ts, local_ts, side, offset};
}

}  // namespace

std::variant<Working, FillError> Working::fill(QtyLots quantity) const {
  if (quantity < 1) return FillError{FillError::Kind::NonPositive};
  const QtyLots left = checked_sub(qty, filled);
  if (quantity > left) return FillError{FillError::Kind::Overfill, left, quantity};
  Working next = *this;
  next.filled = filled + quantity;
  next.status = next.filled == qty ? Status::Complete : Status::Live;
  return next;
}

Working limit_order(OrderId id, Side side, Price price, QtyLots qty, Nanos placed_exch_ts,
                    Nanos placed_local_ts, Offset offset) {
  return new_order(id, side, OrderKind::limit(price), qty, placed_exch_ts, placed_local_ts, offset);
}

Working market_order(OrderId id, Side side, QtyLots qty, Nanos placed_exch_ts,
                     Nanos placed_local_ts, Offset offset) {
  return new_order(id, side, OrderKind::market(), qty, placed_exch_ts, placed_local_ts, offset);
}

}  // namespace tm_types
