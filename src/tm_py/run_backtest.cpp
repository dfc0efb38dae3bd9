// def run_backtest(strategy, ticks, balance, batch=1, enforce_margin=True,
//                  equity_every=0, contract_size=10000) -> RunResult
//
// One Python strategy run over a list of ticks or a tick file, with the
// interpreter lock released for the run; and the helpers it shares with
// compare_modes and lookahead_check.
#include "tm_py/run_backtest.h"

#include <sys/mman.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <utility>
#include <variant>

#include "tm_data/source.h"
#include "tm_data/ticks.h"
#include "tm_py/args.h"
#include "tm_py/ref.h"
#include "tm_py/python_strategy.h"
#include "tm_py/interrupt.h"
#include "tm_py/run_result_type.h"
#include "tm_py/tick_type.h"
#include "tm_py/tick_source_type.h"
#include "tm_types/fixed.h"

namespace tm_py {
namespace {

std::optional<std::string> str_value(PyObject* object) {
  if (object == nullptr || !PyUnicode_Check(object)) return std::nullopt;
  Py_ssize_t length = 0;
  const char* text = PyUnicode_AsUTF8AndSize(object, &length);
  if (text == nullptr) {
    PyErr_Clear();
    return std::nullopt;
  }
  return std::string(text, static_cast<std::size_t>(length));
}

// Python's hasattr: false when the lookup raises AttributeError; any other
// exception propagates (returned as -1).
int has_method(PyObject* object, PyObject* name) {
  Ref found = Ref::steal(PyObject_GetAttr(object, name));
  if (found) return 1;
  if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
    PyErr_Clear();
    return 0;
  }
  return -1;
}

}  // namespace

std::nullopt_t raise_value_error(const std::string& message) {
  Ref text = Ref::steal(PyUnicode_DecodeUTF8(message.data(),
                                             static_cast<Py_ssize_t>(message.size()), "replace"));
  if (text) PyErr_SetObject(PyExc_ValueError, text.get());
  return std::nullopt;
}

namespace {

// The outcome of a finished or stopped run, in its order of precedence: the
// exception that stopped it, a strategy failure, a tick-file error. `result`
// is read only when the run was not stopped, which leaves one of the first two.
std::optional<tm_backtest::RunResult> outcome(tm_backtest::RunResult result,
                                              const PyDriven& adapter, Interrupt& interrupt,
                                              const std::optional<tm_data::Error>& file_error) {
  if (interrupt.raise_kept()) return std::nullopt;
  if (adapter.failure()) {
    return raise_value_error("the strategy failed during the run: " + *adapter.failure());
  }
  if (file_error) {
    return raise_value_error("the tick file stopped the run after " +
                             std::to_string(result.ticks) + " ticks: " + file_error->message());
  }
  return result;
}

constexpr const char* kParams[] = {"strategy", "ticks", "balance", "batch",
                                   "enforce_margin", "equity_every", "contract_size"};

PyObject* run_backtest(PyObject* module, PyObject* args, PyObject* kwargs) {
  State* state = state_of(module);
  return guarded(state, [&]() -> PyObject* {
    PyObject* slot[7];
    if (!bind({"run_backtest", kParams, 3}, args, kwargs, slot)) return nullptr;
    const std::optional<std::int64_t> balance = to_i64(slot[2], "balance");
    if (!balance) return nullptr;
    std::optional<std::uint64_t> batch = 1;
    if (slot[3] != nullptr && !(batch = to_u64(slot[3], "batch"))) return nullptr;
    std::optional<bool> enforce_margin = true;
    if (slot[4] != nullptr && !(enforce_margin = to_flag(slot[4], "enforce_margin"))) {
      return nullptr;
    }
    std::optional<std::uint64_t> equity_every = 0;
    if (slot[5] != nullptr && !(equity_every = to_u64(slot[5], "equity_every"))) return nullptr;
    std::optional<std::int64_t> contract_size = 10000;
    if (slot[6] != nullptr && !(contract_size = to_i64(slot[6], "contract_size"))) {
      return nullptr;
    }
    const tm_backtest::RunConfig config =
        python_config(*balance, *enforce_margin, *equity_every, *contract_size);
    std::optional<tm_backtest::RunResult> result =
        run_python(state, slot[0], slot[1], *batch, config);
    if (!result) return nullptr;
    return new_run_result(state, *result);
  });
}

constexpr const char* kRunBacktestDoc =
    "run_backtest(strategy, ticks, balance, batch=1, enforce_margin=True, equity_every=0, "
    "contract_size=10000)\n"
    "--\n"
    "\n"
    "Run a Python strategy over a tick series.\n"
    "\n"
    "`strategy` is any object with `on_tick(ctx)` (batch 1, compatibility mode:\n"
    "called once per tick with a `Context`) or `on_batch(ticks)` (batch above 1,\n"
    "throughput mode: called once per `batch` ticks with a list of `Tick`, after\n"
    "`position`, `entry`, `short_position`, `equity` and `last` are set on the\n"
    "object). Either returns None or a list of `Order`. The ticks of an\n"
    "incomplete last batch reach the engine but not the strategy.\n"
    "\n"
    "`ticks` is a sequence of `Tick`, copied once before the run, or a\n"
    "`TickSource` from `load_ticks`, streamed from its file a block at a time.\n"
    "\n"
    "`balance` is in whole currency units \xE2\x80\x94 100_000 means a hundred\n"
    "thousand USDT \xE2\x80\x94 not in the internal fixed-point representation.\n"
    "`contract_size` is how much of the underlying one lot is, at the cash\n"
    "scale. The run uses the L0 engine, the built-in margin tiers, no fees and\n"
    "no funding; with `enforce_margin` false the account is never liquidated.\n"
    "`equity_every` changes nothing a Python caller can read.\n"
    "\n"
    "The run executes with the interpreter lock released; the strategy gets it\n"
    "back for each of its calls.\n"
    "\n"
    "Errors\n"
    "------\n"
    "ValueError: `batch` is 0; the tick file cannot be opened or its header is\n"
    "wrong; the strategy raised or returned something other than None or a\n"
    "list of Order (the run's result is discarded); the tick file failed in\n"
    "the middle of the run (a strategy failure is reported first).\n"
    "TypeError: the strategy lacks the method its batch needs; `ticks` is not\n"
    "a sequence of Tick or a TickSource; an argument has the wrong type.\n"
    "OverflowError: an integer argument is out of range.\n"
    "KeyboardInterrupt (Ctrl-C during the run), and any exception from the\n"
    "strategy that is not an Exception: the run stops and it is raised as is.";

PyMethodDef kRunBacktest[] = {
    {"run_backtest", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(run_backtest)),
     METH_VARARGS | METH_KEYWORDS, kRunBacktestDoc},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

namespace {

// Asks the kernel to back the whole 2 MiB pages of a large tick array with huge
// pages. Every run copies its list into fresh memory, and faulting a few
// hundred megabytes in 4 KiB at a time costs more than the copy itself. Only
// advice: where it is refused, the array is backed as before.
void prefer_huge_pages(const std::vector<tm_engine::Tick>& ticks) {
#ifdef MADV_HUGEPAGE
  constexpr std::uintptr_t kHuge = std::uintptr_t{1} << 21;
  if (ticks.capacity() * sizeof(tm_engine::Tick) < 2 * kHuge) return;
  const auto begin = reinterpret_cast<std::uintptr_t>(ticks.data());
  const std::uintptr_t from = (begin + kHuge - 1) & ~(kHuge - 1);
  const std::uintptr_t to = (begin + ticks.capacity() * sizeof(tm_engine::Tick)) & ~(kHuge - 1);
  if (to > from) (void)::madvise(reinterpret_cast<void*>(from), to - from, MADV_HUGEPAGE);
#else
  (void)ticks;
#endif
}

}  // namespace

std::optional<std::vector<tm_engine::Tick>> ticks_from(State* state, PyObject* object) {
  // Whatever made the sequence unusable becomes the one fixed TypeError, except
  // an exception that is not an `Exception` (Ctrl-C while a custom sequence
  // was being read), which is left to reach the caller.
  const auto refuse = []() -> std::optional<std::vector<tm_engine::Tick>> {
    if (PyErr_Occurred() != nullptr && stops_run()) return std::nullopt;
    PyErr_Clear();
    PyErr_SetString(PyExc_TypeError, kBadTicks);
    return std::nullopt;
  };
  if (PyUnicode_Check(object) || !PySequence_Check(object)) return refuse();
  const bool list = PyList_Check(object);
  const bool tuple = !list && PyTuple_Check(object);
  const Py_ssize_t size = list    ? PyList_Size(object)
                          : tuple ? PyTuple_Size(object)
                                  : PySequence_Size(object);
  if (size < 0) return refuse();
  // A list or tuple knows its length; any other sequence only claims one, so
  // what is reserved for it up front is bounded and the rest grows as read.
  constexpr Py_ssize_t kClaimedReserve = 1 << 16;
  std::vector<tm_engine::Tick> ticks;
  ticks.reserve(static_cast<std::size_t>(list || tuple ? size : std::min(size, kClaimedReserve)));
  prefer_huge_pages(ticks);
  for (Py_ssize_t i = 0; i < size; ++i) {
    Ref owned;
    PyObject* item = nullptr;
    if (list) {
      item = PyList_GetItem(object, i);
    } else if (tuple) {
      item = PyTuple_GetItem(object, i);
    } else {
      owned = Ref::steal(PySequence_GetItem(object, i));
      item = owned.get();
    }
    if (item == nullptr || !is_tick(state, item)) return refuse();
    ticks.push_back(tick_of(item));
  }
  return ticks;
}

std::string strategy_name(PyObject* object) {
  Ref name = Ref::steal(PyObject_GetAttrString(object, "name"));
  PyErr_Clear();
  if (std::optional<std::string> text = str_value(name.get())) return *std::move(text);
  Ref type_name = Ref::steal(
      PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(object)), "__name__"));
  PyErr_Clear();
  if (std::optional<std::string> text = str_value(type_name.get())) return *std::move(text);
  return "python-strategy";
}

tm_backtest::RunConfig python_config(std::int64_t balance, bool enforce_margin,
                                     std::uint64_t equity_every, std::int64_t contract_size) {
  tm_backtest::RunConfig config;
  config.tier = tm_backtest::Tier::l0();
  config.margin_tiers = tm_margin::TierTable::example_btcusdt();
  config.funding_schedule = {};
  config.equity_every = equity_every;
  config.contract_size = contract_size;
  config.balance = tm_types::units_to_cash(balance);
  config.maker_fee = 0;
  config.taker_fee = 0;
  config.instrument = 1;
  config.track_margin = false;
  config.enforce_margin = enforce_margin;
  config.two_leg = false;
  return config;
}

std::optional<tm_backtest::RunResult> run_python(State* state, PyObject* strategy,
                                                 PyObject* ticks, std::uint64_t batch,
                                                 const tm_backtest::RunConfig& config) {
  // 1-2. The cadence and the method it needs.
  if (batch == 0) return raise_value_error("batch must be at least 1; 1 is compatibility mode");
  PyObject* method = batch == 1 ? state->str_on_tick : state->str_on_batch;
  const int has = has_method(strategy, method);
  if (has < 0) return std::nullopt;
  if (has == 0) {
    PyErr_Format(PyExc_TypeError, "a strategy run with batch=%llu must implement %U()",
                 static_cast<unsigned long long>(batch), method);
    return std::nullopt;
  }

  // 3. The ticks: a file path kept, or a copy of the Tick objects.
  std::optional<std::string> path;
  std::vector<tm_engine::Tick> copied;
  if (is_tick_source(state, ticks)) {
    path = tick_source_of(ticks).path;
  } else {
    std::optional<std::vector<tm_engine::Tick>> converted = ticks_from(state, ticks);
    if (!converted) return std::nullopt;
    copied = *std::move(converted);
  }

  // 4-5. The name and the adapter.
  Interrupt interrupt;
  PyDriven adapter(state, strategy, batch, strategy_name(strategy), interrupt);
  if (!path) adapter.expect_at_most(copied.size());

  // 6. The run, with the interpreter lock released (and taken back before a
  // Stopped is handled).
  if (!path) {
    tm_backtest::RunResult result;
    try {
      Unlocked unlocked;
      tm_backtest::SpanSource memory(copied);
      Interruptible source(memory, interrupt);
      result = tm_backtest::run_stream(config, adapter, source);
    } catch (const Stopped&) {
    }
    return outcome(std::move(result), adapter, interrupt, std::nullopt);
  }
  tm_data::OpenResult opened = tm_data::TickReader::open(*path);
  if (const tm_data::Error* error = std::get_if<tm_data::Error>(&opened)) {
    return raise_value_error(*path + ": " + error->message());
  }
  tm_data::TickReader& reader = std::get<tm_data::TickReader>(opened);
  adapter.expect_at_most(reader.count());  // a reader never delivers more than its header claims
  tm_data::ReaderSource file(reader);
  tm_backtest::RunResult result;
  try {
    Unlocked unlocked;
    Interruptible source(file, interrupt);
    result = tm_backtest::run_stream(config, adapter, source);
  } catch (const Stopped&) {
  }
  return outcome(std::move(result), adapter, interrupt, file.error());
}

bool add_run_backtest(PyObject* module) { return PyModule_AddFunctions(module, kRunBacktest) == 0; }

}  // namespace tm_py
