// Latency models of the L1 and L2 engines: a fixed delay, or one of four
// quantile values chosen by a hash of the order id, so the same order always
// draws the same delay in every run.
#pragma once

#include <variant>

#include "tm_types/ids.h"
#include "tm_types/time.h"

namespace tm_engine {

struct Latency {
  struct Fixed {
    tm_types::Nanos value = 0;
    friend constexpr bool operator==(const Fixed&, const Fixed&) = default;
  };
  // 50 %, 40 %, 9 % and 1 % of order ids draw p50, p90, p99 and p999.
  struct Quantiles {
    tm_types::Nanos p50 = 0;
    tm_types::Nanos p90 = 0;
    tm_types::Nanos p99 = 0;
    tm_types::Nanos p999 = 0;
    friend constexpr bool operator==(const Quantiles&, const Quantiles&) = default;
  };

  std::variant<Fixed, Quantiles> model;

  static Latency fixed(tm_types::Nanos value) { return Latency{Fixed{value}}; }
  static Latency quantiles(tm_types::Nanos p50, tm_types::Nanos p90, tm_types::Nanos p99,
                           tm_types::Nanos p999) {
    return Latency{Quantiles{p50, p90, p99, p999}};
  }

  // The delay for this order. A negative configured value draws 0, so no due
  // time ever lies before the moment it is computed from.
  tm_types::Nanos draw(tm_types::OrderId id) const;

  // True when the value (or all four values) is 0: such a latency defers nothing.
  bool is_zero() const;

  friend bool operator==(const Latency&, const Latency&) = default;
};

// The quantile bucket of an order id: the SplitMix64 output function of
// (id + 0x9E3779B97F4A7C15), modulo 1000.
unsigned latency_bucket(tm_types::OrderId id);

}  // namespace tm_engine
