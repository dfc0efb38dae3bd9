#include "tm_engine/order_states.h"

#include "tm_engine/l1.h"
#include "tm_engine/l2.h"

namespace tm_engine {
namespace {

void list_book(const RestingOrders& book, std::vector<OrderState>& out) {
  for (const RestingOrders::List* list :
       {&book.buy_limits(), &book.sell_limits(), &book.market_buys(), &book.market_sells()}) {
    for (const Resting& r : *list) out.push_back({r.order, OrderStage::Resting});
  }
}

void list_l1(const L1Engine& engine, std::vector<OrderState>& out) {
  for (const Pending& p : engine.pending()) out.push_back({p.order, OrderStage::Travelling});
  for (const Queued& q : engine.queued()) out.push_back({q.order, OrderStage::Queued});
  list_book(engine.inner().book(), out);
}

}  // namespace

void list_orders(const Matcher& matcher, std::vector<OrderState>& out) {
  if (const L0Engine* l0 = matcher.l0()) return list_book(l0->book(), out);
  if (const L1Engine* l1 = matcher.l1()) return list_l1(*l1, out);
  if (const L2Engine* l2 = matcher.l2()) list_l1(l2->l1(), out);
}

}  // namespace tm_engine
