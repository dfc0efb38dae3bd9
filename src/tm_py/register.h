// Filling a new module object: everything the module `tallowmarsh` offers,
// added in one fixed order that is part of its interface.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace tm_py {

// Adds, in this order: the documentation string, the statistics functions,
// CASH_SCALE, the classes of the run, the tick-file and run functions,
// Int64Array, then the names the embedded Python sources define. Returns false
// with a Python exception set at the first step that fails.
// REQUIRES: the module's state is initialised.
[[nodiscard]] bool register_all(PyObject* module);

}  // namespace tm_py
