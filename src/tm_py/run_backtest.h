// The run entry points' common ground: taking ticks out of Python objects,
// naming a strategy, the run configuration every Python run uses, and one
// Python strategy run from start to outcome (run_backtest's algorithm, which
// compare_modes repeats). Also the module functions run_backtest, load_ticks
// and save_ticks.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "tm_backtest/run.h"
#include "tm_engine/tick.h"
#include "tm_py/lock.h"
#include "tm_py/module_state.h"

namespace tm_py {

// The TypeError of a `ticks` argument that is not an accepted sequence of Tick.
inline constexpr const char* kBadTicks =
    "ticks must be a sequence of Tick, or a TickSource; build them with tallowmarsh.Tick(...), "
    "or read a file with load_ticks() \xE2\x80\x94 which is the one to use when the series is "
    "larger than memory";

// The engine ticks of a sequence of Tick objects, copied in order. A str, an
// object failing the sequence check, or any item that is not a Tick gives
// nothing, with the one fixed TypeError kBadTicks set. REQUIRES: the lock.
[[nodiscard]] std::optional<std::vector<tm_engine::Tick>> ticks_from(State* state,
                                                                     PyObject* object);

// The object's `name` attribute if it is a str, else its type's `__name__` if
// that is a str, else "python-strategy". Errors met while looking are discarded.
std::string strategy_name(PyObject* object);

// The configuration of every run started from Python: L0, the built-in
// margin tiers, no fees, no funding, instrument 1, one leg.
tm_backtest::RunConfig python_config(std::int64_t balance, bool enforce_margin,
                                     std::uint64_t equity_every, std::int64_t contract_size);

// Runs `strategy` over `ticks` (a sequence of Tick or a TickSource) as
// run_backtest does after converting its arguments: refusals, the run with the
// interpreter lock released, then a strategy failure or a tick-file error as
// ValueError. Nothing with a Python exception set. REQUIRES: the lock.
[[nodiscard]] std::optional<tm_backtest::RunResult> run_python(State* state, PyObject* strategy,
                                                               PyObject* ticks,
                                                               std::uint64_t batch,
                                                               const tm_backtest::RunConfig& config);

// Raises ValueError with `message` (UTF-8; invalid bytes are replaced) and
// returns nothing, for `return raise_value_error(...)` in an optional-returning function.
std::nullopt_t raise_value_error(const std::string& message);

// The lock release of tm_py/lock.h, under the name the entry points have used.
using ::tm_py::Unlocked;

// Add the module functions, each returning false with an exception set on failure.
[[nodiscard]] bool add_load_ticks(PyObject* module);
[[nodiscard]] bool add_save_ticks(PyObject* module);
[[nodiscard]] bool add_run_backtest(PyObject* module);

}  // namespace tm_py
