// An order's one fill operation: exact completion, refusals that leave the
// order untouched, identity kept across a partial fill, and the quantity guard.
#include <gtest/gtest.h>

#include <variant>

#include "tm_types/invariant.h"
#include "tm_types/order.h"

namespace tm_types {
namespace {

TEST(Working, FillsExactlyRefusesBeyondKeepsIdentityAndNeedsAPositiveQuantity) {
  const Working order = limit_order(7, Side::Sell, 1234, 10, 111, 222, Offset::Close);
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
    (void)limit_order(1, Side::Buy, 100, 0, 0, 0, Offset::Open);
    FAIL() << "a zero-lot order was built";
  } catch (const InvariantError& e) {
    EXPECT_EQ(e.message(), "order quantity must be positive");
  }
  EXPECT_THROW((void)market_order(1, Side::Sell, -1, 0, 0, Offset::Open), InvariantError);
}

}  // namespace
}  // namespace tm_types
