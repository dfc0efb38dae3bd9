#include "tm_backtest/tier.h"

namespace tm_backtest {

tm_core::Matcher Tier::matcher(tm_types::InstrumentId instrument) const {
  switch (kind) {
    case Kind::L0:
      break;
    case Kind::L1:
      return tm_core::Matcher::l1(instrument, config);
    case Kind::L2:
      return tm_core::Matcher::l2(instrument, config);
  }
  return tm_core::Matcher::l0(instrument);
}

std::string_view Tier::name() const {
  switch (kind) {
    case Kind::L0:
      break;
    case Kind::L1:
      return "L1";
    case Kind::L2:
      return "L2";
  }
  return "L0";
}

}  // namespace tm_backtest
