// The module `tallowmarsh`: its definition for multi-phase initialisation,
// with the module state's lifetime. Each new module object gets a fresh state
// and is then filled by register_all (register.h), which stops at the first
// failure; the import raises it.
//
//   import tallowmarsh
//   tallowmarsh.__doc__ == "Evaluate the backtest you already have."
#include "tm_py/module_state.h"
#include "tm_py/register.h"

namespace tm_py {
namespace {

// The module's exec slot. A run that released the interpreter lock takes it
// back through PyGILState_Ensure, which knows only the main interpreter's
// thread states: in a sub-interpreter the first run would wait forever, so
// the import fails there instead.
int tallowmarsh(PyObject* module) {
  if (PyInterpreterState_GetID(PyInterpreterState_Get()) != 0) {
    PyErr_SetString(PyExc_ImportError,
                    "tallowmarsh can only be imported in the main interpreter, not in a "
                    "sub-interpreter");
    return -1;
  }
  if (!init_state(state_of(module))) return -1;
  return register_all(module) ? 0 : -1;
}

int module_traverse(PyObject* module, visitproc visit, void* arg) {
  return traverse_state(state_of(module), visit, arg);
}

int module_clear(PyObject* module) {
  clear_state(state_of(module));
  return 0;
}

void module_free(void* module) { free_state(state_of(static_cast<PyObject*>(module))); }

PyModuleDef_Slot kSlots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(tallowmarsh)},
    {0, nullptr},
};

PyModuleDef kModule = {
    PyModuleDef_HEAD_INIT, "tallowmarsh", "",          sizeof(State), nullptr, kSlots,
    module_traverse,       module_clear,  module_free,
};

}  // namespace
}  // namespace tm_py

PyMODINIT_FUNC PyInit_tallowmarsh() { return PyModuleDef_Init(&tm_py::kModule); }
