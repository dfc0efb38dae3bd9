// RunResult  (made by run_backtest; not constructible from Python)
//
// The Python class `RunResult`: the part of a run's result a Python caller
// reads, with the price of every fill so two runs can be compared exactly.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <string>
#include <vector>

#include "tm_backtest/run_loop.h"
#include "tm_py/module_state.h"

namespace tm_py {

struct PyRunResult {
  PyObject ob_base;  // the object header PyObject_HEAD declares
  std::string strategy;
  std::uint64_t ticks;
  std::uint64_t liquidations;
  std::int64_t final_equity;
  std::int64_t min_equity;
  std::int64_t fees_paid;
  std::int64_t funding_paid;
  std::vector<std::int64_t> fill_prices;  // also gives `fills`, its length
};

[[nodiscard]] bool add_run_result_class(PyObject* module, State* state);

// A new RunResult made from the engine's result; null with an exception set on failure.
PyObject* new_run_result(State* state, const tm_backtest::RunResult& result);

}  // namespace tm_py
