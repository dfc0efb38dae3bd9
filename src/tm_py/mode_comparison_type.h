// ModeComparison  (made by compare_modes; not constructible from Python)
//
// The Python class `ModeComparison`: what batching changed in one strategy's
// run over one tick series, fill price by fill price.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <optional>
#include <span>

#include "tm_py/module_state.h"

namespace tm_py {

struct PyModeComparison {
  PyObject ob_base;  // the object header PyObject_HEAD declares
  std::uint64_t batch;
  std::uint64_t compat_fills;
  std::uint64_t batched_fills;
  std::uint64_t first_divergence;
  bool has_divergence;             // false: every fill matched
  std::int64_t equity_difference;  // batched minus per-tick, saturating
  bool identical;
};

// The comparison of two runs' fill prices: the first index below the shorter
// length where they differ; else the shorter length when the lengths differ;
// else nothing.
std::optional<std::uint64_t> first_divergence(std::span<const std::int64_t> compat,
                                              std::span<const std::int64_t> batched);

[[nodiscard]] bool add_mode_comparison_class(PyObject* module, State* state);

// A new ModeComparison; null with an exception set on failure.
PyObject* new_mode_comparison(State* state, std::uint64_t batch,
                              std::span<const std::int64_t> compat_prices,
                              std::span<const std::int64_t> batched_prices,
                              std::int64_t compat_equity, std::int64_t batched_equity);

}  // namespace tm_py
