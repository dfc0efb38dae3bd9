// Module state lifetime and the C++-to-Python exception boundary.
#include "tm_py/module_state.h"

#include <exception>
#include <new>

#include "tm_types/invariant.h"

namespace tm_py {
namespace {

// The interned strings and their texts, in one table.
struct Interned {
  PyObject* State::*slot;
  const char* text;
};
constexpr Interned kInterned[] = {
    {&State::str_buy, "buy"},
    {&State::str_sell, "sell"},
    {&State::str_open, "open"},
    {&State::str_close, "close"},
    {&State::str_on_tick, "on_tick"},
    {&State::str_on_batch, "on_batch"},
    {&State::str_position, "position"},
    {&State::str_entry, "entry"},
    {&State::str_short_position, "short_position"},
    {&State::str_equity, "equity"},
    {&State::str_last, "last"},
    {&State::str_name, "name"},
    {&State::str_order_id, "order_id"},
    {&State::str_orders, "orders"},
    {&State::str_wants_orders, "wants_orders"},
};

constexpr PyTypeObject* State::*kTypes[] = {
    &State::tick_type,
    &State::tick_source_type,
    &State::context_type,
    &State::order_type,
    &State::run_result_type,
    &State::mode_comparison_type,
    &State::lookahead_report_type,
    &State::int64_array_type,
    &State::tick_writer_type,
    &State::tick_chunks_type,
    &State::cancel_type,
    &State::cancel_all_type,
    &State::working_order_type,
};

}  // namespace

bool init_state(State* state) {
  state->invariant_error =
      PyErr_NewExceptionWithDoc("tallowmarsh.InvariantError",
                                "A broken internal invariant of the engine. Derives from\n"
                                "BaseException so that a broad `except Exception` does not\n"
                                "swallow it.",
                                PyExc_BaseException, nullptr);
  if (state->invariant_error == nullptr) return false;
  for (const Interned& name : kInterned) {
    state->*name.slot = PyUnicode_InternFromString(name.text);
    if (state->*name.slot == nullptr) return false;
  }
  return true;
}

int traverse_state(State* state, visitproc visit, void* arg) {
  for (auto type : kTypes) Py_VISIT(state->*type);
  Py_VISIT(state->invariant_error);
  return 0;
}

void clear_state(State* state) {
  for (auto type : kTypes) Py_CLEAR(state->*type);
  Py_CLEAR(state->invariant_error);
  for (const Interned& name : kInterned) Py_CLEAR(state->*name.slot);
}

void free_state(State* state) {
  clear_state(state);
  for (Spares* spares : {&state->spare_ticks, &state->spare_contexts}) {
    while (spares->head != nullptr) PyObject_Free(take_block(*spares, 0));
  }
}

PyObject* raise_cpp_exception(State* state) noexcept {
  try {
    throw;
  } catch (const tm_types::InvariantError& error) {
    if (state != nullptr && state->invariant_error != nullptr) {
      PyErr_SetString(state->invariant_error, error.what());
    } else {
      PyErr_SetString(PyExc_SystemError, error.what());
    }
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& error) {
    PyErr_Format(PyExc_SystemError, "unexpected C++ exception: %s", error.what());
  } catch (...) {
    PyErr_SetString(PyExc_SystemError, "unexpected C++ exception");
  }
  return nullptr;
}

}  // namespace tm_py
