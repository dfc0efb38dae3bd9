// Context  (not constructible from Python)
//
// The Python class `Context`: the tick plus the account, copied flat from the
// run loop's context once per strategy call in compatibility mode.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>

#include "tm_py/module_state.h"
#include "tm_strategy/strategy.h"

namespace tm_py {

struct PyContext {
  PyObject ob_base;  // the object header PyObject_HEAD declares
  tm_types::Tick tick;
  std::int64_t last;
  std::int64_t position;
  std::int64_t entry;
  std::int64_t short_position;
  std::int64_t short_entry;
  std::int64_t equity;
  std::uint64_t working;
};

[[nodiscard]] bool add_context_class(PyObject* module, State* state);

// A new Context copied from the run loop's; null with MemoryError set on failure.
PyObject* new_context(State* state, const tm_strategy::Context& context);

}  // namespace tm_py
