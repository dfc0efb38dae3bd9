// class RunResult:  (made by run_backtest; calling it raises TypeError)
//     strategy: str
//     ticks, fills, liquidations, skipped_ticks, depth_gaps: int
//     final_equity, min_equity, fees_paid, funding_paid, realised: int
//     max_adverse_excursion, max_drawdown: int
//     fill_prices: list[int]  (a new list on every read)
//     equity_curve: EquityCurve; fill_records: FillRecords;
//     liquidation_records: LiquidationRecords; margin_watch: MarginWatch | None
//     def returns(self, log=False) -> list[float]
//     def to_pandas(self) -> ResultFrames
//     def __repr__(self) -> 'RunResult(strategy="sma", ticks=1000, fills=12, final_equity=...)'
#include "tm_py/run_result_type.h"

#include <structmember.h>

#include <cmath>
#include <cstddef>
#include <string>

#include "tm_py/convert.h"
#include "tm_py/ref.h"

namespace tm_py {
namespace {

PyRunResult* self_of(PyObject* self) { return reinterpret_cast<PyRunResult*>(self); }

// Dealloc.
void run_result_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  PyRunResult* r = self_of(self);
  Py_XDECREF(r->margin_watch);
  Py_XDECREF(r->curve);
  Py_XDECREF(r->fill_records);
  Py_XDECREF(r->liquidation_records);
  r->~PyRunResult();
  PyObject_Free(self);
  Py_DECREF(type);
}

// The price column, which also gives the fill count.
std::span<const std::int64_t> prices(PyObject* self) {
  return int64_values(PyTuple_GetItem(self_of(self)->fill_records, kFillPriceColumn));
}

// `columns` made into the module's namedtuple `name` (results.py).
PyObject* named(PyObject* self, const char* name, PyObject* columns) {
  PyObject* module = PyType_GetModule(Py_TYPE(self));  // borrowed
  if (module == nullptr) return nullptr;
  Ref type = Ref::steal(PyObject_GetAttrString(module, name));
  if (!type) return nullptr;
  return PyObject_CallObject(type.get(), columns);
}

// The module function `name` (report.py) called with self.
PyObject* delegate(PyObject* self, const char* name) {
  PyObject* module = PyType_GetModule(Py_TYPE(self));  // borrowed
  if (module == nullptr) return nullptr;
  Ref function = Ref::steal(PyObject_GetAttrString(module, name));
  if (!function) return nullptr;
  return PyObject_CallFunctionObjArgs(function.get(), self, nullptr);
}

// Getters.
PyObject* get_strategy(PyObject* self, void*) {
  const std::string& name = self_of(self)->strategy;
  return PyUnicode_FromStringAndSize(name.data(), static_cast<Py_ssize_t>(name.size()));
}

PyObject* get_fills(PyObject* self, void*) { return PyLong_FromSize_t(prices(self).size()); }

PyObject* get_fill_prices(PyObject* self, void*) {
  const std::span<const std::int64_t> values = prices(self);
  Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(values.size())));
  if (!list) return nullptr;
  for (std::size_t i = 0; i < values.size(); ++i) {
    PyObject* price = PyLong_FromLongLong(values[i]);
    if (price == nullptr) return nullptr;
    PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), price);
  }
  return list.release();
}

PyObject* get_curve(PyObject* self, void*) {
  return named(self, "EquityCurve", self_of(self)->curve);
}
PyObject* get_fill_records(PyObject* self, void*) {
  return named(self, "FillRecords", self_of(self)->fill_records);
}
PyObject* get_liquidation_records(PyObject* self, void*) {
  return named(self, "LiquidationRecords", self_of(self)->liquidation_records);
}
PyObject* get_margin_watch(PyObject* self, void*) {
  PyObject* watch = self_of(self)->margin_watch;
  if (watch == Py_None) Py_RETURN_NONE;
  return named(self, "MarginWatch", watch);
}

PyGetSetDef kGetters[] = {
    {"strategy", get_strategy, nullptr, "The strategy's name.", nullptr},
    {"fills", get_fills, nullptr, "Fills the strategy received.", nullptr},
    {"fill_prices", get_fill_prices, nullptr,
     "Prices of every fill, in order, in ticks.\n"
     "\n"
     "Carried so two runs can be compared exactly rather than through\n"
     "their totals, which can agree while the runs did not.",
     nullptr},
    {"equity_curve", get_curve, nullptr,
     "EquityCurve(exch_ts, equity, position): the equity after the first tick,\n"
     "every `equity_every`-th tick and the last tick; empty when equity_every is 0.",
     nullptr},
    {"fill_records", get_fill_records, nullptr,
     "FillRecords: one row per fill, in booking order (see the README).", nullptr},
    {"liquidation_records", get_liquidation_records, nullptr,
     "LiquidationRecords(exch_ts, price, qty, balance, forfeited): one row per liquidation.",
     nullptr},
    {"margin_watch", get_margin_watch, nullptr,
     "MarginWatch(peak_maintenance, min_headroom) when margin was tracked, else None.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef kMembers[] = {
    {"ticks", T_ULONGLONG, offsetof(PyRunResult, ticks), READONLY, "Observations processed."},
    {"liquidations", T_ULONGLONG, offsetof(PyRunResult, liquidations), READONLY,
     "Times the venue closed the account."},
    {"final_equity", T_LONGLONG, offsetof(PyRunResult, final_equity), READONLY,
     "Equity at the end, in the cash unit's smallest denomination."},
    {"min_equity", T_LONGLONG, offsetof(PyRunResult, min_equity), READONLY,
     "The lowest equity the account showed."},
    {"fees_paid", T_LONGLONG, offsetof(PyRunResult, fees_paid), READONLY, "Fees paid."},
    {"funding_paid", T_LONGLONG, offsetof(PyRunResult, funding_paid), READONLY, "Funding paid."},
    {"realised", T_LONGLONG, offsetof(PyRunResult, realised), READONLY,
     "Profit realised by closing positions, before fees and funding."},
    {"max_adverse_excursion", T_LONGLONG, offsetof(PyRunResult, max_adverse_excursion), READONLY,
     "Largest move against the entry price while a position was open, in ticks."},
    {"max_drawdown", T_LONGLONG, offsetof(PyRunResult, max_drawdown), READONLY,
     "Largest fall of equity from its earlier peak, over the equity after every tick."},
    {"skipped_ticks", T_ULONGLONG, offsetof(PyRunResult, skipped_ticks), READONLY,
     "Ticks the L2 engine could not use (its depth book was invalid); 0 otherwise."},
    {"depth_gaps", T_ULONGLONG, offsetof(PyRunResult, depth_gaps), READONLY,
     "Depth updates the L2 engine refused, each resetting its book; 0 otherwise."},
    {nullptr, 0, 0, 0, nullptr},
};

// Methods.
PyObject* returns(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const char* kParams[] = {"log", nullptr};
  int log = 0;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|$p:returns", const_cast<char**>(kParams),
                                   &log)) {
    return nullptr;
  }
  const std::span<const std::int64_t> equity =
      int64_values(PyTuple_GetItem(self_of(self)->curve, 1));
  Ref list = Ref::steal(PyList_New(0));
  if (!list) return nullptr;
  // A return needs a positive equity to be earned on: the series ends at
  // the first sample that follows one at zero or below.
  for (std::size_t i = 1; i < equity.size() && equity[i - 1] > 0; ++i) {
    const double ratio = static_cast<double>(equity[i]) / static_cast<double>(equity[i - 1]);
    Ref value = Ref::steal(PyFloat_FromDouble(log ? std::log(ratio) : ratio - 1.0));
    if (!value || PyList_Append(list.get(), value.get()) < 0) return nullptr;
  }
  return list.release();
}

PyObject* to_pandas(PyObject* self, PyObject*) { return delegate(self, "_result_frames"); }
PyObject* repr_html(PyObject* self, PyObject*) { return delegate(self, "_result_html"); }

PyObject* reduce(PyObject* self, PyObject*) {
  Ref fields = Ref::steal(run_result_fields(self));
  Ref rebuild =
      Ref::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(self)), "_rebuild"));
  if (!fields || !rebuild) return nullptr;
  return Py_BuildValue("(O(O))", rebuild.get(), fields.get());
}

PyObject* rebuild(PyObject* type, PyObject* fields) {
  State* state = state_of_type(reinterpret_cast<PyTypeObject*>(type));
  return guarded(state, [&]() -> PyObject* { return rebuild_run_result(state, fields); });
}

PyMethodDef kMethods[] = {
    {"returns", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(returns)),
     METH_VARARGS | METH_KEYWORDS,
     "returns($self, /, *, log=False)\n--\n\n"
     "Per-sample returns of the equity curve as floats: e[i] / e[i-1] - 1, or\n"
     "log(e[i] / e[i-1]) with `log`. The list ends where an equity of zero or\n"
     "below leaves nothing to earn a return on. Ready for sharpe_ratio()."},
    {"to_pandas", to_pandas, METH_NOARGS,
     "to_pandas($self, /)\n--\n\n"
     "ResultFrames(curve, fills, liquidations) as pandas DataFrames.\n"
     "ImportError when pandas is not installed."},
    {"_repr_html_", repr_html, METH_NOARGS, "A compact HTML summary with an equity sparkline."},
    {"__reduce__", reduce, METH_NOARGS, nullptr},
    {"_rebuild", rebuild, METH_O | METH_CLASS, "The result a pickle holds; used by pickle."},
    {nullptr, nullptr, 0, nullptr},
};

// Slots.
PyObject* run_result_repr(PyObject* self) {
  return guarded(state_of_type(Py_TYPE(self)), [&]() -> PyObject* {
    const PyRunResult& result = *self_of(self);
    std::string text = "RunResult(strategy=" + quoted(result.strategy) +
                       ", ticks=" + std::to_string(result.ticks) +
                       ", fills=" + std::to_string(prices(self).size()) +
                       ", final_equity=" + std::to_string(result.final_equity);
    if (result.liquidations != 0) {
      text += ", LIQUIDATED " + std::to_string(result.liquidations) + "x";
    }
    text += ")";
    return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
  });
}

// Spec.
PyType_Slot kSlots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(run_result_dealloc)},
    {Py_tp_getset, kGetters},
    {Py_tp_members, kMembers},
    {Py_tp_methods, kMethods},
    {Py_tp_repr, reinterpret_cast<void*>(run_result_repr)},
    {Py_tp_doc, const_cast<char*>("What a run produced.")},
    {0, nullptr},
};

PyType_Spec kSpec = {
    "tallowmarsh.RunResult",
    sizeof(PyRunResult),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    kSlots,
};

}  // namespace

bool add_run_result_class(PyObject* module, State* state) {
  PyObject* type = PyType_FromModuleAndSpec(module, &kSpec, nullptr);
  if (type == nullptr) return false;
  state->run_result_type = reinterpret_cast<PyTypeObject*>(type);
  return PyModule_AddType(module, state->run_result_type) == 0;
}

}  // namespace tm_py
