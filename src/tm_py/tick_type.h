// Tick(exch_ts, last, local_ts=None, high=None, low=None, bid=0, ask=0, volume=0)
//
// The Python class `Tick`: the engine's tick record behind eight read-only
// integer attributes, copied one for one in both directions.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "tm_py/module_state.h"
#include "tm_types/tick.h"

namespace tm_py {

struct PyTick {
  PyObject ob_base;  // the object header PyObject_HEAD declares
  tm_types::Tick tick;
};

// Creates the class, stores it in the module state and adds it to the module.
[[nodiscard]] bool add_tick_class(PyObject* module, State* state);

// A new Tick object holding a copy of `tick`; null with MemoryError set on failure.
PyObject* new_tick(State* state, const tm_types::Tick& tick);

// Whether `object` is a Tick of this module (the class cannot be subclassed).
inline bool is_tick(const State* state, PyObject* object) {
  return Py_TYPE(object) == state->tick_type;
}
// REQUIRES: is_tick(state, object).
inline const tm_types::Tick& tick_of(PyObject* object) {
  return reinterpret_cast<PyTick*>(object)->tick;
}

}  // namespace tm_py
