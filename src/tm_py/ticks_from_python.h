// Taking ticks out of Python: the engine ticks of a sequence of Tick objects,
// copied once, for a run, a check or a file write.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <optional>
#include <vector>

#include "tm_py/module_state.h"
#include "tm_types/tick.h"

namespace tm_py {

// The TypeError of a `ticks` argument that is not an accepted sequence of Tick.
inline constexpr const char* kBadTicks =
    "ticks must be a sequence of Tick, or a TickSource; build them with tallowmarsh.Tick(...), "
    "or read a file with load_ticks() \xE2\x80\x94 which is the one to use when the series is "
    "larger than memory";

// The engine ticks of a sequence of Tick objects, copied in order. A str, an
// object failing the sequence check, or any item that is not a Tick gives
// nothing, with the one fixed TypeError kBadTicks set; an exception that is
// not an `Exception` (Ctrl-C while a custom sequence was read) is left set
// instead. REQUIRES: the lock.
[[nodiscard]] std::optional<std::vector<tm_types::Tick>> ticks_from(State* state, PyObject* object);

}  // namespace tm_py
