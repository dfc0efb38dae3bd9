// The order values defined in Python (python/orders.py): fetching their
// classes into the module state, reading a Cancel or CancelAll a strategy
// returned, and building the WorkingOrder listing a strategy reads.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <optional>
#include <string>
#include <variant>

#include "tm_core/kernel.h"
#include "tm_py/module_state.h"
#include "tm_strategy/strategy.h"

namespace tm_py {

// Stores the classes Cancel, CancelAll and WorkingOrder of `module` in its
// state. REQUIRES: the module's Python code has run. False with an exception set.
[[nodiscard]] bool add_order_values(PyObject* module, State* state);

// What a returned item that is not an Order stands for: a cancel intent, the
// text of a refusal, or nothing when the item is not a Cancel or CancelAll.
// `last_id` is the highest order id the run has handed out so far (orders
// earlier in the same returned list included). REQUIRES: the lock.
using CancelRead = std::variant<std::monostate, tm_strategy::Intent, std::string>;
CancelRead read_cancel(const State* state, PyObject* item, std::uint64_t last_id);

// A new tuple of WorkingOrder, one per order `kernel`'s engine holds, by id;
// null with an exception set on failure. REQUIRES: the lock.
PyObject* new_working_orders(State* state, const tm_core::Kernel& kernel);

}  // namespace tm_py
