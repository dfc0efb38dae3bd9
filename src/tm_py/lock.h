// How the module moves the interpreter lock: Unlocked releases it around
// engine work; Relocked and Gil take it around a call into Python from code
// that runs with it released. Each restores the previous state also when an
// exception leaves its scope.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <chrono>
#include <cstdint>
#include <thread>

namespace tm_py {

// Called right after the calling thread released the interpreter lock. A run
// that takes the lock back for every strategy call holds it again within
// microseconds, and the interpreter's hand-over to a waiting thread only works
// when the holder runs Python long enough to see the waiter's request: a
// waiter woken by each release would find the lock taken again and could wait
// for seconds. About once per switch interval (5 ms) this pauses long enough
// for a waiting thread to take the lock; without a waiter it costs about 1 %.
inline void let_waiters_in() {
  using Clock = std::chrono::steady_clock;
  thread_local std::uint32_t releases = 0;
  thread_local Clock::time_point last = Clock::now();
  if (++releases % 64 != 0) return;
  const Clock::time_point now = Clock::now();
  if (now - last < std::chrono::milliseconds(5)) return;
  std::this_thread::sleep_for(std::chrono::microseconds(50));
  last = Clock::now();
}

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
  ~Relocked() {
    PyEval_SaveThread();
    let_waiters_in();
  }
  Relocked(const Relocked&) = delete;
  Relocked& operator=(const Relocked&) = delete;
};

// Holds the interpreter lock for its lifetime, from a thread that may or may
// not hold it already.
class Gil {
 public:
  Gil() : state_(PyGILState_Ensure()) {}
  ~Gil() {
    PyGILState_Release(state_);
    if (state_ == PyGILState_UNLOCKED) let_waiters_in();
  }
  Gil(const Gil&) = delete;
  Gil& operator=(const Gil&) = delete;

 private:
  PyGILState_STATE state_;
};

}  // namespace tm_py
