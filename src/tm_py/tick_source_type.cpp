// class TickSource:  (made by load_ticks; calling it raises TypeError)
//     path: str, count: int, instrument: int  (read-only)
//     def __len__(self) -> count
//     def __repr__(self) -> "TickSource(ticks.tmtk, 1000 ticks, instrument 1)"
//     def __reduce__(self) -> (load_ticks, (absolute path,))
//     def read(self, start=0, count=None) -> Int64Array  (tick_source_read.cpp)
//     def chunks(self, size) -> Iterator[Int64Array]
#include "tm_py/tick_source_type.h"

#include <structmember.h>
#include <unistd.h>

#include <cstddef>
#include <cstdlib>
#include <limits>
#include <new>
#include <utility>

#include "tm_py/ref.h"
#include "tm_py/tick_source_read.h"

namespace tm_py {
namespace {

PyTickSource* self_of(PyObject* self) { return reinterpret_cast<PyTickSource*>(self); }

// Dealloc.
void tick_source_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  self_of(self)->~PyTickSource();
  PyObject_Free(self);
  Py_DECREF(type);
}

// Getters.
PyObject* get_path(PyObject* self, void*) {
  const std::string& given = self_of(self)->given;
  return PyUnicode_DecodeFSDefaultAndSize(given.data(), static_cast<Py_ssize_t>(given.size()));
}

PyGetSetDef kGetters[] = {
    {"path", get_path, nullptr, "The file this reads.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef kMembers[] = {
    {"count", T_ULONGLONG, offsetof(PyTickSource, count), READONLY,
     "Records the header claims, so `len()` costs no read."},
    {"instrument", T_ULONGLONG, offsetof(PyTickSource, instrument), READONLY,
     "The instrument the file was written for."},
    {nullptr, 0, 0, 0, nullptr},
};

// Slots.
Py_ssize_t tick_source_length(PyObject* self) {
  const std::uint64_t count = self_of(self)->count;
  if (count > static_cast<std::uint64_t>(std::numeric_limits<Py_ssize_t>::max())) {
    PyErr_SetString(PyExc_OverflowError, "the file claims more records than len() can report");
    return -1;
  }
  return static_cast<Py_ssize_t>(count);
}

PyObject* tick_source_repr(PyObject* self) {
  return guarded(state_of_type(Py_TYPE(self)), [&]() -> PyObject* {
    const PyTickSource& source = *self_of(self);
    Ref path = Ref::steal(get_path(self, nullptr));
    if (!path) return nullptr;
    return PyUnicode_FromFormat("TickSource(%U, %llu ticks, instrument %llu)", path.get(),
                                static_cast<unsigned long long>(source.count),
                                static_cast<unsigned long long>(source.instrument));
  });
}

// Methods.
// Unpickling opens the absolute path again, wherever the current directory is
// then: the copy reads whatever file is there, and fails as load_ticks fails
// when none is. The copy's `path` is that absolute path.
PyObject* tick_source_reduce(PyObject* self, PyObject*) {
  Ref load = Ref::steal(PyObject_GetAttrString(PyType_GetModule(Py_TYPE(self)), "load_ticks"));
  const std::string& resolved = self_of(self)->path;
  Ref path = Ref::steal(
      PyUnicode_DecodeFSDefaultAndSize(resolved.data(), static_cast<Py_ssize_t>(resolved.size())));
  if (!load || !path) return nullptr;
  return Py_BuildValue("(O(O))", load.get(), path.get());
}

PyMethodDef kMethods[] = {
    {"__reduce__", tick_source_reduce, METH_NOARGS, nullptr},
    {"read", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(tick_source_read)),
     METH_VARARGS | METH_KEYWORDS, kTickSourceReadDoc},
    {"chunks", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(tick_source_chunks)),
     METH_VARARGS | METH_KEYWORDS, kTickSourceChunksDoc},
    {nullptr, nullptr, 0, nullptr},
};

// Spec.
constexpr const char* kDoc =
    "A tick file, held by name rather than by contents.\n"
    "\n"
    "Why a path and not an open reader\n"
    "---------------------------------\n"
    "A reader is consumed by iterating it, so a source that owned one could\n"
    "run once. `compare_modes` runs the same input twice, and any caller may\n"
    "rerun a source: every run opens its own reader on this path and streams\n"
    "the file a block at a time.\n"
    "\n"
    "Why not a list\n"
    "--------------\n"
    "One Python object per observation would be tens of gigabytes of\n"
    "interpreter heap at hundreds of millions of ticks. A source costs the\n"
    "memory of one block, whatever the size of the file.";

PyType_Slot kSlots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(tick_source_dealloc)},
    {Py_tp_getset, kGetters},
    {Py_tp_members, kMembers},
    {Py_tp_methods, kMethods},
    {Py_sq_length, reinterpret_cast<void*>(tick_source_length)},
    {Py_tp_repr, reinterpret_cast<void*>(tick_source_repr)},
    {Py_tp_doc, const_cast<char*>(kDoc)},
    {0, nullptr},
};

PyType_Spec kSpec = {
    "tallowmarsh.TickSource",
    sizeof(PyTickSource),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    kSlots,
};

}  // namespace

bool add_tick_source_class(PyObject* module, State* state) {
  PyObject* type = PyType_FromModuleAndSpec(module, &kSpec, nullptr);
  if (type == nullptr) return false;
  state->tick_source_type = reinterpret_cast<PyTypeObject*>(type);
  return PyModule_AddType(module, state->tick_source_type) == 0;
}

PyObject* new_tick_source(State* state, std::string path, std::uint64_t count,
                          std::uint64_t instrument) {
  void* memory = PyObject_Malloc(sizeof(PyTickSource));
  if (memory == nullptr) return PyErr_NoMemory();
  // The C++ members are constructed in place; the object header is set after.
  auto* source = new (memory) PyTickSource;
  source->given = path;
  source->path = std::move(path);
  if (!source->path.starts_with('/')) {
    if (char* directory = ::getcwd(nullptr, 0)) {
      source->path = std::string(directory) + "/" + source->path;
      std::free(directory);
    }
  }
  source->count = count;
  source->instrument = instrument;
  return PyObject_Init(reinterpret_cast<PyObject*>(source), state->tick_source_type);
}

}  // namespace tm_py
