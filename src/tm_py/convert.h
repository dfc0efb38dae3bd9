// Converting bound arguments to C++ values, and C++ text back to Python. A
// conversion that fails leaves a Python exception set, carrying the note
// "while processing '<param>'", and returns an empty optional. `value` must
// not be null; `param` names the parameter in the note. Requires the
// interpreter lock throughout.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "tm_py/ref.h"

namespace tm_py {

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
// A file path as open() takes one: str, bytes or os.PathLike, as bytes in the
// file system encoding (a str that came from undecodable bytes gets them
// back). Embedded NUL bytes are kept for the caller to refuse. TypeError
// "expected str, bytes or os.PathLike object, not <type name>".
[[nodiscard]] std::optional<std::string> to_path(PyObject* value, const char* param);
// `path` (file system encoding) as the str os.fsdecode would make of it.
PyObject* path_text(const std::string& path);
// Any object passing the sequence check, each item converted as to_f64; a str
// is refused with TypeError "Can't extract `str` to `Vec`".
[[nodiscard]] std::optional<std::vector<double>> to_f64_list(PyObject* value, const char* param);
// A sequence of such sequences (one inner list per column), same rules at both levels.
[[nodiscard]] std::optional<std::vector<std::vector<double>>> to_f64_table(PyObject* value,
                                                                           const char* param);

// Calls `each(item)` (item borrowed; `each` returns false on failure) for the
// first `size` items of a sequence: a list or a tuple by index, any other
// sequence by iteration, so that a deque costs O(1) per item. Runs the signal
// handlers every 2^18 items, counted across calls on the thread (a table of
// many short rows counts all its items), so that Ctrl-C ends a long
// conversion within milliseconds. False with an exception set when `each`
// fails, a handler raises, or the sequence yields fewer than `size` items
// (IndexError).
template <class Each>
[[nodiscard]] bool for_each_item(PyObject* sequence, Py_ssize_t size, Each each);

// The calling thread's count of items for_each_item may still read before it
// runs the signal handlers.
std::uint32_t& items_until_signal_check();

// A parameter with a default: `convert(value, param)`, or `fallback` when the
// parameter was omitted (null; an explicit None is converted like any value).
template <class T>
[[nodiscard]] std::optional<T> convert_or(std::optional<T> (*convert)(PyObject*, const char*),
                                          PyObject* value, const char* param,
                                          std::type_identity_t<T> fallback) {
  if (value == nullptr) return fallback;
  return convert(value, param);
}

// How many items to reserve for reading a sequence that claims `size` items:
// all of them for a list or a tuple, else at most a bounded number, since any
// other sequence only claims a length (one claiming 2^40 items must fail when
// read, not when reserved).
std::size_t items_to_reserve(PyObject* sequence, Py_ssize_t size);

// Adds the note "while processing '<param>'" to the exception currently set.
// Skipped silently when the exception has no add_note method or adding fails.
void add_param_note(const char* param);

// Writes `text` in quoted, escaped form: double quotes around it, and double
// quotes, backslashes and control characters escaped with a backslash.
std::string quoted(std::string_view text);

// Raises ValueError with `message` (UTF-8; invalid bytes are replaced) and
// returns nothing, for `return raise_value_error(...)` in an optional-returning function.
std::nullopt_t raise_value_error(const std::string& message);

template <class Each>
bool for_each_item(PyObject* sequence, Py_ssize_t size, Each each) {
  constexpr std::uint32_t kSignalEvery = std::uint32_t{1} << 18;
  std::uint32_t& until_check = items_until_signal_check();
  const bool list = PyList_Check(sequence);
  const bool tuple = !list && PyTuple_Check(sequence);
  Ref iterator;
  if (!list && !tuple && !(iterator = Ref::steal(PyObject_GetIter(sequence)))) return false;
  for (Py_ssize_t i = 0; i < size; ++i) {
    if (--until_check == 0) [[unlikely]] {
      until_check = kSignalEvery;
      if (PyErr_CheckSignals() < 0) return false;
    }
    // A strong reference: `each` may run Python code that empties the list.
    Ref item = list    ? Ref::borrow(PyList_GetItem(sequence, i))
               : tuple ? Ref::borrow(PyTuple_GetItem(sequence, i))
                       : Ref::steal(PyIter_Next(iterator.get()));
    if (!item) {
      if (PyErr_Occurred() == nullptr)
        PyErr_SetString(PyExc_IndexError, "sequence index out of range");
      return false;
    }
    if (!each(item.get())) return false;
  }
  return true;
}

}  // namespace tm_py
