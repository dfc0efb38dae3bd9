// One price level of the venue's displayed depth: a price in ticks and the
// size shown there in lots.
#pragma once

#include "tm_types/fixed.h"

namespace tm_book {

struct Level {
  tm_types::Price price = 0;
  tm_types::QtyLots size = 0;
  friend constexpr bool operator==(const Level&, const Level&) = default;
};

}  // namespace tm_book
