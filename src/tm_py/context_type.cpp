// class Context:  (made only by the strategy adapter; calling it raises TypeError)
//     tick: Tick   (a new Tick on every read)
//     last, position, entry, short_position, short_entry, equity: int
//     working: int
//     orders: tuple[WorkingOrder, ...]  (built on first read)
//     def __repr__(self) -> "Context(last=100, position=0, equity=10000000000000)"
//
// Built once per tick in compatibility mode, so it holds plain integers, is
// not tracked by the cyclic collector, and reuses the memory of dropped Contexts.
#include "tm_py/context_type.h"

#include <structmember.h>

#include <cstddef>

#include "tm_py/order_values.h"
#include "tm_py/tick_type.h"

namespace tm_py {
namespace {

// The most blocks of dropped Contexts kept for reuse; a run holds one at a time
// unless the strategy keeps them.
constexpr std::size_t kSpareContexts = 64;

// Dealloc.
void context_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  Py_XDECREF(reinterpret_cast<PyContext*>(self)->orders);
  give_block(state_of_type(type)->spare_contexts, self, kSpareContexts);
  Py_DECREF(type);
}

// Getters.
PyObject* get_tick(PyObject* self, void*) {
  State* state = state_of_type(Py_TYPE(self));
  return new_tick(state, reinterpret_cast<PyContext*>(self)->tick);
}

// The empty tuple stands for a listing that could not be kept (see end_context_call).
PyObject* get_orders(PyObject* self, void*) {
  auto* context = reinterpret_cast<PyContext*>(self);
  if (context->orders == nullptr) {
    if (context->kernel == nullptr) return PyTuple_New(0);
    context->orders = new_working_orders(state_of_type(Py_TYPE(self)), *context->kernel);
    if (context->orders == nullptr) return nullptr;
  }
  return Py_NewRef(context->orders);
}

PyGetSetDef kGetters[] = {
    {"tick", get_tick, nullptr, "The observation this call is about.", nullptr},
    {"orders", get_orders, nullptr,
     "The orders still working at the venue, by id: a tuple of `WorkingOrder`, built on first "
     "read.",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef kMembers[] = {
    {"last", T_LONGLONG, offsetof(PyContext, last), READONLY,
     "Last traded price, in ticks. Shorthand for `ctx.tick.last`."},
    {"position", T_LONGLONG, offsetof(PyContext, position), READONLY,
     "Net long position, in lots."},
    {"entry", T_LONGLONG, offsetof(PyContext, entry), READONLY,
     "Average entry of the long position, in ticks."},
    {"short_position", T_LONGLONG, offsetof(PyContext, short_position), READONLY,
     "Net short position, in lots."},
    {"short_entry", T_LONGLONG, offsetof(PyContext, short_entry), READONLY,
     "Average entry of the short position, in ticks."},
    {"equity", T_LONGLONG, offsetof(PyContext, equity), READONLY,
     "Account equity, in the cash unit's smallest denomination."},
    {"working", T_ULONGLONG, offsetof(PyContext, working), READONLY,
     "Orders resting at the venue."},
    {nullptr, 0, 0, 0, nullptr},
};

// Slots.
PyObject* context_repr(PyObject* self) {
  const auto* context = reinterpret_cast<PyContext*>(self);
  return PyUnicode_FromFormat(
      "Context(last=%lld, position=%lld, equity=%lld)", static_cast<long long>(context->last),
      static_cast<long long>(context->position), static_cast<long long>(context->equity));
}

// Spec.
constexpr const char* kDoc =
    "The tick plus the account, as Python sees it.\n"
    "\n"
    "Flat rather than nested: a nested `ctx.tick.last` is two attribute\n"
    "lookups across the boundary where `ctx.last` is one, and this object\n"
    "is built once per tick in the mode that cares about that.";

PyType_Slot kSlots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(context_dealloc)},
    {Py_tp_getset, kGetters},
    {Py_tp_members, kMembers},
    {Py_tp_repr, reinterpret_cast<void*>(context_repr)},
    {Py_tp_doc, const_cast<char*>(kDoc)},
    {0, nullptr},
};

PyType_Spec kSpec = {
    "tallowmarsh.Context",
    sizeof(PyContext),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    kSlots,
};

}  // namespace

bool add_context_class(PyObject* module, State* state) {
  PyObject* type = PyType_FromModuleAndSpec(module, &kSpec, nullptr);
  if (type == nullptr) return false;
  state->context_type = reinterpret_cast<PyTypeObject*>(type);
  return PyModule_AddType(module, state->context_type) == 0;
}

PyObject* new_context(State* state, const tm_strategy::Context& context) {
  void* memory = take_block(state->spare_contexts, sizeof(PyContext));
  if (memory == nullptr) return PyErr_NoMemory();
  PyObject* self = PyObject_Init(static_cast<PyObject*>(memory), state->context_type);
  auto* out = reinterpret_cast<PyContext*>(self);
  out->orders = nullptr;
  fill_context(out, context);
  return self;
}

void keep_context_orders(State* state, PyContext* context) {
  if (PyErr_Occurred()) return;
  context->orders = new_working_orders(state, *context->kernel);
  if (context->orders == nullptr) PyErr_Clear();
}

}  // namespace tm_py
