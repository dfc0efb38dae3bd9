// TickSource.read(start=0, count=None) -> Int64Array
// TickSource.chunks(size) -> Iterator[Int64Array]
//
// The records of a tick file back out as (n, 8) int64 arrays, read without the
// interpreter lock and checked as a run checks them: the order of exchange
// times as they are read, the checksum whenever the read reaches the file's end.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "tm_py/module_state.h"

namespace tm_py {

// The methods, for TickSource's method table.
PyObject* tick_source_read(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* tick_source_chunks(PyObject* self, PyObject* args, PyObject* kwargs);
extern const char* const kTickSourceReadDoc;
extern const char* const kTickSourceChunksDoc;

// Creates the iterator class chunks() returns and stores it in the module
// state; it is not a module attribute.
[[nodiscard]] bool add_tick_chunks_class(PyObject* module, State* state);

}  // namespace tm_py
