// PythonStrategy: a Python object acting as a strategy of the run loop. Each
// engine call becomes a call of the object's `on_tick(ctx)` (compatibility
// mode) or, once per `batch` ticks, `on_batch(ticks)` with a list of Tick, or
// `on_batch_array(ticks)` with an (n, 8) Int64Array when the object has that
// method (throughput mode); what the method returns becomes intents. A Python
// exception never crosses into the engine: it is recorded as text, and the
// adapter ends the run by throwing Stopped at its next tick (the run's result
// is discarded anyway). An exception that is not an `Exception`
// (KeyboardInterrupt, SystemExit), or one raised by a signal handler, is not
// turned into text: it is kept in the run's Interrupt and the run is stopped
// at once.
//
// The run loop calls on_tick without the interpreter lock. The adapter of a
// run over ticks in memory takes it for a call and keeps it across the calls
// that follow, giving it up once per switch interval and after each batch
// (HeldLock); other adapters take it around each call only.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "tm_py/interrupt.h"
#include "tm_py/lock.h"
#include "tm_py/module_state.h"
#include "tm_py/ref.h"
#include "tm_strategy/strategy.h"
#include "tm_types/tick.h"

namespace tm_py {

// The first failure among the adapters of one lookahead check, behind its own lock.
class FailureSlot {
 public:
  // Keeps `text` unless a failure is already held.
  void offer(const std::string& text);
  std::optional<std::string> get() const;

 private:
  mutable std::mutex mutex_;
  std::optional<std::string> text_;
};

// The text that stands for an exception: the type's qualified name, ": ", and
// its str() (or "<exception str() failed>"). Takes and clears the current
// Python exception. REQUIRES: the interpreter lock, an exception set.
std::string describe_current_exception();

// The name a run reports for a Python strategy: the object's `name` attribute
// if it is a str, else its type's `__name__` if that is a str, else
// "python-strategy". An `Exception` met while looking is discarded; anything
// else (KeyboardInterrupt) is left set and the result is empty. REQUIRES: the lock.
std::optional<std::string> strategy_name(PyObject* object);

// The fixed failure text of a strategy returning something other than None or a list of Order.
inline constexpr const char* kBadReturn =
    "a strategy must return None or a list of Order; returning anything else would be silently "
    "ignored";

class PythonStrategy {
 public:
  enum class Mode : std::uint8_t { Compatibility, Throughput };

  // The adapter of one run_backtest run: throughput mode when `batch` > 1,
  // calling `on_batch_array` instead of `on_batch` when `arrays`. Takes a new
  // reference to `strategy`. REQUIRES: the interpreter lock, batch >= 1;
  // "*state" and "*interrupt" must outlive the adapter.
  PythonStrategy(State* state, PyObject* strategy, std::uint64_t batch, std::string name,
                 Interrupt& interrupt, bool arrays = false);
  // An adapter of a lookahead check: compatibility mode, reporting its first
  // failure also to `slot`. Takes a new reference to `strategy`. REQUIRES: the lock.
  PythonStrategy(State* state, PyObject* strategy, std::string name,
                 std::shared_ptr<FailureSlot> slot, Interrupt& interrupt);
  // An adapter of a lookahead check whose build failed: it holds None and is
  // failed at once with `failure`, which also goes to `slot`. Needs no lock.
  static PythonStrategy born_failed(State* state, std::string failure,
                                    std::shared_ptr<FailureSlot> slot);

  PythonStrategy(PythonStrategy&& other) noexcept;
  PythonStrategy& operator=(PythonStrategy&& other) noexcept;
  PythonStrategy(const PythonStrategy&) = delete;
  PythonStrategy& operator=(const PythonStrategy&) = delete;
  // Drops the reference to the strategy, taking the interpreter lock for it
  // when the calling thread does not hold it.
  ~PythonStrategy();

  // Around a run of the adapter of run_backtest, on the thread that made it:
  // unlock() releases the interpreter lock before the run loop starts, and
  // tells whether the calls may keep it (`hold`: a source that never waits,
  // as ticks in memory; a file read may stall, and must not stall the
  // interpreter with it); relock() takes it back afterwards unless a call
  // left it held.
  void unlock(bool hold) {
    hold_ = hold;
    lock_.release();
  }
  void relock() { lock_.take(); }

  // The Strategy operations. on_tick is called WITHOUT the interpreter lock.
  // It throws Stopped when the adapter has failed or an exception stopped the
  // run; whoever starts the run must catch it.
  void on_tick(const tm_strategy::Context& context, std::vector<tm_strategy::Intent>& intents);
  const std::string& name() const { return name_; }

  Mode mode() const { return mode_; }
  // Tells the adapter that the run delivers at most `ticks` ticks. In
  // throughput mode the ticks after the last batch that can still fill are
  // then not buffered: they would never reach the strategy, and a batch larger
  // than a whole tick file would otherwise hold all of it in memory.
  void expect_at_most(std::uint64_t ticks);
  // True once no later tick can reach Python: in throughput mode, after the
  // last batch that can still fill.
  bool finished() const { return mode_ == Mode::Throughput && to_buffer_ == 0 && !failure_; }
  // Room for the coming ticks on_tick would only add to the pending batch
  // (see tm_strategy::KeepsTicks), and the adding of the first n of them.
  std::span<std::byte> room_to_keep() {
    if (mode_ != Mode::Throughput || failure_ || filled_ >= inline_room_) return {};
    const std::uint64_t ticks = std::min(inline_room_ - filled_, to_buffer_);
    return {reinterpret_cast<std::byte*>(&rows_[filled_ * kTickFields]),
            ticks * sizeof(tm_types::Tick)};
  }
  void kept(std::uint64_t n) {
    to_buffer_ -= n;
    filled_ += n;
  }
  // The text of the first failure, once one happened.
  const std::optional<std::string>& failure() const { return failure_; }

 private:
  PythonStrategy(State* state, PyObject* strategy, Mode mode, std::uint64_t batch, std::string name,
                 std::shared_ptr<FailureSlot> slot, Interrupt* interrupt, bool arrays);

  // on_tick for the ticks its inline part does not settle.
  void on_tick_out_of_line(const tm_strategy::Context& context,
                           std::vector<tm_strategy::Intent>& intents);
  // One call into Python. REQUIRES: the interpreter lock.
  void ask(const tm_strategy::Context& context, std::vector<tm_strategy::Intent>& intents);
  // The method call of either mode; a new reference, or null with an exception set.
  PyObject* call_compatibility(const tm_strategy::Context& context);
  // The strategy's method `name` with one argument, looked up by name as
  // Python does on every call. A thread that the interpreter ends at exit
  // during the call is parked here (see lock.h).
  PyObject* call_method(PyObject* name, PyObject* argument) noexcept;
  PyObject* call_throughput(const tm_strategy::Context& context);
  // The pending ticks as an Int64Array or a list of Tick: the array or list
  // of the last batch refilled when nothing else refers to it, else a new
  // one. Borrowed from array_ or list_; null with an exception set.
  PyObject* batch_array();
  PyObject* batch_list();
  // Adds a tick to the pending ones, growing their storage when it is full.
  void buffer(const tm_types::Tick& tick);
  // The ticks that on_tick may buffer inline: fewer than a batch, and no
  // more than the storage holds.
  void set_inline_room() { inline_room_ = std::min<std::uint64_t>(batch_ - 1, room()); }
  std::size_t room() const { return rows_.size() / kTickFields; }
  // Appends the intents of a returned value, all or none. False for a value
  // that is not None or a sequence of Order. REQUIRES: the lock.
  bool take_orders(PyObject* returned, const tm_strategy::Context& context,
                   std::vector<tm_strategy::Intent>& intents);
  void fail(std::string text);

  Mode mode_;
  std::uint64_t batch_;
  std::string name_;
  // The pending ticks: filled_ records of kTickFields values at the front of
  // rows_, whose size grows by doubling up to a batch. An array batch hands
  // rows_ itself over, so each tick is copied once.
  static constexpr std::size_t kTickFields = sizeof(tm_types::Tick) / sizeof(std::int64_t);
  std::vector<std::int64_t> rows_;
  std::uint64_t filled_ = 0;
  std::uint64_t inline_room_ = 0;  // filled_ below this: on_tick buffers inline
  std::optional<std::string> failure_;
  PyObject* strategy_;   // owned; null only in a moved-from adapter
  Ref method_;           // the batch method's name in throughput mode
  Ref context_;          // the last Context, reused when the strategy kept no reference
  Ref list_;             // the last list of Tick, reused likewise
  Ref array_;            // the last batch array, reused likewise
  bool arrays_ = false;  // batches go to on_batch_array as an Int64Array
  std::uint64_t order_counter_ = 0;
  std::uint32_t asks_ = 0;                // calls into Python, for the signal check's cadence
  std::uint64_t to_buffer_ = UINT64_MAX;  // ticks that can still reach a full batch
  bool wants_orders_ = false;  // throughput mode: set `orders` on the strategy before each batch
  std::shared_ptr<FailureSlot> slot_;
  State* state_;
  Interrupt* interrupt_;  // null only in an adapter born failed, which never calls Python
  // The thread that made the adapter and its thread state: the run loop
  // normally calls on_tick on that thread, with that state released.
  std::thread::id owner_ = std::this_thread::get_id();
  PyThreadState* thread_ = nullptr;
  HeldLock lock_;
  bool hold_ = false;  // whether calls on the owner thread keep the lock (see unlock())
};

static_assert(tm_strategy::KeepsTicks<PythonStrategy>);

// The run loop calls this on every tick; in throughput mode most ticks only
// join the batch, or are past the last batch that can fill, and are settled
// here without a call.
inline void PythonStrategy::on_tick(const tm_strategy::Context& context,
                                    std::vector<tm_strategy::Intent>& intents) {
  if (mode_ == Mode::Throughput && !failure_) {
    if (to_buffer_ == 0) return;
    if (filled_ < inline_room_) {
      --to_buffer_;
      std::memcpy(&rows_[filled_ * kTickFields], &context.tick, sizeof(tm_types::Tick));
      ++filled_;
      return;
    }
  }
  on_tick_out_of_line(context, intents);
}

}  // namespace tm_py
