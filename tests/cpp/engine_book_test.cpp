// The resting-order book: price-time priority fixed at insertion, search order
// of remove and replace, and absent ids leaving everything untouched.
#include <gtest/gtest.h>

#include <vector>

#include "tm_engine/book.h"

namespace tm_engine {
namespace {

using tm_types::limit_order;
using tm_types::market_order;
using tm_types::Offset;
using tm_types::OrderId;
using tm_types::Side;

std::vector<OrderId> ids(std::span<const Resting> list) {
  std::vector<OrderId> out;
  for (const Resting& r : list) out.push_back(r.order.id);
  return out;
}

class BookTest : public ::testing::Test {
 protected:
  void buy(OrderId id, tm_types::Price price, tm_types::QtyLots qty = 1) {
    book.insert(limit_order(id, Side::Buy, price, qty, 0, 0, Offset::Open));
  }
  void sell(OrderId id, tm_types::Price price) {
    book.insert(limit_order(id, Side::Sell, price, 1, 0, 0, Offset::Open));
  }
  Book book;
};

TEST_F(BookTest, LimitsAreBestFirstAndEqualPricesKeepArrivalOrder) {
  buy(1, 100);
  buy(2, 101);
  buy(3, 100);
  sell(4, 50);
  sell(5, 49);
  sell(6, 50);
  EXPECT_EQ(ids(book.buy_limits()), (std::vector<OrderId>{2, 1, 3}));
  EXPECT_EQ(ids(book.sell_limits()), (std::vector<OrderId>{5, 4, 6}));
  EXPECT_EQ(book.buy_limits()[0].seq, 1u);
  EXPECT_EQ(book.buy_limits()[2].seq, 2u);
}

TEST_F(BookTest, MarketOrdersWaitInArrivalOrderOnTheirSide) {
  book.insert(market_order(5, Side::Sell, 1, 0, 0, Offset::Open));
  book.insert(market_order(4, Side::Buy, 1, 0, 0, Offset::Open));
  book.insert(market_order(6, Side::Sell, 1, 0, 0, Offset::Open));
  EXPECT_EQ(ids(book.market_buys()), (std::vector<OrderId>{4}));
  EXPECT_EQ(ids(book.market_sells()), (std::vector<OrderId>{5, 6}));
  EXPECT_EQ(book.size(), 3u);
}

TEST_F(BookTest, ReplaceOfAPartlyFilledOrderKeepsItsPriority) {
  buy(1, 100, 10);
  buy(2, 100, 10);
  const auto part = std::get<tm_types::Working>(book.buy_limits()[0].order.fill(4));
  book.replace(1, part);
  EXPECT_EQ(ids(book.buy_limits()), (std::vector<OrderId>{1, 2}));
  EXPECT_EQ(book.buy_limits()[0].order.filled, 4);
  EXPECT_EQ(book.buy_limits()[0].seq, 0u);
}

TEST_F(BookTest, ReplaceWithNothingRemovesAndUnknownIdIsIgnored) {
  buy(1, 100);
  sell(2, 105);
  book.replace(99, std::nullopt);
  EXPECT_EQ(book.size(), 2u);
  book.replace(1, std::nullopt);
  EXPECT_TRUE(book.buy_limits().empty());
  EXPECT_EQ(ids(book.sell_limits()), (std::vector<OrderId>{2}));
}

TEST_F(BookTest, RemoveReturnsTheOrderOnceAndAnUnknownIdChangesNothing) {
  buy(1, 100);
  buy(2, 99);
  buy(3, 98);
  const auto removed = book.remove(2);
  ASSERT_TRUE(removed.has_value());
  EXPECT_EQ(removed->kind.price, 99);
  EXPECT_EQ(ids(book.buy_limits()), (std::vector<OrderId>{1, 3}));
  const std::uint64_t counter = book.arrival_counter();
  EXPECT_FALSE(book.remove(2).has_value());
  EXPECT_FALSE(book.remove(42).has_value());
  EXPECT_EQ(book.arrival_counter(), counter);  // not even the counter moves
  EXPECT_EQ(book.size(), 2u);
}

}  // namespace
}  // namespace tm_engine
