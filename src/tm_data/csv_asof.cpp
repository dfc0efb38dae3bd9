#include "tm_data/csv_asof.h"

#include <algorithm>

namespace tm_data {

void AsOfState::begin(tm_types::Nanos time) {
  time_ = time;
  local_ = std::numeric_limits<tm_types::Nanos>::min();
  traded_ = false;
  bid_before_ = bid_;
  ask_before_ = ask_;
}

bool AsOfState::trade(const CsvEvent& event) {
  if (__builtin_add_overflow(volume_, event.b, &volume_)) return false;
  high_ = traded_ ? std::max(high_, event.a) : event.a;
  low_ = traded_ ? std::min(low_, event.a) : event.a;
  last_ = event.a;
  traded_ = true;
  local_ = std::max(local_, event.local);
  return true;
}

void AsOfState::quote(const CsvEvent& event) {
  bid_ = event.a;
  ask_ = event.b;
  local_ = std::max(local_, event.local);
}

std::optional<tm_types::Tick> AsOfState::end() const {
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
