// The strategy adapter. Everything that touches a Python object runs between
// a Gil guard's construction and destruction, so an exception thrown from
// inside (an invariant failure, lack of memory) still gives the lock back.
#include "tm_py/python_strategy.h"

#include <dlfcn.h>

#include <chrono>
#include <cstddef>
#include <new>
#include <utility>

#include "tm_py/context_type.h"
#include "tm_py/lock.h"
#include "tm_py/order_type.h"
#include "tm_py/order_values.h"
#include "tm_py/ref.h"

namespace tm_py {
namespace {

// PyObject_VectorcallMethod: a method called by name without a bound method
// or an argument tuple. It is part of the stable ABI from 3.12 on; 3.11
// exports it with the same signature outside its limited API. It is found by
// name when the module loads, and PyObject_CallMethodObjArgs, which does the
// same lookup at more cost, stands in when it is missing.
using VectorcallMethod = PyObject* (*)(PyObject* name, PyObject* const* args, std::size_t nargsf,
                                       PyObject* kwnames);
const VectorcallMethod kVectorcallMethod =
    reinterpret_cast<VectorcallMethod>(dlsym(RTLD_DEFAULT, "PyObject_VectorcallMethod"));

// Signal handlers run in the strategy's own Python code as it executes; the
// adapter runs them itself every this many calls, for a strategy whose method
// is not Python code.
constexpr std::uint32_t kSignalCheckEvery = 64;

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
      rows_(std::move(other.rows_)),
      filled_(std::exchange(other.filled_, 0)),
      inline_room_(std::exchange(other.inline_room_, 0)),
      failure_(std::move(other.failure_)),
      strategy_(std::exchange(other.strategy_, nullptr)),
      method_(std::move(other.method_)),
      context_(std::move(other.context_)),
      list_(std::move(other.list_)),
      array_(std::move(other.array_)),
      arrays_(other.arrays_),
      order_counter_(other.order_counter_),
      asks_(other.asks_),
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
    rows_ = std::move(other.rows_);
    filled_ = std::exchange(other.filled_, 0);
    inline_room_ = std::exchange(other.inline_room_, 0);
    failure_ = std::move(other.failure_);
    strategy_ = std::exchange(other.strategy_, nullptr);
    method_ = std::move(other.method_);
    context_ = std::move(other.context_);
    list_ = std::move(other.list_);
    array_ = std::move(other.array_);
    arrays_ = other.arrays_;
    order_counter_ = other.order_counter_;
    asks_ = other.asks_;
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
  array_.reset();
  Py_DECREF(strategy_);
}

void PythonStrategy::expect_at_most(std::uint64_t ticks) {
  if (mode_ == Mode::Throughput) to_buffer_ = ticks - ticks % batch_;
}

[[gnu::always_inline]] inline PyObject* PythonStrategy::call_compatibility(
    const tm_strategy::Context& context) {
  PyObject* ctx = reuse_context(state_, context_, context);  // borrowed from context_
  if (ctx == nullptr) return nullptr;
  PyObject* returned = call_method(state_->str_on_tick, ctx);
  end_context_call(state_, ctx);
  return returned;
}

// Inline in on_tick_out_of_line, its only caller: it runs once per tick in compatibility mode.
[[gnu::always_inline]] inline void PythonStrategy::ask(const tm_strategy::Context& context,
                                                       std::vector<tm_strategy::Intent>& intents) {
  if (failure_) return;
  const bool check = mode_ == Mode::Throughput || asks_++ % kSignalCheckEvery == 0;
  if (check && interrupt_->check_signals()) throw Stopped{};
  Ref returned = Ref::steal(mode_ == Mode::Throughput ? call_throughput(context)
                                                      : call_compatibility(context));
  if (!returned) {
    interrupt_->stop_if_stopping();
    fail(describe_current_exception());
    return;
  }
  if (returned.get() != Py_None && !take_orders(returned.get(), context, intents)) {
    fail(kBadReturn);
  }
}

void PythonStrategy::on_tick_out_of_line(const tm_strategy::Context& context,
                                         std::vector<tm_strategy::Intent>& intents) {
  // A failed run's result is discarded, so the ticks left would be work for nothing.
  if (failure_) throw Stopped{};
  if (mode_ == Mode::Throughput) {
    if (to_buffer_ == 0) return;
    --to_buffer_;
    buffer(context.tick);
    if (filled_ < batch_) return;
  }
  // The common case first: a run over ticks in memory, called on its own thread.
  const bool owner = std::this_thread::get_id() == owner_;
  if (hold_ && owner) {
    lock_.take();
    ask(context, intents);
    // A batch is followed by a stretch of engine work without Python.
    if (mode_ == Mode::Throughput) {
      lock_.release();
      let_waiters_in();
    } else {
      lock_.share();
    }
  } else if (!owner) {
    Gil gil;
    ask(context, intents);
  } else {
    Relocked lock(thread_);
    ask(context, intents);
  }
}

PyObject* PythonStrategy::call_method(PyObject* name, PyObject* argument) noexcept {
  try {
    if (kVectorcallMethod == nullptr) {
      return PyObject_CallMethodObjArgs(strategy_, name, argument, nullptr);
    }
    PyObject* const args[] = {strategy_, argument};
    return kVectorcallMethod(name, args, 2, nullptr);
  } catch (abi::__forced_unwind&) {
    park_forever();
  }
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
  filled_ = 0;
  inline_room_ = 0;
  rows_.clear();
  rows_.shrink_to_fit();
}

}  // namespace tm_py
