// The strategy adapter. Everything that touches a Python object runs between
// a Gil guard's construction and destruction, so an exception thrown from
// inside (an invariant failure, lack of memory) still gives the lock back.
#include "tm_py/python_strategy.h"

#include <algorithm>
#include <utility>

#include "tm_py/context_type.h"
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

// The text of a str object; nothing for null, another type, or text that
// cannot be encoded (the error is cleared).
std::optional<std::string> str_value(PyObject* object) {
  if (object == nullptr || !PyUnicode_Check(object)) return std::nullopt;
  Py_ssize_t length = 0;
  const char* text = PyUnicode_AsUTF8AndSize(object, &length);
  if (text == nullptr) {
    PyErr_Clear();
    return std::nullopt;
  }
  return std::string(text, static_cast<std::size_t>(length));
}

}  // namespace

void FailureSlot::offer(const std::string& text) {
  std::lock_guard lock(mutex_);
  if (!text_) text_ = text;
}

std::optional<std::string> FailureSlot::get() const {
  std::lock_guard lock(mutex_);
  return text_;
}

std::string describe_current_exception() {
  PyObject* type = nullptr;
  PyObject* value = nullptr;
  PyObject* traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  PyErr_NormalizeException(&type, &value, &traceback);
  Ref type_ref = Ref::steal(type);
  Ref value_ref = Ref::steal(value);
  Ref traceback_ref = Ref::steal(traceback);

  std::string text;
  PyTypeObject* exception_type =
      value != nullptr ? Py_TYPE(value) : reinterpret_cast<PyTypeObject*>(type);
  if (exception_type != nullptr) {
    Ref name = Ref::steal(PyType_GetQualName(exception_type));
    text = str_value(name.get()).value_or("");
    PyErr_Clear();
  }
  text += ": ";
  Ref str = value != nullptr ? Ref::steal(PyObject_Str(value)) : Ref();
  if (std::optional<std::string> described = str_value(str.get())) return text + *described;
  PyErr_Clear();
  text += "<exception str() failed>";
  return text;
}

std::string strategy_name(PyObject* object) {
  Ref name = Ref::steal(PyObject_GetAttrString(object, "name"));
  PyErr_Clear();
  if (std::optional<std::string> text = str_value(name.get())) return *std::move(text);
  Ref type_name =
      Ref::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(object)), "__name__"));
  PyErr_Clear();
  if (std::optional<std::string> text = str_value(type_name.get())) return *std::move(text);
  return "python-strategy";
}

PythonStrategy::PythonStrategy(State* state, PyObject* strategy, Mode mode, std::uint64_t batch,
                               std::string name, std::shared_ptr<FailureSlot> slot,
                               Interrupt* interrupt)
    : mode_(mode),
      batch_(batch),
      name_(std::move(name)),
      strategy_(strategy),
      slot_(std::move(slot)),
      state_(state),
      interrupt_(interrupt),
      thread_(strategy != nullptr ? PyThreadState_Get() : nullptr) {
  if (mode_ == Mode::Throughput) pending_.reserve(std::min(batch_, kMaxReserve));
  if (mode_ == Mode::Throughput && strategy_ != nullptr) {
    // A strategy asks for its working orders by a true class or instance attribute.
    Ref wants = Ref::steal(PyObject_GetAttr(strategy_, state_->str_wants_orders));
    wants_orders_ = wants && PyObject_IsTrue(wants.get()) == 1;
    PyErr_Clear();
  }
}

PythonStrategy::PythonStrategy(State* state, PyObject* strategy, std::uint64_t batch,
                               std::string name, Interrupt& interrupt)
    : PythonStrategy(state, Py_NewRef(strategy), batch > 1 ? Mode::Throughput : Mode::Compatibility,
                     batch, std::move(name), nullptr, &interrupt) {}

PythonStrategy::PythonStrategy(State* state, PyObject* strategy, std::string name,
                               std::shared_ptr<FailureSlot> slot, Interrupt& interrupt)
    : PythonStrategy(state, Py_NewRef(strategy), Mode::Compatibility, 1, std::move(name),
                     std::move(slot), &interrupt) {}

PythonStrategy PythonStrategy::born_failed(State* state, std::string failure,
                                           std::shared_ptr<FailureSlot> slot) {
  PythonStrategy adapter(state, nullptr, Mode::Compatibility, 1, std::string(), std::move(slot),
                         nullptr);
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
      order_counter_(other.order_counter_),
      to_buffer_(other.to_buffer_),
      wants_orders_(other.wants_orders_),
      slot_(std::move(other.slot_)),
      state_(other.state_),
      interrupt_(other.interrupt_),
      owner_(other.owner_),
      thread_(other.thread_) {}

PythonStrategy& PythonStrategy::operator=(PythonStrategy&& other) noexcept {
  if (this != &other) {
    PythonStrategy dropped(std::move(*this));
    mode_ = other.mode_;
    batch_ = other.batch_;
    name_ = std::move(other.name_);
    pending_ = std::move(other.pending_);
    failure_ = std::move(other.failure_);
    strategy_ = std::exchange(other.strategy_, nullptr);
    order_counter_ = other.order_counter_;
    to_buffer_ = other.to_buffer_;
    wants_orders_ = other.wants_orders_;
    slot_ = std::move(other.slot_);
    state_ = other.state_;
    interrupt_ = other.interrupt_;
    owner_ = other.owner_;
    thread_ = other.thread_;
  }
  return *this;
}

PythonStrategy::~PythonStrategy() {
  if (strategy_ == nullptr) return;
  Gil gil;
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
  if (std::this_thread::get_id() == owner_) {
    Relocked lock(thread_);
    ask(context, intents);
  } else {
    Gil gil;
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

PyObject* PythonStrategy::call_compatibility(const tm_strategy::Context& context) {
  Ref ctx = Ref::steal(new_context(state_, context));
  if (!ctx) return nullptr;
  PyObject* returned =
      PyObject_CallMethodObjArgs(strategy_, state_->str_on_tick, ctx.get(), nullptr);
  end_context_call(state_, ctx.get());
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
  Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(pending_.size())));
  if (!list) return nullptr;
  for (std::size_t i = 0; i < pending_.size(); ++i) {
    PyObject* tick = new_tick(state_, pending_[i]);
    if (tick == nullptr) return nullptr;
    PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), tick);  // steals; cannot fail here
  }
  pending_.clear();
  return PyObject_CallMethodObjArgs(strategy_, state_->str_on_batch, list.get(), nullptr);
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
