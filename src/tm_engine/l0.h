// The L0 execution engine: fills the strategy's orders against the tick stream
// alone, with no latency, no queue and no volume limit; every fill takes the
// order's whole remaining quantity. The L1 and L2 engines wrap it.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "tm_engine/resting_orders.h"
#include "tm_types/fill.h"
#include "tm_types/ids.h"
#include "tm_types/order.h"
#include "tm_types/tick.h"

namespace tm_engine {

using tm_types::Tick;

// How a fill came about. Codes are pinned: they cross into the run records.
enum class ExecKind : std::uint8_t {
  Through = 0,  // a resting limit the traded range since the previous tick passed through
  Touch = 1,    // a resting limit the current quote reached
  AtQuote = 2,  // a waiting market order executed at the current quote
};

// A fill as every engine reports it; the account keeps the `fill` part.
struct L0Fill {
  tm_types::Fill fill;
  ExecKind kind = ExecKind::Through;
  friend constexpr bool operator==(const L0Fill&, const L0Fill&) = default;
};

class L0Engine {
 public:
  explicit L0Engine(tm_types::InstrumentId instrument);
  L0Engine(const L0Engine&) = delete;
  L0Engine& operator=(const L0Engine&) = delete;
  L0Engine(L0Engine&&) noexcept = default;
  L0Engine& operator=(L0Engine&&) noexcept = default;

  // Puts the order into the book unchecked; it is examined from the next tick on.
  // REQUIRES: the id is unique among working orders.
  void submit(const tm_types::Working& order) { book_.insert(order); }
  // As `submit`, for an order that reached the venue after the previous tick:
  // the range traded since that tick lies partly before its arrival, so the
  // next tick does not cross it; the current quote can still fill it, at the
  // tick's time, which is never before its arrival.
  void submit_arrived(const tm_types::Working& order) {
    book_.insert(order);
    arrived_.push_back(order.id);
  }

  // True if an order with this id was in the book and is now removed.
  [[nodiscard]] bool cancel(tm_types::OrderId id) { return book_.remove(id).has_value(); }

  // Removes every order (buy limits, sell limits, market buys, market sells, in
  // book order) and returns how many there were.
  std::size_t cancel_all();

  // Matches the book against one tick and returns this tick's fills in execution
  // order. The span stays valid until the next call on the engine.
  std::span<const L0Fill> on_tick(const Tick& tick);

  // Forgets the previous tick, so the next tick makes no range crossing, as
  // the first tick of a run does not.
  void forget_previous() {
    prev_last_.reset();
    prev_time_.reset();
  }

  const RestingOrders& book() const { return book_; }
  tm_types::InstrumentId instrument() const { return instrument_; }
  std::uint64_t fill_count() const { return fill_counter_; }

 private:
  struct Stamp {
    tm_types::Nanos exch_ts;
    tm_types::Nanos local_ts;
  };

  void match(const Tick& tick);
  void cross_range(const Tick& tick, std::int64_t high, std::int64_t low);
  void fill_market_orders(tm_types::Side side, std::int64_t price, const Tick& tick);
  void touch_buy_limits(const Tick& tick, std::int64_t low);
  void touch_sell_limits(const Tick& tick, std::int64_t high);
  // Fills the order's whole remaining quantity at `price` and takes it out of
  // the book; an order with nothing remaining is only taken out.
  void execute_at(const tm_types::Working& order, std::int64_t price, bool taker, ExecKind kind,
                  Stamp at);

  std::optional<std::int64_t> prev_last_;
  std::optional<Stamp> prev_time_;
  RestingOrders book_;
  std::vector<L0Fill> fills_;
  std::vector<std::pair<std::uint64_t, tm_types::OrderId>> scratch_;
  std::vector<Resting> market_scratch_;
  std::vector<tm_types::OrderId> arrived_;  // kept out of the next range crossing
  std::uint64_t fill_counter_ = 0;
  tm_types::InstrumentId instrument_;
};

// The whole of `on_tick` for an empty book is inline: clear, remember, return.
inline std::span<const L0Fill> L0Engine::on_tick(const Tick& tick) {
  fills_.clear();
  if (!book_.empty()) match(tick);
  if (!arrived_.empty()) arrived_.clear();
  prev_last_ = tick.last;
  prev_time_ = Stamp{tick.exch_ts, tick.local_ts};
  return fills_;
}

}  // namespace tm_engine
