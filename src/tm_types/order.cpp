#include "tm_types/order.h"

namespace tm_types {
std::variant<Working, FillError> Working::fill(QtyLots quantity) const {
  if (quantity < 1) return FillError{FillError::Kind::NonPositive};
  const QtyLots left = checked_sub(qty, filled);
  if (quantity > left) return FillError{FillError::Kind::Overfill, left, quantity};
  Working next = *this;
  next.filled = filled + quantity;
  next.status = next.filled == qty ? Status::Complete : Status::Live;
  return next;
}

Working place(const Order& order, Nanos placed_exch_ts, Nanos placed_local_ts) {
  if (order.qty < 1) invariant_failure("order quantity must be positive");
  return Working{Status::Live,   order.kind,      order.id,   order.qty,   0,
                 placed_exch_ts, placed_local_ts, order.side, order.offset};
}

}  // namespace tm_types
