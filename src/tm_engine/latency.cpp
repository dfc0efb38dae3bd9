#include "tm_engine/latency.h"

#include <algorithm>
#include <cstdint>

namespace tm_engine {

unsigned latency_bucket(tm_types::OrderId id) {
  std::uint64_t z = id + 0x9E3779B97F4A7C15ULL;
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
  z ^= z >> 31;
  return static_cast<unsigned>(z % 1000);
}

tm_types::Nanos Latency::draw(tm_types::OrderId id) const {
  tm_types::Nanos value = 0;
  if (const auto* f = std::get_if<Fixed>(&model)) {
    value = f->value;
  } else {
    const auto& q = std::get<Quantiles>(model);
    const unsigned u = latency_bucket(id);
    value = u < 500 ? q.p50 : u < 900 ? q.p90 : u < 990 ? q.p99 : q.p999;
  }
  return std::max<tm_types::Nanos>(value, 0);
}

bool Latency::is_zero() const {
  if (const auto* f = std::get_if<Fixed>(&model)) return f->value == 0;
  const auto& q = std::get<Quantiles>(model);
  return q.p50 == 0 && q.p90 == 0 && q.p99 == 0 && q.p999 == 0;
}

}  // namespace tm_engine
