// LookaheadReport  (made by lookahead_check; not constructible from Python)
//
// The Python class `LookaheadReport`: how many signals the full run sent, how
// many prefixes were rerun, and where a rerun decided differently.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <vector>

#include "tm_backtest/lookahead.h"
#include "tm_py/module_state.h"

namespace tm_py {

struct PyLookaheadReport {
  struct Point {
    std::uint64_t checked_at;
    std::uint64_t tick;
    std::int64_t exch_ts;
  };
  PyObject ob_base;  // the object header PyObject_HEAD declares
  std::uint64_t signals;
  std::uint64_t checked;
  std::vector<Point> divergences;
};

[[nodiscard]] bool add_lookahead_report_class(PyObject* module, State* state);

// A new LookaheadReport from the engine's report; null with an exception set on failure.
PyObject* new_lookahead_report(State* state, const tm_backtest::LookaheadReport& report);

}  // namespace tm_py
