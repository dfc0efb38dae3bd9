// def lookahead_check(build, ticks, balance, max_points=200, enforce_margin=True,
//                     contract_size=10000, venue=None) -> LookaheadReport
//
// The lookahead check over Python strategies. The whole check runs with the
// interpreter lock released; the build callback and the adapters take it back
// for each call into Python. The first failure of any run, a failed build
// included, lands in one slot shared by every adapter of the check, and ends
// the check: its report would be discarded. An exception that is not an
// `Exception` stops the check at once and is raised again unchanged.
#include "tm_py/lookahead_check.h"

#include <cstdint>
#include <iterator>
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
#include "tm_py/tick_arrays.h"
#include "tm_py/tick_type.h"
#include "tm_py/venue_config.h"

namespace tm_py {
namespace {

// `object[:k]`, or memoryview(object)[:k] for an object that cannot be sliced.
Ref slice_of(PyObject* object, std::size_t k) {
  Ref end = Ref::steal(PyLong_FromSize_t(k));
  if (!end) return Ref();
  Ref slice = Ref::steal(PySlice_New(nullptr, end.get(), nullptr));
  if (!slice) return Ref();
  Ref sliced = Ref::steal(PyObject_GetItem(object, slice.get()));
  if (sliced || !PyErr_ExceptionMatches(PyExc_TypeError)) return sliced;
  PyErr_Clear();
  Ref view = Ref::steal(PyMemoryView_FromObject(object));
  if (!view) return Ref();
  return Ref::steal(PyObject_GetItem(view.get(), slice.get()));
}

// The first `k` ticks of an array (kArray) or of each column of a mapping.
Ref prefix_of(PyObject* given, TickForm form, std::size_t k) {
  if (form == TickForm::kArray) return slice_of(given, k);
  Ref items = Ref::steal(PyMapping_Items(given));
  Ref dict = Ref::steal(PyDict_New());
  if (!items || !dict) return Ref();
  for (Py_ssize_t i = 0; i < PyList_Size(items.get()); ++i) {
    PyObject* item = PyList_GetItem(items.get(), i);
    Ref column = slice_of(PyTuple_GetItem(item, 1), k);
    if (!column || PyDict_SetItem(dict.get(), PyTuple_GetItem(item, 0), column.get()) != 0) {
      return Ref();
    }
  }
  return dict;
}

// Makes the adapter for one prefix: `build(prefix)` wrapped, or an adapter
// born failed when the prefix could not be made or build raised. The prefix
// has the form the ticks were given in: a new list of Tick for a sequence;
// for an array `ticks[:k]` (a view for numpy; a memoryview slice for an
// object that cannot be sliced, such as Int64Array); for a mapping a dict of
// such slices of each column; the whole run gets the object itself.
// Called by the check without the interpreter lock; throws Stopped once
// `interrupt` holds an exception.
class Builder {
 public:
  // `state`, `build`, `slot` and `interrupt` must outlive the builder; `build` is borrowed.
  // `given` is the ticks argument as the caller passed it, borrowed like `build`.
  Builder(State* state, PyObject* build, PyObject* given, const TickInput& ticks,
          std::shared_ptr<FailureSlot> slot, Interrupt& interrupt)
      : state_(state),
        build_(build),
        given_(given),
        ticks_(&ticks),
        slot_(std::move(slot)),
        interrupt_(&interrupt) {}

  PythonStrategy operator()(std::span<const tm_types::Tick> prefix) const {
    Gil gil;
    if (interrupt_->check_signals()) throw Stopped{};
    Ref built = call(prefix);
    if (!built) {
      interrupt_->stop_if_stopping();
      return PythonStrategy::born_failed(state_, "build raised: " + describe_current_exception(),
                                         slot_);
    }
    const std::optional<std::string> name = strategy_name(built.get());
    if (!name) {
      interrupt_->keep_current();
      throw Stopped{};
    }
    return PythonStrategy(state_, built.get(), *name, slot_, *interrupt_);
  }

 private:
  // build(prefix) as a new reference, or null with an exception set.
  Ref call(std::span<const tm_types::Tick> prefix) const {
    Ref argument = ticks_->form() == TickForm::kSequence ? list_of(prefix)
                   : prefix.size() == ticks_->ticks().size()
                       ? Ref::borrow(given_)
                       : prefix_of(given_, ticks_->form(), prefix.size());
    if (!argument) return Ref();
    return Ref::steal(PyObject_CallFunctionObjArgs(build_, argument.get(), nullptr));
  }

  // A new list of Tick objects.
  Ref list_of(std::span<const tm_types::Tick> prefix) const {
    Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(prefix.size())));
    if (!list) return Ref();
    for (std::size_t i = 0; i < prefix.size(); ++i) {
      PyObject* tick = new_tick(state_, prefix[i]);
      if (tick == nullptr) return Ref();
      PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), tick);
    }
    return list;
  }

  State* state_;
  PyObject* build_;
  PyObject* given_;
  const TickInput* ticks_;
  std::shared_ptr<FailureSlot> slot_;
  Interrupt* interrupt_;
};

constexpr const char* kParams[] = {"build",          "ticks",         "balance", "max_points",
                                   "enforce_margin", "contract_size", "venue"};

PyObject* lookahead_check(PyObject* module, PyObject* args, PyObject* kwargs) {
  State* state = state_of(module);
  return guarded(state, [&]() -> PyObject* {
    PyObject* slot[std::size(kParams)];
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
    const std::optional<TickInput> ticks = take_ticks(state, slot[1]);
    if (!ticks) return nullptr;
    // 2-3. The check, with the lock released.
    tm_backtest::RunConfig config = python_config(*balance, *enforce_margin, 0, *contract_size);
    if (!apply_venue(module, slot[6], config)) return nullptr;
    auto failure = std::make_shared<FailureSlot>();
    Interrupt interrupt;
    tm_backtest::LookaheadReport report;
    try {
      Unlocked unlocked;
      report = tm_backtest::lookahead<PythonStrategy>(
          config, Builder(state, slot[0], slot[1], *ticks, failure, interrupt), ticks->ticks(),
          *max_points);
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
    "contract_size=10000, venue=None)\n"
    "--\n"
    "\n"
    "Whether a strategy decides from the past alone.\n"
    "\n"
    "`build` is called with the ticks and returns a strategy object\n"
    "with `on_tick(ctx)`. The check builds one from all the ticks and runs it\n"
    "per tick, noting every order and the tick it was sent on. It then takes\n"
    "up to `max_points` of those signal ticks, spread evenly from the first to\n"
    "the last, and for each builds a fresh strategy from the ticks up to and\n"
    "including it and reruns it over those ticks alone. A strategy that reads\n"
    "the future (say, one fitted to the whole list it was built from) sends\n"
    "different orders when it cannot see it; each such prefix is reported as\n"
    "`(checked_at, tick, exch_ts)`. `sampled` tells that fewer points were\n"
    "rerun than there were signals. Every run trades at `venue`, as\n"
    "`run_backtest` does.\n"
    "\n"
    "`ticks` is a sequence of `Tick` or any array form `run_backtest` takes\n"
    "(every prefix is held in memory, so a TickSource is refused). `build`\n"
    "gets them in that form: a list of `Tick`; for an array the whole array,\n"
    "then the prefixes `ticks[:k]` (views for numpy; memoryview slices for an\n"
    "`Int64Array`); for a mapping a dict of such prefixes of each column.\n"
    "The check runs with the interpreter lock released; `build` and the\n"
    "strategies take it back for each call.\n"
    "\n"
    "Errors\n"
    "------\n"
    "ValueError: \"the strategy failed during the check: ...\" with the first\n"
    "failure of any run, a `build` that raised included.\n"
    "TypeError: `ticks` is not a sequence of Tick or an accepted array (a\n"
    "TickSource is refused);\n"
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
