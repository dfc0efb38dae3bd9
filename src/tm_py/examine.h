// The module functions that examine a strategy rather than just run it:
// compare_modes (per tick against batched, fill by fill) and lookahead_check
// (reruns on prefixes of the ticks).
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace tm_py {

// Add the module functions, each returning false with an exception set on failure.
[[nodiscard]] bool add_compare_modes(PyObject* module);
[[nodiscard]] bool add_lookahead_check(PyObject* module);

}  // namespace tm_py
