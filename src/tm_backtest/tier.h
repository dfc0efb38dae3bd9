// The run configuration's choice of execution engine. A Tier is a plain value;
// `matcher` builds a fresh engine of that tier for one instrument of one run.
#pragma once

#include <cstdint>
#include <string_view>

#include "tm_core/matcher.h"
#include "tm_engine/l1.h"
#include "tm_types/ids.h"

namespace tm_backtest {

struct Tier {
  // Codes are pinned: the variant index of the tier.
  enum class Kind : std::uint8_t { L0 = 0, L1 = 1, L2 = 2 };

  Kind kind = Kind::L0;
  tm_engine::L1Config config;  // used by L1 and L2; ignored by L0

  static Tier l0() { return Tier{}; }
  static Tier l1(const tm_engine::L1Config& config) { return Tier{Kind::L1, config}; }
  static Tier l2(const tm_engine::L1Config& config) { return Tier{Kind::L2, config}; }

  // A new matcher of this tier for the instrument, with an empty book.
  tm_core::Matcher matcher(tm_types::InstrumentId instrument) const;
  // "L0", "L1" or "L2": the tier's text form, as the run result reports it.
  std::string_view name() const;

  friend bool operator==(const Tier&, const Tier&) = default;
};

}  // namespace tm_backtest
