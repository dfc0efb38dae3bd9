// Orders and their one fill operation: exact completion, refusals that leave the
// order untouched, and the fields a partial fill must not disturb.
#include <gtest/gtest.h>

#include <variant>

#include "tm_types/fill.h"
#include "tm_types/invariant.h"
#include "tm_types/order.h"

namespace tm_types {
namespace {

class WorkingFill : public ::testing::Test {
 protected:
  Working order = limit_order(7, Side::Sell, 1234, 10, 111, 222, Offset::Close);
};

TEST_F(WorkingFill, FillingExactlyTheRemainderCompletesTheOrder) {
  auto first = order.fill(4);
  ASSERT_TRUE(std::holds_alternative<Working>(first));
  const Working part = std::get<Working>(first);
  EXPECT_EQ(part.status, Status::Live);
  EXPECT_EQ(part.remaining(), 6);
  auto rest = part.fill(6);
  ASSERT_TRUE(std::holds_alternative<Working>(rest));
  EXPECT_EQ(std::get<Working>(rest).status, Status::Complete);
  EXPECT_EQ(std::get<Working>(rest).filled, 10);
  EXPECT_EQ(std::get<Working>(rest).remaining(), 0);
}

TEST_F(WorkingFill, RefusalsLeaveTheOrderUntouched) {
  EXPECT_EQ(std::get<FillError>(order.fill(0)).kind, FillError::Kind::NonPositive);
  EXPECT_EQ(std::get<FillError>(order.fill(-3)).kind, FillError::Kind::NonPositive);
  const Working part = std::get<Working>(order.fill(7));
  EXPECT_EQ(std::get<FillError>(part.fill(4)), (FillError{FillError::Kind::Overfill, 3, 4}));
  EXPECT_EQ(part.filled, 7);
}

TEST_F(WorkingFill, PartialFillKeepsIdentityTimesAndDirection) {
  const Working part = std::get<Working>(order.fill(1));
  EXPECT_EQ(part.kind, OrderKind::limit(1234));
  EXPECT_EQ(part.id, 7u);
  EXPECT_EQ(part.qty, 10);
  EXPECT_EQ(part.placed_exch_ts, 111);
  EXPECT_EQ(part.placed_local_ts, 222);
  EXPECT_EQ(part.side, Side::Sell);
  EXPECT_EQ(part.offset, Offset::Close);
  EXPECT_EQ(order.filled, 0);
}

TEST(OrderConstruction, QuantityBelowOneIsAnInvariantStop) {
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
