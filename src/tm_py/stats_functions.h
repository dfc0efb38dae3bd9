// The statistics functions of the module: sharpe_ratio, moments,
// probabilistic_sharpe_ratio, deflated_sharpe_ratio,
// probability_of_backtest_overfitting and minimum_track_record_length.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace tm_py {

// Adds the six functions to `module` in that order. Returns false with a
// Python exception set when adding fails. REQUIRES: the interpreter lock.
[[nodiscard]] bool add_statistics_functions(PyObject* module);

}  // namespace tm_py
