// What the adapter says about a Python strategy in words: its name, and the
// failure text of the first error a run met, kept once for every thread.
#include <mutex>
#include <optional>
#include <string>
#include <utility>

#include "tm_py/python_strategy.h"
#include "tm_py/ref.h"

namespace tm_py {
namespace {

// The text of a str object; nothing for null, another type, or text that
// cannot be encoded (the error is cleared).
std::optional<std::string> str_value(PyObject* object) {
  if (object == nullptr || !PyUnicode_Check(object)) return std::nullopt;
  Py_ssize_t length = 0;
  const char* text = PyUnicode_AsUTF8AndSize(object, &length);
  if (text == nullptr) {
    PyErr_Clear();
    return std::nullopt;
  }
  return std::string(text, static_cast<std::size_t>(length));
}

}  // namespace

void FailureSlot::offer(const std::string& text) {
  std::lock_guard lock(mutex_);
  if (!text_) text_ = text;
}

std::optional<std::string> FailureSlot::get() const {
  std::lock_guard lock(mutex_);
  return text_;
}

std::string describe_current_exception() {
  PyObject* type = nullptr;
  PyObject* value = nullptr;
  PyObject* traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  PyErr_NormalizeException(&type, &value, &traceback);
  Ref type_ref = Ref::steal(type);
  Ref value_ref = Ref::steal(value);
  Ref traceback_ref = Ref::steal(traceback);

  std::string text;
  PyTypeObject* exception_type =
      value != nullptr ? Py_TYPE(value) : reinterpret_cast<PyTypeObject*>(type);
  if (exception_type != nullptr) {
    Ref name = Ref::steal(PyType_GetQualName(exception_type));
    text = str_value(name.get()).value_or("");
    PyErr_Clear();
  }
  text += ": ";
  Ref str = value != nullptr ? Ref::steal(PyObject_Str(value)) : Ref();
  if (std::optional<std::string> described = str_value(str.get())) return text + *described;
  PyErr_Clear();
  text += "<exception str() failed>";
  return text;
}

std::optional<std::string> strategy_name(PyObject* object) {
  // An `Exception` is discarded; anything else stays set for the caller.
  const auto looked = [](Ref value) -> std::optional<Ref> {
    if (value || !stops_run()) {
      PyErr_Clear();
      return value;
    }
    return std::nullopt;
  };
  const std::optional<Ref> name = looked(Ref::steal(PyObject_GetAttrString(object, "name")));
  if (!name) return std::nullopt;
  if (std::optional<std::string> text = str_value(name->get())) return *std::move(text);
  const std::optional<Ref> type_name = looked(
      Ref::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(object)), "__name__")));
  if (!type_name) return std::nullopt;
  if (std::optional<std::string> text = str_value(type_name->get())) return *std::move(text);
  return "python-strategy";
}

}  // namespace tm_py
