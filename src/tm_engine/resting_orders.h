// The resting-order book: the strategy's own orders that an engine has accepted
// and not yet finished. Limit orders are held in price-time priority, market
// orders in arrival order. It knows nothing of market depth (see tm_book).
// Placing or removing one order costs O(log n) in the orders held.
#pragma once

#include <cstdint>
#include <memory>
#include <memory_resource>
#include <optional>
#include <set>
#include <unordered_map>

#include "tm_types/ids.h"
#include "tm_types/order.h"

namespace tm_engine {

// One entry of the book: the order and the arrival sequence it was given by
// `RestingOrders::insert`. The sequence never changes.
struct Resting {
  tm_types::Working order;
  std::uint64_t seq = 0;
};

// The order of one list of the book. Sequences are distinct, so no two
// entries of a list compare equal.
struct Priority {
  enum class Rule : std::uint8_t { HighFirst, LowFirst, Arrival };
  Rule rule = Rule::Arrival;
  bool operator()(const Resting& a, const Resting& b) const {
    const tm_types::Price pa = a.order.kind.price, pb = b.order.kind.price;
    if (rule == Rule::HighFirst && pa != pb) return pa > pb;
    if (rule == Rule::LowFirst && pa != pb) return pa < pb;
    return a.seq < b.seq;
  }
};

class RestingOrders {
 public:
  // One list of the book, iterated best first.
  using List = std::pmr::set<Resting, Priority>;

  RestingOrders() = default;
  RestingOrders(const RestingOrders&) = delete;
  RestingOrders& operator=(const RestingOrders&) = delete;
  RestingOrders(RestingOrders&&) noexcept = default;
  // The lists take their pool along (their allocator names it), so assignment
  // is destruction then construction in place: never a node of one pool
  // handed to another.
  RestingOrders& operator=(RestingOrders&& other) noexcept;

  // Gives the order the next arrival sequence and places it: limit buys behind
  // every buy at an equal or better price, limit sells likewise, market orders
  // at the back of their side. REQUIRES: the id is not already in the book
  // (an invariant failure otherwise).
  void insert(const tm_types::Working& order);

  // Removes the entry with this id, keeping the order of the rest.
  std::optional<tm_types::Working> remove(tm_types::OrderId id);
  // Removes every entry and returns how many there were.
  std::size_t clear();

  const List& buy_limits() const { return lists_[kBuyLimits]; }    // price descending
  const List& sell_limits() const { return lists_[kSellLimits]; }  // price ascending
  const List& market_buys() const { return lists_[kMarketBuys]; }
  const List& market_sells() const { return lists_[kMarketSells]; }
  std::uint64_t arrival_counter() const { return arrivals_; }
  // The first limit of the side whose price lies past `price` in its list's
  // order (below it for buys, above it for sells), or the list's end.
  List::const_iterator first_past(tm_types::Side side, tm_types::Price price) const;

  bool empty() const { return where_.empty(); }
  std::size_t size() const { return where_.size(); }

 private:
  enum : std::uint8_t { kBuyLimits, kSellLimits, kMarketBuys, kMarketSells };
  struct Place {
    std::uint8_t list;
    List::iterator at;
  };

  // The entries' nodes come from one pool, kept at a fixed address so that the
  // lists may move with their owner: placing and removing an order reuses
  // freed nodes instead of asking the general allocator each time.
  std::unique_ptr<std::pmr::unsynchronized_pool_resource> pool_ =
      std::make_unique<std::pmr::unsynchronized_pool_resource>();
  List lists_[4] = {List(Priority{Priority::Rule::HighFirst}, pool_.get()),
                    List(Priority{Priority::Rule::LowFirst}, pool_.get()),
                    List(Priority{}, pool_.get()), List(Priority{}, pool_.get())};
  // Every entry by its order's id. Set iterators stay valid when the sets move.
  std::pmr::unordered_map<tm_types::OrderId, Place> where_{pool_.get()};
  std::uint64_t arrivals_ = 0;
};

}  // namespace tm_engine
