// The two ways the module moves the interpreter lock: Unlocked releases it
// around engine work; Gil takes it around a call into Python from code that
// runs with it released. Both restore the previous state also when an
// exception leaves their scope.
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
