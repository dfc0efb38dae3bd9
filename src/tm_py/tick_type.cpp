// class Tick:
//     def __new__(cls, exch_ts, last, local_ts=None, high=None, low=None,
//                 bid=0, ask=0, volume=0) -> Tick
//     exch_ts, local_ts, last, high, low, bid, ask, volume: int  (read-only)
//     def __repr__(self) -> "Tick(exch_ts=5, last=100, bid=0, ask=0)"
//     def __reduce__(self) -> (Tick, (every field))
//
// Not tracked by the cyclic collector (it holds no references), and the
// memory of dropped Ticks is reused, because a batched run makes one per tick.
#include "tm_py/tick_type.h"

#include <structmember.h>

#include <cstddef>

#include "tm_py/args.h"
#include "tm_py/convert.h"

namespace tm_py {
namespace {

// The most blocks of dropped Ticks kept for reuse: two batches of 4,096.
constexpr std::size_t kSpareTicks = 8192;

// Dealloc.
void tick_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  give_block(state_of_type(type)->spare_ticks, self, kSpareTicks);
  Py_DECREF(type);
}

// Getters: plain read-only members.
constexpr Py_ssize_t field(std::size_t offset_in_tick) {
  return static_cast<Py_ssize_t>(offsetof(PyTick, tick) + offset_in_tick);
}

PyMemberDef kMembers[] = {
    {"exch_ts", T_LONGLONG, field(offsetof(tm_types::Tick, exch_ts)), READONLY,
     "When the venue says it happened, in nanoseconds."},
    {"local_ts", T_LONGLONG, field(offsetof(tm_types::Tick, local_ts)), READONLY,
     "When this process saw it, in nanoseconds."},
    {"last", T_LONGLONG, field(offsetof(tm_types::Tick, last)), READONLY,
     "Last traded price, in ticks."},
    {"high", T_LONGLONG, field(offsetof(tm_types::Tick, high)), READONLY,
     "High over the observation, in ticks."},
    {"low", T_LONGLONG, field(offsetof(tm_types::Tick, low)), READONLY,
     "Low over the observation, in ticks."},
    {"bid", T_LONGLONG, field(offsetof(tm_types::Tick, bid)), READONLY,
     "Best bid, in ticks, or zero when the book had none."},
    {"ask", T_LONGLONG, field(offsetof(tm_types::Tick, ask)), READONLY,
     "Best ask, in ticks, or zero when the book had none."},
    {"volume", T_LONGLONG, field(offsetof(tm_types::Tick, volume)), READONLY,
     "Cumulative volume, in lots."},
    {nullptr, 0, 0, 0, nullptr},
};

// Slots.
constexpr const char* kParams[] = {"exch_ts", "last", "local_ts", "high",
                                   "low",     "bid",  "ask",      "volume"};

PyObject* tick_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  State* state = state_of_type(type);
  return guarded(state, [&]() -> PyObject* {
    PyObject* slot[8];
    if (!bind({"Tick", kParams, 2}, args, kwargs, slot)) return nullptr;

    // Parameters that default to another field when omitted or None.
    tm_types::Tick tick;
    std::optional<std::int64_t> value;
    if (!(value = to_i64(slot[0], "exch_ts"))) return nullptr;
    tick.exch_ts = *value;
    if (!(value = to_i64(slot[1], "last"))) return nullptr;
    tick.last = *value;
    tick.local_ts = tick.exch_ts;
    tick.high = tick.last;
    tick.low = tick.last;
    std::int64_t* optional_fields[] = {&tick.local_ts, &tick.high, &tick.low};
    for (int i = 0; i < 3; ++i) {
      if (omitted(slot[2 + i])) continue;
      if (!(value = to_i64(slot[2 + i], kParams[2 + i]))) return nullptr;
      *optional_fields[i] = *value;
    }
    // Parameters that default to 0 and do not accept None.
    std::int64_t* zero_fields[] = {&tick.bid, &tick.ask, &tick.volume};
    for (int i = 0; i < 3; ++i) {
      if (slot[5 + i] == nullptr) continue;
      if (!(value = to_i64(slot[5 + i], kParams[5 + i]))) return nullptr;
      *zero_fields[i] = *value;
    }
    return new_tick(state, tick);
  });
}

PyObject* tick_repr(PyObject* self) {
  const tm_types::Tick& tick = tick_of(self);
  return PyUnicode_FromFormat("Tick(exch_ts=%lld, last=%lld, bid=%lld, ask=%lld)",
                              static_cast<long long>(tick.exch_ts),
                              static_cast<long long>(tick.last), static_cast<long long>(tick.bid),
                              static_cast<long long>(tick.ask));
}

// Methods.
// Every field by value, so the copy is exact whatever defaults the
// constructor would apply.
PyObject* tick_reduce(PyObject* self, PyObject*) {
  const tm_types::Tick& t = tick_of(self);
  return Py_BuildValue("(O(LLLLLLLL))", reinterpret_cast<PyObject*>(Py_TYPE(self)),
                       static_cast<long long>(t.exch_ts), static_cast<long long>(t.last),
                       static_cast<long long>(t.local_ts), static_cast<long long>(t.high),
                       static_cast<long long>(t.low), static_cast<long long>(t.bid),
                       static_cast<long long>(t.ask), static_cast<long long>(t.volume));
}

PyMethodDef kMethods[] = {
    {"__reduce__", tick_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

// Spec.
constexpr const char* kDoc =
    "Tick(exch_ts, last, local_ts=None, high=None, low=None, bid=0, ask=0, volume=0)\n"
    "--\n"
    "\n"
    "One observation, as Python sees it.\n"
    "\n"
    "Prices are integers in the instrument's native tick units, exactly as the\n"
    "engine holds them: scaling them here would put a float on the path between\n"
    "the engine and the decision. `local_ts` defaults to `exch_ts`, `high` and\n"
    "`low` to `last`.";

PyType_Slot kSlots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(tick_dealloc)},
    {Py_tp_members, kMembers},
    {Py_tp_new, reinterpret_cast<void*>(tick_new)},
    {Py_tp_repr, reinterpret_cast<void*>(tick_repr)},
    {Py_tp_doc, const_cast<char*>(kDoc)},
    {Py_tp_methods, kMethods},
    {0, nullptr},
};

PyType_Spec kSpec = {
    "tallowmarsh.Tick", sizeof(PyTick), 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, kSlots,
};

}  // namespace

bool add_tick_class(PyObject* module, State* state) {
  PyObject* type = PyType_FromModuleAndSpec(module, &kSpec, nullptr);
  if (type == nullptr) return false;
  state->tick_type = reinterpret_cast<PyTypeObject*>(type);
  return PyModule_AddType(module, state->tick_type) == 0;
}

PyObject* new_tick(State* state, const tm_types::Tick& tick) {
  // Equivalent to the type's tp_alloc for a class without GC or subclasses,
  // minus the zeroing (every field is written below), and reusing the block
  // of a dropped Tick when one is kept.
  void* memory = take_block(state->spare_ticks, sizeof(PyTick));
  if (memory == nullptr) return PyErr_NoMemory();
  PyObject* self = PyObject_Init(static_cast<PyObject*>(memory), state->tick_type);
  reinterpret_cast<PyTick*>(self)->tick = tick;
  return self;
}

}  // namespace tm_py
