// def compare_modes(build, ticks, balance, batch, enforce_margin=True,
//                   contract_size=10000, venue=None) -> ModeComparison
//
// Two runs of freshly built strategies over the same ticks, per tick and then
// batched, compared fill price by fill price. Each run is exactly a
// run_backtest run, with its refusals and errors.
#include "tm_py/compare_modes.h"

#include <cstdint>
#include <cstring>
#include <iterator>
#include <optional>
#include <span>
#include <vector>

#include "tm_py/args.h"
#include "tm_py/convert.h"
#include "tm_py/int64_array_type.h"
#include "tm_py/mode_comparison_type.h"
#include "tm_py/ref.h"
#include "tm_py/run_backtest.h"
#include "tm_py/tick_arrays.h"
#include "tm_py/tick_source_type.h"
#include "tm_py/venue_config.h"

namespace tm_py {
namespace {

std::vector<std::int64_t> prices_of(const tm_backtest::RunResult& result) {
  std::vector<std::int64_t> prices;
  prices.reserve(result.fills.size());
  for (const tm_types::Fill& fill : result.fills) prices.push_back(fill.price);
  return prices;
}

// The ticks both runs read: ticks held in memory are taken once into an
// Int64Array of records, so a strategy that changes the caller's list or array
// during the first run cannot make the second run see other ticks. A
// TickSource is re-read from its file by each run. Ticks that cannot be taken
// are passed on as given, so that the first run refuses them exactly as
// run_backtest does; an exception that is not an Exception (Ctrl-C) stops here.
std::optional<Ref> snapshot(State* state, PyObject* ticks) {
  if (is_tick_source(state, ticks)) return Ref::borrow(ticks);
  std::optional<TickInput> taken = take_ticks(state, ticks);
  if (!taken) {
    if (!PyErr_ExceptionMatches(PyExc_Exception)) return std::nullopt;
    PyErr_Clear();
    return Ref::borrow(ticks);
  }
  const std::span<const tm_types::Tick> records = taken->ticks();
  std::vector<std::int64_t> values(records.size() * 8);
  if (!records.empty()) std::memcpy(values.data(), records.data(), records.size_bytes());
  Ref copy = Ref::steal(new_int64_array(state, std::move(values), 8));
  if (!copy) return std::nullopt;
  return copy;
}

constexpr const char* kParams[] = {"build",          "ticks",         "balance", "batch",
                                   "enforce_margin", "contract_size", "venue"};

PyObject* compare_modes(PyObject* module, PyObject* args, PyObject* kwargs) {
  State* state = state_of(module);
  return guarded(state, [&]() -> PyObject* {
    PyObject* slot[std::size(kParams)];
    if (!bind({"compare_modes", kParams, 4}, args, kwargs, slot)) return nullptr;
    const std::optional<std::int64_t> balance = to_i64(slot[2], "balance");
    if (!balance) return nullptr;
    const std::optional<std::uint64_t> batch = to_u64(slot[3], "batch");
    if (!batch) return nullptr;
    const std::optional<bool> enforce_margin = convert_or(to_flag, slot[4], "enforce_margin", true);
    if (!enforce_margin) return nullptr;
    const std::optional<std::int64_t> contract_size =
        convert_or(to_i64, slot[5], "contract_size", 10000);
    if (!contract_size) return nullptr;
    tm_backtest::RunConfig config = python_config(*balance, *enforce_margin, 0, *contract_size);
    if (!apply_venue(module, slot[6], config)) return nullptr;

    Ref first = Ref::steal(PyObject_CallNoArgs(slot[0]));
    if (!first) return nullptr;
    const std::optional<Ref> ticks = snapshot(state, slot[1]);
    if (!ticks) return nullptr;
    const std::optional<tm_backtest::RunResult> compat =
        run_python(state, first.get(), ticks->get(), 1, config);
    if (!compat) return nullptr;
    first.reset();

    Ref second = Ref::steal(PyObject_CallNoArgs(slot[0]));
    if (!second) return nullptr;
    const std::optional<tm_backtest::RunResult> batched =
        run_python(state, second.get(), ticks->get(), *batch, config);
    if (!batched) return nullptr;

    return new_mode_comparison(state, *batch, prices_of(*compat), prices_of(*batched),
                               compat->final_equity, batched->final_equity);
  });
}

constexpr const char* kDoc =
    "compare_modes(build, ticks, balance, batch, enforce_margin=True, contract_size=10000, "
    "venue=None)\n"
    "--\n"
    "\n"
    "Run one strategy both ways over the same ticks and report what\n"
    "batching changed.\n"
    "\n"
    "`build` makes the strategy: pass the class itself, or any zero-argument\n"
    "callable. It is called twice, for a fresh object per run: the first run\n"
    "is per tick (batch 1), the second batched with `batch`. Both runs are\n"
    "made exactly as `run_backtest` makes them, at `venue`. The two runs' fill prices are\n"
    "compared in order: `first_divergence` is the first index at which they\n"
    "differ (or the shorter count when one run filled more), and\n"
    "`equity_difference` is the batched final equity minus the per-tick one.\n"
    "Fees, funding, liquidations and fill quantities take no part.\n"
    "\n"
    "Errors\n"
    "------\n"
    "Whatever `build` raises, unchanged.\n"
    "Every error of `run_backtest`, for either run; a `batch` of 0 is refused\n"
    "only when the second run is made, after the first.";

PyMethodDef kFunction[] = {
    {"compare_modes", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(compare_modes)),
     METH_VARARGS | METH_KEYWORDS, kDoc},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

bool add_compare_modes(PyObject* module) { return PyModule_AddFunctions(module, kFunction) == 0; }

}  // namespace tm_py
