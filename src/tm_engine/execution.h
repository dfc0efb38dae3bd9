// The run configuration's choice of execution engine, and the one table of
// its names. An Execution is a plain value; `matcher` builds a fresh engine of
// that kind for one instrument of one run.
#pragma once

#include <cstdint>
#include <string_view>

#include "tm_engine/l1.h"
#include "tm_types/ids.h"

namespace tm_engine {

class Matcher;

struct Execution {
  // Codes are pinned: the variant index of the engine inside a Matcher.
  enum class Kind : std::uint8_t { L0 = 0, L1 = 1, L2 = 2 };

  Kind kind = Kind::L0;
  L1Config config;  // used by L1 and L2; ignored by L0

  static Execution l0() { return Execution{}; }
  static Execution l1(const L1Config& config) { return Execution{Kind::L1, config}; }
  static Execution l2(const L1Config& config) { return Execution{Kind::L2, config}; }

  // A new matcher of this kind for the instrument, with an empty book.
  Matcher matcher(tm_types::InstrumentId instrument) const;
  // "L0", "L1" or "L2", as the run result reports it.
  std::string_view name() const;

  friend bool operator==(const Execution&, const Execution&) = default;
};

// The text form of each kind: "L0", "L1", "L2".
std::string_view execution_name(Execution::Kind kind);

}  // namespace tm_engine
