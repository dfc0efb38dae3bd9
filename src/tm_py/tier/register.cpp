// The registration order is part of the module's interface: CASH_SCALE, the
// classes, then the functions.
#include "tm_py/tier/register.h"

#include "tm_py/state.h"
#include "tm_py/tier/context.h"
#include "tm_py/tier/order.h"
#include "tm_py/tier/tick.h"
#include "tm_types/fixed.h"

namespace tm_py::tier {

bool register_all(PyObject* module) {
  State* state = state_of(module);
  if (PyModule_AddIntConstant(module, "CASH_SCALE", tm_types::CASH_SCALE) < 0) return false;
  if (!add_tick_class(module, state)) return false;
  if (!add_context_class(module, state)) return false;
  if (!add_order_class(module, state)) return false;
  return true;
}

}  // namespace tm_py::tier
