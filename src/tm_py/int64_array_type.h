// Int64Array(data, shape=None)
//
// The Python class `Int64Array`: an immutable block of 64-bit signed integers
// with a shape of one or two dimensions, exported through the buffer protocol
// so that `numpy.asarray` wraps it without copying. Every column of numbers
// the module hands out (tick records, result columns, batches) is one of these;
// the object owns its memory, so a reference kept by Python stays valid and
// unchanged for as long as it lives.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <vector>

#include "tm_py/module_state.h"

namespace tm_py {

// Creates the class, stores it in the module state and adds it to the module.
[[nodiscard]] bool add_int64_array_class(PyObject* module, State* state);

// A new array owning `values`. With `columns` == 0 it is one-dimensional of
// values.size() items; otherwise values.size() / columns rows of `columns`
// items. REQUIRES: columns == 0 or values.size() % columns == 0.
// Null with an exception set on failure.
PyObject* new_int64_array(State* state, std::vector<std::int64_t> values, Py_ssize_t columns);

// Gives `array` the values in `values` and the shape of values.size() /
// `columns` rows, and hands its former values back in `values`, so that a
// caller can refill one array batch after batch without allocating.
// REQUIRES: `array` is an Int64Array that nothing else refers to
// (Py_REFCNT(array) == 1, so no reference and no buffer export can see it
// change); columns > 0 and values.size() % columns == 0.
void swap_int64_values(PyObject* array, std::vector<std::int64_t>& values, Py_ssize_t columns);

// Whether `object` is an Int64Array of this module.
inline bool is_int64_array(const State* state, PyObject* object) {
  return Py_TYPE(object) == state->int64_array_type;
}

}  // namespace tm_py
