// def _import_csv(paths: list[str], dest: str, tick_size: str, lot_size: str,
//                 layouts: list[None | str | tuple[str, tuple, int]],
//                 time_unit: str | None, emit: str, rounding: str | None,
//                 instrument: int, progress: Callable[[int], object] | None)
//     -> tuple[TickSource, list[tuple[str, str, bool, int]]]
//
// The arguments arrive checked and normalised by import_csv; a layout is None
// (detect it), a built-in name, or (kind, six columns in role order, header)
// with each column None, an index or a header name, and header 0 or 1. The
// result is the written file's TickSource and, per input, its layout, time
// unit, whether the unit was detected, and its data rows.
#include "tm_py/import_csv.h"

#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "tm_data/csv_import.h"
#include "tm_py/args.h"
#include "tm_py/convert.h"
#include "tm_py/module_state.h"
#include "tm_py/ref.h"
#include "tm_py/tick_source_type.h"

namespace tm_py {
namespace {

using tm_data::CsvImportOptions;
using tm_data::CsvInput;
using tm_data::LayoutSpec;

std::optional<tm_data::ColumnRef> column_of(PyObject* item) {
  tm_data::ColumnRef ref;
  if (item == Py_None) return ref;
  if (PyUnicode_Check(item)) {
    std::optional<std::string> name = to_str(item, "columns");
    if (!name) return std::nullopt;
    ref.name = *std::move(name);
    return ref;
  }
  const std::optional<std::int64_t> index = to_i64(item, "columns");
  if (!index) return std::nullopt;
  ref.index = static_cast<int>(*index);
  return ref;
}

// A layout as import_csv normalised it; see the file's opening comment.
std::optional<std::optional<LayoutSpec>> layout_of(PyObject* item) {
  if (item == Py_None) return std::optional<LayoutSpec>();
  if (PyUnicode_Check(item)) {
    const std::optional<std::string> name = to_str(item, "layout");
    if (!name) return std::nullopt;
    const LayoutSpec* spec = tm_data::find_builtin_layout(*name);
    if (spec == nullptr) return raise_value_error("unknown layout " + quoted(*name));
    return std::optional<LayoutSpec>(*spec);
  }
  PyObject *kind, *columns;
  int header;
  if (!PyArg_ParseTuple(item, "UO!p", &kind, &PyTuple_Type, &columns, &header)) {
    return std::nullopt;
  }
  LayoutSpec spec;
  spec.name = "columns";
  spec.kind = PyUnicode_CompareWithASCIIString(kind, "quotes") == 0 ? tm_data::FileKind::kQuotes
                                                                    : tm_data::FileKind::kTrades;
  spec.header = header ? tm_data::HeaderMode::kRequired : tm_data::HeaderMode::kNone;
  if (PyTuple_Size(columns) != static_cast<Py_ssize_t>(tm_data::kRoles)) {
    return raise_value_error("a column mapping has six roles");
  }
  for (std::size_t r = 0; r < tm_data::kRoles; ++r) {
    std::optional<tm_data::ColumnRef> ref =
        column_of(PyTuple_GetItem(columns, static_cast<Py_ssize_t>(r)));
    if (!ref) return std::nullopt;
    spec.columns[r] = *std::move(ref);
  }
  return std::optional<LayoutSpec>(std::move(spec));
}

std::optional<std::vector<CsvInput>> inputs_of(PyObject* paths, PyObject* layouts) {
  if (!PyList_Check(paths) || !PyList_Check(layouts) ||
      PyList_Size(paths) != PyList_Size(layouts)) {
    PyErr_SetString(PyExc_TypeError, "paths and layouts must be lists of one length");
    return std::nullopt;
  }
  std::vector<CsvInput> inputs;
  for (Py_ssize_t i = 0; i < PyList_Size(paths); ++i) {
    std::optional<std::string> path = to_str(PyList_GetItem(paths, i), "path");
    if (!path) return std::nullopt;
    std::optional<std::optional<LayoutSpec>> layout = layout_of(PyList_GetItem(layouts, i));
    if (!layout) return std::nullopt;
    inputs.push_back(CsvInput{*std::move(path), *std::move(layout)});
  }
  return inputs;
}

// Maps a name to its enumerator (the position in `names`); None gives `fallback`.
template <class E, std::size_t N>
std::optional<E> choice(PyObject* value, const char* param, const char* const (&names)[N],
                        E fallback) {
  if (omitted(value)) return fallback;
  const std::optional<std::string> name = to_str(value, param);
  if (!name) return std::nullopt;
  for (std::size_t i = 0; i < N; ++i) {
    if (*name == names[i]) return static_cast<E>(i);
  }
  return raise_value_error(std::string("unknown ") + param + " " + quoted(*name));
}

// Releases the interpreter lock for its lifetime, keeping the thread state
// where the progress callback takes the lock back with it.
class Released {
 public:
  explicit Released(PyThreadState** thread) : thread_(thread) { *thread_ = PyEval_SaveThread(); }
  ~Released() { PyEval_RestoreThread(*thread_); }
  Released(const Released&) = delete;
  Released& operator=(const Released&) = delete;

 private:
  PyThreadState** thread_;
};

constexpr const char* kEmitNames[] = {"trades", "quotes", "both"};
constexpr const char* kRoundingNames[] = {"exact", "half_even", "floor", "ceil"};
constexpr const char* kUnitNames[] = {"s", "ms", "us", "ns"};

PyObject* report_of(State* state, const std::string& dest, const tm_data::CsvImportReport& report,
                    std::uint64_t instrument) {
  Ref files = Ref::steal(PyList_New(0));
  if (!files) return nullptr;
  for (const tm_data::CsvFileReport& f : report.files) {
    Ref entry = Ref::steal(
        Py_BuildValue("(s#s#NK)", f.layout.data(), static_cast<Py_ssize_t>(f.layout.size()),
                      tm_data::unit_name(f.unit).data(),
                      static_cast<Py_ssize_t>(tm_data::unit_name(f.unit).size()),
                      PyBool_FromLong(f.unit_detected), static_cast<unsigned long long>(f.rows)));
    if (!entry || PyList_Append(files.get(), entry.get()) < 0) return nullptr;
  }
  Ref source = Ref::steal(new_tick_source(state, dest, report.ticks, instrument));
  if (!source) return nullptr;
  return PyTuple_Pack(2, source.get(), files.get());
}

constexpr const char* kParams[] = {"paths",     "dest", "tick_size", "lot_size",   "layouts",
                                   "time_unit", "emit", "rounding",  "instrument", "progress"};

PyObject* import_csv(PyObject* module, PyObject* args, PyObject* kwargs) {
  State* state = state_of(module);
  return guarded(state, [&]() -> PyObject* {
    PyObject* slot[10];
    if (!bind({"_import_csv", kParams, 10}, args, kwargs, slot)) return nullptr;
    std::optional<std::vector<CsvInput>> inputs = inputs_of(slot[0], slot[4]);
    std::optional<std::string> dest = to_str(slot[1], "dest");
    std::optional<std::string> tick = to_str(slot[2], "tick_size");
    std::optional<std::string> lot = to_str(slot[3], "lot_size");
    if (!inputs || !dest || !tick || !lot) return nullptr;
    std::optional<tm_data::TimeUnit> unit;
    if (!omitted(slot[5])) {
      unit = choice(slot[5], "time_unit", kUnitNames, tm_data::TimeUnit::kNanos);
      if (!unit) return nullptr;
    }
    const auto emit = choice(slot[6], "emit", kEmitNames, tm_data::Emit::kTrades);
    const auto rounding = choice(slot[7], "rounding", kRoundingNames, tm_data::Rounding::kExact);
    const std::optional<std::uint64_t> instrument = to_u64(slot[8], "instrument");
    if (!emit || !rounding || !instrument) return nullptr;

    PyObject* progress = omitted(slot[9]) ? nullptr : slot[9];
    PyThreadState* thread = nullptr;
    CsvImportOptions options{*tick, *lot, *rounding, *emit, unit, *instrument, {}};
    // Ctrl-C and the progress callable are served with the lock taken back.
    options.progress = [&](std::uint64_t done) {
      PyEval_RestoreThread(thread);
      bool go_on = PyErr_CheckSignals() == 0;
      if (go_on && progress != nullptr) {
        PyObject* result =
            PyObject_CallFunction(progress, "K", static_cast<unsigned long long>(done));
        go_on = result != nullptr;
        Py_XDECREF(result);
      }
      thread = PyEval_SaveThread();
      return go_on;
    };
    std::variant<tm_data::CsvImportReport, tm_data::CsvError> outcome = tm_data::CsvError{};
    {
      Released released(&thread);
      outcome = tm_data::import_csv(*inputs, *dest, options);
    }

    if (auto* error = std::get_if<tm_data::CsvError>(&outcome)) {
      if (error->text == tm_data::kImportStopped && PyErr_Occurred()) return nullptr;
      raise_value_error(error->message());
      return nullptr;
    }
    return report_of(state, *dest, std::get<tm_data::CsvImportReport>(outcome), *instrument);
  });
}

PyMethodDef kFunctions[] = {
    {"_import_csv", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(import_csv)),
     METH_VARARGS | METH_KEYWORDS, "The compiled part of import_csv."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

bool add_import_csv(PyObject* module) { return PyModule_AddFunctions(module, kFunctions) == 0; }

}  // namespace tm_py
