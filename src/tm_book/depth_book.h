// The venue's market depth for one instrument, kept from a snapshot and the
// incremental updates that follow it. An update that does not continue the
// sequence is refused with a DepthError; the caller decides what to do then.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <variant>
#include <vector>

#include "tm_types/fixed.h"

namespace tm_book {

// One price level of the venue's displayed depth: a price in ticks and the
// size shown there in lots.
struct Level {
  tm_types::Price price = 0;
  tm_types::QtyLots size = 0;
  friend constexpr bool operator==(const Level&, const Level&) = default;
};

// One side of the depth, best level first: highest price first for bids
// (descending), lowest first for asks. No two levels share a price, and no
// level of size 0 is stored.
class DepthSide {
 public:
  explicit DepthSide(bool descending) : descending_(descending) {}

  // Sets the size shown at `price`; 0 removes the level (or does nothing).
  void apply(tm_types::Price price, tm_types::QtyLots size);

  struct Taken {
    tm_types::i128 notional = 0;  // sum of price x lots taken
    tm_types::QtyLots filled = 0;
    bool short_ = false;  // the side ran out before the quantity was taken
  };
  // Walks the levels best first for `quantity` lots and consumes what it took.
  Taken take(tm_types::QtyLots quantity);

  // The size at exactly this price, if a level holds it.
  std::optional<tm_types::QtyLots> size_at(tm_types::Price price) const;

  std::span<const Level> levels() const { return levels_; }
  bool descending() const { return descending_; }
  void clear() { levels_.clear(); }

  friend bool operator==(const DepthSide&, const DepthSide&) = default;

 private:
  std::vector<Level> levels_;
  bool descending_;
};

// An incremental update: the new size of each changed price (0 removes it),
// covering the venue's update ids first..final.
struct DepthUpdate {
  std::optional<std::uint64_t> prev_final;  // the final id of the update before it
  std::uint64_t first = 0;
  std::uint64_t final = 0;
  std::vector<Level> bids;
  std::vector<Level> asks;
  std::int64_t event_time = 0;  // milliseconds
};

// A full picture of both sides as of update id `id`. Levels may come in any
// order; size-0 levels are dropped and a repeated price keeps its last size.
struct DepthSnapshot {
  std::uint64_t id = 0;
  std::vector<Level> bids;
  std::vector<Level> asks;
};

struct DepthError {
  enum class Kind : std::uint8_t {
    NoSnapshot = 0,   // the book was never given a snapshot
    NotBridging = 1,  // the first update after the snapshot does not cover it
    Gap = 2,          // the update does not follow the last one applied
  };
  Kind kind = Kind::NoSnapshot;
  std::uint64_t snapshot = 0;  // NotBridging: the snapshot id
  std::uint64_t first = 0;     // NotBridging: the update's first id
  std::uint64_t final = 0;     // NotBridging: the update's final id
  std::uint64_t last = 0;      // Gap: the last update id applied
  std::uint64_t expected = 0;  // Gap: the previous id the update claims
  friend constexpr bool operator==(const DepthError&, const DepthError&) = default;
};

// The fixed message of each kind.
std::string_view depth_error_message(DepthError::Kind kind);

// What `DepthBook::apply` did with an update it accepted.
enum class Applied : std::uint8_t { Changed = 0, Stale = 1 };

class DepthBook {
 public:
  DepthBook() = default;

  // Applies the update if it continues the sequence (or bridges the snapshot),
  // reports it stale if the snapshot already covers it, or refuses it. A
  // refused update changes nothing.
  [[nodiscard]] std::variant<Applied, DepthError> apply(const DepthUpdate& update);

  // Replaces both sides with the snapshot's levels; the next update must bridge it.
  void install(const DepthSnapshot& snapshot);

  // No snapshot, no last update id, no levels, nothing applied.
  void clear();

  std::optional<std::uint64_t> last_update_id() const { return last_update_; }
  std::optional<std::uint64_t> snapshot_id() const { return snapshot_; }
  const DepthSide& bids() const { return bids_; }
  const DepthSide& asks() const { return asks_; }
  std::uint64_t applied() const { return applied_; }

 private:
  std::optional<std::uint64_t> last_update_;
  std::optional<std::uint64_t> snapshot_;
  DepthSide bids_{true};
  DepthSide asks_{false};
  std::uint64_t applied_ = 0;
};

}  // namespace tm_book
