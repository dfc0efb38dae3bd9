// The exception that stops a run, kept as the interpreter's (type, value,
// traceback) triple so that raising it again changes nothing about it.
#include "tm_py/interrupt.h"

#include <utility>

#include "tm_py/lock.h"

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
  if (PyErr_Occurred() == nullptr || !stops_run()) return;
  keep_current();
  throw Stopped{};
}

bool Interrupt::check_signals() {
  if (!held() && PyErr_CheckSignals() < 0) keep_current();
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

}  // namespace tm_py
