// The argument layer every function and constructor of the module goes
// through: binding positional and keyword arguments to named parameters with
// Python's own TypeError wording, and converting each bound object to a C++
// value. A conversion that fails leaves a Python exception set, carrying the
// note "while processing '<param>'", and returns an empty optional (or false).
//
// Typical use, inside a function taking (args, kwargs):
//   static constexpr const char* kParams[] = {"path", "ticks", "instrument"};
//   PyObject* slot[3];
//   if (!tm_py::bind({"save_ticks", kParams, 2}, args, kwargs, slot)) return nullptr;
//   auto path = tm_py::to_str(slot[0], "path");
//   if (!path) return nullptr;
//   std::uint64_t instrument = 1;
//   if (slot[2]) { auto v = tm_py::to_u64(slot[2], "instrument"); if (!v) return nullptr; instrument = *v; }
// Requires the interpreter lock throughout.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

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

// Conversions. `value` must not be null; `param` names the parameter in the note.
// 64-bit signed integer through the index protocol: TypeError for float or str,
// OverflowError outside the range.
[[nodiscard]] std::optional<std::int64_t> to_i64(PyObject* value, const char* param);
// Unsigned count: as to_i64, and OverflowError for a negative integer or one
// above the 64-bit unsigned range.
[[nodiscard]] std::optional<std::uint64_t> to_u64(PyObject* value, const char* param);
// True/False (and numpy booleans) only; any other object, 0 and 1 included, is a TypeError.
[[nodiscard]] std::optional<bool> to_flag(PyObject* value, const char* param);
// float, int, or any object convertible to float.
[[nodiscard]] std::optional<double> to_f64(PyObject* value, const char* param);
// str only, as UTF-8.
[[nodiscard]] std::optional<std::string> to_str(PyObject* value, const char* param);
// Any object passing the sequence check, each item converted as to_f64; a str
// is refused with TypeError "Can't extract `str` to `Vec`".
[[nodiscard]] std::optional<std::vector<double>> to_f64_list(PyObject* value, const char* param);
// A sequence of such sequences (one inner list per column), same rules at both levels.
[[nodiscard]] std::optional<std::vector<std::vector<double>>> to_f64_table(PyObject* value,
                                                                         const char* param);

// Adds the note "while processing '<param>'" to the exception currently set.
// Skipped silently when the exception has no add_note method or adding fails.
void add_param_note(const char* param);

// Writes `text` in quoted, escaped form: double quotes around it, and double
// quotes, backslashes and control characters escaped with a backslash.
std::string quoted(std::string_view text);

}  // namespace tm_py
