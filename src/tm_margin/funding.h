// Periodic funding of perpetual futures: one funding event, a time-ordered
// schedule of them, and what one position pays or receives at an event.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "tm_types/fixed.h"
#include "tm_types/time.h"

namespace tm_margin {

// One position's payment at one event; amount is positive when received.
struct Settlement {
  tm_types::Nanos at = 0;
  tm_types::Cash amount = 0;
  std::int64_t rate = 0;
  tm_types::Price price = 0;
  friend constexpr bool operator==(const Settlement&, const Settlement&) = default;
};

struct FundingRate {
  tm_types::Nanos at = 0;
  std::int64_t rate = 0;      // parts per 10^9; positive means longs pay shorts
  tm_types::Price price = 0;  // the price positions are valued at for this event

  // The payment of qty lots (positive long, negative short): a long pays a
  // positive rate, a short receives it; a flat position settles to 0.
  [[nodiscard]] Settlement settle(std::int64_t contract_size, tm_types::QtyLots qty) const;

  friend constexpr bool operator==(const FundingRate&, const FundingRate&) = default;
};

// Funding events in ascending `at` order (equal times allowed).
class FundingSchedule {
 public:
  FundingSchedule() = default;
  // Orders the events by time, keeping the given order among equal times, so
  // that the interval lookup below never misses an event.
  explicit FundingSchedule(std::vector<FundingRate> rates);

  // The events with from < at <= to, in schedule order; empty when to <= from.
  // Calling it with consecutive tick times settles every event exactly once.
  // The view is valid while the schedule lives unchanged.
  [[nodiscard]] std::span<const FundingRate> between(tm_types::Nanos from,
                                                     tm_types::Nanos to) const;

  bool empty() const { return rates_.empty(); }
  const std::vector<FundingRate>& rates() const { return rates_; }

 private:
  std::vector<FundingRate> rates_;
};

}  // namespace tm_margin
