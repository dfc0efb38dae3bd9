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
inline PyObject* reuse_context(State* state, Ref& kept, const tm_strategy::Context& context);

// Ends the call `context` was made for: a Context the strategy kept gets its
// listing of working orders built now, so that it reads the same later; then
// the account is no longer reachable from it. Never fails and keeps a pending
// exception (a listing that cannot be built reads as empty). REQUIRES: the
// lock; `context` is a Context.
inline void end_context_call(State* state, PyObject* context);

// Copies the run loop's context into `out`, whose listing is null.
inline void fill_context(PyContext* out, const tm_strategy::Context& context) {
  out->tick = context.tick;
  out->last = context.tick.last;
  out->position = context.position;
  out->entry = context.entry;
  out->short_position = context.short_position;
  out->short_entry = context.short_entry;
  out->equity = context.equity;
  out->working = context.working;
  out->kernel = context.kernel;
}

// end_context_call's part for a Context the strategy kept.
void keep_context_orders(State* state, PyContext* context);

// Inline: both run once per strategy call in compatibility mode.
inline PyObject* reuse_context(State* state, Ref& kept, const tm_strategy::Context& context) {
  // Nothing but `kept` refers to the object, so changing it is invisible.
  if (kept && Py_REFCNT(kept.get()) == 1) {
    auto* out = reinterpret_cast<PyContext*>(kept.get());
    Py_CLEAR(out->orders);
    fill_context(out, context);
    return kept.get();
  }
  kept = Ref::steal(new_context(state, context));
  return kept.get();
}

inline void end_context_call(State* state, PyObject* self) {
  auto* context = reinterpret_cast<PyContext*>(self);
  if (Py_REFCNT(self) > 1 && context->kernel != nullptr && context->orders == nullptr) {
    keep_context_orders(state, context);
  }
  context->kernel = nullptr;
}

}  // namespace tm_py
