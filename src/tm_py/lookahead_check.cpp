// def lookahead_check(build, ticks, balance, max_points=200, enforce_margin=True,
//                     contract_size=10000) -> LookaheadReport
//
// The lookahead check over Python strategies. The whole check runs with the
// interpreter lock released; the build callback and the adapters take it back
// for each call into Python. The first failure of any run, a failed build
// included, lands in one slot shared by every adapter of the check, and ends
// the check: its report would be discarded. An exception that is not an
// `Exception` stops the check at once and is raised again unchanged.
#include "tm_py/lookahead_check.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "tm_backtest/lookahead.h"
#include "tm_py/args.h"
#include "tm_py/convert.h"
#include "tm_py/interrupt.h"
#include "tm_py/lock.h"
#include "tm_py/lookahead_report_type.h"
#include "tm_py/python_strategy.h"
#include "tm_py/ref.h"
#include "tm_py/run_backtest.h"
#include "tm_py/tick_type.h"
#include "tm_py/ticks_from_python.h"

namespace tm_py {
namespace {

// Makes the adapter for one prefix: `build(list of Tick)` wrapped, or an
// adapter born failed when the list could not be made or build raised.
// Called by the check without the interpreter lock; throws Stopped once
// `interrupt` holds an exception.
class Builder {
 public:
  // `state`, `build`, `slot` and `interrupt` must outlive the builder; `build` is borrowed.
  Builder(State* state, PyObject* build, std::shared_ptr<FailureSlot> slot, Interrupt& interrupt)
      : state_(state), build_(build), slot_(std::move(slot)), interrupt_(&interrupt) {}

  PythonStrategy operator()(std::span<const tm_types::Tick> prefix) const {
    Gil gil;
    if (interrupt_->check_signals()) throw Stopped{};
    Ref built = call(prefix);
    if (!built) {
      interrupt_->stop_if_stopping();
      return PythonStrategy::born_failed(state_, "build raised: " + describe_current_exception(),
                                         slot_);
    }
    return PythonStrategy(state_, built.get(), strategy_name(built.get()), slot_, *interrupt_);
  }

 private:
  // build(list) as a new reference, or null with an exception set.
  Ref call(std::span<const tm_types::Tick> prefix) const {
    Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(prefix.size())));
    if (!list) return Ref();
    for (std::size_t i = 0; i < prefix.size(); ++i) {
      PyObject* tick = new_tick(state_, prefix[i]);
      if (tick == nullptr) return Ref();
      PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), tick);
    }
    return Ref::steal(PyObject_CallFunctionObjArgs(build_, list.get(), nullptr));
  }

  State* state_;
  PyObject* build_;
  std::shared_ptr<FailureSlot> slot_;
  Interrupt* interrupt_;
};

constexpr const char* kParams[] = {"build",      "ticks",          "balance",
                                   "max_points", "enforce_margin", "contract_size"};

PyObject* lookahead_check(PyObject* module, PyObject* args, PyObject* kwargs) {
  State* state = state_of(module);
  return guarded(state, [&]() -> PyObject* {
    PyObject* slot[6];
    if (!bind({"lookahead_check", kParams, 3}, args, kwargs, slot)) return nullptr;
    const std::optional<std::int64_t> balance = to_i64(slot[2], "balance");
    if (!balance) return nullptr;
    const std::optional<std::uint64_t> max_points = convert_or(to_u64, slot[3], "max_points", 200);
    if (!max_points) return nullptr;
    const std::optional<bool> enforce_margin = convert_or(to_flag, slot[4], "enforce_margin", true);
    if (!enforce_margin) return nullptr;
    const std::optional<std::int64_t> contract_size =
        convert_or(to_i64, slot[5], "contract_size", 10000);
    if (!contract_size) return nullptr;

    // 1. Every prefix is taken from this copy, so a TickSource is refused.
    const std::optional<std::vector<tm_types::Tick>> ticks = ticks_from(state, slot[1]);
    if (!ticks) return nullptr;
    // 2-3. The check, with the lock released.
    const tm_backtest::RunConfig config =
        python_config(*balance, *enforce_margin, 0, *contract_size);
    auto failure = std::make_shared<FailureSlot>();
    Interrupt interrupt;
    tm_backtest::LookaheadReport report;
    try {
      Unlocked unlocked;
      report = tm_backtest::lookahead<PythonStrategy>(
          config, Builder(state, slot[0], failure, interrupt), *ticks, *max_points);
    } catch (const Stopped&) {
    }
    // 4-5. The exception that stopped the check, the first failure, or the report.
    if (interrupt.raise_kept()) return nullptr;
    if (std::optional<std::string> text = failure->get()) {
      raise_value_error("the strategy failed during the check: " + *text);
      return nullptr;
    }
    return new_lookahead_report(state, report);
  });
}

constexpr const char* kDoc =
    "lookahead_check(build, ticks, balance, max_points=200, enforce_margin=True, "
    "contract_size=10000)\n"
    "--\n"
    "\n"
    "Whether a strategy decides from the past alone.\n"
    "\n"
    "`build` is called with a list of `Tick` and returns a strategy object\n"
    "with `on_tick(ctx)`. The check builds one from all the ticks and runs it\n"
    "per tick, noting every order and the tick it was sent on. It then takes\n"
    "up to `max_points` of those signal ticks, spread evenly from the first to\n"
    "the last, and for each builds a fresh strategy from the ticks up to and\n"
    "including it and reruns it over those ticks alone. A strategy that reads\n"
    "the future (say, one fitted to the whole list it was built from) sends\n"
    "different orders when it cannot see it; each such prefix is reported as\n"
    "`(checked_at, tick, exch_ts)`. `sampled` tells that fewer points were\n"
    "rerun than there were signals.\n"
    "\n"
    "`ticks` must be a sequence of `Tick`: every prefix is held in memory.\n"
    "The check runs with the interpreter lock released; `build` and the\n"
    "strategies take it back for each call.\n"
    "\n"
    "Errors\n"
    "------\n"
    "ValueError: \"the strategy failed during the check: ...\" with the first\n"
    "failure of any run, a `build` that raised included.\n"
    "TypeError: `ticks` is not a sequence of Tick (a TickSource is refused);\n"
    "an argument has the wrong type.\n"
    "OverflowError: an integer argument is out of range.\n"
    "KeyboardInterrupt (Ctrl-C during the check), and any exception from\n"
    "`build` or a strategy that is not an Exception: the check stops and it\n"
    "is raised as is.";

PyMethodDef kFunction[] = {
    {"lookahead_check",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(lookahead_check)),
     METH_VARARGS | METH_KEYWORDS, kDoc},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

bool add_lookahead_check(PyObject* module) { return PyModule_AddFunctions(module, kFunction) == 0; }

}  // namespace tm_py
