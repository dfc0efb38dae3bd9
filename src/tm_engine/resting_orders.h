// The resting-order book: the strategy's own orders that an engine has accepted
// and not yet finished. Limit orders are held in price-time priority, market
// orders in arrival order. It knows nothing of market depth (see tm_book).
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "tm_types/ids.h"
#include "tm_types/order.h"

namespace tm_engine {

// One entry of the book: the order and the arrival sequence it was given by
// `RestingOrders::insert`. The sequence never changes.
struct Resting {
  tm_types::Working order;
  std::uint64_t seq = 0;
};

class RestingOrders {
 public:
  RestingOrders();
  RestingOrders(const RestingOrders&) = delete;
  RestingOrders& operator=(const RestingOrders&) = delete;
  RestingOrders(RestingOrders&&) noexcept = default;
  RestingOrders& operator=(RestingOrders&&) noexcept = default;

  // Gives the order the next arrival sequence and places it: limit buys behind
  // every buy at an equal or better price, limit sells likewise, market orders
  // at the back of their side. REQUIRES: the id is not already in the book.
  void insert(const tm_types::Working& order);

  // Removes the first entry with this id (buy limits, sell limits, market buys,
  // market sells, each from the front), keeping the order of the rest.
  std::optional<tm_types::Working> remove(tm_types::OrderId id);

  std::span<const Resting> buy_limits() const { return buy_limits_; }
  std::span<const Resting> sell_limits() const { return sell_limits_; }
  std::span<const Resting> market_buys() const { return market_buys_; }
  std::span<const Resting> market_sells() const { return market_sells_; }
  std::uint64_t arrival_counter() const { return arrivals_; }

  bool empty() const {
    return buy_limits_.empty() && sell_limits_.empty() && market_buys_.empty() &&
           market_sells_.empty();
  }
  std::size_t size() const {
    return buy_limits_.size() + sell_limits_.size() + market_buys_.size() + market_sells_.size();
  }

 private:
  // The list and position holding `id`, or nullptr.
  struct Found {
    std::vector<Resting>* list;
    std::size_t index;
  };
  Found find(tm_types::OrderId id);

  std::vector<Resting> buy_limits_;    // limit price descending, then arrival
  std::vector<Resting> sell_limits_;   // limit price ascending, then arrival
  std::vector<Resting> market_buys_;   // arrival order
  std::vector<Resting> market_sells_;  // arrival order
  std::uint64_t arrivals_ = 0;
};

}  // namespace tm_engine
