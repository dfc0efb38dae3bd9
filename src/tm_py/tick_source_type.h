// TickSource  (made by load_ticks; not constructible from Python)
//
// The Python class `TickSource`: a tick file held by its path and its
// header's claims, opened afresh by every run that reads it.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <string>

#include "tm_py/module_state.h"

namespace tm_py {

struct PyTickSource {
  PyObject ob_base;  // the object header PyObject_HEAD declares
  // The file to open, made absolute when the source was made, so that a later
  // os.chdir changes nothing; in the file system encoding, like `given`.
  std::string path;
  // The path as the caller wrote it, which `path` and the repr show.
  std::string given;
  std::uint64_t count;       // records the header claims
  std::uint64_t instrument;  // the instrument the file was written for
};

[[nodiscard]] bool add_tick_source_class(PyObject* module, State* state);

// A new TickSource for `path` (in the file system encoding); a relative path is
// resolved against the current directory now. Null with an exception set on
// failure.
PyObject* new_tick_source(State* state, std::string path, std::uint64_t count,
                          std::uint64_t instrument);

inline bool is_tick_source(const State* state, PyObject* object) {
  return Py_TYPE(object) == state->tick_source_type;
}
// REQUIRES: is_tick_source(state, object).
inline const PyTickSource& tick_source_of(PyObject* object) {
  return *reinterpret_cast<PyTickSource*>(object);
}

}  // namespace tm_py
