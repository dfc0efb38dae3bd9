// class RunResult:  (made by run_backtest; calling it raises TypeError)
//     strategy: str
//     ticks, fills, liquidations: int
//     final_equity, min_equity, fees_paid, funding_paid: int
//     fill_prices: list[int]  (a new list on every read)
//     def __repr__(self) -> 'RunResult(strategy="sma", ticks=1000, fills=12, final_equity=...)'
#include "tm_py/run_result_type.h"

#include <structmember.h>

#include <cstddef>
#include <new>
#include <string>

#include "tm_py/convert.h"
#include "tm_py/ref.h"

namespace tm_py {
namespace {

PyRunResult* self_of(PyObject* self) { return reinterpret_cast<PyRunResult*>(self); }

// Dealloc.
void run_result_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  self_of(self)->~PyRunResult();
  PyObject_Free(self);
  Py_DECREF(type);
}

// Getters.
PyObject* get_strategy(PyObject* self, void*) {
  const std::string& name = self_of(self)->strategy;
  return PyUnicode_FromStringAndSize(name.data(), static_cast<Py_ssize_t>(name.size()));
}

PyObject* get_fills(PyObject* self, void*) {
  return PyLong_FromUnsignedLongLong(self_of(self)->fill_prices.size());
}

PyObject* get_fill_prices(PyObject* self, void*) {
  const std::vector<std::int64_t>& prices = self_of(self)->fill_prices;
  Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(prices.size())));
  if (!list) return nullptr;
  for (std::size_t i = 0; i < prices.size(); ++i) {
    PyObject* price = PyLong_FromLongLong(prices[i]);
    if (price == nullptr) return nullptr;
    PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), price);
  }
  return list.release();
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
    {nullptr, 0, 0, 0, nullptr},
};

// Slots.
PyObject* run_result_repr(PyObject* self) {
  return guarded(state_of_type(Py_TYPE(self)), [&]() -> PyObject* {
    const PyRunResult& result = *self_of(self);
    std::string text = "RunResult(strategy=" + quoted(result.strategy) +
                       ", ticks=" + std::to_string(result.ticks) +
                       ", fills=" + std::to_string(result.fill_prices.size()) +
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

PyObject* new_run_result(State* state, const tm_backtest::RunResult& result) {
  void* memory = PyObject_Malloc(sizeof(PyRunResult));
  if (memory == nullptr) return PyErr_NoMemory();
  auto* out = new (memory) PyRunResult;
  // Built with the members in place, so a bad_alloc below must free the memory.
  try {
    out->strategy = result.strategy;
    out->fill_prices.reserve(result.fills.size());
    for (const tm_types::Fill& fill : result.fills) out->fill_prices.push_back(fill.price);
  } catch (...) {
    out->~PyRunResult();
    PyObject_Free(memory);
    throw;
  }
  out->ticks = result.ticks;
  out->liquidations = result.liquidations.size();
  out->final_equity = result.final_equity;
  out->min_equity = result.min_equity;
  out->fees_paid = result.fees_paid;
  out->funding_paid = result.funding_paid;
  return PyObject_Init(reinterpret_cast<PyObject*>(out), state->run_result_type);
}

}  // namespace tm_py
