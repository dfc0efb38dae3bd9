// The progress of one run, reported to a Python reporter (the module's
// _progress: a tqdm bar, a bar on stderr, or the caller's callable) from the
// run loop's signal poll: the clock is read without the interpreter lock, and
// the lock is taken only when a report is due, at most every kInterval.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <chrono>
#include <cstdint>
#include <string>

#include "tm_py/ref.h"

namespace tm_py {

class RunProgress {
 public:
  static constexpr std::chrono::milliseconds kInterval{100};

  // Off: due() is never true and nothing is reported.
  RunProgress() = default;
  // The reporter `module._progress(progress, total, "ticks", desc)` makes of
  // a run's `progress` argument; off when it is None or False. False with an
  // exception set when `progress` is refused. REQUIRES: the lock.
  [[nodiscard]] bool start(PyObject* module, PyObject* progress, std::uint64_t total,
                           const std::string& desc);
  RunProgress(const RunProgress&) = delete;
  RunProgress& operator=(const RunProgress&) = delete;

  bool on() const { return static_cast<bool>(reporter_); }
  // Whether a report is due: the first call, then once kInterval has passed.
  // Needs no lock.
  bool due() const { return Clock::now() >= next_; }
  // Calls reporter.update(done). False with the reporter's exception set.
  // REQUIRES: the lock, on().
  [[nodiscard]] bool report(std::uint64_t done);
  // Reports `done` (when `done` is set) and closes the reporter; false with an
  // exception set when either call raised. REQUIRES: the lock.
  [[nodiscard]] bool finish(const std::uint64_t* done);

 private:
  using Clock = std::chrono::steady_clock;
  Ref reporter_;
  Clock::time_point next_{};
};

}  // namespace tm_py
