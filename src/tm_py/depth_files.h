// The module functions save_depth and read_depth: depth rows written to a
// depth file, chunk by chunk, and a depth file read back whole.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace tm_py {

// Adds save_depth, then read_depth, to `module`. Returns false with an
// exception set on failure.
[[nodiscard]] bool add_depth_file_functions(PyObject* module);

}  // namespace tm_py
