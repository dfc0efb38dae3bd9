// The module `tallowmarsh`: its definition for multi-phase initialisation and
// the module function that fills a new module object, in a fixed order,
// stopping at the first failure (which the import then raises).
//
//   import tallowmarsh
//   tallowmarsh.__doc__ == "Evaluate the backtest you already have."
#include "tm_py/module_state.h"
#include "tm_py/stats_functions.h"
#include "tm_py/register.h"

namespace tm_py {
namespace {

constexpr const char* kModuleDoc = "Evaluate the backtest you already have.";

// The module function: everything a new module object gets, in order.
int tallowmarsh(PyObject* module) {
  State* state = state_of(module);
  if (!init_state(state)) return -1;
  // 1. The documentation string.
  PyObject* doc = PyUnicode_FromString(kModuleDoc);
  if (doc == nullptr) return -1;
  const int set = PyObject_SetAttrString(module, "__doc__", doc);
  Py_DECREF(doc);
  if (set < 0) return -1;
  // 2. The statistics functions.
  if (!add_statistics_functions(module)) return -1;
  // 3. CASH_SCALE, the classes and the run functions.
  if (!register_all(module)) return -1;
  return 0;
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
    PyModuleDef_HEAD_INIT,
    "tallowmarsh",
    "",
    sizeof(State),
    nullptr,
    kSlots,
    module_traverse,
    module_clear,
    module_free,
};

}  // namespace
}  // namespace tm_py

PyMODINIT_FUNC PyInit_tallowmarsh() { return PyModuleDef_Init(&tm_py::kModule); }
