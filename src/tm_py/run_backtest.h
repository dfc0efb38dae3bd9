// The module function run_backtest, and what the other run entry points take
// from it: the run configuration every Python run uses, and one Python
// strategy run from start to outcome (run_backtest's algorithm, which
// compare_modes repeats).
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <optional>

#include "tm_backtest/run_loop.h"
#include "tm_py/depth_input.h"
#include "tm_py/module_state.h"

namespace tm_py {

// The configuration of every run started from Python: L0, the built-in
// margin tiers, no fees, no funding, instrument 1, one leg.
tm_backtest::RunConfig python_config(std::int64_t balance, bool enforce_margin,
                                     std::uint64_t equity_every, std::int64_t contract_size);

// Runs `strategy` over `ticks` (a sequence of Tick or a TickSource) as
// run_backtest does after converting its arguments: refusals, the run with the
// interpreter lock released, then a strategy failure or a tick-file error as
// ValueError. Nothing with a Python exception set. REQUIRES: the lock.
// `progress`, when not null, is run_backtest's argument of that name, turned
// into a reporter by `module`'s _progress once the run's length is known.
// `depth`, when not null, is merged with the ticks; it is refused with
// ValueError unless the configuration's execution is L2.
[[nodiscard]] std::optional<tm_backtest::RunResult> run_python(State* state, PyObject* strategy,
                                                               PyObject* ticks, std::uint64_t batch,
                                                               const tm_backtest::RunConfig& config,
                                                               PyObject* module = nullptr,
                                                               PyObject* progress = nullptr,
                                                               const DepthInput* depth = nullptr);

// Adds run_backtest to `module`. Returns false with an exception set on failure.
[[nodiscard]] bool add_run_backtest(PyObject* module);

}  // namespace tm_py
