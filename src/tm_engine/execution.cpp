#include "tm_engine/execution.h"

#include "tm_engine/matcher.h"

namespace tm_engine {

Matcher Execution::matcher(tm_types::InstrumentId instrument) const {
  switch (kind) {
    case Kind::L0:
      break;
    case Kind::L1:
      return Matcher::l1(instrument, config);
    case Kind::L2:
      return Matcher::l2(instrument, config);
  }
  return Matcher::l0(instrument);
}

std::string_view Execution::name() const { return execution_name(kind); }

std::string_view execution_name(Execution::Kind kind) {
  switch (kind) {
    case Execution::Kind::L0:
      break;
    case Execution::Kind::L1:
      return "L1";
    case Execution::Kind::L2:
      return "L2";
  }
  return "L0";
}

}  // namespace tm_engine
