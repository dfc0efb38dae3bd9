// Binding and conversion of Python arguments. The binding order copies the
// interpreter's own for Python functions: keywords are checked first
// (unexpected, then duplicated), then the positional count, then what is
// missing, so that the first error reported is the one Python would report.
#include "tm_py/args.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "tm_py/ref.h"

namespace tm_py {
namespace {

// Finds a keyword among the parameter names; -1 when it is not one of them.
Py_ssize_t find_param(const Signature& sig, PyObject* key) {
  Py_ssize_t length = 0;
  const char* text = PyUnicode_AsUTF8AndSize(key, &length);
  if (text == nullptr) {
    PyErr_Clear();
    return -1;
  }
  for (std::size_t i = 0; i < sig.params.size(); ++i) {
    const char* name = sig.params[i];
    if (std::strlen(name) == static_cast<std::size_t>(length) &&
        std::memcmp(name, text, static_cast<std::size_t>(length)) == 0) {
      return static_cast<Py_ssize_t>(i);
    }
  }
  return -1;
}

void raise_too_many(const Signature& sig, Py_ssize_t given) {
  const auto total = static_cast<Py_ssize_t>(sig.params.size());
  const auto least = static_cast<Py_ssize_t>(sig.required);
  const char* verb = given == 1 ? "was" : "were";
  if (least < total) {
    PyErr_Format(PyExc_TypeError, "%s() takes from %zd to %zd positional arguments but %zd %s given",
                 sig.name, least, total, given, verb);
  } else {
    PyErr_Format(PyExc_TypeError, "%s() takes %zd positional argument%s but %zd %s given", sig.name,
                 total, total == 1 ? "" : "s", given, verb);
  }
}

// "'a'", "'a' and 'b'", "'a', 'b', and 'c'": the interpreter's list of missing names.
void raise_missing(const Signature& sig, PyObject** slot) {
  std::vector<const char*> missing;
  for (std::size_t i = 0; i < sig.required; ++i) {
    if (slot[i] == nullptr) missing.push_back(sig.params[i]);
  }
  std::string names;
  for (std::size_t i = 0; i < missing.size(); ++i) {
    if (i > 0) {
      if (missing.size() == 2) {
        names += " and ";
      } else {
        names += i + 1 == missing.size() ? ", and " : ", ";
      }
    }
    names += '\'';
    names += missing[i];
    names += '\'';
  }
  PyErr_Format(PyExc_TypeError, "%s() missing %zd required positional argument%s: %s", sig.name,
               static_cast<Py_ssize_t>(missing.size()), missing.size() == 1 ? "" : "s",
               names.c_str());
}

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

// Items reserved up front for a sequence: its length when it is a list or a
// tuple, else at most a bounded number, since any other sequence only claims a
// length (one claiming 2^40 items must fail when read, not when reserved).
std::size_t reserve_for(PyObject* sequence, Py_ssize_t size) {
  constexpr Py_ssize_t kClaimedReserve = 1 << 16;
  const bool exact = PyList_Check(sequence) || PyTuple_Check(sequence);
  return static_cast<std::size_t>(exact ? size : std::min(size, kClaimedReserve));
}

// The float conversion without the note, shared by the list conversions.
bool float_of(PyObject* value, double& out) {
  out = PyFloat_AsDouble(value);
  return !(out == -1.0 && PyErr_Occurred());
}

bool float_list_of(PyObject* value, std::vector<double>& out) {
  if (PyUnicode_Check(value)) {
    PyErr_SetString(PyExc_TypeError, "Can't extract `str` to `Vec`");
    return false;
  }
  if (!PySequence_Check(value)) {
    raise_type("expected a sequence of float", value);
    return false;
  }
  const Py_ssize_t size = PySequence_Size(value);
  if (size < 0) return false;
  out.clear();
  out.reserve(reserve_for(value, size));
  for (Py_ssize_t i = 0; i < size; ++i) {
    Ref item = Ref::steal(PySequence_GetItem(value, i));
    if (!item) return false;
    double x = 0;
    if (!float_of(item.get(), x)) return false;
    out.push_back(x);
  }
  return true;
}

}  // namespace

bool bind(const Signature& sig, PyObject* args, PyObject* kwargs, PyObject** slot) {
  const auto total = static_cast<Py_ssize_t>(sig.params.size());
  for (Py_ssize_t i = 0; i < total; ++i) slot[i] = nullptr;

  Py_ssize_t given = 0;
  if (args != nullptr) {
    given = PyTuple_Size(args);
    if (given < 0) return false;
  }
  for (Py_ssize_t i = 0; i < given && i < total; ++i) {
    slot[i] = PyTuple_GetItem(args, i);
    if (slot[i] == nullptr) return false;
  }

  if (kwargs != nullptr) {
    Py_ssize_t pos = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(kwargs, &pos, &key, &value)) {
      if (!PyUnicode_Check(key)) {
        PyErr_Format(PyExc_TypeError, "%s() keywords must be strings", sig.name);
        return false;
      }
      const Py_ssize_t index = find_param(sig, key);
      if (index < 0) {
        PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", sig.name, key);
        return false;
      }
      if (slot[index] != nullptr) {
        PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%U'", sig.name, key);
        return false;
      }
      slot[index] = value;
    }
  }

  if (given > total) {
    raise_too_many(sig, given);
    return false;
  }
  for (std::size_t i = 0; i < sig.required; ++i) {
    if (slot[i] == nullptr) {
      raise_missing(sig, slot);
      return false;
    }
  }
  return true;
}

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
  if (PyUnicode_Check(value)) {
    PyErr_SetString(PyExc_TypeError, "Can't extract `str` to `Vec`");
    return fail();
  }
  if (!PySequence_Check(value)) {
    raise_type("expected a sequence of sequences of float", value);
    return fail();
  }
  const Py_ssize_t size = PySequence_Size(value);
  if (size < 0) return fail();
  result.reserve(reserve_for(value, size));
  for (Py_ssize_t i = 0; i < size; ++i) {
    Ref item = Ref::steal(PySequence_GetItem(value, i));
    if (!item || !float_list_of(item.get(), result.emplace_back())) return fail();
  }
  return result;
}

std::string quoted(std::string_view text) {
  std::string out;
  out.reserve(text.size() + 2);
  out += '"';
  for (std::size_t i = 0; i < text.size(); ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      case '\0': out += "\\0"; break;
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

}  // namespace tm_py
