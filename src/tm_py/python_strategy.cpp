// The strategy adapter. Everything that touches a Python object runs between
// a Gil guard's construction and destruction, so an exception thrown from
// inside (an invariant failure, lack of memory) still gives the lock back.
#include "tm_py/python_strategy.h"

#include <algorithm>
#include <chrono>
#include <new>
#include <utility>

#include "tm_py/context_type.h"
#include "tm_py/int64_array_type.h"
#include "tm_py/lock.h"
#include "tm_py/order_type.h"
#include "tm_py/order_values.h"
#include "tm_py/ref.h"
#include "tm_py/tick_type.h"

namespace tm_py {
namespace {

// The most ticks reserved up front for one batch. A larger batch grows the
// buffer while its first batch fills, instead of asking for all of it at once
// (a batch of 2^40 must not fail the run before its first tick).
constexpr std::uint64_t kMaxReserve = 1 << 16;

// The columns of a batch given as an array: a Tick's fields, in record order.
constexpr Py_ssize_t kTickFields = sizeof(tm_types::Tick) / sizeof(std::int64_t);

}  // namespace

// The interpreter's switch interval, sys.getswitchinterval(); 5 ms when it
// cannot be read. REQUIRES: the lock.
std::chrono::nanoseconds switch_interval() {
  constexpr std::chrono::nanoseconds kDefault = std::chrono::milliseconds(5);
  PyObject* get = PySys_GetObject("getswitchinterval");  // borrowed
  Ref seconds = get != nullptr ? Ref::steal(PyObject_CallNoArgs(get)) : Ref();
  const double value = seconds ? PyFloat_AsDouble(seconds.get()) : -1;
  if (PyErr_Occurred() != nullptr) PyErr_Clear();
  if (!(value > 0 && value < 1)) return kDefault;
  return std::chrono::nanoseconds(static_cast<std::int64_t>(value * 1e9));
}

PythonStrategy::PythonStrategy(State* state, PyObject* strategy, Mode mode, std::uint64_t batch,
                               std::string name, std::shared_ptr<FailureSlot> slot,
                               Interrupt* interrupt, bool arrays)
    : mode_(mode),
      batch_(batch),
      name_(std::move(name)),
      strategy_(strategy),
      slot_(std::move(slot)),
      state_(state),
      interrupt_(interrupt),
      thread_(strategy != nullptr ? PyThreadState_Get() : nullptr),
      lock_(thread_, strategy != nullptr ? switch_interval() : std::chrono::nanoseconds(0)) {
  if (mode_ == Mode::Throughput) {
    pending_.reserve(std::min(batch_, kMaxReserve));
    arrays_ = arrays;
    method_ = arrays ? Ref::steal(PyUnicode_InternFromString("on_batch_array"))
                     : Ref::borrow(state_->str_on_batch);
    if (!method_) throw std::bad_alloc();
  }
  if (mode_ == Mode::Throughput && strategy_ != nullptr) {
    // A strategy asks for its working orders by a true class or instance attribute.
    Ref wants = Ref::steal(PyObject_GetAttr(strategy_, state_->str_wants_orders));
    wants_orders_ = wants && PyObject_IsTrue(wants.get()) == 1;
    PyErr_Clear();
  }
}

PythonStrategy::PythonStrategy(State* state, PyObject* strategy, std::uint64_t batch,
                               std::string name, Interrupt& interrupt, bool arrays)
    : PythonStrategy(state, Py_NewRef(strategy), batch > 1 ? Mode::Throughput : Mode::Compatibility,
                     batch, std::move(name), nullptr, &interrupt, arrays) {}

PythonStrategy::PythonStrategy(State* state, PyObject* strategy, std::string name,
                               std::shared_ptr<FailureSlot> slot, Interrupt& interrupt)
    : PythonStrategy(state, Py_NewRef(strategy), Mode::Compatibility, 1, std::move(name),
                     std::move(slot), &interrupt, false) {}

PythonStrategy PythonStrategy::born_failed(State* state, std::string failure,
                                           std::shared_ptr<FailureSlot> slot) {
  PythonStrategy adapter(state, nullptr, Mode::Compatibility, 1, std::string(), std::move(slot),
                         nullptr, false);
  adapter.fail(std::move(failure));
  return adapter;
}

PythonStrategy::PythonStrategy(PythonStrategy&& other) noexcept
    : mode_(other.mode_),
      batch_(other.batch_),
      name_(std::move(other.name_)),
      pending_(std::move(other.pending_)),
      failure_(std::move(other.failure_)),
      strategy_(std::exchange(other.strategy_, nullptr)),
      method_(std::move(other.method_)),
      context_(std::move(other.context_)),
      list_(std::move(other.list_)),
      arrays_(other.arrays_),
      order_counter_(other.order_counter_),
      to_buffer_(other.to_buffer_),
      wants_orders_(other.wants_orders_),
      slot_(std::move(other.slot_)),
      state_(other.state_),
      interrupt_(other.interrupt_),
      owner_(other.owner_),
      thread_(other.thread_),
      lock_(other.lock_),
      hold_(other.hold_) {}

PythonStrategy& PythonStrategy::operator=(PythonStrategy&& other) noexcept {
  if (this != &other) {
    PythonStrategy dropped(std::move(*this));
    mode_ = other.mode_;
    batch_ = other.batch_;
    name_ = std::move(other.name_);
    pending_ = std::move(other.pending_);
    failure_ = std::move(other.failure_);
    strategy_ = std::exchange(other.strategy_, nullptr);
    method_ = std::move(other.method_);
    context_ = std::move(other.context_);
    list_ = std::move(other.list_);
    arrays_ = other.arrays_;
    order_counter_ = other.order_counter_;
    to_buffer_ = other.to_buffer_;
    wants_orders_ = other.wants_orders_;
    slot_ = std::move(other.slot_);
    state_ = other.state_;
    interrupt_ = other.interrupt_;
    owner_ = other.owner_;
    thread_ = other.thread_;
    lock_ = other.lock_;
    hold_ = other.hold_;
  }
  return *this;
}

PythonStrategy::~PythonStrategy() {
  if (strategy_ == nullptr) return;
  Gil gil;
  method_.reset();
  context_.reset();
  list_.reset();
  Py_DECREF(strategy_);
}

void PythonStrategy::expect_at_most(std::uint64_t ticks) {
  if (mode_ == Mode::Throughput) to_buffer_ = ticks - ticks % batch_;
}

void PythonStrategy::on_tick_out_of_line(const tm_strategy::Context& context,
                                         std::vector<tm_strategy::Intent>& intents) {
  // A failed run's result is discarded, so the ticks left would be work for nothing.
  if (failure_) throw Stopped{};
  if (mode_ == Mode::Throughput) {
    if (to_buffer_ == 0) return;
    --to_buffer_;
    pending_.push_back(context.tick);
    if (pending_.size() < batch_) return;
  }
  if (std::this_thread::get_id() != owner_) {
    Gil gil;
    ask(context, intents);
  } else if (hold_) {
    lock_.take();
    ask(context, intents);
    // A batch is followed by a stretch of engine work without Python.
    if (mode_ == Mode::Throughput) {
      lock_.release();
      let_waiters_in();
    } else {
      lock_.share();
    }
  } else {
    Relocked lock(thread_);
    ask(context, intents);
  }
}

void PythonStrategy::ask(const tm_strategy::Context& context,
                         std::vector<tm_strategy::Intent>& intents) {
  if (failure_) return;
  // A strategy implemented without Python code would never run the handlers itself.
  if (interrupt_->check_signals()) throw Stopped{};
  Ref returned = Ref::steal(mode_ == Mode::Throughput ? call_throughput(context)
                                                      : call_compatibility(context));
  if (!returned) {
    interrupt_->stop_if_stopping();
    fail(describe_current_exception());
    return;
  }
  if (!take_orders(returned.get(), context, intents)) fail(kBadReturn);
}

PyObject* PythonStrategy::call_method(PyObject* name, PyObject* argument) noexcept {
  try {
    return PyObject_CallMethodObjArgs(strategy_, name, argument, nullptr);
  } catch (abi::__forced_unwind&) {
    park_forever();
  }
}

PyObject* PythonStrategy::call_compatibility(const tm_strategy::Context& context) {
  PyObject* ctx = reuse_context(state_, context_, context);  // borrowed from context_
  if (ctx == nullptr) return nullptr;
  PyObject* returned = call_method(state_->str_on_tick, ctx);
  end_context_call(state_, ctx);
  return returned;
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
  Ref batch = arrays_ ? batch_array() : batch_list();
  if (!batch) return nullptr;
  pending_.clear();
  return call_method(method_.get(), batch.get());
}

Ref PythonStrategy::batch_array() {
  const auto* first = reinterpret_cast<const std::int64_t*>(pending_.data());
  std::vector<std::int64_t> values(first, first + pending_.size() * kTickFields);
  return Ref::steal(new_int64_array(state_, std::move(values), kTickFields));
}

Ref PythonStrategy::batch_list() {
  const auto size = static_cast<Py_ssize_t>(pending_.size());
  // A list and Ticks that nothing but this adapter refers to are refilled in
  // place: no one can see them change.
  if (list_ && Py_REFCNT(list_.get()) == 1 && PyList_Size(list_.get()) == size) {
    for (Py_ssize_t i = 0; i < size; ++i) {
      const tm_types::Tick& tick = pending_[static_cast<std::size_t>(i)];
      PyObject* item = PyList_GetItem(list_.get(), i);
      if (Py_REFCNT(item) == 1 && is_tick(state_, item)) {
        reinterpret_cast<PyTick*>(item)->tick = tick;
        continue;
      }
      PyObject* fresh = new_tick(state_, tick);
      if (fresh == nullptr) return Ref();
      PyList_SetItem(list_.get(), i, fresh);  // steals, and drops the old item
    }
    return Ref::borrow(list_.get());
  }
  list_ = Ref::steal(PyList_New(size));
  if (!list_) return Ref();
  for (Py_ssize_t i = 0; i < size; ++i) {
    PyObject* tick = new_tick(state_, pending_[static_cast<std::size_t>(i)]);
    if (tick == nullptr) {
      list_.reset();
      return Ref();
    }
    PyList_SetItem(list_.get(), i, tick);  // steals; cannot fail here
  }
  return Ref::borrow(list_.get());
}

bool PythonStrategy::take_orders(PyObject* returned, const tm_strategy::Context& context,
                                 std::vector<tm_strategy::Intent>& intents) {
  if (returned == Py_None) return true;
  if (PyUnicode_Check(returned) || !PySequence_Check(returned)) return false;
  const bool list = PyList_Check(returned);
  const bool tuple = !list && PyTuple_Check(returned);
  const Py_ssize_t size = list    ? PyList_Size(returned)
                          : tuple ? PyTuple_Size(returned)
                                  : PySequence_Size(returned);
  // What reading the value raised is dropped with the value, unless it stops the run.
  if (size < 0) {
    interrupt_->stop_if_stopping();
    PyErr_Clear();
    return false;
  }

  // Intents are appended as they are read and withdrawn if a later item fails,
  // so the caller's list gains all of them or none.
  const std::size_t start = intents.size();
  std::uint64_t id = order_counter_;
  for (Py_ssize_t i = 0; i < size; ++i) {
    Ref owned;
    PyObject* item = nullptr;
    if (list) {
      item = PyList_GetItem(returned, i);
    } else if (tuple) {
      item = PyTuple_GetItem(returned, i);
    } else {
      owned = Ref::steal(PySequence_GetItem(returned, i));
      item = owned.get();
    }
    if (item != nullptr && !is_order(state_, item)) {
      CancelRead cancel = read_cancel(state_, item, id);
      if (auto* intent = std::get_if<tm_strategy::Intent>(&cancel)) {
        intents.push_back(*intent);
        continue;
      }
      if (auto* refusal = std::get_if<std::string>(&cancel)) {
        intents.resize(start);
        fail(std::move(*refusal));
        return false;
      }
      item = nullptr;
    }
    if (item == nullptr) {
      intents.resize(start);
      interrupt_->stop_if_stopping();
      PyErr_Clear();
      return false;
    }
    id = tm_types::checked_add_u(id, 1);
    tm_types::Order order = order_of(item).order;
    order.id = id;
    order.instrument = context.instrument;
    intents.push_back(order);
  }
  order_counter_ = id;
  return true;
}

void PythonStrategy::fail(std::string text) {
  if (failure_) return;
  if (slot_) slot_->offer(text);
  failure_ = std::move(text);
  pending_.clear();
  pending_.shrink_to_fit();
}

}  // namespace tm_py
