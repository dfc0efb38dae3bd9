// Timestamps: signed nanoseconds, venue time (exch_ts) or receive time (local_ts).
#pragma once

#include <cstdint>

namespace tm_types {

using Nanos = std::int64_t;

}  // namespace tm_types
