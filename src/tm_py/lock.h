// How the module moves the interpreter lock: Unlocked releases it around
// engine work; Relocked and Gil take it around a call into Python from code
// that runs with it released. Each restores the previous state also when an
// exception leaves its scope.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace tm_py {

// Releases the interpreter lock for its lifetime. REQUIRES: the lock, on construction.
class Unlocked {
 public:
  Unlocked() : saved_(PyEval_SaveThread()) {}
  ~Unlocked() { PyEval_RestoreThread(saved_); }
  Unlocked(const Unlocked&) = delete;
  Unlocked& operator=(const Unlocked&) = delete;

 private:
  PyThreadState* saved_;
};

// Holds the interpreter lock for its lifetime on behalf of `thread`, a thread
// state of the calling thread that an Unlocked further up the stack released.
// Cheaper than Gil: it skips the lookup of the calling thread's state.
class Relocked {
 public:
  explicit Relocked(PyThreadState* thread) { PyEval_RestoreThread(thread); }
  ~Relocked() { PyEval_SaveThread(); }
  Relocked(const Relocked&) = delete;
  Relocked& operator=(const Relocked&) = delete;
};

// Holds the interpreter lock for its lifetime, from a thread that may or may
// not hold it already.
class Gil {
 public:
  Gil() : state_(PyGILState_Ensure()) {}
  ~Gil() { PyGILState_Release(state_); }
  Gil(const Gil&) = delete;
  Gil& operator=(const Gil&) = delete;

 private:
  PyGILState_STATE state_;
};

}  // namespace tm_py
