// The module functions save_depth, read_depth and import_depth_csv: depth rows
// written to a depth file chunk by chunk, a depth file read back whole, and a
// depth CSV file converted into one.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace tm_py {

// Adds save_depth, read_depth and import_depth_csv to `module`. Returns false with an
// exception set on failure.
[[nodiscard]] bool add_depth_file_functions(PyObject* module);

}  // namespace tm_py
