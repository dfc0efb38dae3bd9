// The parts of the module written in Python: the sources under python/ are
// compiled into the extension (one shared object stays the whole package) and
// run once per module object, in a namespace whose `__name__` is
// "tallowmarsh", so that what they define pickles as the module's own. Each
// source lists in `__all__` the names it adds to the module; it reaches the
// compiled part through the global `_tm`, the module object itself.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace tm_py {

// Runs every embedded source in order and adds the names of its `__all__` to
// the module. Returns false with the source's exception set on failure.
[[nodiscard]] bool add_embedded_python(PyObject* module);

}  // namespace tm_py
