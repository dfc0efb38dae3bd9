// An order's one fill operation: exact completion, refusals that leave the
// order untouched, identity kept across a partial fill, and the quantity guard.
#include <gtest/gtest.h>

#include <variant>

#include "tm_types/invariant.h"
#include "tm_types/order.h"

namespace tm_types {
namespace {

TEST(Working, PlacedFromAnOrderFillsExactlyRefusesBeyondAndNeedsAPositiveQuantity) {
  const Working order =
      place({7, Side::Sell, Offset::Close, 10, OrderKind::limit(1234), 3}, 111, 222);
  EXPECT_EQ(order, (Working{Status::Live, OrderKind::limit(1234), 7, 10, 0, 111, 222, Side::Sell,
                            Offset::Close}));
  const Working part = std::get<Working>(order.fill(4));
  Working expected = order;
  expected.filled = 4;
  EXPECT_EQ(part, expected);  // still Live; kind, id, times, side and offset kept
  EXPECT_EQ(order.filled, 0);
  const Working done = std::get<Working>(part.fill(6));
  EXPECT_EQ(done.status, Status::Complete);
  EXPECT_EQ(done.remaining(), 0);
  EXPECT_EQ(std::get<FillError>(order.fill(0)).kind, FillError::Kind::NonPositive);
  EXPECT_EQ(std::get<FillError>(order.fill(-3)).kind, FillError::Kind::NonPositive);
  EXPECT_EQ(std::get<FillError>(part.fill(7)), (FillError{FillError::Kind::Overfill, 6, 7}));
  try {
    (void)place({1, Side::Buy, Offset::Open, 0, OrderKind::limit(100), {}}, 0, 0);
    FAIL() << "a zero-lot order was built";
  } catch (const InvariantError& e) {
    EXPECT_EQ(e.message(), "order quantity must be positive");
  }
  EXPECT_THROW((void)place({1, Side::Sell, Offset::Close, -1, OrderKind::market(), {}}, 0, 0),
               InvariantError);
}

}  // namespace
}  // namespace tm_types
