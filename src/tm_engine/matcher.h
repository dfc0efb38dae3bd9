// The one interface between an account holding and its execution engine: a
// tagged variant over the execution engines, built from an Execution choice.
// L0 is held inline; the larger engines live in their own heap allocation
// owned by the matcher. Dispatch is a branch on the variant, never a virtual
// call.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string_view>
#include <variant>
#include <vector>

#include "tm_book/depth_book.h"
#include "tm_engine/execution.h"
#include "tm_engine/l0.h"
#include "tm_types/ids.h"
#include "tm_types/order.h"
#include "tm_types/tick.h"
#include "tm_types/time.h"

namespace tm_engine {

class L1Engine;
class L2Engine;

class Matcher {
 public:
  static Matcher l0(tm_types::InstrumentId instrument);
  static Matcher l1(tm_types::InstrumentId instrument, const L1Config& config);
  static Matcher l2(tm_types::InstrumentId instrument, const L1Config& config);

  Matcher(Matcher&&) noexcept;
  Matcher& operator=(Matcher&&) noexcept;
  Matcher(const Matcher&) = delete;
  Matcher& operator=(const Matcher&) = delete;
  ~Matcher();

  // Hands an order to the engine; `now` is the receive time of the tick on
  // which it was decided (L0 ignores it). It takes part from the next tick on.
  void submit(const tm_types::Working& order, tm_types::Nanos now);
  // True if the order was found (pending, queued or resting) and removed.
  [[nodiscard]] bool cancel(tm_types::OrderId id);
  // Removes every order the engine holds and returns how many there were.
  std::size_t cancel_all();
  // The fills reported on this tick, valid until the next call on the matcher.
  std::span<const L0Fill> on_tick(const tm_types::Tick& tick);
  // The fills whose reports are still delayed, by report time; empty for L0.
  std::vector<L0Fill> drain_unreported();

  // Depth for the L2 engine; the other engines keep no depth and ignore both.
  // A refused update has already reset the engine; the error is information.
  std::optional<tm_book::DepthError> on_depth(const tm_book::DepthUpdate& update);
  void install_snapshot(const tm_book::DepthSnapshot& snapshot);
  // The L2 engine, or nullptr when the matcher holds another tier.
  const L2Engine* l2() const;
  // The L0 or L1 engine, or nullptr when the matcher holds another tier.
  const L0Engine* l0() const { return std::get_if<L0Engine>(&engine_); }
  const L1Engine* l1() const;

  tm_types::InstrumentId instrument() const;
  Execution::Kind kind() const;
  std::string_view name() const { return execution_name(kind()); }  // "L0", "L1", "L2"
  // True when a tick that finds no order in the engine changes nothing a run
  // reports, so that such ticks may be counted instead of matched. Only L0
  // keeps no state (queues, volume, depth) that such a tick would move.
  bool idle_ticks_inert() const { return kind() == Execution::Kind::L0; }
  std::uint64_t skipped_ticks() const;  // ticks the L2 engine could not use; 0 otherwise
  // Depth updates the L2 engine refused (each reset its book); 0 for the other engines.
  std::uint64_t rejected_depth_updates() const;

 private:
  using Engine = std::variant<L0Engine, std::unique_ptr<L1Engine>, std::unique_ptr<L2Engine>>;
  explicit Matcher(Engine engine);

  std::span<const L0Fill> on_tick_wrapped(const tm_types::Tick& tick);

  Engine engine_;
};

// L0 is dispatched inline so that a tick with an empty book costs a few nanoseconds.
inline std::span<const L0Fill> Matcher::on_tick(const tm_types::Tick& tick) {
  if (auto* l0 = std::get_if<L0Engine>(&engine_)) return l0->on_tick(tick);
  return on_tick_wrapped(tick);
}

}  // namespace tm_engine
