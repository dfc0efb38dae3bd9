// The `venue=` argument of the run entry points: a tallowmarsh.Venue read
// once, at the start of a run, into the RunConfig the run loop takes. The
// value classes themselves are Python (python/venue.py); what crosses here is
// the plain tuple of ints their `_engine_form()` makes.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "tm_backtest/run_config.h"

namespace tm_py {

// Sets the fees, funding schedule, margin tiers, execution engine, two_leg
// and track_margin of `config` from `venue`, a tallowmarsh.Venue. An omitted
// venue (null or None) leaves `config` as it is. False with TypeError (not a
// Venue, named "venue") or another exception set when the venue cannot be read.
// Requires the interpreter lock.
[[nodiscard]] bool apply_venue(PyObject* module, PyObject* venue, tm_backtest::RunConfig& config);

}  // namespace tm_py
