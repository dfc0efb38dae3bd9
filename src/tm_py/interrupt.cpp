// The exception that stops a run, kept as the interpreter's (type, value,
// traceback) triple so that raising it again changes nothing about it.
#include "tm_py/interrupt.h"

#include <pthread.h>

#include <cstddef>
#include <cstdint>
#include <utility>

#include "tm_py/lock.h"
#include "tm_py/ref.h"

namespace tm_py {

Interrupt::~Interrupt() {
  if (!held()) return;
  Gil gil;
  Py_XDECREF(type_);
  Py_XDECREF(value_);
  Py_XDECREF(traceback_);
}

void Interrupt::keep_current() {
  if (held()) {
    PyErr_Clear();
    return;
  }
  PyErr_Fetch(&type_, &value_, &traceback_);
}

void Interrupt::stop_if_stopping() {
  if (PyErr_Occurred() == nullptr || !(stops_run() || raised_by_signal_handler())) return;
  keep_current();
  throw Stopped{};
}

bool Interrupt::check_signals() {
  if (held()) return true;
  int checked = 0;
  try {
    checked = PyErr_CheckSignals();
  } catch (abi::__forced_unwind&) {
    park_forever();  // the interpreter ends this thread at exit (see lock.h)
  }
  if (checked < 0) keep_current();
  return held();
}

bool Interrupt::poll_signals() {
  Gil gil;
  return check_signals();
}

bool Interrupt::raise_kept() {
  if (!held()) return false;
  PyErr_Restore(std::exchange(type_, nullptr), std::exchange(value_, nullptr),
                std::exchange(traceback_, nullptr));
  return true;
}

namespace {

// The code objects of the Python functions installed as signal handlers, as
// a new set; null with an exception set.
Ref handler_codes() {
  Ref signal = Ref::steal(PyImport_ImportModule("signal"));
  Ref numbers =
      signal ? Ref::steal(PyObject_CallMethod(signal.get(), "valid_signals", nullptr)) : Ref();
  Ref codes = Ref::steal(PySet_New(nullptr));
  Ref iterator = numbers ? Ref::steal(PyObject_GetIter(numbers.get())) : Ref();
  if (!codes || !iterator) return Ref();
  while (Ref number = Ref::steal(PyIter_Next(iterator.get()))) {
    Ref handler = Ref::steal(PyObject_CallMethod(signal.get(), "getsignal", "O", number.get()));
    if (!handler) return Ref();
    // Bound methods pass the attribute on to their function.
    Ref code = Ref::steal(PyObject_GetAttrString(handler.get(), "__code__"));
    if (!code) {
      PyErr_Clear();
      continue;
    }
    if (PySet_Add(codes.get(), code.get()) < 0) return Ref();
  }
  if (PyErr_Occurred() != nullptr) return Ref();
  return codes;
}

// Whether a frame of `traceback` runs one of `codes`.
bool passes_through(PyObject* traceback, PyObject* codes) {
  Ref entry = Ref::borrow(traceback);
  while (entry && entry.get() != Py_None) {
    Ref frame = Ref::steal(PyObject_GetAttrString(entry.get(), "tb_frame"));
    Ref code = frame ? Ref::steal(PyObject_GetAttrString(frame.get(), "f_code")) : Ref();
    if (!code) return false;
    if (PySet_Contains(codes, code.get()) == 1) return true;
    entry = Ref::steal(PyObject_GetAttrString(entry.get(), "tb_next"));
  }
  return false;
}

// The stack left below the calling thread's stack pointer, in bytes; the
// bounds are read once per thread. SIZE_MAX when they cannot be read.
std::size_t stack_left() {
  thread_local std::uintptr_t low = [] {
    pthread_attr_t attributes;
    void* address = nullptr;
    std::size_t size = 0;
    if (pthread_getattr_np(pthread_self(), &attributes) != 0) return std::uintptr_t{0};
    const int got = pthread_attr_getstack(&attributes, &address, &size);
    pthread_attr_destroy(&attributes);
    return got == 0 ? reinterpret_cast<std::uintptr_t>(address) : std::uintptr_t{0};
  }();
  const char marker = 0;
  const auto here = reinterpret_cast<std::uintptr_t>(&marker);
  if (low == 0 || here < low) return SIZE_MAX;
  return here - low;
}

// The stack a nested run must find left: far more than one level of nesting
// uses (a few KiB), and the slack in which the strategy's own code runs.
constexpr std::size_t kStackReserve = std::size_t{128} << 10;

}  // namespace

bool raised_by_signal_handler() {
  PyObject* type = nullptr;
  PyObject* value = nullptr;
  PyObject* traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  bool found = false;
  if (traceback != nullptr) {
    Ref codes = handler_codes();
    found = codes && PySet_Size(codes.get()) > 0 && passes_through(traceback, codes.get());
    PyErr_Clear();
  }
  PyErr_Restore(type, value, traceback);
  return found;
}

bool NestedRun::enter() {
  if (stack_left() < kStackReserve) {
    PyErr_SetString(PyExc_RecursionError,
                    "maximum recursion depth exceeded while starting a nested run (the thread's "
                    "stack is nearly used up)");
    return false;
  }
  if (Py_EnterRecursiveCall(" while starting a nested run") != 0) return false;
  entered_ = true;
  return true;
}

}  // namespace tm_py
