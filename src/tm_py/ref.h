// Owned references to Python objects. A Ref holds one strong reference and
// drops it when destroyed, so an early return on an error path leaks nothing.
// Every operation requires the interpreter lock except moving and release().
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace tm_py {

class Ref {
 public:
  Ref() = default;
  // Takes over a reference the caller owns ("new reference" results). May be null.
  static Ref steal(PyObject* object) { return Ref(object); }
  // Adds a reference to a borrowed object. May be null.
  static Ref borrow(PyObject* object) {
    Py_XINCREF(object);
    return Ref(object);
  }

  Ref(Ref&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
  Ref& operator=(Ref&& other) noexcept {
    if (this != &other) {
      PyObject* old = std::exchange(object_, std::exchange(other.object_, nullptr));
      Py_XDECREF(old);
    }
    return *this;
  }
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  ~Ref() { Py_XDECREF(object_); }

  PyObject* get() const { return object_; }
  explicit operator bool() const { return object_ != nullptr; }
  // Hands the reference to the caller (for returning a new reference to Python).
  [[nodiscard]] PyObject* release() { return std::exchange(object_, nullptr); }
  // Drops the held reference now.
  void reset() {
    PyObject* old = std::exchange(object_, nullptr);
    Py_XDECREF(old);
  }

 private:
  explicit Ref(PyObject* object) : object_(object) {}
  PyObject* object_ = nullptr;
};

}  // namespace tm_py
