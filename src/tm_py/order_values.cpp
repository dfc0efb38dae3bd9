#include "tm_py/order_values.h"

#include <algorithm>
#include <vector>

#include "tm_engine/order_states.h"
#include "tm_py/ref.h"

namespace tm_py {
namespace {

bool fetch_class(PyObject* module, const char* name, PyTypeObject*& slot) {
  PyObject* found = PyObject_GetAttrString(module, name);
  if (found == nullptr) return false;
  if (!PyType_Check(found)) {
    Py_DECREF(found);
    PyErr_Format(PyExc_ImportError, "tallowmarsh.%s is not a class", name);
    return false;
  }
  slot = reinterpret_cast<PyTypeObject*>(found);
  return true;
}

const char* stage_name(tm_engine::OrderStage stage) {
  switch (stage) {
    case tm_engine::OrderStage::Travelling:
      return "travelling";
    case tm_engine::OrderStage::Queued:
      return "queued";
    case tm_engine::OrderStage::Resting:
      return "resting";
  }
  return "resting";
}

PyObject* new_working_order(State* state, const tm_engine::OrderState& entry) {
  const tm_types::Working& o = entry.order;
  Ref price =
      o.kind.is_limit ? Ref::steal(PyLong_FromLongLong(o.kind.price)) : Ref::borrow(Py_None);
  if (!price) return nullptr;
  PyObject* side = o.side == tm_types::Side::Buy ? state->str_buy : state->str_sell;
  PyObject* offset = o.offset == tm_types::Offset::Open ? state->str_open : state->str_close;
  return PyObject_CallFunction(reinterpret_cast<PyObject*>(state->working_order_type), "KOOOLs",
                               static_cast<unsigned long long>(o.id), side, offset, price.get(),
                               static_cast<long long>(o.remaining()), stage_name(entry.stage));
}

}  // namespace

bool add_order_values(PyObject* module, State* state) {
  return fetch_class(module, "Cancel", state->cancel_type) &&
         fetch_class(module, "CancelAll", state->cancel_all_type) &&
         fetch_class(module, "WorkingOrder", state->working_order_type);
}

CancelRead read_cancel(const State* state, PyObject* item, std::uint64_t last_id) {
  if (Py_TYPE(item) == state->cancel_all_type) return tm_strategy::Intent(tm_strategy::CancelAll{});
  if (Py_TYPE(item) != state->cancel_type) return std::monostate{};
  Ref number = Ref::steal(PyObject_GetAttr(item, state->str_order_id));
  if (!number) return std::monostate{};
  const unsigned long long id = PyLong_AsUnsignedLongLong(number.get());
  if (PyErr_Occurred()) return std::monostate{};
  if (id > last_id) {
    return "Cancel(" + std::to_string(id) + "): order_id names no order placed in this run (" +
           (last_id == 0 ? std::string("none has been placed yet")
                         : "ids handed out so far are 1 to " + std::to_string(last_id)) +
           ")";
  }
  return tm_strategy::Intent(tm_strategy::Cancel{id});
}

PyObject* new_working_orders(State* state, const tm_core::Kernel& kernel) {
  std::vector<tm_engine::OrderState> orders;
  for (const tm_core::Holding& holding : kernel.account().holdings) {
    tm_engine::list_orders(holding.matcher, orders);
  }
  std::sort(orders.begin(), orders.end(),
            [](const auto& a, const auto& b) { return a.order.id < b.order.id; });
  Ref tuple = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(orders.size())));
  if (!tuple) return nullptr;
  for (std::size_t i = 0; i < orders.size(); ++i) {
    PyObject* entry = new_working_order(state, orders[i]);
    if (entry == nullptr) return nullptr;
    PyTuple_SetItem(tuple.get(), static_cast<Py_ssize_t>(i), entry);  // steals; cannot fail here
  }
  return tuple.release();
}

}  // namespace tm_py
