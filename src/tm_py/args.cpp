// Binding of Python arguments. The binding order copies the interpreter's own
// for Python functions: keywords are checked first (unexpected, then
// duplicated), then the positional count, then what is missing, so that the
// first error reported is the one Python would report.
#include "tm_py/args.h"

#include <cstring>
#include <string>
#include <vector>

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
    PyErr_Format(PyExc_TypeError,
                 "%s() takes from %zd to %zd positional arguments but %zd %s given", sig.name,
                 least, total, given, verb);
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
        PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", sig.name,
                     key);
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

}  // namespace tm_py
