// Ending a run made from Python before its last tick without losing why. A
// signal whose handler raises (Ctrl-C's KeyboardInterrupt, a SIGALRM handler's
// TimeoutError), wherever the signal lands, and an exception from the strategy
// or a lookahead build that is not an `Exception` (KeyboardInterrupt,
// SystemExit, the module's InvariantError) are never turned into failure text: the run's Interrupt
// keeps the exception, owned, the run unwinds, and the entry point raises it again unchanged,
// before it looks at strategy failures or tick-file errors.
//
// Signals are polled wherever the run holds the interpreter lock anyway (each
// strategy call, each lookahead build) and, for stretches in which Python is
// not called at all, by Interruptible every kPollEvery ticks.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>

#include "tm_py/lock.h"
#include "tm_py/run_progress.h"
#include "tm_types/tick.h"

namespace tm_py {

// Thrown by the adapter and the lookahead builder to unwind the run loop once
// the outcome of the call is settled: an Interrupt holds an exception, or the
// strategy failed (the run's result would be discarded anyway). The entry
// point that started the run catches it; it never reaches Python.
struct Stopped {};

// The exception that stopped one entry-point call. Touched only by the thread
// making that call.
class Interrupt {
 public:
  Interrupt() = default;
  Interrupt(const Interrupt&) = delete;
  Interrupt& operator=(const Interrupt&) = delete;
  // Drops an exception kept but never raised, taking the lock if needed.
  ~Interrupt();

  bool held() const { return type_ != nullptr; }
  // Takes the current Python exception over; the first one kept stays.
  // REQUIRES: the interpreter lock, an exception set.
  void keep_current();
  // When an exception is set and it stops the run (stops_run below), keeps it
  // and throws Stopped; otherwise leaves the exception state as it is.
  // REQUIRES: the interpreter lock.
  void stop_if_stopping();
  // Runs the pending signal handlers and keeps what they raise. True when an
  // exception is held. REQUIRES: the interpreter lock.
  bool check_signals();
  // As check_signals, from a thread that does not hold the lock.
  bool poll_signals();
  // Sets the kept exception, traceback included, as the current one and gives
  // it up. False when none is kept. REQUIRES: the interpreter lock.
  bool raise_kept();

 private:
  PyObject* type_ = nullptr;
  PyObject* value_ = nullptr;
  PyObject* traceback_ = nullptr;
};

// Whether the current exception is not an `Exception`. REQUIRES: the lock, an
// exception set.
inline bool stops_run() { return PyErr_ExceptionMatches(PyExc_Exception) == 0; }

// Whether the current exception was raised by a Python signal handler: its
// traceback passes through the code of a function installed with
// signal.signal(). Such an exception stops a run like Ctrl-C, since where the
// signal lands (strategy code or the module's own poll) is chance. Keeps the
// exception set. REQUIRES: the lock, an exception set.
bool raised_by_signal_handler();

// One more level of nested runs (a strategy that runs a backtest), counted as
// one level of the interpreter's recursion limit. Refused with RecursionError
// when the limit is reached or the calling thread's stack is nearly used up,
// so that deep nesting fails cleanly also on threads with small stacks.
class NestedRun {
 public:
  NestedRun() = default;
  NestedRun(const NestedRun&) = delete;
  NestedRun& operator=(const NestedRun&) = delete;
  ~NestedRun() {
    if (entered_) Py_LeaveRecursiveCall();
  }
  // False with RecursionError set when refused. REQUIRES: the lock.
  [[nodiscard]] bool enter();

 private:
  bool entered_ = false;
};

// A tick source that polls the signal handlers every kPollEvery ticks, and
// ends the stream once its Interrupt holds an exception. With a RunProgress
// that is on, it reads the clock every kProgressEvery ticks instead and takes
// the lock only when a report is due (then also polling the signals), or
// every kPollEvery ticks for the signals alone. Any exception the reporter
// raises stops the run like Ctrl-C. Called by the run loop without the
// interpreter lock.
template <class Source>
class Interruptible {
 public:
  // At the engine's speed this is a few milliseconds of run, and rare enough
  // that taking the lock for the poll costs nothing measurable.
  static constexpr std::uint32_t kPollEvery = 1u << 20;
  // A clock read every this many ticks costs well under 1 % even at the
  // engine's full speed, and keeps a slow strategy's reports near kInterval.
  static constexpr std::uint32_t kProgressEvery = 1u << 10;

  // Borrows all three; they must outlive this source.
  Interruptible(Source& source, Interrupt& interrupt, RunProgress* progress = nullptr)
      : source_(source),
        interrupt_(interrupt),
        progress_(progress != nullptr && progress->on() ? progress : nullptr),
        every_(progress_ != nullptr ? kProgressEvery : kPollEvery) {}
  Interruptible(const Interruptible&) = delete;
  Interruptible& operator=(const Interruptible&) = delete;

  const tm_types::Tick* next() {
    if (--until_poll_ == 0) [[unlikely]] {
      if (poll()) return nullptr;
    }
    return source_.next();
  }

 private:
  // True when the stream must end. `delivered_` counts the ticks handed out
  // before this call.
  bool poll() {
    until_poll_ = every_;
    const std::uint64_t done = delivered_;
    delivered_ += every_;
    if (progress_ == nullptr) return interrupt_.poll_signals();
    const bool due = progress_->due();
    if (!due && done % kPollEvery != 0) return false;
    Gil gil;
    if (interrupt_.check_signals()) return true;
    if (due && !progress_->report(done)) interrupt_.keep_current();
    return interrupt_.held();
  }

  Source& source_;
  Interrupt& interrupt_;
  RunProgress* progress_;
  std::uint32_t every_;
  std::uint32_t until_poll_ = 1;  // the first tick polls: a signal may have come during setup
  std::uint64_t delivered_ = 0;
};

}  // namespace tm_py
