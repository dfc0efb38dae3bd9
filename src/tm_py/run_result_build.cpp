// Building a RunResult: from the engine's result (its records turned into
// Int64Array columns) and from the tuple its pickled form carries.
#include <cstddef>
#include <new>
#include <span>
#include <utility>
#include <vector>

#include "tm_py/int64_array_type.h"
#include "tm_py/ref.h"
#include "tm_py/run_result_type.h"

namespace tm_py {
namespace {

using Column = std::vector<std::int64_t>;

// A tuple of Int64Array, one per column, each column moved out of `columns`.
PyObject* column_tuple(State* state, std::span<Column> columns) {
  Ref tuple = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(columns.size())));
  if (!tuple) return nullptr;
  for (std::size_t i = 0; i < columns.size(); ++i) {
    PyObject* array = new_int64_array(state, std::move(columns[i]), 0);
    if (array == nullptr) return nullptr;
    PyTuple_SetItem(tuple.get(), static_cast<Py_ssize_t>(i), array);
  }
  return tuple.release();
}

PyObject* fill_columns(State* state, const tm_backtest::RunResult& result) {
  std::vector<Column> columns(kFillColumns);
  for (Column& column : columns) column.reserve(result.fills.size());
  for (std::size_t i = 0; i < result.fills.size(); ++i) {
    const tm_types::Fill& fill = result.fills[i];
    const tm_backtest::FillBooking booking =
        i < result.bookings.size() ? result.bookings[i] : tm_backtest::FillBooking{};
    const std::int64_t row[kFillColumns] = {booking.tick_ts,
                                            static_cast<std::int64_t>(fill.order),
                                            fill.side == tm_types::Side::Buy ? 1 : -1,
                                            fill.offset == tm_types::Offset::Open ? 0 : 1,
                                            fill.price,
                                            fill.qty,
                                            booking.fee,
                                            fill.taker ? 1 : 0,
                                            booking.realised};
    for (Py_ssize_t c = 0; c < kFillColumns; ++c) columns[c].push_back(row[c]);
  }
  return column_tuple(state, columns);
}

PyObject* liquidation_columns(State* state, const tm_backtest::RunResult& result) {
  std::vector<Column> columns(kLiquidationColumns);
  for (const tm_backtest::Liquidation& l : result.liquidations) {
    const std::int64_t row[kLiquidationColumns] = {l.at, l.price, l.qty, l.balance, l.forfeited};
    for (Py_ssize_t c = 0; c < kLiquidationColumns; ++c) columns[c].push_back(row[c]);
  }
  return column_tuple(state, columns);
}

PyObject* margin_watch(const std::optional<tm_backtest::MarginWatch>& watch) {
  if (!watch) Py_RETURN_NONE;
  if (!watch->min_headroom) return Py_BuildValue("(LO)", watch->peak_maintenance, Py_None);
  return Py_BuildValue("(LL)", watch->peak_maintenance, *watch->min_headroom);
}

// A RunResult whose members are built; the object references start null.
PyRunResult* allocate(State* state) {
  void* memory = PyObject_Malloc(sizeof(PyRunResult));
  if (memory == nullptr) return reinterpret_cast<PyRunResult*>(PyErr_NoMemory());
  auto* out = new (memory) PyRunResult{};
  return reinterpret_cast<PyRunResult*>(
      PyObject_Init(reinterpret_cast<PyObject*>(out), state->run_result_type));
}

// Whether `tuple` is a tuple of `n` one-dimensional Int64Array of one length.
bool is_column_tuple(State* state, PyObject* tuple, Py_ssize_t n) {
  if (!PyTuple_Check(tuple) || PyTuple_Size(tuple) != n) return false;
  Py_ssize_t rows = -1;
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* column = PyTuple_GetItem(tuple, i);
    if (!is_int64_array(state, column)) return false;
    const std::size_t size = int64_values(column).size();
    if (PyObject_Length(column) != static_cast<Py_ssize_t>(size)) return false;
    if (rows >= 0 && static_cast<Py_ssize_t>(size) != rows) return false;
    rows = static_cast<Py_ssize_t>(size);
  }
  return true;
}

}  // namespace

std::span<const std::int64_t> int64_values(PyObject* array) {
  Py_buffer view;
  if (PyObject_GetBuffer(array, &view, PyBUF_ND) < 0) {
    PyErr_Clear();
    return {};
  }
  // The array owns its memory and never changes it, so the values stay
  // valid while `array` lives.
  const auto* data = static_cast<const std::int64_t*>(view.buf);
  const std::size_t count = view.ndim == 1 ? static_cast<std::size_t>(view.shape[0]) : 0;
  PyBuffer_Release(&view);
  return {data, count};
}

PyObject* new_run_result(State* state, tm_backtest::RunResult&& result) {
  Ref out_ref = Ref::steal(reinterpret_cast<PyObject*>(allocate(state)));
  if (!out_ref) return nullptr;
  auto* out = reinterpret_cast<PyRunResult*>(out_ref.get());
  out->strategy = result.strategy;
  out->ticks = result.ticks;
  out->liquidations = result.liquidations.size();
  out->final_equity = result.final_equity;
  out->min_equity = result.min_equity;
  out->fees_paid = result.fees_paid;
  out->funding_paid = result.funding_paid;
  out->realised = result.realised;
  out->max_adverse_excursion = result.max_adverse_excursion;
  out->max_drawdown = result.max_drawdown;
  out->skipped_ticks = result.skipped_ticks;
  out->depth_gaps = result.rejected_depth_updates;
  Column curve[kCurveColumns] = {std::move(result.curve.exch_ts), std::move(result.curve.equity),
                                 std::move(result.curve.position)};
  out->curve = column_tuple(state, curve);
  if (out->curve == nullptr) return nullptr;
  out->fill_records = fill_columns(state, result);
  if (out->fill_records == nullptr) return nullptr;
  out->liquidation_records = liquidation_columns(state, result);
  if (out->liquidation_records == nullptr) return nullptr;
  out->margin_watch = margin_watch(result.margin_watch);
  if (out->margin_watch == nullptr) return nullptr;
  return out_ref.release();
}

// The pickled form: (strategy, (ticks, liquidations, skipped_ticks,
// depth_gaps), (final_equity, min_equity, fees_paid, funding_paid, realised,
// max_adverse_excursion, max_drawdown), margin_watch, curve, fill_records,
// liquidation_records).
PyObject* run_result_fields(PyObject* self) {
  const PyRunResult& r = *reinterpret_cast<PyRunResult*>(self);
  return Py_BuildValue("(s#(KKKK)(LLLLLLL)OOOO)", r.strategy.data(),
                       static_cast<Py_ssize_t>(r.strategy.size()), r.ticks, r.liquidations,
                       r.skipped_ticks, r.depth_gaps, r.final_equity, r.min_equity, r.fees_paid,
                       r.funding_paid, r.realised, r.max_adverse_excursion, r.max_drawdown,
                       r.margin_watch, r.curve, r.fill_records, r.liquidation_records);
}

PyObject* rebuild_run_result(State* state, PyObject* fields) {
  const char* name = nullptr;
  Py_ssize_t name_size = 0;
  unsigned long long counts[4];
  long long cash[7];
  PyObject *watch, *curve, *fills, *liquidations;
  if (!PyArg_ParseTuple(fields, "s#(KKKK)(LLLLLLL)OOOO:RunResult", &name, &name_size, &counts[0],
                        &counts[1], &counts[2], &counts[3], &cash[0], &cash[1], &cash[2], &cash[3],
                        &cash[4], &cash[5], &cash[6], &watch, &curve, &fills, &liquidations)) {
    return nullptr;
  }
  const bool watch_ok = watch == Py_None || (PyTuple_Check(watch) && PyTuple_Size(watch) == 2);
  if (!watch_ok || !is_column_tuple(state, curve, kCurveColumns) ||
      !is_column_tuple(state, fills, kFillColumns) ||
      !is_column_tuple(state, liquidations, kLiquidationColumns) ||
      PyObject_Length(PyTuple_GetItem(liquidations, 0)) != static_cast<Py_ssize_t>(counts[1])) {
    PyErr_SetString(PyExc_ValueError, "RunResult: the pickled fields do not form a result");
    return nullptr;
  }
  Ref out_ref = Ref::steal(reinterpret_cast<PyObject*>(allocate(state)));
  if (!out_ref) return nullptr;
  auto* out = reinterpret_cast<PyRunResult*>(out_ref.get());
  out->strategy.assign(name, static_cast<std::size_t>(name_size));
  out->ticks = counts[0];
  out->liquidations = counts[1];
  out->skipped_ticks = counts[2];
  out->depth_gaps = counts[3];
  std::int64_t* totals[7] = {&out->final_equity, &out->min_equity, &out->fees_paid,
                             &out->funding_paid, &out->realised,   &out->max_adverse_excursion,
                             &out->max_drawdown};
  for (int i = 0; i < 7; ++i) *totals[i] = cash[i];
  PyObject* held[4] = {watch, curve, fills, liquidations};
  for (PyObject* object : held) Py_INCREF(object);
  out->margin_watch = watch;
  out->curve = curve;
  out->fill_records = fills;
  out->liquidation_records = liquidations;
  return out_ref.release();
}

}  // namespace tm_py
