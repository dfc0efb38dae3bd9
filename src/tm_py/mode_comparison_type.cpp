// class ModeComparison:  (made by compare_modes; calling it raises TypeError)
//     batch, compat_fills, batched_fills: int
//     first_divergence: int | None
//     equity_difference: int  (batched minus per-tick)
//     identical: bool
//     def __repr__(self) -> "ModeComparison(batch=4, identical)", or when not identical
//         "ModeComparison(batch=4, fills 2 vs 3, first divergence Some(1), equity -350)"
//     def __reduce__(self) -> (ModeComparison._restore, (every field))
#include "tm_py/mode_comparison_type.h"

#include <structmember.h>

#include <algorithm>
#include <cstddef>
#include <string>

#include "tm_py/ref.h"
#include "tm_types/fixed.h"

namespace tm_py {
namespace {

PyModeComparison* self_of(PyObject* self) { return reinterpret_cast<PyModeComparison*>(self); }

// Dealloc.
void mode_comparison_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  PyObject_Free(self);
  Py_DECREF(type);
}

// Getters.
PyObject* get_first_divergence(PyObject* self, void*) {
  const PyModeComparison& comparison = *self_of(self);
  if (!comparison.has_divergence) Py_RETURN_NONE;
  return PyLong_FromUnsignedLongLong(comparison.first_divergence);
}

PyGetSetDef kGetters[] = {
    {"first_divergence", get_first_divergence, nullptr,
     "Index of the first fill whose price differs, or `None` when every\n"
     "fill matched.",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef kMembers[] = {
    {"batch", T_ULONGLONG, offsetof(PyModeComparison, batch), READONLY,
     "Batch size the throughput run used."},
    {"compat_fills", T_ULONGLONG, offsetof(PyModeComparison, compat_fills), READONLY,
     "Fills in the per-tick run."},
    {"batched_fills", T_ULONGLONG, offsetof(PyModeComparison, batched_fills), READONLY,
     "Fills in the batched run."},
    {"equity_difference", T_LONGLONG, offsetof(PyModeComparison, equity_difference), READONLY,
     "Difference in final equity, batched minus per-tick."},
    {"identical", T_BOOL, offsetof(PyModeComparison, identical), READONLY,
     "Whether the two runs are indistinguishable."},
    {nullptr, 0, 0, 0, nullptr},
};

// Methods.
PyObject* mode_comparison_reduce(PyObject* self, PyObject*) {
  const PyModeComparison& c = *self_of(self);
  Ref restore =
      Ref::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(self)), "_restore"));
  Ref divergence = Ref::steal(get_first_divergence(self, nullptr));
  if (!restore || !divergence) return nullptr;
  return Py_BuildValue("(O(KKKOLO))", restore.get(), static_cast<unsigned long long>(c.batch),
                       static_cast<unsigned long long>(c.compat_fills),
                       static_cast<unsigned long long>(c.batched_fills), divergence.get(),
                       static_cast<long long>(c.equity_difference),
                       c.identical ? Py_True : Py_False);
}

// The inverse of __reduce__: a comparison with exactly these fields.
PyObject* mode_comparison_restore(PyObject* type, PyObject* args) {
  unsigned long long batch, compat_fills, batched_fills;
  long long equity_difference;
  PyObject* divergence;
  int identical;
  if (!PyArg_ParseTuple(args, "KKKOLp:_restore", &batch, &compat_fills, &batched_fills, &divergence,
                        &equity_difference, &identical)) {
    return nullptr;
  }
  const unsigned long long first =
      divergence == Py_None ? 0 : PyLong_AsUnsignedLongLong(divergence);
  if (PyErr_Occurred()) return nullptr;
  void* memory = PyObject_Malloc(sizeof(PyModeComparison));
  if (memory == nullptr) return PyErr_NoMemory();
  PyObject* self =
      PyObject_Init(static_cast<PyObject*>(memory), reinterpret_cast<PyTypeObject*>(type));
  PyModeComparison& c = *self_of(self);
  c.batch = batch;
  c.compat_fills = compat_fills;
  c.batched_fills = batched_fills;
  c.has_divergence = divergence != Py_None;
  c.first_divergence = first;
  c.equity_difference = equity_difference;
  c.identical = identical != 0;
  return self;
}

PyMethodDef kMethods[] = {
    {"__reduce__", mode_comparison_reduce, METH_NOARGS, nullptr},
    {"_restore", mode_comparison_restore, METH_VARARGS | METH_CLASS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

// Slots.
PyObject* mode_comparison_repr(PyObject* self) {
  return guarded(state_of_type(Py_TYPE(self)), [&]() -> PyObject* {
    const PyModeComparison& c = *self_of(self);
    std::string text = "ModeComparison(batch=" + std::to_string(c.batch);
    if (c.identical) {
      text += ", identical)";
    } else {
      const std::string divergence =
          c.has_divergence ? "Some(" + std::to_string(c.first_divergence) + ")" : "None";
      text += ", fills " + std::to_string(c.compat_fills) + " vs " +
              std::to_string(c.batched_fills) + ", first divergence " + divergence + ", equity " +
              (c.equity_difference >= 0 ? "+" : "") + std::to_string(c.equity_difference) + ")";
    }
    return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
  });
}

// Spec.
PyType_Slot kSlots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(mode_comparison_dealloc)},
    {Py_tp_getset, kGetters},
    {Py_tp_members, kMembers},
    {Py_tp_methods, kMethods},
    {Py_tp_repr, reinterpret_cast<void*>(mode_comparison_repr)},
    {Py_tp_doc, const_cast<char*>("What batching cost, measured on this strategy and this data.")},
    {0, nullptr},
};

PyType_Spec kSpec = {
    "tallowmarsh.ModeComparison",
    sizeof(PyModeComparison),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    kSlots,
};

}  // namespace

std::optional<std::uint64_t> first_divergence(std::span<const std::int64_t> compat,
                                              std::span<const std::int64_t> batched) {
  const std::size_t shorter = std::min(compat.size(), batched.size());
  for (std::size_t i = 0; i < shorter; ++i) {
    if (compat[i] != batched[i]) return i;
  }
  if (compat.size() != batched.size()) return shorter;
  return std::nullopt;
}

bool add_mode_comparison_class(PyObject* module, State* state) {
  PyObject* type = PyType_FromModuleAndSpec(module, &kSpec, nullptr);
  if (type == nullptr) return false;
  state->mode_comparison_type = reinterpret_cast<PyTypeObject*>(type);
  return PyModule_AddType(module, state->mode_comparison_type) == 0;
}

PyObject* new_mode_comparison(State* state, std::uint64_t batch,
                              std::span<const std::int64_t> compat_prices,
                              std::span<const std::int64_t> batched_prices,
                              std::int64_t compat_equity, std::int64_t batched_equity) {
  void* memory = PyObject_Malloc(sizeof(PyModeComparison));
  if (memory == nullptr) return PyErr_NoMemory();
  PyObject* self = PyObject_Init(static_cast<PyObject*>(memory), state->mode_comparison_type);
  PyModeComparison& c = *self_of(self);
  const std::optional<std::uint64_t> divergence = first_divergence(compat_prices, batched_prices);
  c.batch = batch;
  c.compat_fills = compat_prices.size();
  c.batched_fills = batched_prices.size();
  c.has_divergence = divergence.has_value();
  c.first_divergence = divergence.value_or(0);
  // Exact whenever the difference fits in 64 bits; pinned to the nearer limit beyond.
  c.equity_difference = tm_types::sat_sub(batched_equity, compat_equity);
  c.identical = !divergence && batched_equity == compat_equity;
  return self;
}

}  // namespace tm_py
