// The L2 execution engine: the L1 engine plus the venue's market depth. A limit
// order's queue position is the size displayed at its price when it reaches the
// venue; a market order is priced by walking the opposite side of the depth.
// While the depth book is invalid (a refused update), ticks only release due
// reports and are counted, until a snapshot makes the book valid again.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "tm_book/depth_book.h"
#include "tm_engine/l1.h"

namespace tm_engine {

// The depth a tick's market orders walk: each side is copied from the book
// when the tick first needs it and then consumed, so that several market
// orders in one tick walk progressively deeper. Depth taken stays taken until
// the next tick, and a take that runs past the depth is priced no better than
// the last level the tick consumed on that side.
class WorkingDepth {
 public:
  struct DepthPrice {
    tm_types::Price price = 0;
    bool beyond = false;  // the take ran past the depth: `price` is the last level consumed
  };
  // Forgets the copies; called at the start of every tick.
  void reset() {
    have_bids_ = false;
    have_asks_ = false;
    last_bid_.reset();
    last_ask_.reset();
  }
  // The average price of `qty` lots taken from the opposite side (a buy takes
  // the asks, rounded up; a sell the bids, rounded down); for a take the side
  // cannot fill, the last level consumed this tick, marked `beyond`. Nothing
  // when no level of that side was consumed this tick, or the average does
  // not fit in 64 bits.
  std::optional<DepthPrice> take(const tm_book::DepthBook& book, tm_types::Side side,
                                 tm_types::QtyLots qty);

 private:
  tm_book::DepthSide bids_{true};
  tm_book::DepthSide asks_{false};
  std::optional<tm_types::Price> last_bid_, last_ask_;  // the worst level consumed this tick
  bool have_bids_ = false;
  bool have_asks_ = false;
};

class L2Engine {
 public:
  L2Engine(tm_types::InstrumentId instrument, const L1Config& config);
  L2Engine(const L2Engine&) = delete;
  L2Engine& operator=(const L2Engine&) = delete;

  // Queues a limit order behind the size displayed at its price (when depth is
  // available); while the engine is invalid the order is deferred and its queue
  // read from depth when it arrives.
  void submit(const tm_types::Working& order, tm_types::Nanos now);
  [[nodiscard]] bool cancel(tm_types::OrderId id) { return l1_.cancel(id); }
  std::size_t cancel_all() { return l1_.cancel_all(); }

  // The fills reported on this tick; valid until the next call on the engine.
  std::span<const L0Fill> on_tick(const Tick& tick);

  // Applies one depth update. A refused update empties the book and makes the
  // engine invalid; the error is returned for information only.
  std::optional<tm_book::DepthError> on_depth(const tm_book::DepthUpdate& update);
  // Installs a snapshot: depth becomes available and the engine valid. The
  // next update must bridge the snapshot.
  void install_snapshot(const tm_book::DepthSnapshot& snapshot);

  std::vector<L0Fill> drain_unreported() { return l1_.drain_unreported(); }

  const tm_book::DepthBook& depth() const { return book_; }
  const L1Engine& l1() const { return l1_; }
  tm_types::InstrumentId instrument() const { return l1_.instrument(); }
  std::uint64_t invalid_ticks() const { return invalid_ticks_; }
  std::uint64_t rejected_updates() const { return rejected_updates_; }
  std::uint64_t depth_priced() const { return depth_priced_; }
  std::uint64_t fallbacks() const { return fallbacks_; }
  bool depth_available() const { return depth_available_; }
  bool invalid() const { return invalid_; }

 private:
  // The size displayed at a limit order's price on its own side (0 if none),
  // or nothing for a market order or when no depth is available.
  std::optional<tm_types::QtyLots> displayed_ahead(const tm_types::Working& order) const;
  // Re-reads the queue ahead of flagged pending orders due by `cutoff`.
  void refresh_pending(tm_types::Nanos cutoff);

  L1Engine l1_;
  tm_book::DepthBook book_;
  WorkingDepth working_;
  std::uint64_t invalid_ticks_ = 0;
  std::uint64_t rejected_updates_ = 0;
  std::uint64_t depth_priced_ = 0;
  std::uint64_t fallbacks_ = 0;
  bool depth_available_ = false;
  bool invalid_ = false;
};

}  // namespace tm_engine
