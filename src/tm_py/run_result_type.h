// RunResult  (made by run_backtest; not constructible from Python)
//
// The Python class `RunResult`: the totals of a run, its sampled equity curve
// and its fill and liquidation records. The records are held as Int64Array
// columns that numpy wraps without copying; the price column also gives
// `fills` and `fill_prices`, so the three always agree.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <span>
#include <string>

#include "tm_backtest/run_loop.h"
#include "tm_py/module_state.h"

namespace tm_py {

// Columns of the record sets, in the order of their namedtuples (results.py).
inline constexpr Py_ssize_t kCurveColumns = 3;  // exch_ts, equity, position
inline constexpr Py_ssize_t kFillColumns = 9;   // exch_ts, order, side, offset, price,
                                                // qty, fee, taker, realised
inline constexpr Py_ssize_t kFillPriceColumn = 4;
inline constexpr Py_ssize_t kLiquidationColumns = 5;  // exch_ts, price, qty, balance, forfeited

struct PyRunResult {
  PyObject ob_base;  // the object header PyObject_HEAD declares
  std::string strategy;
  std::uint64_t ticks;
  std::uint64_t liquidations;
  std::int64_t final_equity;
  std::int64_t min_equity;
  std::int64_t fees_paid;
  std::int64_t funding_paid;
  std::int64_t realised;
  std::int64_t max_adverse_excursion;
  std::int64_t max_drawdown;
  std::uint64_t skipped_ticks;
  std::uint64_t depth_gaps;
  PyObject* margin_watch;         // (peak_maintenance, min_headroom or None), or None; owned
  PyObject* curve;                // tuple of kCurveColumns Int64Array; owned
  PyObject* fill_records;         // tuple of kFillColumns Int64Array; owned
  PyObject* liquidation_records;  // tuple of kLiquidationColumns Int64Array; owned
};

[[nodiscard]] bool add_run_result_class(PyObject* module, State* state);

// A new RunResult made from the engine's result, whose record vectors it
// takes over; null with an exception set on failure.
PyObject* new_run_result(State* state, tm_backtest::RunResult&& result);

// A new RunResult from the tuple __reduce__ gives; TypeError or ValueError
// when `fields` is not such a tuple.
PyObject* rebuild_run_result(State* state, PyObject* fields);
// That tuple for `self`: a new reference, or null with an exception set.
PyObject* run_result_fields(PyObject* self);

// The values of a one-dimensional Int64Array; empty for any other object.
std::span<const std::int64_t> int64_values(PyObject* array);

}  // namespace tm_py
