// Binding a call's positional and keyword arguments to named parameters, with
// Python's own TypeError wording; every function and constructor of the
// module goes through it. Converting each bound object is convert.h's.
//
// Typical use, inside a function taking (args, kwargs):
//   static constexpr const char* kParams[] = {"path", "ticks", "instrument"};
//   PyObject* slot[3];
//   if (!tm_py::bind({"save_ticks", kParams, 2}, args, kwargs, slot)) return nullptr;
//   const auto path = tm_py::to_str(slot[0], "path");
//   if (!path) return nullptr;
//   const auto instrument = tm_py::convert_or(tm_py::to_u64, slot[2], "instrument", 1);
//   if (!instrument) return nullptr;
// Requires the interpreter lock throughout.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <span>

namespace tm_py {

// A function's parameters, all positional-or-keyword. The first `required`
// have no default. `name` is what error messages print before "()".
struct Signature {
  const char* name;
  std::span<const char* const> params;
  std::size_t required;
};

// Binds `args` (a tuple, may be null) and `kwargs` (a dict, may be null) to the
// parameters. On success slot[i] is the borrowed object given for params[i],
// or null when the parameter was omitted. On failure raises TypeError worded
// as CPython words it for a Python function, e.g.
//   "f() missing 1 required positional argument: 'last'"
//   "f() got an unexpected keyword argument 'x'"
//   "f() got multiple values for argument 'x'"
//   "f() takes from 2 to 8 positional arguments but 9 were given"
// `slot` must have room for sig.params.size() entries.
[[nodiscard]] bool bind(const Signature& sig, PyObject* args, PyObject* kwargs, PyObject** slot);

// True for an omitted parameter (null) or an explicit None: how parameters
// documented as "=None" are tested before converting them.
inline bool omitted(PyObject* value) { return value == nullptr || value == Py_None; }

}  // namespace tm_py
