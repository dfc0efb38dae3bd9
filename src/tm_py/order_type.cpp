// class Order:
//     def __new__(cls, side, qty, offset="open", price=None) -> Order
//     side: str    ("buy" or "sell", read-only)
//     qty: int     (positive, read-only)
//     offset: str  ("open" or "close", read-only)
//     price: int | None  (None for a market order, read-only)
//     def __repr__(self) -> 'Order("sell", 1, "close", price=61000)'
//     def __reduce__(self) -> (Order, (side, qty, offset, price))
//
// Holds only references to interned strings, which cannot form cycles, so it
// is not tracked by the cyclic collector.
#include "tm_py/order_type.h"

#include <structmember.h>

#include <cstddef>
#include <string>

#include "tm_py/args.h"
#include "tm_py/convert.h"
#include "tm_py/ref.h"

namespace tm_py {
namespace {

// Dealloc.
void order_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  auto* order = reinterpret_cast<PyOrder*>(self);
  Py_XDECREF(order->side);
  Py_XDECREF(order->offset);
  PyObject_Free(self);
  Py_DECREF(type);
}

// Getters.
PyObject* get_price(PyObject* self, void*) {
  const tm_types::OrderKind& kind = order_of(self).order.kind;
  if (!kind.is_limit) Py_RETURN_NONE;
  return PyLong_FromLongLong(kind.price);
}

PyMemberDef kMembers[] = {
    {"side", T_OBJECT_EX, offsetof(PyOrder, side), READONLY, "`\"buy\"` or `\"sell\"`."},
    {"qty", T_LONGLONG, offsetof(PyOrder, order.qty), READONLY, "Lots."},
    {"offset", T_OBJECT_EX, offsetof(PyOrder, offset), READONLY, "`\"open\"` or `\"close\"`."},
    {nullptr, 0, 0, 0, nullptr},
};

PyGetSetDef kGetters[] = {
    {"price", get_price, nullptr, "Limit price in ticks, or `None` for a market order.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// Slots.
constexpr const char* kParams[] = {"side", "qty", "offset", "price"};

PyObject* order_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  State* state = state_of_type(type);
  return guarded(state, [&]() -> PyObject* {
    PyObject* slot[4];
    if (!bind({"Order", kParams, 2}, args, kwargs, slot)) return nullptr;

    // Every argument is converted before any is validated.
    const std::optional<std::string> side = to_str(slot[0], "side");
    if (!side) return nullptr;
    const std::optional<std::int64_t> qty = to_i64(slot[1], "qty");
    if (!qty) return nullptr;
    std::optional<std::string> offset = std::string("open");
    if (slot[2] != nullptr && !(offset = to_str(slot[2], "offset"))) return nullptr;
    std::optional<std::int64_t> price;
    if (!omitted(slot[3]) && !(price = to_i64(slot[3], "price"))) return nullptr;

    if (*side != "buy" && *side != "sell") {
      PyErr_Format(PyExc_ValueError, "side must be \"buy\" or \"sell\", got %s",
                   quoted(*side).c_str());
      return nullptr;
    }
    if (*offset != "open" && *offset != "close") {
      PyErr_Format(PyExc_ValueError, "offset must be \"open\" or \"close\", got %s",
                   quoted(*offset).c_str());
      return nullptr;
    }
    if (*qty <= 0) {
      PyErr_Format(PyExc_ValueError, "qty must be positive, got %lld",
                   static_cast<long long>(*qty));
      return nullptr;
    }

    void* memory = PyObject_Malloc(sizeof(PyOrder));
    if (memory == nullptr) return PyErr_NoMemory();
    PyObject* self = PyObject_Init(static_cast<PyObject*>(memory), type);
    auto* order = reinterpret_cast<PyOrder*>(self);
    const bool buy = *side == "buy";
    const bool open = *offset == "open";
    order->side = Py_NewRef(buy ? state->str_buy : state->str_sell);
    order->offset = Py_NewRef(open ? state->str_open : state->str_close);
    order->order =
        tm_types::Order{0,
                        buy ? tm_types::Side::Buy : tm_types::Side::Sell,
                        open ? tm_types::Offset::Open : tm_types::Offset::Close,
                        *qty,
                        price ? tm_types::OrderKind::limit(*price) : tm_types::OrderKind::market(),
                        std::nullopt};
    return self;
  });
}

PyObject* order_repr(PyObject* self) {
  const tm_types::Order& order = order_of(self).order;
  const char* side = order.side == tm_types::Side::Buy ? "buy" : "sell";
  const char* offset = order.offset == tm_types::Offset::Open ? "open" : "close";
  if (!order.kind.is_limit) {
    return PyUnicode_FromFormat("Order(\"%s\", %lld, \"%s\")", side,
                                static_cast<long long>(order.qty), offset);
  }
  return PyUnicode_FromFormat("Order(\"%s\", %lld, \"%s\", price=%lld)", side,
                              static_cast<long long>(order.qty), offset,
                              static_cast<long long>(order.kind.price));
}

// Methods.
PyObject* order_reduce(PyObject* self, PyObject*) {
  const PyOrder& order = order_of(self);
  Ref price = Ref::steal(get_price(self, nullptr));
  if (!price) return nullptr;
  return Py_BuildValue("(O(OLOO))", reinterpret_cast<PyObject*>(Py_TYPE(self)), order.side,
                       static_cast<long long>(order.order.qty), order.offset, price.get());
}

PyMethodDef kMethods[] = {
    {"__reduce__", order_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

// Spec.
constexpr const char* kDoc =
    "Order(side, qty, offset=\"open\", price=None)\n"
    "--\n"
    "\n"
    "An order a Python strategy wants placed.\n"
    "\n"
    "`side` is `\"buy\"` or `\"sell\"`; `offset` is `\"open\"` or `\"close\"`.\n"
    "Both are validated at construction rather than at submission, so a\n"
    "typo fails on the line that wrote it instead of somewhere inside the\n"
    "engine.";

PyType_Slot kSlots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(order_dealloc)},
    {Py_tp_members, kMembers},
    {Py_tp_getset, kGetters},
    {Py_tp_new, reinterpret_cast<void*>(order_new)},
    {Py_tp_repr, reinterpret_cast<void*>(order_repr)},
    {Py_tp_methods, kMethods},
    {Py_tp_doc, const_cast<char*>(kDoc)},
    {0, nullptr},
};

PyType_Spec kSpec = {
    "tallowmarsh.Order", sizeof(PyOrder), 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, kSlots,
};

}  // namespace

bool add_order_class(PyObject* module, State* state) {
  PyObject* type = PyType_FromModuleAndSpec(module, &kSpec, nullptr);
  if (type == nullptr) return false;
  state->order_type = reinterpret_cast<PyTypeObject*>(type);
  return PyModule_AddType(module, state->order_type) == 0;
}

}  // namespace tm_py
