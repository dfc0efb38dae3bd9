// One execution against an order, as the engines report it and the account books it.
#pragma once

#include <cstdint>

#include "tm_types/fixed.h"
#include "tm_types/ids.h"
#include "tm_types/order.h"
#include "tm_types/time.h"

namespace tm_types {

struct Fill {
  Nanos exch_ts = 0;   // venue time at which the engine executed the fill
  Nanos local_ts = 0;  // receive time belonging to that venue time
  OrderId order = 0;
  std::uint64_t seq = 0;  // the engine's fill number: 1, 2, 3, ... per engine
  Price price = 0;
  QtyLots qty = 0;  // at least 1
  InstrumentId instrument = 0;
  Side side = Side::Buy;
  Offset offset = Offset::Open;
  bool taker = false;  // true selects the taker fee rate and is the only fill impact moves

  friend constexpr bool operator==(const Fill&, const Fill&) = default;
};

}  // namespace tm_types
