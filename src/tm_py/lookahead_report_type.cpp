// class LookaheadReport:  (made by lookahead_check; calling it raises TypeError)
//     signals, checked: int
//     clean: bool    (no divergences)
//     sampled: bool  (checked < signals)
//     divergences: list[tuple[int, int, int]]  ((checked_at, tick, exch_ts); a new list per read)
//     def __repr__(self) -> "LookaheadReport(signals=5, checked=5, clean=True, divergences=0)"
//     def __reduce__(self) -> (LookaheadReport._restore, (signals, checked, divergences))
#include "tm_py/lookahead_report_type.h"

#include <structmember.h>

#include <cstddef>
#include <new>
#include <string>

#include "tm_py/ref.h"

namespace tm_py {
namespace {

PyLookaheadReport* self_of(PyObject* self) { return reinterpret_cast<PyLookaheadReport*>(self); }

// Dealloc.
void lookahead_report_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  self_of(self)->~PyLookaheadReport();
  PyObject_Free(self);
  Py_DECREF(type);
}

// Getters.
PyObject* get_clean(PyObject* self, void*) {
  return PyBool_FromLong(self_of(self)->divergences.empty());
}

PyObject* get_sampled(PyObject* self, void*) {
  const PyLookaheadReport& report = *self_of(self);
  return PyBool_FromLong(report.checked < report.signals);
}

PyObject* get_divergences(PyObject* self, void*) {
  const std::vector<PyLookaheadReport::Point>& points = self_of(self)->divergences;
  Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(points.size())));
  if (!list) return nullptr;
  for (std::size_t i = 0; i < points.size(); ++i) {
    const PyLookaheadReport::Point& p = points[i];
    PyObject* item =
        Py_BuildValue("(KKL)", static_cast<unsigned long long>(p.checked_at),
                      static_cast<unsigned long long>(p.tick), static_cast<long long>(p.exch_ts));
    if (item == nullptr) return nullptr;
    PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), item);
  }
  return list.release();
}

PyGetSetDef kGetters[] = {
    {"clean", get_clean, nullptr, "No rerun decided differently.", nullptr},
    {"sampled", get_sampled, nullptr,
     "Fewer points were rerun than there were signals, so a clean\n"
     "result covers a sample of them.",
     nullptr},
    {"divergences", get_divergences, nullptr,
     "Each disagreement as `(checked_at, tick, exch_ts)`: the prefix\n"
     "that disagreed, the first tick it disagreed on, and that tick's\n"
     "time.",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef kMembers[] = {
    {"signals", T_ULONGLONG, offsetof(PyLookaheadReport, signals), READONLY,
     "Ticks on which the full run sent any order."},
    {"checked", T_ULONGLONG, offsetof(PyLookaheadReport, checked), READONLY,
     "How many of those were rerun on a prefix."},
    {nullptr, 0, 0, 0, nullptr},
};

// Methods.
PyObject* lookahead_report_reduce(PyObject* self, PyObject*) {
  const PyLookaheadReport& report = *self_of(self);
  Ref restore =
      Ref::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(self)), "_restore"));
  Ref divergences = Ref::steal(get_divergences(self, nullptr));
  if (!restore || !divergences) return nullptr;
  return Py_BuildValue("(O(KKO))", restore.get(), static_cast<unsigned long long>(report.signals),
                       static_cast<unsigned long long>(report.checked), divergences.get());
}

// The inverse of __reduce__: a report with exactly these fields.
PyObject* lookahead_report_restore(PyObject* type, PyObject* args) {
  return guarded(state_of_type(reinterpret_cast<PyTypeObject*>(type)), [&]() -> PyObject* {
    tm_backtest::LookaheadReport report;
    unsigned long long signals, checked;
    PyObject* points;
    if (!PyArg_ParseTuple(args, "KKO!:_restore", &signals, &checked, &PyList_Type, &points)) {
      return nullptr;
    }
    report.signals = signals;
    report.checked = checked;
    for (Py_ssize_t i = 0; i < PyList_Size(points); ++i) {
      unsigned long long checked_at, tick;
      long long exch_ts;
      if (!PyArg_ParseTuple(PyList_GetItem(points, i), "KKL", &checked_at, &tick, &exch_ts)) {
        return nullptr;
      }
      tm_backtest::Divergence& d = report.divergences.emplace_back();
      d.checked_at = checked_at;
      d.tick = tick;
      d.exch_ts = exch_ts;
    }
    return new_lookahead_report(state_of_type(reinterpret_cast<PyTypeObject*>(type)), report);
  });
}

PyMethodDef kMethods[] = {
    {"__reduce__", lookahead_report_reduce, METH_NOARGS, nullptr},
    {"_restore", lookahead_report_restore, METH_VARARGS | METH_CLASS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

// Slots.
PyObject* lookahead_report_repr(PyObject* self) {
  return guarded(state_of_type(Py_TYPE(self)), [&]() -> PyObject* {
    const PyLookaheadReport& report = *self_of(self);
    const std::string text = "LookaheadReport(signals=" + std::to_string(report.signals) +
                             ", checked=" + std::to_string(report.checked) +
                             ", clean=" + (report.divergences.empty() ? "True" : "False") +
                             ", divergences=" + std::to_string(report.divergences.size()) + ")";
    return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
  });
}

// Spec.
PyType_Slot kSlots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(lookahead_report_dealloc)},
    {Py_tp_getset, kGetters},
    {Py_tp_members, kMembers},
    {Py_tp_methods, kMethods},
    {Py_tp_repr, reinterpret_cast<void*>(lookahead_report_repr)},
    {Py_tp_doc, const_cast<char*>("What the lookahead check found. See `lookahead_check`.")},
    {0, nullptr},
};

PyType_Spec kSpec = {
    "tallowmarsh.LookaheadReport",
    sizeof(PyLookaheadReport),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    kSlots,
};

}  // namespace

bool add_lookahead_report_class(PyObject* module, State* state) {
  PyObject* type = PyType_FromModuleAndSpec(module, &kSpec, nullptr);
  if (type == nullptr) return false;
  state->lookahead_report_type = reinterpret_cast<PyTypeObject*>(type);
  return PyModule_AddType(module, state->lookahead_report_type) == 0;
}

PyObject* new_lookahead_report(State* state, const tm_backtest::LookaheadReport& report) {
  void* memory = PyObject_Malloc(sizeof(PyLookaheadReport));
  if (memory == nullptr) return PyErr_NoMemory();
  auto* out = new (memory) PyLookaheadReport;
  try {
    out->divergences.reserve(report.divergences.size());
    for (const tm_backtest::Divergence& d : report.divergences) {
      out->divergences.push_back({d.checked_at, d.tick, d.exch_ts});
    }
  } catch (...) {
    out->~PyLookaheadReport();
    PyObject_Free(memory);
    throw;
  }
  out->signals = report.signals;
  out->checked = report.checked;
  return PyObject_Init(reinterpret_cast<PyObject*>(out), state->lookahead_report_type);
}

}  // namespace tm_py
