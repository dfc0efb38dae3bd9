// Conversion of bound arguments and of C++ text for Python.
#include "tm_py/convert.h"

#include <algorithm>
#include <cstdio>

#include "tm_py/ref.h"

namespace tm_py {
namespace {

// Raises TypeError "<what>, got <type name>".
void raise_type(const char* what, PyObject* value) {
  Ref name = Ref::steal(PyType_GetName(Py_TYPE(value)));
  if (!name) return;
  PyErr_Format(PyExc_TypeError, "%s, got %U", what, name.get());
}

bool is_numpy_bool(PyObject* value) {
  PyTypeObject* type = Py_TYPE(value);
  Ref name = Ref::steal(PyType_GetName(type));
  if (!name) {
    PyErr_Clear();
    return false;
  }
  if (PyUnicode_CompareWithASCIIString(name.get(), "bool_") != 0 &&
      PyUnicode_CompareWithASCIIString(name.get(), "bool") != 0) {
    return false;
  }
  Ref module = Ref::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), "__module__"));
  if (!module) {
    PyErr_Clear();
    return false;
  }
  return PyUnicode_Check(module.get()) &&
         PyUnicode_CompareWithASCIIString(module.get(), "numpy") == 0;
}

// The float conversion without the note, shared by the list conversions.
bool float_of(PyObject* value, double& out) {
  out = PyFloat_AsDouble(value);
  return !(out == -1.0 && PyErr_Occurred());
}

// The length of a sequence argument, or -1 with TypeError for a str (whose
// characters would otherwise pass as items) or an object that is no sequence:
// "<what>, got <type name>".
Py_ssize_t sequence_size(PyObject* value, const char* what) {
  if (PyUnicode_Check(value)) {
    PyErr_SetString(PyExc_TypeError, "Can't extract `str` to `Vec`");
    return -1;
  }
  if (!PySequence_Check(value)) {
    raise_type(what, value);
    return -1;
  }
  return PySequence_Size(value);
}

bool float_list_of(PyObject* value, std::vector<double>& out) {
  const Py_ssize_t size = sequence_size(value, "expected a sequence of float");
  if (size < 0) return false;
  out.clear();
  out.reserve(items_to_reserve(value, size));
  return for_each_item(value, size, [&out](PyObject* item) {
    double x = 0;
    if (!float_of(item, x)) return false;
    out.push_back(x);
    return true;
  });
}

}  // namespace

void add_param_note(const char* param) {
  PyObject* type = nullptr;
  PyObject* value = nullptr;
  PyObject* traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  if (type == nullptr) return;
  PyErr_NormalizeException(&type, &value, &traceback);
  if (value != nullptr) {
    Ref note = Ref::steal(PyUnicode_FromFormat("while processing '%s'", param));
    Ref add = note ? Ref::steal(PyObject_GetAttrString(value, "add_note")) : Ref();
    if (add) {
      Ref done = Ref::steal(PyObject_CallFunctionObjArgs(add.get(), note.get(), nullptr));
    }
    // A missing add_note, or a note that could not be made or added, is skipped.
    PyErr_Clear();
  }
  PyErr_Restore(type, value, traceback);
}

std::uint32_t& items_until_signal_check() {
  thread_local std::uint32_t until_check = 1;  // the first item checks
  return until_check;
}

std::size_t items_to_reserve(PyObject* sequence, Py_ssize_t size) {
  constexpr Py_ssize_t kClaimedReserve = 1 << 16;
  const bool exact = PyList_Check(sequence) || PyTuple_Check(sequence);
  return static_cast<std::size_t>(exact ? size : std::min(size, kClaimedReserve));
}

std::optional<std::int64_t> to_i64(PyObject* value, const char* param) {
  Ref index = Ref::steal(PyNumber_Index(value));
  if (index) {
    const long long result = PyLong_AsLongLong(index.get());
    if (!(result == -1 && PyErr_Occurred())) return static_cast<std::int64_t>(result);
  }
  add_param_note(param);
  return std::nullopt;
}

std::optional<std::uint64_t> to_u64(PyObject* value, const char* param) {
  Ref index = Ref::steal(PyNumber_Index(value));
  if (index) {
    // Raises OverflowError for a negative value as well as for one too large.
    const unsigned long long result = PyLong_AsUnsignedLongLong(index.get());
    if (!(result == static_cast<unsigned long long>(-1) && PyErr_Occurred())) {
      return static_cast<std::uint64_t>(result);
    }
  }
  add_param_note(param);
  return std::nullopt;
}

std::optional<bool> to_flag(PyObject* value, const char* param) {
  if (value == Py_True) return true;
  if (value == Py_False) return false;
  if (is_numpy_bool(value)) {
    const int truth = PyObject_IsTrue(value);
    if (truth >= 0) return truth == 1;
  } else {
    raise_type("expected True or False", value);
  }
  add_param_note(param);
  return std::nullopt;
}

std::optional<double> to_f64(PyObject* value, const char* param) {
  double result = 0;
  if (float_of(value, result)) return result;
  add_param_note(param);
  return std::nullopt;
}

std::optional<std::string> to_str(PyObject* value, const char* param) {
  if (PyUnicode_Check(value)) {
    Py_ssize_t length = 0;
    const char* text = PyUnicode_AsUTF8AndSize(value, &length);
    if (text != nullptr) return std::string(text, static_cast<std::size_t>(length));
  } else {
    raise_type("expected str", value);
  }
  add_param_note(param);
  return std::nullopt;
}

std::optional<std::string> to_path(PyObject* value, const char* param) {
  Ref path = Ref::steal(PyOS_FSPath(value));
  if (path && PyUnicode_Check(path.get())) path = Ref::steal(PyUnicode_EncodeFSDefault(path.get()));
  char* bytes = nullptr;
  Py_ssize_t length = 0;
  if (path && PyBytes_AsStringAndSize(path.get(), &bytes, &length) == 0) {
    return std::string(bytes, static_cast<std::size_t>(length));
  }
  add_param_note(param);
  return std::nullopt;
}

PyObject* path_text(const std::string& path) {
  return PyUnicode_DecodeFSDefaultAndSize(path.data(), static_cast<Py_ssize_t>(path.size()));
}

std::optional<std::vector<double>> to_f64_list(PyObject* value, const char* param) {
  std::vector<double> result;
  if (float_list_of(value, result)) return result;
  add_param_note(param);
  return std::nullopt;
}

std::optional<std::vector<std::vector<double>>> to_f64_table(PyObject* value, const char* param) {
  std::vector<std::vector<double>> result;
  const auto fail = [param]() -> std::optional<std::vector<std::vector<double>>> {
    add_param_note(param);
    return std::nullopt;
  };
  const Py_ssize_t size = sequence_size(value, "expected a sequence of sequences of float");
  if (size < 0) return fail();
  result.reserve(items_to_reserve(value, size));
  const bool read = for_each_item(value, size, [&result](PyObject* item) {
    return float_list_of(item, result.emplace_back());
  });
  if (!read) return fail();
  return result;
}

std::string quoted(std::string_view text) {
  std::string out;
  out.reserve(text.size() + 2);
  out += '"';
  for (std::size_t i = 0; i < text.size(); ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      case '\0':
        out += "\\0";
        break;
      default: {
        char buffer[16];
        if (c < 0x20 || c == 0x7f) {
          std::snprintf(buffer, sizeof buffer, "\\u{%x}", c);
          out += buffer;
        } else if (c == 0xc2 && i + 1 < text.size() &&
                   static_cast<unsigned char>(text[i + 1]) >= 0x80 &&
                   static_cast<unsigned char>(text[i + 1]) <= 0x9f) {
          // U+0080..U+009F, the C1 control characters, encoded in two bytes.
          std::snprintf(buffer, sizeof buffer, "\\u{%x}", static_cast<unsigned char>(text[i + 1]));
          out += buffer;
          ++i;
        } else {
          out += static_cast<char>(c);
        }
      }
    }
  }
  out += '"';
  return out;
}

std::nullopt_t raise_value_error(const std::string& message) {
  Ref text = Ref::steal(
      PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace"));
  if (text) PyErr_SetObject(PyExc_ValueError, text.get());
  return std::nullopt;
}

}  // namespace tm_py
