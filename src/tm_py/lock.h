// How the module moves the interpreter lock: Unlocked releases it around
// engine work; Relocked and Gil take it around a call into Python from code
// that runs with it released; HeldLock keeps it across a run's consecutive
// strategy calls. Each restores the previous state also when an exception
// leaves its scope.
//
// Every take of the lock goes through take_lock or ensure_lock. At interpreter
// exit a thread that asks for the lock is ended by the interpreter through a
// forced unwind; unwinding C++ frames that hold Python references, run
// destructors and may be noexcept is unsafe there, so such a thread is parked
// instead: it never returns and ends with the process, as the interpreter's
// own daemon threads do.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <cxxabi.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <thread>

namespace tm_py {

// Blocks the calling thread for good. Used only on a thread the interpreter
// is ending at exit.
[[noreturn]] inline void park_forever() {
  for (;;) std::this_thread::sleep_for(std::chrono::hours(1));
}

// PyEval_RestoreThread(thread), or never returning when the interpreter is
// finalizing and ends the calling thread.
inline void take_lock(PyThreadState* thread) noexcept {
  try {
    PyEval_RestoreThread(thread);
  } catch (abi::__forced_unwind&) {
    park_forever();
  }
}

// PyGILState_Ensure(), with take_lock's behaviour at interpreter exit.
inline PyGILState_STATE ensure_lock() noexcept {
  try {
    return PyGILState_Ensure();
  } catch (abi::__forced_unwind&) {
    park_forever();
  }
}

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
  ~Unlocked() { take_lock(saved_); }
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
  explicit Relocked(PyThreadState* thread) { take_lock(thread); }
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
  Gil() : state_(ensure_lock()) {}
  ~Gil() {
    PyGILState_Release(state_);
    if (state_ == PyGILState_UNLOCKED) let_waiters_in();
  }
  Gil(const Gil&) = delete;
  Gil& operator=(const Gil&) = delete;

 private:
  PyGILState_STATE state_;
};

// The interpreter lock of one thread's run, taken for a strategy call and
// kept across the calls that follow, so that a call costs no hand-over of the
// lock. share() gives it up once per switch interval (sys.getswitchinterval()),
// which lets another Python thread take its turn as it would beside pure
// Python code. Used by one thread only; REQUIRES: the lock on construction.
// A plain value: a copy describes the same thread's lock.
class HeldLock {
 public:
  // `thread` is the calling thread's state; `interval` the switch interval.
  HeldLock(PyThreadState* thread, std::chrono::nanoseconds interval)
      : thread_(thread), interval_(interval) {}

  bool held() const { return held_; }
  void take() {
    if (held_) return;
    take_lock(thread_);
    held_ = true;
    since_ = Clock::now();
  }
  void release() {
    if (!held_) return;
    PyEval_SaveThread();
    held_ = false;
  }
  // After a call: gives the lock up, for about 50 us, when it has been held
  // for a switch interval. The clock is read only when a countdown of calls
  // runs out; the countdown's length adapts to the calls' pace so that the
  // clock is read about 32 to 64 times per interval: a run of fast calls
  // pays one read per 512 to 1024 calls, and the countdown halves at each
  // reading once the calls slow down.
  void share() {
    if (--until_read_ != 0) return;
    const Clock::time_point now = Clock::now();
    stride_ = now - read_ < interval_ / 64   ? std::min<std::uint32_t>(stride_ * 2, kMaxStride)
              : now - read_ > interval_ / 32 ? std::max<std::uint32_t>(stride_ / 2, 1)
                                             : stride_;
    until_read_ = stride_;
    read_ = now;
    if (now - since_ < interval_) return;
    release();
    std::this_thread::sleep_for(std::chrono::microseconds(50));
  }

 private:
  using Clock = std::chrono::steady_clock;
  static constexpr std::uint32_t kMaxStride = 1024;
  PyThreadState* thread_;
  std::chrono::nanoseconds interval_;
  Clock::time_point since_ = Clock::now();  // when the lock was last taken
  Clock::time_point read_ = since_;         // the clock's latest reading by share()
  std::uint32_t stride_ = 16;               // calls between two readings
  std::uint32_t until_read_ = 16;           // calls until the next reading
  bool held_ = true;
};

}  // namespace tm_py
