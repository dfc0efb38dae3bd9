#include "tm_engine/resting_orders.h"

#include <new>
#include <utility>

#include "tm_types/fixed.h"
#include "tm_types/invariant.h"

namespace tm_engine {

using tm_types::OrderId;
using tm_types::Side;
using tm_types::Working;

RestingOrders& RestingOrders::operator=(RestingOrders&& other) noexcept {
  if (this != &other) {
    this->~RestingOrders();
    new (this) RestingOrders(std::move(other));
  }
  return *this;
}

void RestingOrders::insert(const Working& order) {
  const bool buy = order.side == Side::Buy;
  const std::uint8_t list =
      order.kind.is_limit ? (buy ? kBuyLimits : kSellLimits) : (buy ? kMarketBuys : kMarketSells);
  const auto [place, fresh] = where_.try_emplace(order.id, Place{list, {}});
  if (!fresh) tm_types::invariant_failure("an order id rests twice");
  const std::uint64_t seq = arrivals_;
  arrivals_ = tm_types::checked_add_u(arrivals_, 1);
  // The sequence is the largest so far: the entry goes last among its equals.
  place->second.at = lists_[list].insert(lists_[list].end(), Resting{order, seq});
}

std::optional<Working> RestingOrders::remove(OrderId id) {
  const auto found = where_.find(id);
  if (found == where_.end()) return std::nullopt;
  const Place place = found->second;
  where_.erase(found);
  Working order = place.at->order;
  lists_[place.list].erase(place.at);
  return order;
}

RestingOrders::List::const_iterator RestingOrders::first_past(Side side,
                                                              tm_types::Price price) const {
  // Behind every entry at `price`: no entry has a later sequence.
  Resting probe{};
  probe.order.kind.price = price;
  probe.seq = UINT64_MAX;
  return lists_[side == Side::Buy ? kBuyLimits : kSellLimits].upper_bound(probe);
}

std::size_t RestingOrders::clear() {
  const std::size_t count = where_.size();
  where_.clear();
  for (List& list : lists_) list.clear();
  return count;
}

}  // namespace tm_engine
