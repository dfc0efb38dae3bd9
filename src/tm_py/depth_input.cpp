#include "tm_py/depth_input.h"

#include <array>
#include <cstring>
#include <memory>
#include <string_view>

#include "tm_py/convert.h"
#include "tm_py/tick_arrays.h"

namespace tm_py {
namespace {

using tm_types::DepthRecord;

constexpr std::array<std::string_view, 8> kFields = {"exch_ts", "kind",     "side",     "price",
                                                     "size",    "first_id", "final_id", "prev_id"};

struct Released {
  void operator()(Py_buffer* view) const noexcept {
    PyBuffer_Release(view);
    delete view;
  }
};

std::nullopt_t refuse(PyObject* type, const std::string& text) {
  PyErr_SetString(type, text.c_str());
  return std::nullopt;
}

// The first row breaking a rule or going back in time, as a message.
std::optional<std::string> first_bad_row(const std::vector<DepthRecord>& rows) {
  tm_types::Nanos previous = INT64_MIN;
  for (std::size_t i = 0; i < rows.size(); ++i) {
    const auto broken = tm_types::check(rows[i]);
    if (broken || rows[i].exch_ts < previous) {
      return "depth row " + std::to_string(i) + ": " +
             (broken ? std::string(message(*broken))
                     : "goes backwards: previous exchange time " + std::to_string(previous) +
                           ", found " + std::to_string(rows[i].exch_ts));
    }
    previous = rows[i].exch_ts;
  }
  return std::nullopt;
}

}  // namespace

std::optional<std::vector<DepthRecord>> take_depth_rows(PyObject* object, const char* param) {
  const std::string name(param);
  constexpr const char* kExpected =
      ": expected an (n, 8) int64 array, or 64-byte records of the eight int64 fields of "
      "DEPTH_FIELDS";
  if (!PyObject_CheckBuffer(object)) {
    return refuse(PyExc_TypeError, name + kExpected + ", or the path of a depth file");
  }
  std::unique_ptr<Py_buffer, Released> view(new Py_buffer);
  if (PyObject_GetBuffer(object, view.get(), PyBUF_RECORDS_RO) != 0) {
    delete view.release();  // the buffer was not filled: nothing to release
    return std::nullopt;
  }
  const Py_buffer& v = *view;
  const bool plain = v.itemsize == 8 && v.format != nullptr && int64_code(v.format);
  if (!plain && !is_int64_records(v, kFields)) {
    return refuse(PyExc_TypeError, name + kExpected);
  }
  if (plain ? (v.ndim != 2 || v.shape[1] != 8) : v.ndim != 1) {
    return refuse(PyExc_ValueError, name + (plain ? ": expected an int64 array of shape (n, 8)"
                                                  : ": expected records of shape (n,)"));
  }
  if (!PyBuffer_IsContiguous(&v, 'C')) {
    return refuse(PyExc_ValueError,
                  name + ": the array must be C-contiguous (numpy.ascontiguousarray makes it so)");
  }
  std::vector<DepthRecord> rows(static_cast<std::size_t>(v.shape[0]));
  if (!rows.empty()) std::memcpy(rows.data(), v.buf, rows.size() * sizeof(DepthRecord));
  if (const auto bad = first_bad_row(rows)) return refuse(PyExc_ValueError, name + ": " + *bad);
  return rows;
}

std::optional<DepthInput> take_depth(PyObject* object, const char* param) {
  if (PyUnicode_Check(object) || PyBytes_Check(object) ||
      PyObject_HasAttrString(object, "__fspath__")) {
    std::optional<std::string> path = to_path(object, param);
    if (!path) return std::nullopt;
    return DepthInput(std::move(*path));
  }
  std::optional<std::vector<DepthRecord>> rows = take_depth_rows(object, param);
  if (!rows) return std::nullopt;
  return DepthInput(std::move(*rows));
}

}  // namespace tm_py

namespace tm_py {

std::optional<DepthRun> DepthRun::open(const DepthInput& input) {
  DepthRun run;
  if (const auto* rows = std::get_if<std::vector<DepthRecord>>(&input)) {
    run.rows_ = rows;
    return run;
  }
  run.path_ = std::get<std::string>(input);
  tm_data::DepthOpenResult opened = tm_data::DepthReader::open(run.path_);
  if (const auto* text = std::get_if<std::string>(&opened)) {
    return raise_value_error(run.path_ + ": " + *text);
  }
  run.reader_.emplace(std::get<tm_data::DepthReader>(std::move(opened)));
  return run;
}

std::optional<std::string> DepthRun::error() const {
  if (!reader_ || !reader_->error()) return std::nullopt;
  return path_ + ": " + *reader_->error();
}

}  // namespace tm_py
