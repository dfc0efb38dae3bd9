// The module function lookahead_check: whether a Python strategy decides from
// the past alone, by rerunning it on prefixes of the ticks.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace tm_py {

// Adds lookahead_check to `module`. Returns false with an exception set on failure.
[[nodiscard]] bool add_lookahead_check(PyObject* module);

}  // namespace tm_py
