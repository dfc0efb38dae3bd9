#include "tm_types/invariant.h"

namespace tm_types {

void invariant_failure(std::string_view message) { throw InvariantError(std::string(message)); }

}  // namespace tm_types
