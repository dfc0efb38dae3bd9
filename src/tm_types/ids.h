// Identifiers: which instrument a tick, order or holding belongs to, and which
// order a fill belongs to. Order ids are chosen by whoever creates the order.
#pragma once

#include <cstdint>

namespace tm_types {

using InstrumentId = std::uint32_t;
using OrderId = std::uint64_t;

}  // namespace tm_types
