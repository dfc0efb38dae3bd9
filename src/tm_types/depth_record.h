// One row of a depth stream: eight signed 64-bit integers, in the same order in
// memory, in the depth file and in Python arrays (DEPTH_FIELDS). Consecutive
// rows with equal exch_ts, kind and ids form one event of the stream: a
// snapshot of both sides, or an incremental update. A plain value; owns nothing.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "tm_types/fixed.h"
#include "tm_types/time.h"

namespace tm_types {

// Codes are stored in files and arrays: pinned.
enum class DepthKind : std::int64_t { Update = 0, Snapshot = 1 };
enum class DepthSide : std::int64_t { Bid = 0, Ask = 1 };

struct DepthRecord {
  Nanos exch_ts = 0;      // venue time of the event; never less than the previous row's
  std::int64_t kind = 0;  // DepthKind
  std::int64_t side = 0;  // DepthSide
  Price price = 0;        // in ticks
  QtyLots size = 0;       // the size now shown at the price; 0 removes the level
  // The venue's update ids the event covers. A snapshot is as of final_id
  // (first_id is not read). prev_id is the final id of the update before this
  // one; a stream without it writes first_id - 1.
  std::int64_t first_id = 0;
  std::int64_t final_id = 0;
  std::int64_t prev_id = 0;

  friend constexpr bool operator==(const DepthRecord&, const DepthRecord&) = default;
};

static_assert(sizeof(DepthRecord) == 64, "the depth file stores DepthRecord rows byte for byte");

// Why a row cannot be part of a depth stream. Codes pinned with the messages.
enum class DepthRowError : std::uint8_t {
  Kind = 0,         // kind is neither 0 nor 1
  Side = 1,         // side is neither 0 nor 1
  Negative = 2,     // price or size below 0
  NegativeId = 3,   // an update id below 0 (prev_id may be -1 when first_id is 0)
  IdsReversed = 4,  // first_id above final_id
};

// The first rule `row` breaks, or nothing.
constexpr std::optional<DepthRowError> check(const DepthRecord& row) {
  if (row.kind != 0 && row.kind != 1) return DepthRowError::Kind;
  if (row.side != 0 && row.side != 1) return DepthRowError::Side;
  if (row.price < 0 || row.size < 0) return DepthRowError::Negative;
  if (row.first_id < 0 || row.final_id < 0 || row.prev_id < -1) return DepthRowError::NegativeId;
  if (row.first_id > row.final_id) return DepthRowError::IdsReversed;
  return std::nullopt;
}

constexpr std::string_view message(DepthRowError error) {
  switch (error) {
    case DepthRowError::Kind:
      return "kind must be 0 (update) or 1 (snapshot)";
    case DepthRowError::Side:
      return "side must be 0 (bid) or 1 (ask)";
    case DepthRowError::Negative:
      return "price and size must not be negative";
    case DepthRowError::NegativeId:
      return "first_id and final_id must not be negative, nor prev_id below -1";
    case DepthRowError::IdsReversed:
      return "first_id must not exceed final_id";
  }
  return "unknown depth row error";
}

}  // namespace tm_types
