// Order(side, qty, offset="open", price=None)
//
// The Python class `Order`: what a strategy asks for, validated at
// construction so a typo fails on the line that wrote it.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>

#include "tm_py/module_state.h"
#include "tm_types/order.h"

namespace tm_py {

struct PyOrder {
  PyObject ob_base;  // the object header PyObject_HEAD declares
  PyObject* side;    // the module's interned "buy" or "sell", owned
  PyObject* offset;  // the module's interned "open" or "close", owned
  // The order as the engine takes it: qty always positive; id and instrument
  // are left unset until a strategy call places it.
  tm_types::Order order;
};

[[nodiscard]] bool add_order_class(PyObject* module, State* state);

inline bool is_order(const State* state, PyObject* object) {
  return Py_TYPE(object) == state->order_type;
}
// REQUIRES: is_order(state, object).
inline const PyOrder& order_of(PyObject* object) { return *reinterpret_cast<PyOrder*>(object); }

}  // namespace tm_py
