// The adapter's throughput mode: the pending ticks of a batch, and the batch
// handed to the strategy as a list of Tick or an Int64Array. Objects of the
// previous batch that nothing but the adapter refers to are refilled instead
// of built again: no one can see them change.
#include <algorithm>
#include <cstring>
#include <utility>

#include "tm_py/int64_array_type.h"
#include "tm_py/order_values.h"
#include "tm_py/python_strategy.h"
#include "tm_py/tick_type.h"

namespace tm_py {
namespace {

// The most ticks the pending storage starts with. A larger batch grows it
// while its first batch fills, instead of asking for all of it at once (a
// batch of 2^40 must not fail the run before its first tick).
constexpr std::uint64_t kFirstRoom = 1 << 16;

}  // namespace

void PythonStrategy::buffer(const tm_types::Tick& tick) {
  if (filled_ == room()) {
    const std::uint64_t grown = std::min(batch_, filled_ == 0 ? kFirstRoom : 2 * filled_);
    rows_.resize(grown * kTickFields);
  }
  std::memcpy(&rows_[filled_ * kTickFields], &tick, sizeof(tm_types::Tick));
  ++filled_;
  set_inline_room();
}

PyObject* PythonStrategy::call_throughput(const tm_strategy::Context& context) {
  // The account view, in this order; the first attribute that cannot be set
  // stops the call.
  const std::pair<PyObject*, std::int64_t> view[] = {
      {state_->str_position, context.position},
      {state_->str_entry, context.entry},
      {state_->str_short_position, context.short_position},
      {state_->str_equity, context.equity},
      {state_->str_last, context.tick.last},
  };
  for (const auto& [name, value] : view) {
    Ref number = Ref::steal(PyLong_FromLongLong(value));
    if (!number || PyObject_SetAttr(strategy_, name, number.get()) < 0) return nullptr;
  }
  if (wants_orders_ && context.kernel != nullptr) {
    Ref orders = Ref::steal(new_working_orders(state_, *context.kernel));
    if (!orders || PyObject_SetAttr(strategy_, state_->str_orders, orders.get()) < 0) {
      return nullptr;
    }
  }
  PyObject* batch = arrays_ ? batch_array() : batch_list();
  filled_ = 0;
  set_inline_room();
  if (batch == nullptr) return nullptr;
  return call_method(method_.get(), batch);
}

PyObject* PythonStrategy::batch_array() {
  const auto columns = static_cast<Py_ssize_t>(kTickFields);
  rows_.resize(filled_ * kTickFields);  // a full batch fills the storage exactly
  if (array_ && Py_REFCNT(array_.get()) == 1) {
    // rows_ takes the previous batch's storage over for the next batch.
    swap_int64_values(array_.get(), rows_, columns);
    return array_.get();
  }
  array_ = Ref::steal(new_int64_array(state_, std::move(rows_), columns));
  rows_ = {};
  return array_.get();
}

PyObject* PythonStrategy::batch_list() {
  const auto size = static_cast<Py_ssize_t>(filled_);
  const auto tick_at = [this](Py_ssize_t i) {
    tm_types::Tick tick;
    std::memcpy(static_cast<void*>(&tick), &rows_[static_cast<std::size_t>(i) * kTickFields],
                sizeof(tick));
    return tick;
  };
  if (list_ && Py_REFCNT(list_.get()) == 1 && PyList_Size(list_.get()) == size) {
    for (Py_ssize_t i = 0; i < size; ++i) {
      PyObject* item = PyList_GetItem(list_.get(), i);
      if (Py_REFCNT(item) == 1 && is_tick(state_, item)) {
        std::memcpy(static_cast<void*>(&reinterpret_cast<PyTick*>(item)->tick),
                    &rows_[static_cast<std::size_t>(i) * kTickFields], sizeof(tm_types::Tick));
        continue;
      }
      PyObject* fresh = new_tick(state_, tick_at(i));
      if (fresh == nullptr) return nullptr;
      PyList_SetItem(list_.get(), i, fresh);  // steals, and drops the old item
    }
    return list_.get();
  }
  list_ = Ref::steal(PyList_New(size));
  if (!list_) return nullptr;
  for (Py_ssize_t i = 0; i < size; ++i) {
    PyObject* tick = new_tick(state_, tick_at(i));
    if (tick == nullptr) {
      list_.reset();
      return nullptr;
    }
    PyList_SetItem(list_.get(), i, tick);  // steals; cannot fail here
  }
  return list_.get();
}

}  // namespace tm_py
