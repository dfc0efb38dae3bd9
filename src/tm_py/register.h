// `register`: adds CASH_SCALE, the classes and the run functions to the module,
// in the module's fixed registration order.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace tm_py {

// Returns false with a Python exception set at the first step that fails.
[[nodiscard]] bool register_all(PyObject* module);

}  // namespace tm_py
