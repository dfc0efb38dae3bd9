// Int64Array(data, shape=None)
//
//   a = tallowmarsh.Int64Array(bytes(16), (2,))   # copies the bytes
//   numpy.asarray(a)                                # no copy: shares a's memory
//
// Instance struct, dealloc, getters, methods, buffer and sequence slots, spec.
#include "tm_py/int64_array_type.h"

#include <cstring>
#include <string>
#include <utility>

#include "tm_py/ref.h"

namespace tm_py {
namespace {

struct PyInt64Array {
  PyObject ob_base;                   // the object header PyObject_HEAD declares
  std::vector<std::int64_t>* values;  // owned; never null once constructed
  Py_ssize_t ndim;                    // 1 or 2
  Py_ssize_t shape[2];
  Py_ssize_t strides[2];
};

PyInt64Array* as_array(PyObject* self) { return reinterpret_cast<PyInt64Array*>(self); }

// The shape of the array's values laid out in `columns` columns (none: one dimension).
void set_shape(PyInt64Array* self, Py_ssize_t columns) {
  const auto size = static_cast<Py_ssize_t>(self->values->size());
  self->ndim = columns == 0 ? 1 : 2;
  self->shape[0] = columns == 0 ? size : size / columns;
  self->shape[1] = columns;
  self->strides[0] = columns == 0 ? 8 : 8 * columns;
  self->strides[1] = 8;
}

PyObject* make(PyTypeObject* type, std::vector<std::int64_t> values, Py_ssize_t columns) {
  auto* self = PyObject_New(PyInt64Array, type);
  if (self == nullptr) return nullptr;
  self->values = new (std::nothrow) std::vector<std::int64_t>(std::move(values));
  if (self->values == nullptr) {
    Py_DECREF(self);
    return PyErr_NoMemory();
  }
  set_shape(self, columns);
  return reinterpret_cast<PyObject*>(self);
}

void dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  delete as_array(self)->values;
  PyObject_Free(self);
  Py_DECREF(type);
}

PyObject* shape_tuple(const PyInt64Array* a) {
  if (a->ndim == 1) return Py_BuildValue("(n)", a->shape[0]);
  return Py_BuildValue("(nn)", a->shape[0], a->shape[1]);
}

PyObject* get_shape(PyObject* self, void*) { return shape_tuple(as_array(self)); }

// The shape argument: None (one dimension over all the data), an int, or a
// tuple of one or two non-negative ints whose product is the item count.
bool parse_shape(PyObject* shape, Py_ssize_t items, Py_ssize_t* columns) {
  *columns = 0;
  if (shape == Py_None) return true;
  Py_ssize_t dims[2] = {0, 0};
  Py_ssize_t ndim = 1;
  if (PyLong_Check(shape)) {
    dims[0] = PyLong_AsSsize_t(shape);
  } else if (PyTuple_Check(shape) && (PyTuple_Size(shape) == 1 || PyTuple_Size(shape) == 2)) {
    ndim = PyTuple_Size(shape);
    for (Py_ssize_t i = 0; i < ndim; ++i) {
      dims[i] = PyLong_AsSsize_t(PyTuple_GetItem(shape, i));
    }
  } else {
    PyErr_SetString(PyExc_TypeError,
                    "Int64Array: shape must be None, an int or a tuple of one or two ints");
    return false;
  }
  if (PyErr_Occurred()) return false;
  const Py_ssize_t product = ndim == 1 ? dims[0] : dims[0] * dims[1];
  if (dims[0] < 0 || dims[1] < 0 || (ndim == 2 && dims[1] == 0) || product != items) {
    PyErr_Format(PyExc_ValueError, "Int64Array: shape does not match the data's %zd items", items);
    return false;
  }
  *columns = ndim == 2 ? dims[1] : 0;
  return true;
}

// Raw bytes (format "B", "b" or "c") or native 64-bit integers.
bool is_int64_or_bytes_format(const char* format, Py_ssize_t itemsize) {
  if (format == nullptr) return true;
  std::string f(format);
  if (!f.empty() && (f[0] == '@' || f[0] == '=' || f[0] == '<')) f.erase(0, 1);
  if (itemsize == 1) return f == "B" || f == "b" || f == "c";
  return itemsize == 8 && (f == "q" || f == "l");
}

PyObject* tp_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  static const char* kKeywords[] = {"data", "shape", nullptr};
  PyObject* data = nullptr;
  PyObject* shape = Py_None;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|O:Int64Array", const_cast<char**>(kKeywords),
                                   &data, &shape)) {
    return nullptr;
  }
  Py_buffer view;
  if (PyObject_GetBuffer(data, &view, PyBUF_C_CONTIGUOUS | PyBUF_FORMAT) < 0) {
    PyErr_Clear();
    Ref name = Ref::steal(PyType_GetName(Py_TYPE(data)));
    if (!name) return nullptr;
    PyErr_Format(PyExc_TypeError,
                 "Int64Array: data must be a C-contiguous buffer of bytes or int64, not %U",
                 name.get());
    return nullptr;
  }
  const bool format_ok = is_int64_or_bytes_format(view.format, view.itemsize);
  const Py_ssize_t length = view.len;
  std::vector<std::int64_t> values;
  if (format_ok && length % 8 == 0) {
    values.resize(static_cast<std::size_t>(length / 8));
    if (length != 0) std::memcpy(values.data(), view.buf, static_cast<std::size_t>(length));
  }
  const std::string format = view.format == nullptr ? "B" : view.format;
  PyBuffer_Release(&view);
  if (!format_ok) {
    PyErr_Format(PyExc_TypeError, "Int64Array: data must hold bytes or int64, not format '%s'",
                 format.c_str());
    return nullptr;
  }
  if (length % 8 != 0) {
    PyErr_Format(PyExc_ValueError, "Int64Array: data of %zd bytes is not a whole number of int64",
                 length);
    return nullptr;
  }
  Py_ssize_t columns = 0;
  if (!parse_shape(shape, length / 8, &columns)) return nullptr;
  return make(type, std::move(values), columns);
}

int get_buffer(PyObject* self, Py_buffer* view, int flags) {
  PyInt64Array* a = as_array(self);
  if ((flags & PyBUF_WRITABLE) == PyBUF_WRITABLE) {
    PyErr_SetString(PyExc_BufferError, "Int64Array is read-only");
    view->obj = nullptr;
    return -1;
  }
  view->buf = a->values->data();
  view->obj = Py_NewRef(self);
  view->len = static_cast<Py_ssize_t>(a->values->size() * sizeof(std::int64_t));
  view->itemsize = sizeof(std::int64_t);
  view->readonly = 1;
  view->format = (flags & PyBUF_FORMAT) == PyBUF_FORMAT ? const_cast<char*>("q") : nullptr;
  const bool nd = (flags & PyBUF_ND) == PyBUF_ND;
  view->ndim = nd ? static_cast<int>(a->ndim) : 1;
  view->shape = nd ? a->shape : nullptr;
  view->strides = (flags & PyBUF_STRIDES) == PyBUF_STRIDES ? a->strides : nullptr;
  view->suboffsets = nullptr;
  view->internal = nullptr;
  return 0;
}

Py_ssize_t length(PyObject* self) { return as_array(self)->shape[0]; }

PyObject* row(const PyInt64Array* a, Py_ssize_t i) {
  const std::int64_t* at = a->values->data() + i * (a->ndim == 1 ? 1 : a->shape[1]);
  if (a->ndim == 1) return PyLong_FromLongLong(*at);
  Ref out = Ref::steal(PyTuple_New(a->shape[1]));
  if (!out) return nullptr;
  for (Py_ssize_t j = 0; j < a->shape[1]; ++j) {
    PyObject* item = PyLong_FromLongLong(at[j]);
    if (item == nullptr || PyTuple_SetItem(out.get(), j, item) < 0) return nullptr;
  }
  return out.release();
}

PyObject* item(PyObject* self, Py_ssize_t i) {
  PyInt64Array* a = as_array(self);
  if (i < 0 || i >= a->shape[0]) {
    PyErr_SetString(PyExc_IndexError, "Int64Array index out of range");
    return nullptr;
  }
  return row(a, i);
}

PyObject* tolist(PyObject* self, PyObject*) {
  PyInt64Array* a = as_array(self);
  Ref out = Ref::steal(PyList_New(a->shape[0]));
  if (!out) return nullptr;
  for (Py_ssize_t i = 0; i < a->shape[0]; ++i) {
    PyObject* value = row(a, i);
    if (value == nullptr || PyList_SetItem(out.get(), i, value) < 0) return nullptr;
  }
  return out.release();
}

PyObject* reduce(PyObject* self, PyObject*) {
  PyInt64Array* a = as_array(self);
  Ref data = Ref::steal(
      PyBytes_FromStringAndSize(reinterpret_cast<const char*>(a->values->data()),
                                static_cast<Py_ssize_t>(a->values->size() * sizeof(std::int64_t))));
  Ref shape = Ref::steal(shape_tuple(a));
  if (!data || !shape) return nullptr;
  return Py_BuildValue("(O(OO))", reinterpret_cast<PyObject*>(Py_TYPE(self)), data.get(),
                       shape.get());
}

PyObject* repr(PyObject* self) {
  const PyInt64Array* a = as_array(self);
  if (a->ndim == 1) return PyUnicode_FromFormat("Int64Array(shape=(%zd,))", a->shape[0]);
  return PyUnicode_FromFormat("Int64Array(shape=(%zd, %zd))", a->shape[0], a->shape[1]);
}

// Equal when both are Int64Arrays of the same shape and values.
PyObject* richcompare(PyObject* self, PyObject* other, int op) {
  if ((op != Py_EQ && op != Py_NE) || Py_TYPE(other) != Py_TYPE(self)) Py_RETURN_NOTIMPLEMENTED;
  const PyInt64Array* a = as_array(self);
  const PyInt64Array* b = as_array(other);
  const bool equal = a->ndim == b->ndim && a->shape[0] == b->shape[0] &&
                     a->shape[1] == b->shape[1] && *a->values == *b->values;
  return PyBool_FromLong((op == Py_EQ) == equal);
}

PyGetSetDef kGetters[] = {
    {"shape", get_shape, nullptr, PyDoc_STR("The number of rows, and of columns when 2-D."),
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef kMethods[] = {
    {"tolist", tolist, METH_NOARGS,
     PyDoc_STR("The values as a list of ints (of tuples of ints when 2-D).")},
    {"__reduce__", reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

constexpr const char* kDoc =
    "Int64Array(data, shape=None)\n--\n\n"
    "Immutable 64-bit integers, shared with numpy without copying.\n\n"
    "numpy.asarray(a) views the same memory, read-only. Made by the module for\n"
    "tick records and result columns; constructible from bytes (or an int64\n"
    "buffer), which are copied, with an optional shape of one or two dimensions.";

PyType_Slot kSlots[] = {
    {Py_tp_new, reinterpret_cast<void*>(tp_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc)},
    {Py_tp_getset, kGetters},
    {Py_tp_methods, kMethods},
    {Py_tp_repr, reinterpret_cast<void*>(repr)},
    {Py_tp_richcompare, reinterpret_cast<void*>(richcompare)},
    {Py_tp_doc, const_cast<char*>(kDoc)},
    {Py_sq_length, reinterpret_cast<void*>(length)},
    {Py_sq_item, reinterpret_cast<void*>(item)},
    {Py_bf_getbuffer, reinterpret_cast<void*>(get_buffer)},
    {0, nullptr},
};

PyType_Spec kSpec = {
    "tallowmarsh.Int64Array",
    sizeof(PyInt64Array),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    kSlots,
};

}  // namespace

bool add_int64_array_class(PyObject* module, State* state) {
  PyObject* type = PyType_FromModuleAndSpec(module, &kSpec, nullptr);
  if (type == nullptr) return false;
  state->int64_array_type = reinterpret_cast<PyTypeObject*>(type);
  return PyModule_AddType(module, state->int64_array_type) == 0;
}

PyObject* new_int64_array(State* state, std::vector<std::int64_t> values, Py_ssize_t columns) {
  return make(state->int64_array_type, std::move(values), columns);
}

void swap_int64_values(PyObject* array, std::vector<std::int64_t>& values, Py_ssize_t columns) {
  PyInt64Array* self = as_array(array);
  self->values->swap(values);
  set_shape(self, columns);
}

}  // namespace tm_py
