#include "tm_py/tick_arrays.h"

#include <array>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "tm_py/lock.h"
#include "tm_py/ref.h"
#include "tm_py/ticks_from_python.h"

namespace tm_py {
namespace {

using tm_types::Tick;

constexpr std::array<std::string_view, 8> kFields = {"exch_ts", "local_ts", "last", "high",
                                                     "low",     "bid",      "ask",  "volume"};
constexpr const char* kFieldList = "exch_ts, local_ts, last, high, low, bid, ask, volume";

bool is_tick_record(const Py_buffer& view) { return is_int64_records(view, kFields); }

std::string shape_text(const Py_buffer& view) {
  std::string text = "(";
  for (int i = 0; i < view.ndim; ++i) {
    text += (i > 0 ? ", " : "") + std::to_string(view.shape[i]);
  }
  return text + (view.ndim == 1 ? ",)" : ")");
}

std::string strides_text(const Py_buffer& view) {
  std::string text = "(";
  for (int i = 0; i < view.ndim; ++i) {
    text += (i > 0 ? ", " : "") + std::to_string(view.strides[i]);
  }
  return text + (view.ndim == 1 ? ",)" : ")");
}

std::string format_text(const Py_buffer& view) {
  return "format '" + std::string(view.format == nullptr ? "B" : view.format) + "' (item size " +
         std::to_string(view.itemsize) + ")";
}

void raise(PyObject* type, const std::string& text) { PyErr_SetString(type, text.c_str()); }

std::unique_ptr<Py_buffer> get_view(PyObject* object) {
  auto view = std::make_unique<Py_buffer>();
  if (PyObject_GetBuffer(object, view.get(), PyBUF_RECORDS_RO) != 0) return nullptr;
  return view;
}

// One column of the mapping form: a 1-D int64 buffer of any stride.
struct Column {
  std::unique_ptr<Py_buffer> view;
  std::size_t field = 0;
  std::int64_t at(Py_ssize_t i) const {
    std::int64_t value;
    std::memcpy(&value, static_cast<const char*>(view->buf) + i * view->strides[0], 8);
    return value;
  }
  ~Column() {
    if (view) PyBuffer_Release(view.get());
  }
  Column() = default;
  Column(Column&&) noexcept = default;
};

// The field index of a mapping key, or kFields.size() with ValueError set.
std::size_t field_of(PyObject* key) {
  if (PyUnicode_Check(key)) {
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(key, &size);
    if (text == nullptr) return kFields.size();
    for (std::size_t f = 0; f < kFields.size(); ++f) {
      if (kFields[f] == std::string_view(text, static_cast<std::size_t>(size))) return f;
    }
  }
  PyErr_Format(PyExc_ValueError, "ticks: unknown field %R; the fields are %s", key, kFieldList);
  return kFields.size();
}

std::optional<Column> column_of(PyObject* value, std::size_t field) {
  const std::string name = "ticks['" + std::string(kFields[field]) + "']";
  Column column;
  column.field = field;
  if (!PyObject_CheckBuffer(value)) {
    Ref type_name = Ref::steal(PyType_GetName(Py_TYPE(value)));
    if (!type_name) return std::nullopt;
    PyErr_Format(PyExc_TypeError, "%s: expected a 1-D int64 buffer (a numpy int64 array); got %U",
                 name.c_str(), type_name.get());
    return std::nullopt;
  }
  column.view = get_view(value);
  if (!column.view) return std::nullopt;
  if (!is_int64(*column.view)) {
    raise(PyExc_TypeError, name + ": expected int64 values; got " + format_text(*column.view));
    return std::nullopt;
  }
  if (column.view->ndim != 1) {
    raise(PyExc_ValueError,
          name + ": expected one dimension; got shape " + shape_text(*column.view));
    return std::nullopt;
  }
  return column;
}

// Ticks from the columns, each defaulted as Tick defaults it.
std::vector<Tick> assemble(const std::array<const Column*, 8>& by_field, Py_ssize_t n) {
  std::vector<Tick> ticks(static_cast<std::size_t>(n));
  for (Py_ssize_t i = 0; i < n; ++i) {
    Tick& t = ticks[static_cast<std::size_t>(i)];
    std::int64_t* out = &t.exch_ts;
    for (std::size_t f = 0; f < 8; ++f) {
      if (by_field[f] != nullptr) out[f] = by_field[f]->at(i);
    }
    if (by_field[1] == nullptr) t.local_ts = t.exch_ts;
    if (by_field[3] == nullptr) t.high = t.last;
    if (by_field[4] == nullptr) t.low = t.last;
  }
  return ticks;
}

}  // namespace

void TickInput::Release::operator()(Py_buffer* view) const noexcept {
  PyBuffer_Release(view);
  delete view;
}

TickInput::TickInput(TickForm form, std::vector<Tick> owned)
    : owned_(std::move(owned)), ticks_(owned_), form_(form) {}

TickInput::TickInput(Py_buffer* view, std::span<const Tick> ticks)
    : view_(view), ticks_(ticks), form_(TickForm::kArray) {}

namespace {

// The array forms: (n, 8) int64 or 64-byte records, read in place.
std::optional<TickInput> take_array(PyObject* object) {
  Column held;  // releases the view on every refusal
  held.view = get_view(object);
  if (!held.view) return std::nullopt;
  const Py_buffer& v = *held.view;
  const bool rows = is_int64(v);
  if (!rows && !is_tick_record(v)) {
    raise(PyExc_TypeError, std::string("ticks: expected an (n, 8) int64 array, or 64-byte records "
                                       "of the eight int64 fields ") +
                               kFieldList + "; got " + format_text(v));
    return std::nullopt;
  }
  if (rows ? (v.ndim != 2 || v.shape[1] != 8) : v.ndim != 1) {
    raise(PyExc_ValueError,
          std::string("ticks: expected ") +
              (rows ? "an int64 array of shape (n, 8)" : "records of shape (n,)") + "; got shape " +
              shape_text(v));
    return std::nullopt;
  }
  if (!PyBuffer_IsContiguous(&v, 'C')) {
    raise(PyExc_ValueError,
          "ticks: the array must be C-contiguous (numpy.ascontiguousarray makes it so); got "
          "strides " +
              strides_text(v));
    return std::nullopt;
  }
  const auto n = static_cast<std::size_t>(v.shape[0]);
  if (reinterpret_cast<std::uintptr_t>(v.buf) % alignof(Tick) != 0) {
    std::vector<Tick> copy(n);
    if (n > 0) std::memcpy(copy.data(), v.buf, n * sizeof(Tick));
    return TickInput(TickForm::kArray, std::move(copy));
  }
  const std::span<const Tick> ticks(static_cast<const Tick*>(v.buf), n);
  return TickInput(held.view.release(), ticks);
}

// The mapping form, assembled into records.
std::optional<TickInput> take_columns(PyObject* object) {
  std::vector<Column> columns;
  std::array<const Column*, 8> by_field{};
  Ref items = Ref::steal(PyMapping_Items(object));
  if (!items) return std::nullopt;
  const Py_ssize_t count = PyList_Size(items.get());
  columns.reserve(kFields.size());
  for (Py_ssize_t i = 0; i < count; ++i) {
    PyObject* item = PyList_GetItem(items.get(), i);
    const std::size_t field = field_of(PyTuple_GetItem(item, 0));
    if (field == kFields.size()) return std::nullopt;
    std::optional<Column> column = column_of(PyTuple_GetItem(item, 1), field);
    if (!column) return std::nullopt;
    columns.push_back(std::move(*column));
  }
  for (const Column& column : columns) by_field[column.field] = &column;
  if (by_field[0] == nullptr || by_field[2] == nullptr) {
    raise(PyExc_ValueError,
          std::string("ticks: the columns exch_ts and last are required; missing ") +
              (by_field[0] == nullptr ? "exch_ts" : "last"));
    return std::nullopt;
  }
  const Py_ssize_t n = by_field[0]->view->shape[0];
  for (const Column& column : columns) {
    if (column.view->shape[0] != n) {
      raise(PyExc_ValueError, "ticks: the columns differ in length: exch_ts has " +
                                  std::to_string(n) + ", " + std::string(kFields[column.field]) +
                                  " has " + std::to_string(column.view->shape[0]));
      return std::nullopt;
    }
  }
  std::vector<Tick> ticks;
  {
    Unlocked unlocked;
    ticks = assemble(by_field, n);
  }
  return TickInput(TickForm::kColumns, std::move(ticks));
}

}  // namespace

std::optional<TickInput> take_ticks(State* state, PyObject* object) {
  if (PyObject_CheckBuffer(object)) return take_array(object);
  if (PyDict_Check(object) || (PyMapping_Check(object) && !PySequence_Check(object))) {
    return take_columns(object);
  }
  std::optional<std::vector<Tick>> copied = ticks_from(state, object);
  if (!copied) return std::nullopt;
  return TickInput(TickForm::kSequence, std::move(*copied));
}

bool is_int64(const Py_buffer& view) {
  return view.itemsize == 8 && view.format != nullptr && int64_code(view.format);
}

bool int64_code(std::string_view code) {
  if (!code.empty() && (code[0] == '<' || code[0] == '=' || code[0] == '@')) code.remove_prefix(1);
  return code == "q" || code == "l";
}

bool is_int64_records(const Py_buffer& view, std::span<const std::string_view, 8> fields) {
  if (view.itemsize != 64 || view.format == nullptr) return false;
  std::string_view f = view.format;
  if (!f.starts_with("T{") || !f.ends_with("}")) return false;
  f = f.substr(2, f.size() - 3);
  for (const std::string_view field : fields) {
    const std::size_t colon = f.find(':');
    if (colon == std::string_view::npos || !int64_code(f.substr(0, colon))) return false;
    f.remove_prefix(colon + 1);
    if (!f.starts_with(field) || f.substr(field.size(), 1) != ":") return false;
    f.remove_prefix(field.size() + 1);
  }
  return f.empty();
}

}  // namespace tm_py
