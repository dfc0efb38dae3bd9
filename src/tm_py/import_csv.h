// The module function _import_csv, the compiled part of import_csv (whose
// argument handling and result live in python/csv_import.py): CSV files of
// trades and quotes to a tick file, with the interpreter lock released.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace tm_py {

// Adds _import_csv to `module`. Returns false with an exception set on failure.
[[nodiscard]] bool add_import_csv(PyObject* module);

}  // namespace tm_py
