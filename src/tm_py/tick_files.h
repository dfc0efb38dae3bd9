// The module functions load_ticks and save_ticks: a tick file opened as a
// TickSource, and ticks written to a file.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace tm_py {

// Add load_ticks, save_ticks to `module`. Each returns false with an exception set on failure.
[[nodiscard]] bool add_load_ticks(PyObject* module);
[[nodiscard]] bool add_save_ticks(PyObject* module);

}  // namespace tm_py
