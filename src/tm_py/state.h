// The module state: the type objects, the interned names and the exception
// type that one `tallowmarsh` module object owns, and the boundary that turns
// a C++ exception into a Python one. No PyObject* lives in a static; every
// entry point reaches this state through its module or its type.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace tm_py {

struct State {
  // Classes, set by register in registration order.
  PyTypeObject* tick_type;
  PyTypeObject* tick_source_type;
  PyTypeObject* context_type;
  PyTypeObject* order_type;
  PyTypeObject* run_result_type;
  PyTypeObject* mode_comparison_type;
  PyTypeObject* lookahead_report_type;
  // "tallowmarsh.InvariantError", derived from BaseException; not a module attribute.
  PyObject* invariant_error;
  // Interned strings: the constants an Order refers to, and the names looked up per call.
  PyObject* str_buy;
  PyObject* str_sell;
  PyObject* str_open;
  PyObject* str_close;
  PyObject* str_on_tick;
  PyObject* str_on_batch;
  PyObject* str_position;
  PyObject* str_entry;
  PyObject* str_short_position;
  PyObject* str_equity;
  PyObject* str_last;
  PyObject* str_name;
};

// The state of a module object made from this module's definition.
inline State* state_of(PyObject* module) {
  return static_cast<State*>(PyModule_GetState(module));
}
// The state of the module that created `type` (a class of this module).
inline State* state_of_type(PyTypeObject* type) {
  return static_cast<State*>(PyType_GetModuleState(type));
}

// Fills the state's exception and interned strings. Returns false with an exception set.
[[nodiscard]] bool init_state(State* state);
// Visits, clears every reference the state holds (module traverse/clear/free).
int traverse_state(State* state, visitproc visit, void* arg);
void clear_state(State* state);

// Call inside a catch block at an entry point: sets the Python exception for
// the C++ exception in flight (InvariantError: the module's InvariantError
// with the fixed message; std::bad_alloc: MemoryError; anything else:
// SystemError naming it) and returns null for the entry point to return.
PyObject* raise_cpp_exception(State* state) noexcept;

// Runs `body` (returning a new reference or null with an exception set),
// translating any C++ exception that escapes it.
template <class Body>
PyObject* guarded(State* state, Body&& body) noexcept {
  try {
    return body();
  } catch (...) {
    return raise_cpp_exception(state);
  }
}

}  // namespace tm_py
