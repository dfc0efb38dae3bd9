// The module functions load_ticks and save_ticks: a tick file opened as a
// TickSource, and ticks written to a file.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace tm_py {

// Adds load_ticks, then save_ticks, to `module`. Returns false with an
// exception set on failure.
[[nodiscard]] bool add_tick_file_functions(PyObject* module);

}  // namespace tm_py
