// Float64 buffers read in place, with the sequence conversions as the fallback.
#include "tm_py/float_input.h"

#include <cstddef>
#include <cstring>
#include <utility>

#include "tm_py/convert.h"

namespace tm_py {
namespace {

// The native double in the struct module's notation, with or without a byte order.
bool is_native_double(const Py_buffer& view) {
  if (view.itemsize != sizeof(double) || view.format == nullptr) return false;
  const char* format = view.format;
  if (*format == '@' || *format == '=' || *format == '<') ++format;
  return std::strcmp(format, "d") == 0;
}

// A buffer view of `value` with shape and strides when it exports native
// doubles in `dims` dimensions; false (and no exception) otherwise.
bool double_view(PyObject* value, int dims, Py_buffer& view) {
  if (!PyObject_CheckBuffer(value)) return false;
  if (PyObject_GetBuffer(value, &view, PyBUF_FORMAT | PyBUF_STRIDES) < 0) {
    PyErr_Clear();
    return false;
  }
  if (view.ndim == dims && is_native_double(view)) return true;
  PyBuffer_Release(&view);
  return false;
}

// The element at `index` along a strided dimension starting at `base`.
double at(const char* base, Py_ssize_t stride, Py_ssize_t index) {
  double x = 0;
  std::memcpy(&x, base + stride * index, sizeof x);
  return x;
}

}  // namespace

std::optional<Floats> Floats::from(PyObject* value, const char* param) {
  Floats floats;
  if (double_view(value, 1, floats.view_)) {
    floats.viewed_ = true;
    const auto size = static_cast<std::size_t>(floats.view_.shape[0]);
    const Py_ssize_t stride = floats.view_.strides[0];
    const auto* base = static_cast<const char*>(floats.view_.buf);
    if (stride == sizeof(double)) {
      floats.values_ = {reinterpret_cast<const double*>(base), size};
      return floats;
    }
    floats.copy_.resize(size);
    for (std::size_t i = 0; i < size; ++i)
      floats.copy_[i] = at(base, stride, static_cast<Py_ssize_t>(i));
  } else {
    std::optional<std::vector<double>> items = to_f64_list(value, param);
    if (!items) return std::nullopt;
    floats.copy_ = std::move(*items);
  }
  floats.values_ = floats.copy_;
  return floats;
}

Floats::Floats(Floats&& other) noexcept
    : view_(other.view_),
      viewed_(std::exchange(other.viewed_, false)),
      copy_(std::move(other.copy_)),
      values_(other.values_) {}  // a moved vector keeps its storage

Floats::~Floats() {
  if (viewed_) PyBuffer_Release(&view_);
}

std::optional<std::vector<std::vector<double>>> float_rows(PyObject* value, const char* param) {
  Py_buffer view;
  if (!double_view(value, 2, view)) return to_f64_table(value, param);
  const auto* base = static_cast<const char*>(view.buf);
  std::vector<std::vector<double>> rows(static_cast<std::size_t>(view.shape[0]));
  for (Py_ssize_t r = 0; r < view.shape[0]; ++r) {
    std::vector<double>& row = rows[static_cast<std::size_t>(r)];
    row.resize(static_cast<std::size_t>(view.shape[1]));
    for (Py_ssize_t c = 0; c < view.shape[1]; ++c)
      row[static_cast<std::size_t>(c)] = at(base + view.strides[0] * r, view.strides[1], c);
  }
  PyBuffer_Release(&view);
  return rows;
}

}  // namespace tm_py
