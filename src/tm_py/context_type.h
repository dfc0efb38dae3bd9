// Context  (not constructible from Python)
//
// The Python class `Context`: the tick plus the account, copied flat from the
// run loop's context once per strategy call in compatibility mode.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>

#include "tm_py/module_state.h"
#include "tm_py/ref.h"
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
  // The account during the strategy call, for `orders`; null once the call
  // has returned (see end_context_call).
  const tm_core::Kernel* kernel;
  PyObject* orders;  // the listing, built on first read; owned, or null
};

[[nodiscard]] bool add_context_class(PyObject* module, State* state);

// A new Context copied from the run loop's; null with MemoryError set on failure.
PyObject* new_context(State* state, const tm_strategy::Context& context);

// The Context of the next call: `kept` refilled in place when nothing else
// refers to it (the strategy kept no reference to an earlier one), else a new
// Context that replaces it. Borrowed from `kept`; null with MemoryError set.
PyObject* reuse_context(State* state, Ref& kept, const tm_strategy::Context& context);

// Ends the call `context` was made for: a Context the strategy kept gets its
// listing of working orders built now, so that it reads the same later; then
// the account is no longer reachable from it. Never fails and keeps a pending
// exception (a listing that cannot be built reads as empty). REQUIRES: the
// lock; `context` is a Context.
void end_context_call(State* state, PyObject* context);

}  // namespace tm_py
