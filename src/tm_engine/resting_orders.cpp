#include "tm_engine/resting_orders.h"

#include <algorithm>

#include "tm_types/fixed.h"
#include "tm_types/invariant.h"

namespace tm_engine {

using tm_types::OrderId;
using tm_types::Side;
using tm_types::Working;

namespace {

// Room for a handful of orders per list, so a run with a few resting orders
// never reallocates after the first tick.
constexpr std::size_t kInitialCapacity = 16;

}  // namespace

RestingOrders::RestingOrders() {
  buy_limits_.reserve(kInitialCapacity);
  sell_limits_.reserve(kInitialCapacity);
  market_buys_.reserve(kInitialCapacity);
  market_sells_.reserve(kInitialCapacity);
}

void RestingOrders::insert(const Working& order) {
  const std::uint64_t seq = arrivals_;
  arrivals_ = tm_types::checked_add_u(arrivals_, 1);
  Resting entry{order, seq};
  if (!order.kind.is_limit) {
    (order.side == Side::Buy ? market_buys_ : market_sells_).push_back(entry);
    return;
  }
  const tm_types::Price price = order.kind.price;
  if (order.side == Side::Buy) {
    // After every buy at an equal or higher limit.
    auto at =
        std::partition_point(buy_limits_.begin(), buy_limits_.end(),
                             [price](const Resting& r) { return r.order.kind.price >= price; });
    buy_limits_.insert(at, entry);
  } else {
    // After every sell at an equal or lower limit.
    auto at =
        std::partition_point(sell_limits_.begin(), sell_limits_.end(),
                             [price](const Resting& r) { return r.order.kind.price <= price; });
    sell_limits_.insert(at, entry);
  }
}

RestingOrders::Found RestingOrders::find(OrderId id) {
  for (std::vector<Resting>* list : {&buy_limits_, &sell_limits_, &market_buys_, &market_sells_}) {
    for (std::size_t i = 0; i < list->size(); ++i) {
      if ((*list)[i].order.id == id) return {list, i};
    }
  }
  return {nullptr, 0};
}

std::optional<Working> RestingOrders::remove(OrderId id) {
  const Found found = find(id);
  if (found.list == nullptr) return std::nullopt;
  Working order = (*found.list)[found.index].order;
  found.list->erase(found.list->begin() + static_cast<std::ptrdiff_t>(found.index));
  return order;
}

}  // namespace tm_engine
