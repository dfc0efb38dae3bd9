// def run_backtest(strategy, ticks, balance, batch=1, enforce_margin=True,
//                  equity_every=0, contract_size=10000, progress=None,
//                  venue=None, depth=None) -> RunResult
//
// One Python strategy run over a list of ticks or a tick file, with the
// interpreter lock released for the run; and the helpers it shares with
// compare_modes and lookahead_check.
#include "tm_py/run_backtest.h"

#include <cstdint>
#include <iterator>
#include <string>
#include <type_traits>
#include <utility>
#include <variant>

#include "tm_data/reader_ticks.h"
#include "tm_data/tick_file.h"
#include "tm_py/args.h"
#include "tm_py/convert.h"
#include "tm_py/depth_input.h"
#include "tm_py/interrupt.h"
#include "tm_py/lock.h"
#include "tm_py/python_strategy.h"
#include "tm_py/ref.h"
#include "tm_py/run_progress.h"
#include "tm_py/run_result_type.h"
#include "tm_py/tick_arrays.h"
#include "tm_py/tick_source_type.h"
#include "tm_py/ticks_from_python.h"
#include "tm_py/venue_config.h"
#include "tm_types/fixed.h"

namespace tm_py {
namespace {

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

// The outcome, with the progress reporter told the last count and closed.
std::optional<tm_backtest::RunResult> finished(std::optional<tm_backtest::RunResult> result,
                                               RunProgress& progress) {
  if (!progress.finish(result ? &result->ticks : nullptr)) return std::nullopt;
  return result;
}

// The outcome of a finished or stopped run, in its order of precedence: the
// exception that stopped it, a strategy failure, a tick-file error. `result`
// is read only when the run was not stopped, which leaves one of the first two.
std::optional<tm_backtest::RunResult> outcome(tm_backtest::RunResult result,
                                              const PythonStrategy& adapter, Interrupt& interrupt,
                                              const std::optional<tm_data::Error>& file_error) {
  if (interrupt.raise_kept()) return std::nullopt;
  if (adapter.failure()) {
    return raise_value_error("the strategy failed during the run: " + *adapter.failure());
  }
  if (file_error) {
    return raise_value_error("the tick file stopped the run after " + std::to_string(result.ticks) +
                             " ticks: " + file_error->message());
  }
  return result;
}

// A completed run whose depth file failed in the middle is refused, as a tick
// file's failure is: the rest of its depth never reached the engine.
std::optional<tm_backtest::RunResult> depth_checked(std::optional<tm_backtest::RunResult> result,
                                                    const DepthRun* depth) {
  if (!result || depth == nullptr || !depth->error()) return result;
  return raise_value_error("the depth file failed during the run: " + *depth->error());
}

// The run loop over `ticks` with the interpreter lock released (the adapter
// takes it for its calls, and keeps it across them over ticks in memory, which
// never wait). A Stopped thrown by the adapter or the signal poll ends it
// early; the lock is taken back outside any unwinding, and the outcome then
// comes from the adapter and `interrupt`.
template <class Ticks>
tm_backtest::RunResult run_unlocked(const tm_backtest::RunConfig& config, PythonStrategy& adapter,
                                    Ticks& ticks, Interrupt& interrupt, RunProgress& progress,
                                    DepthRun* depth) {
  tm_backtest::RunResult result;
  adapter.unlock(std::is_same_v<Ticks, tm_backtest::SpanTicks>);
  try {
    Interruptible source(ticks, interrupt, &progress);
    result = depth != nullptr ? depth->run(config, adapter, source)
                              : tm_backtest::run_stream(config, adapter, source);
  } catch (const Stopped&) {
  } catch (...) {
    adapter.relock();
    throw;
  }
  adapter.relock();
  return result;
}

constexpr const char* kParams[] = {"strategy",       "ticks",        "balance",       "batch",
                                   "enforce_margin", "equity_every", "contract_size", "progress",
                                   "venue",          "depth"};

PyObject* run_backtest(PyObject* module, PyObject* args, PyObject* kwargs) {
  State* state = state_of(module);
  return guarded(state, [&]() -> PyObject* {
    PyObject* slot[std::size(kParams)];
    if (!bind({"run_backtest", kParams, 3}, args, kwargs, slot)) return nullptr;
    const std::optional<std::int64_t> balance = to_i64(slot[2], "balance");
    if (!balance) return nullptr;
    const std::optional<std::uint64_t> batch = convert_or(to_u64, slot[3], "batch", 1);
    if (!batch) return nullptr;
    const std::optional<bool> enforce_margin = convert_or(to_flag, slot[4], "enforce_margin", true);
    if (!enforce_margin) return nullptr;
    const std::optional<std::uint64_t> equity_every =
        convert_or(to_u64, slot[5], "equity_every", 0);
    if (!equity_every) return nullptr;
    const std::optional<std::int64_t> contract_size =
        convert_or(to_i64, slot[6], "contract_size", 10000);
    if (!contract_size) return nullptr;
    tm_backtest::RunConfig config =
        python_config(*balance, *enforce_margin, *equity_every, *contract_size);
    if (!apply_venue(module, slot[8], config)) return nullptr;
    std::optional<DepthInput> depth;
    if (!omitted(slot[9]) && !(depth = take_depth(slot[9], "depth"))) return nullptr;
    std::optional<tm_backtest::RunResult> result = run_python(
        state, slot[0], slot[1], *batch, config, module, slot[7], depth ? &*depth : nullptr);
    if (!result) return nullptr;
    return new_run_result(state, std::move(*result));
  });
}

constexpr const char* kRunBacktestDoc =
    "run_backtest(strategy, ticks, balance, batch=1, enforce_margin=True, equity_every=0, "
    "contract_size=10000, progress=None, venue=None, depth=None)\n"
    "--\n"
    "\n"
    "Run a Python strategy over a tick series.\n"
    "\n"
    "`strategy` is any object with `on_tick(ctx)` (batch 1, compatibility mode:\n"
    "called once per tick with a `Context`) or `on_batch(ticks)` (batch above 1,\n"
    "throughput mode: called once per `batch` ticks with a list of `Tick`, after\n"
    "`position`, `entry`, `short_position`, `equity` and `last` are set on the\n"
    "object). Either returns None or a list of `Order`, `Cancel` and\n"
    "`CancelAll`. Orders are numbered 1, 2, 3, ... in the order the run\n"
    "receives them; `Cancel(order_id)` names one by that number. The ticks of\n"
    "an incomplete last batch reach the engine but not the strategy. A\n"
    "strategy with `on_batch_array(ticks)` gets each batch there instead, as a\n"
    "new (n, 8) `Int64Array` of tick records.\n"
    "\n"
    "`ticks` is a sequence of `Tick`, copied once before the run; a\n"
    "`TickSource` from `load_ticks`, streamed from its file a block at a time;\n"
    "a C-contiguous (n, 8) int64 array or an array of records with the eight\n"
    "int64 fields of `TICK_FIELDS`, read in place without a copy (do not\n"
    "change it during the run); or a mapping of field names to 1-D int64\n"
    "arrays (`exch_ts` and `last` required, the rest defaulted as `Tick`\n"
    "defaults them), copied into records.\n"
    "\n"
    "`balance` is in whole currency units \xE2\x80\x94 100_000 means a hundred\n"
    "thousand USDT \xE2\x80\x94 not in the internal fixed-point representation.\n"
    "`contract_size` is how much of the underlying one lot is, at the cash\n"
    "scale. `venue`, a `Venue`, sets the fees, funding, margin tiers,\n"
    "execution engine and account mode; without it the run uses the L0\n"
    "engine, the built-in margin tiers, no fees and no funding. With\n"
    "`enforce_margin` false the account is never liquidated.\n"
    "`equity_every` above 0 samples the equity every that many ticks, plus\n"
    "the first and the last tick, into the result's `equity_curve`.\n"
    "\n"
    "`depth`, for a venue whose execution is L2, is the market depth merged\n"
    "with the ticks by exchange time: an (n, 8) int64 array or records of\n"
    "`DEPTH_FIELDS` (copied and checked), or the path of a file `save_depth`\n"
    "wrote (streamed). Depth events up to a tick's exchange time, equal times\n"
    "included, reach the engine before that tick.\n"
    "\n"
    "`progress` True shows the ticks done of the total, the rate and the time\n"
    "left (a tqdm bar when tqdm is installed, a line on stderr otherwise); a\n"
    "callable is called as progress(done, total) instead, at most about ten\n"
    "times a second and once at the end. An exception it raises stops the\n"
    "run and is raised as is.\n"
    "\n"
    "The run executes with the interpreter lock released; the strategy gets it\n"
    "back for its calls (over ticks in memory, kept across consecutive calls\n"
    "and given up at least once per switch interval).\n"
    "\n"
    "Errors\n"
    "------\n"
    "ValueError: `batch` is 0; the tick file cannot be opened or its header is\n"
    "wrong; the strategy raised or returned something other than None or a\n"
    "list of Order (the run's result is discarded); the tick file failed in\n"
    "the middle of the run (a strategy failure is reported first); a `Cancel`\n"
    "names an order id the run has not handed out; `depth` is given without\n"
    "L2 execution, holds a broken row, or its file fails.\n"
    "TypeError: `venue` is not a Venue.\n"
    "TypeError: the strategy lacks the method its batch needs; `ticks` is not\n"
    "a sequence of Tick or a TickSource, or an array of the wrong dtype; an\n"
    "argument has the wrong type. ValueError: an array of the wrong shape or\n"
    "not contiguous; columns missing, unknown or of unequal lengths.\n"
    "OverflowError: an integer argument is out of range.\n"
    "KeyboardInterrupt (Ctrl-C during the run), and any exception from the\n"
    "strategy that is not an Exception: the run stops and it is raised as is.";

PyMethodDef kRunBacktest[] = {
    {"run_backtest", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(run_backtest)),
     METH_VARARGS | METH_KEYWORDS, kRunBacktestDoc},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

tm_backtest::RunConfig python_config(std::int64_t balance, bool enforce_margin,
                                     std::uint64_t equity_every, std::int64_t contract_size) {
  tm_backtest::RunConfig config;
  config.execution = tm_engine::Execution::l0();
  config.margin_tiers = tm_margin::MarginTable::example_btcusdt();
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
  config.keep_equity_samples = false;  // a Python result holds the curve alone
  return config;
}

std::optional<tm_backtest::RunResult> run_python(State* state, PyObject* strategy, PyObject* ticks,
                                                 std::uint64_t batch,
                                                 const tm_backtest::RunConfig& config,
                                                 PyObject* module, PyObject* progress,
                                                 const DepthInput* depth_input) {
  // 1-2. The cadence and the method it needs.
  if (batch == 0) return raise_value_error("batch must be at least 1; 1 is compatibility mode");
  std::optional<DepthRun> depth_run;
  if (depth_input != nullptr) {
    if (config.execution.kind != tm_engine::Execution::Kind::L2) {
      return raise_value_error(
          "depth: a depth stream needs L2 execution (venue=Venue(execution=L2(...))); this "
          "run's execution is " +
          std::string(config.execution.name()));
    }
    if (!(depth_run = DepthRun::open(*depth_input))) return std::nullopt;
  }
  DepthRun* depth_feed = depth_run ? &*depth_run : nullptr;
  NestedRun depth;
  if (!depth.enter()) return std::nullopt;
  // A batched strategy with on_batch_array gets its batches as arrays.
  Ref array_method = Ref::steal(batch > 1 ? PyUnicode_InternFromString("on_batch_array") : nullptr);
  const int arrays = array_method ? has_method(strategy, array_method.get()) : 0;
  if (arrays < 0) return std::nullopt;
  PyObject* method = batch == 1 ? state->str_on_tick : state->str_on_batch;
  const int has = arrays == 1 ? 1 : has_method(strategy, method);
  if (has < 0) return std::nullopt;
  if (has == 0) {
    PyErr_Format(PyExc_TypeError, "a strategy run with batch=%llu must implement %U()",
                 static_cast<unsigned long long>(batch), method);
    return std::nullopt;
  }

  // 3-6. The ticks (a copy of the Tick objects, or a file named by a
  // TickSource), the strategy's name, the adapter, and the run.
  Interrupt interrupt;
  if (!is_tick_source(state, ticks)) {
    // Arrays are read in place; the buffer stays exported until the run ends.
    const std::optional<TickInput> copied = take_ticks(state, ticks);
    if (!copied) return std::nullopt;
    const std::optional<std::string> name = strategy_name(strategy);
    if (!name) return std::nullopt;
    RunProgress meter;
    if (module != nullptr && !meter.start(module, progress, copied->ticks().size(), *name)) {
      return std::nullopt;
    }
    PythonStrategy adapter(state, strategy, batch, *name, interrupt, arrays == 1);
    adapter.expect_at_most(copied->ticks().size());
    tm_backtest::SpanTicks memory(copied->ticks());
    tm_backtest::RunResult result =
        run_unlocked(config, adapter, memory, interrupt, meter, depth_feed);
    return finished(
        depth_checked(outcome(std::move(result), adapter, interrupt, std::nullopt), depth_feed),
        meter);
  }
  const std::string path = tick_source_of(ticks).path;
  const std::optional<std::string> name = strategy_name(strategy);
  if (!name) return std::nullopt;
  PythonStrategy adapter(state, strategy, batch, *name, interrupt, arrays == 1);
  // Opening waits for a FIFO's writer, and every read for its data: without
  // the lock, and given up once a signal handler raises.
  std::optional<tm_data::OpenResult> opened;
  {
    Unlocked unlocked;
    opened.emplace(tm_data::TickReader::open(path, [&] { return interrupt.poll_signals(); }));
  }
  if (interrupt.raise_kept()) return std::nullopt;
  if (const tm_data::Error* error = std::get_if<tm_data::Error>(&*opened)) {
    return raise_value_error(path + ": " + error->message());
  }
  tm_data::TickReader& reader = std::get<tm_data::TickReader>(*opened);
  adapter.expect_at_most(reader.count());  // a reader never delivers more than its header claims
  RunProgress meter;
  if (module != nullptr && !meter.start(module, progress, reader.count(), *name)) {
    return std::nullopt;
  }
  tm_data::ReaderTicks file(reader);
  tm_backtest::RunResult result = run_unlocked(config, adapter, file, interrupt, meter, depth_feed);
  return finished(
      depth_checked(outcome(std::move(result), adapter, interrupt, file.error()), depth_feed),
      meter);
}

bool add_run_backtest(PyObject* module) { return PyModule_AddFunctions(module, kRunBacktest) == 0; }

}  // namespace tm_py
