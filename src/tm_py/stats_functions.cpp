// def sharpe_ratio(returns) -> float
// def moments(returns) -> tuple[float, float, float]   # (Sharpe ratio, skewness, kurtosis)
// def probabilistic_sharpe_ratio(observed, benchmark, n_observations, skewness, kurtosis) -> float
// def deflated_sharpe_ratio(all_sharpes, n_observations, skewness, kurtosis) -> float
// def probability_of_backtest_overfitting(columns, n_blocks=16) -> float
// def minimum_track_record_length(observed, benchmark, skewness, kurtosis, confidence=0.95) ->
// float
//
// Each function converts its arguments, calls its statistic in tm_stats and
// raises ValueError with the message of a refusal. Returns given as a float64
// buffer (a numpy array) are read in place; a 2-D table's rows are the
// configurations. The overfitting estimate
// copies its columns out of the Python objects and runs with the interpreter
// lock released; a signal handler that raises (Ctrl-C) ends it within
// milliseconds, and its exception is raised as is.
#include "tm_py/stats_functions.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "tm_py/args.h"
#include "tm_py/convert.h"
#include "tm_py/float_input.h"
#include "tm_py/interrupt.h"
#include "tm_py/lock.h"
#include "tm_py/module_state.h"
#include "tm_stats/dsr.h"
#include "tm_stats/moments.h"
#include "tm_stats/pbo.h"

namespace tm_py {
namespace {

// Raises ValueError with the message of a refusal; returns null.
PyObject* raise_refusal(const tm_stats::StatsError& error) {
  PyErr_SetString(PyExc_ValueError, error.message().c_str());
  return nullptr;
}

// A statistic as a Python float, or ValueError with the message of its refusal.
PyObject* float_or_raise(const tm_stats::Result<double>& result) {
  if (!result.ok()) return raise_refusal(result.error());
  return PyFloat_FromDouble(result.value());
}

constexpr const char* kReturnsParams[] = {"returns"};

PyObject* sharpe_ratio(PyObject* module, PyObject* args, PyObject* kwargs) {
  return guarded(state_of(module), [&]() -> PyObject* {
    PyObject* slot[1];
    if (!bind({"sharpe_ratio", kReturnsParams, 1}, args, kwargs, slot)) return nullptr;
    const std::optional<Floats> returns = Floats::from(slot[0], "returns");
    if (!returns) return nullptr;
    return float_or_raise(tm_stats::moments::sharpe_ratio(returns->values()));
  });
}

PyObject* moments(PyObject* module, PyObject* args, PyObject* kwargs) {
  return guarded(state_of(module), [&]() -> PyObject* {
    PyObject* slot[1];
    if (!bind({"moments", kReturnsParams, 1}, args, kwargs, slot)) return nullptr;
    const std::optional<Floats> returns = Floats::from(slot[0], "returns");
    if (!returns) return nullptr;
    const auto m = tm_stats::moments::Moments::from_returns(returns->values());
    if (!m.ok()) return raise_refusal(m.error());
    return Py_BuildValue("(ddd)", m.value().sharpe(), m.value().skewness, m.value().kurtosis);
  });
}

constexpr const char* kPsrParams[] = {"observed", "benchmark", "n_observations", "skewness",
                                      "kurtosis"};

PyObject* probabilistic_sharpe_ratio(PyObject* module, PyObject* args, PyObject* kwargs) {
  return guarded(state_of(module), [&]() -> PyObject* {
    PyObject* slot[5];
    if (!bind({"probabilistic_sharpe_ratio", kPsrParams, 5}, args, kwargs, slot)) return nullptr;
    const auto observed = to_f64(slot[0], "observed");
    if (!observed) return nullptr;
    const auto benchmark = to_f64(slot[1], "benchmark");
    if (!benchmark) return nullptr;
    const auto n_observations = to_u64(slot[2], "n_observations");
    if (!n_observations) return nullptr;
    const auto skewness = to_f64(slot[3], "skewness");
    if (!skewness) return nullptr;
    const auto kurtosis = to_f64(slot[4], "kurtosis");
    if (!kurtosis) return nullptr;
    return float_or_raise(tm_stats::dsr::probabilistic_sharpe_ratio(
        *n_observations, *observed, *benchmark, *skewness, *kurtosis));
  });
}

constexpr const char* kDsrParams[] = {"all_sharpes", "n_observations", "skewness", "kurtosis"};

PyObject* deflated_sharpe_ratio(PyObject* module, PyObject* args, PyObject* kwargs) {
  return guarded(state_of(module), [&]() -> PyObject* {
    PyObject* slot[4];
    if (!bind({"deflated_sharpe_ratio", kDsrParams, 4}, args, kwargs, slot)) return nullptr;
    const std::optional<Floats> all_sharpes = Floats::from(slot[0], "all_sharpes");
    if (!all_sharpes) return nullptr;
    const auto n_observations = to_u64(slot[1], "n_observations");
    if (!n_observations) return nullptr;
    const auto skewness = to_f64(slot[2], "skewness");
    if (!skewness) return nullptr;
    const auto kurtosis = to_f64(slot[3], "kurtosis");
    if (!kurtosis) return nullptr;
    return float_or_raise(tm_stats::dsr::deflated_sharpe_ratio(
        all_sharpes->values(), *n_observations, *skewness, *kurtosis));
  });
}

constexpr const char* kPboParams[] = {"columns", "n_blocks"};
constexpr std::uint64_t kDefaultBlocks = 16;

PyObject* probability_of_backtest_overfitting(PyObject* module, PyObject* args, PyObject* kwargs) {
  return guarded(state_of(module), [&]() -> PyObject* {
    PyObject* slot[2];
    if (!bind({"probability_of_backtest_overfitting", kPboParams, 1}, args, kwargs, slot))
      return nullptr;
    // The columns are copied out here; nothing below touches a Python object
    // until the lock is taken back.
    const auto columns = float_rows(slot[0], "columns");
    if (!columns) return nullptr;
    const auto n_blocks = convert_or(to_u64, slot[1], "n_blocks", kDefaultBlocks);
    if (!n_blocks) return nullptr;
    Interrupt interrupt;
    std::optional<tm_stats::Result<tm_stats::pbo::PboReport>> report;
    {
      Unlocked unlocked;
      report = tm_stats::pbo::probability_of_backtest_overfitting(
          *columns, *n_blocks, [&] { return interrupt.poll_signals(); });
    }
    if (interrupt.raise_kept()) return nullptr;
    if (!report->ok()) return raise_refusal(report->error());
    return PyFloat_FromDouble(report->value().pbo);
  });
}

constexpr const char* kMinTrlParams[] = {"observed", "benchmark", "skewness", "kurtosis",
                                         "confidence"};
constexpr double kDefaultConfidence = 0.95;

PyObject* minimum_track_record_length(PyObject* module, PyObject* args, PyObject* kwargs) {
  return guarded(state_of(module), [&]() -> PyObject* {
    PyObject* slot[5];
    if (!bind({"minimum_track_record_length", kMinTrlParams, 4}, args, kwargs, slot))
      return nullptr;
    const auto observed = to_f64(slot[0], "observed");
    if (!observed) return nullptr;
    const auto benchmark = to_f64(slot[1], "benchmark");
    if (!benchmark) return nullptr;
    const auto skewness = to_f64(slot[2], "skewness");
    if (!skewness) return nullptr;
    const auto kurtosis = to_f64(slot[3], "kurtosis");
    if (!kurtosis) return nullptr;
    const auto confidence = convert_or(to_f64, slot[4], "confidence", kDefaultConfidence);
    if (!confidence) return nullptr;
    return float_or_raise(tm_stats::dsr::minimum_track_record_length(
        *observed, *benchmark, *skewness, *kurtosis, *confidence));
  });
}

template <auto Function>
PyCFunction as_method() {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(Function));
}

// Each documentation string is the text signature alone.
PyMethodDef kFunctions[] = {
    {"sharpe_ratio", as_method<sharpe_ratio>(), METH_VARARGS | METH_KEYWORDS,
     "sharpe_ratio(returns)\n--\n\n"},
    {"moments", as_method<moments>(), METH_VARARGS | METH_KEYWORDS, "moments(returns)\n--\n\n"},
    {"probabilistic_sharpe_ratio", as_method<probabilistic_sharpe_ratio>(),
     METH_VARARGS | METH_KEYWORDS,
     "probabilistic_sharpe_ratio(observed, benchmark, n_observations, skewness, kurtosis)\n--\n\n"},
    {"deflated_sharpe_ratio", as_method<deflated_sharpe_ratio>(), METH_VARARGS | METH_KEYWORDS,
     "deflated_sharpe_ratio(all_sharpes, n_observations, skewness, kurtosis)\n--\n\n"},
    {"probability_of_backtest_overfitting", as_method<probability_of_backtest_overfitting>(),
     METH_VARARGS | METH_KEYWORDS,
     "probability_of_backtest_overfitting(columns, n_blocks=16)\n--\n\n"},
    {"minimum_track_record_length", as_method<minimum_track_record_length>(),
     METH_VARARGS | METH_KEYWORDS,
     "minimum_track_record_length(observed, benchmark, skewness, kurtosis, "
     "confidence=0.95)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

bool add_statistics_functions(PyObject* module) {
  return PyModule_AddFunctions(module, kFunctions) == 0;
}

}  // namespace tm_py
