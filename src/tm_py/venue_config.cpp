#include "tm_py/venue_config.h"

#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

#include "tm_py/args.h"
#include "tm_py/ref.h"

namespace tm_py {
namespace {

// Item i of a tuple the Venue made itself; its shape is fixed by venue.py.
PyObject* item(PyObject* tuple, Py_ssize_t i) { return PyTuple_GetItem(tuple, i); }

std::optional<std::int64_t> int_at(PyObject* tuple, Py_ssize_t i) {
  PyObject* value = item(tuple, i);
  if (value == nullptr) return std::nullopt;
  const long long v = PyLong_AsLongLong(value);
  if (v == -1 && PyErr_Occurred()) return std::nullopt;
  return v;
}

// (value,) is a fixed latency; (p50, p90, p99, p999) quantiles.
std::optional<tm_engine::Latency> latency_of(PyObject* form) {
  std::int64_t v[4] = {};
  const Py_ssize_t n = PyTuple_Size(form);
  for (Py_ssize_t i = 0; i < n && i < 4; ++i) {
    const std::optional<std::int64_t> x = int_at(form, i);
    if (!x) return std::nullopt;
    v[i] = *x;
  }
  if (n == 1) return tm_engine::Latency::fixed(v[0]);
  return tm_engine::Latency::quantiles(v[0], v[1], v[2], v[3]);
}

// (kind, submit latency, report latency, (queue code[, value]), impact).
bool read_execution(PyObject* form, tm_engine::Execution& execution) {
  const std::optional<std::int64_t> kind = int_at(form, 0), impact = int_at(form, 4);
  PyObject* queue = item(form, 3);
  if (!kind || !impact || queue == nullptr) return false;
  const std::optional<tm_engine::Latency> submit = latency_of(item(form, 1));
  const std::optional<tm_engine::Latency> report = latency_of(item(form, 2));
  const std::optional<std::int64_t> queue_code = int_at(queue, 0);
  if (!submit || !report || !queue_code) return false;
  tm_engine::L1Config config{*submit, *report, tm_engine::QueueModel::off(),
                             static_cast<std::uint32_t>(*impact)};
  if (*queue_code != 0) {
    const std::optional<std::int64_t> value = int_at(queue, 1);
    if (!value) return false;
    config.queue = *queue_code == 1
                       ? tm_engine::QueueModel::lots(*value)
                       : tm_engine::QueueModel::percent(static_cast<std::uint32_t>(*value));
  }
  execution = *kind == 0   ? tm_engine::Execution::l0()
              : *kind == 1 ? tm_engine::Execution::l1(config)
                           : tm_engine::Execution::l2(config);
  return true;
}

// Rows of ints, each read by `make(row)` into a T; false on the first failure.
template <class T, class Make>
std::optional<std::vector<T>> rows_of(PyObject* rows, Make make) {
  std::vector<T> out;
  const Py_ssize_t n = PyTuple_Size(rows);
  if (n < 0) return std::nullopt;
  out.reserve(static_cast<std::size_t>(n));
  for (Py_ssize_t i = 0; i < n; ++i) {
    std::optional<T> row = make(item(rows, i));
    if (!row) return std::nullopt;
    out.push_back(*row);
  }
  return out;
}

// (maker, taker, funding, tiers or None, execution, two_leg, track_margin).
bool read_form(PyObject* form, tm_backtest::RunConfig& config) {
  const std::optional<std::int64_t> maker = int_at(form, 0), taker = int_at(form, 1);
  if (!maker || !taker) return false;
  auto funding = rows_of<tm_margin::FundingRate>(
      item(form, 2), [](PyObject* row) -> std::optional<tm_margin::FundingRate> {
        const std::optional<std::int64_t> at = int_at(row, 0), rate = int_at(row, 1);
        if (!at || !rate) return std::nullopt;
        return tm_margin::FundingRate{*at, *rate, 0};
      });
  if (!funding) return false;
  PyObject* tiers = item(form, 3);
  std::optional<std::vector<tm_margin::MarginTier>> rows;
  if (tiers != Py_None) {
    rows = rows_of<tm_margin::MarginTier>(
        tiers, [](PyObject* row) -> std::optional<tm_margin::MarginTier> {
          const auto limit = int_at(row, 0), rate = int_at(row, 1), deduction = int_at(row, 2);
          if (!limit || !rate || !deduction) return std::nullopt;
          return tm_margin::MarginTier{*limit, *rate, *deduction};
        });
    if (!rows) return false;
  }
  tm_engine::Execution execution;
  if (!read_execution(item(form, 4), execution)) return false;
  config.maker_fee = *maker;
  config.taker_fee = *taker;
  config.funding_schedule = tm_margin::FundingSchedule(std::move(*funding));
  config.funding_at_mark = true;
  if (rows) config.margin_tiers = tm_margin::MarginTable(std::move(*rows));
  config.execution = execution;
  config.two_leg = PyObject_IsTrue(item(form, 5)) == 1;
  config.track_margin = PyObject_IsTrue(item(form, 6)) == 1;
  return true;
}

}  // namespace

bool apply_venue(PyObject* module, PyObject* venue, tm_backtest::RunConfig& config) {
  if (omitted(venue)) return true;
  Ref type = Ref::steal(PyObject_GetAttrString(module, "Venue"));
  if (!type) return false;
  const int is_venue = PyObject_IsInstance(venue, type.get());
  if (is_venue < 0) return false;
  if (is_venue == 0) {
    Ref name = Ref::steal(PyType_GetName(Py_TYPE(venue)));
    if (name)
      PyErr_Format(PyExc_TypeError, "venue must be a tallowmarsh.Venue, not %U", name.get());
    return false;
  }
  Ref form = Ref::steal(PyObject_CallMethod(venue, "_engine_form", nullptr));
  if (!form) return false;
  if (!PyTuple_Check(form.get()) || PyTuple_Size(form.get()) != 7) {
    PyErr_SetString(PyExc_TypeError, "venue: _engine_form() did not return a 7-tuple");
    return false;
  }
  return read_form(form.get(), config);
}

}  // namespace tm_py
