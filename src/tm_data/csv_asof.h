// The as-of merge of trades and quotes into ticks. Events sharing an exchange
// time are one instant: the instant's tick shows the market after all of
// them, with the latest quote at or before it, the last trade price, the
// instant's trade high and low, and the volume traded so far in lots.
#pragma once

#include <algorithm>
#include <cstdint>
#include <limits>
#include <optional>

#include "tm_data/csv_events.h"
#include "tm_types/tick.h"

namespace tm_data {

// Which instants yield a tick; the values cross the Python boundary by name
// ("trades", "quotes", "both").
enum class Emit : std::uint8_t {
  kTrades = 0,  // instants with a trade
  kQuotes = 1,  // instants where the best bid or ask changed
  kBoth = 2,    // either
};

class AsOfState {
 public:
  explicit AsOfState(Emit emit) : emit_(emit) {}

  // Starts the instant at `time`.
  void begin(tm_types::Nanos time);
  // Folds a trade (price in ticks, quantity in lots) into the instant; false
  // when the volume would pass the 64-bit range.
  [[nodiscard]] bool trade(const CsvEvent& event);
  // Folds a quote (bid and ask in ticks, 0 for an empty side) into the instant.
  void quote(const CsvEvent& event);
  // The tick the instant yields, if it yields one. Before the first trade the
  // last price is the quote's midpoint rounded down (one side's price when the
  // other is empty); an instant with no price at all yields no tick.
  std::optional<tm_types::Tick> end() const;

 private:
  Emit emit_;
  tm_types::Nanos time_ = 0;
  tm_types::Nanos local_ = 0;  // the latest local time among the instant's events
  std::int64_t last_ = 0;      // 0 until the first trade
  std::int64_t high_ = 0;
  std::int64_t low_ = 0;
  std::int64_t bid_ = 0;
  std::int64_t ask_ = 0;
  std::int64_t bid_before_ = 0;  // the quote when the instant began
  std::int64_t ask_before_ = 0;
  std::int64_t volume_ = 0;
  bool traded_ = false;
};

// Inline: the merge calls these once per event, in its innermost loop.
inline void AsOfState::begin(tm_types::Nanos time) {
  time_ = time;
  local_ = std::numeric_limits<tm_types::Nanos>::min();
  traded_ = false;
  bid_before_ = bid_;
  ask_before_ = ask_;
}

inline bool AsOfState::trade(const CsvEvent& event) {
  if (__builtin_add_overflow(volume_, event.b, &volume_)) return false;
  high_ = traded_ ? std::max(high_, event.a) : event.a;
  low_ = traded_ ? std::min(low_, event.a) : event.a;
  last_ = event.a;
  traded_ = true;
  local_ = std::max(local_, event.local);
  return true;
}

inline void AsOfState::quote(const CsvEvent& event) {
  bid_ = event.a;
  ask_ = event.b;
  local_ = std::max(local_, event.local);
}

inline std::optional<tm_types::Tick> AsOfState::end() const {
  const bool quote_changed = bid_ != bid_before_ || ask_ != ask_before_;
  const bool yields = emit_ == Emit::kTrades   ? traded_
                      : emit_ == Emit::kQuotes ? quote_changed
                                               : traded_ || quote_changed;
  if (!yields) return std::nullopt;
  std::int64_t last = last_;
  if (last == 0 && bid_ > 0 && ask_ > 0) {
    last = bid_ / 2 + ask_ / 2 + (bid_ % 2 + ask_ % 2) / 2;
  } else if (last == 0) {
    last = std::max(bid_, ask_);
  }
  if (last == 0) return std::nullopt;
  return tm_types::Tick{time_, local_, last,   traded_ ? high_ : 0, traded_ ? low_ : 0,
                        bid_,  ask_,   volume_};
}

}  // namespace tm_data
