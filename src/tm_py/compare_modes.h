// The module function compare_modes: one strategy run per tick and batched
// over the same ticks, compared fill by fill.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace tm_py {

// Adds compare_modes to `module`. Returns false with an exception set on failure.
[[nodiscard]] bool add_compare_modes(PyObject* module);

}  // namespace tm_py
