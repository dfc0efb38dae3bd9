// Where each order an engine holds stands: travelling to the venue, queued
// behind displayed size, or resting in the book. A read-only listing for
// strategies that look at their own working orders.
#pragma once

#include <cstdint>
#include <vector>

#include "tm_engine/matcher.h"
#include "tm_types/order.h"

namespace tm_engine {

// Codes cross the Python boundary: pinned.
enum class OrderStage : std::uint8_t { Travelling = 0, Queued = 1, Resting = 2 };

struct OrderState {
  tm_types::Working order;
  OrderStage stage = OrderStage::Resting;
};

// Appends every order `matcher` holds, pending ones first (in submission
// order), then queued ones (in arrival order), then the book's (buy limits,
// sell limits, market buys, market sells, each in book order). A fill the
// engine made whose report is still delayed has left the engine: its order is
// not listed.
void list_orders(const Matcher& matcher, std::vector<OrderState>& out);

}  // namespace tm_engine
