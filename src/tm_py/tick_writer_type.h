// class TickWriter:
//     def __new__(cls, path, instrument=1) -> TickWriter
//     def write(self, ticks) -> int;  def close(self) -> int;  def abort(self) -> None
//     def __enter__(self) -> TickWriter;  def __exit__(self, *exc) -> False
//     path: str, count: int, closed: bool  (read-only)
//
// The Python class `TickWriter`: a tick file written chunk after chunk in
// memory bounded by one chunk, appearing at its path only when closed.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "tm_py/module_state.h"

namespace tm_py {

// Creates the class, stores it in the module state and adds it to the module.
[[nodiscard]] bool add_tick_writer_class(PyObject* module, State* state);

}  // namespace tm_py
