// The module state: the type objects, the interned names and the exception
// type that one `tallowmarsh` module object owns, and the boundary that turns
// a C++ exception into a Python one. No PyObject* lives in a static; every
// entry point reaches this state through its module or its type.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <cxxabi.h>
#include <unistd.h>

#include <cstddef>

namespace tm_py {

// Memory blocks of freed objects of one class, kept for the next object of
// that class instead of going back to the allocator: a batched run makes and
// drops one Tick per tick. The blocks are chained through their first bytes.
// Touched only with the interpreter lock held.
struct Spares {
  void* head;
  std::size_t count;
};

// A kept block, or a new one from the object allocator; null when out of memory.
inline void* take_block(Spares& spares, std::size_t size) {
  void* block = spares.head;
  if (block == nullptr) return PyObject_Malloc(size);
  spares.head = *static_cast<void**>(block);
  --spares.count;
  return block;
}
// Keeps `block` for reuse, or frees it when `limit` blocks are kept already.
inline void give_block(Spares& spares, void* block, std::size_t limit) {
  if (spares.count >= limit) {
    PyObject_Free(block);
    return;
  }
  *static_cast<void**>(block) = spares.head;
  spares.head = block;
  ++spares.count;
}

struct State {
  // Classes, set by register in registration order.
  PyTypeObject* tick_type;
  PyTypeObject* tick_source_type;
  PyTypeObject* context_type;
  PyTypeObject* order_type;
  PyTypeObject* run_result_type;
  PyTypeObject* mode_comparison_type;
  PyTypeObject* lookahead_report_type;
  PyTypeObject* int64_array_type;
  PyTypeObject* tick_writer_type;
  PyTypeObject* tick_chunks_type;  // the iterator TickSource.chunks returns; not a module attribute
  // Classes defined by python/orders.py, fetched once the module's Python code has run.
  PyTypeObject* cancel_type;
  PyTypeObject* cancel_all_type;
  PyTypeObject* working_order_type;
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
  PyObject* str_order_id;
  PyObject* str_orders;
  PyObject* str_wants_orders;
  // Blocks of dropped Tick and Context objects; freed with the module.
  Spares spare_ticks;
  Spares spare_contexts;
};

// The state of a module object made from this module's definition.
inline State* state_of(PyObject* module) { return static_cast<State*>(PyModule_GetState(module)); }
// The state of the module that created `type` (a class of this module).
inline State* state_of_type(PyTypeObject* type) {
  return static_cast<State*>(PyType_GetModuleState(type));
}

// Fills the state's exception and interned strings. Returns false with an exception set.
[[nodiscard]] bool init_state(State* state);
// Visits, clears every reference the state holds (module traverse/clear).
int traverse_state(State* state, visitproc visit, void* arg);
void clear_state(State* state);
// clear_state, and returns the kept blocks to the allocator (module free:
// no object of the module's classes exists any more).
void free_state(State* state);

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
  } catch (abi::__forced_unwind&) {
    // The interpreter ends this thread at exit; unwinding further is unsafe (see lock.h).
    for (;;) pause();
  } catch (...) {
    return raise_cpp_exception(state);
  }
}

}  // namespace tm_py
