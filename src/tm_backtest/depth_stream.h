// The run loop's second input at L2: the DepthStream concept (depth events one
// at a time, each with its exchange time), DepthEvents, which groups a stream of
// DepthRecord rows into such events, and SpanRecords, rows held in memory.
#pragma once

#include <concepts>
#include <cstddef>
#include <optional>
#include <span>
#include <variant>
#include <vector>

#include "tm_core/kernel.h"
#include "tm_types/depth_record.h"

namespace tm_backtest {

// A depth event and the venue time it happened at.
struct TimedDepth {
  tm_types::Nanos exch_ts = 0;
  tm_core::Event event{tm_core::DepthEvent{}};
};

// Depth events in exchange-time order; nullptr ends the stream. The pointer
// is valid until the next call.
template <class T>
concept DepthStream = requires(T& s) {
  { s.next() } -> std::same_as<const TimedDepth*>;
};

// Rows of a depth stream one at a time; nullptr ends them. The pointer is
// valid until the next call.
template <class T>
concept RecordStream = requires(T& s) {
  { s.next() } -> std::same_as<const tm_types::DepthRecord*>;
};

// Rows held in memory. `rows` must outlive the stream.
class SpanRecords {
 public:
  explicit SpanRecords(std::span<const tm_types::DepthRecord> rows) : rows_(rows) {}
  const tm_types::DepthRecord* next() { return pos_ < rows_.size() ? &rows_[pos_++] : nullptr; }

 private:
  std::span<const tm_types::DepthRecord> rows_;
  std::size_t pos_ = 0;
};

// Consecutive rows with equal exch_ts, kind, first_id, final_id and prev_id
// make one event: a snapshot as of final_id, or an update covering first_id
// to final_id whose previous update ended at prev_id (absent when prev_id is
// negative). The event's level lists keep their memory from event to event.
// REQUIRES: every row passes tm_types::check.
template <RecordStream Rows>
class DepthEvents {
 public:
  // Borrows `rows`, which must outlive this stream and is advanced by it.
  explicit DepthEvents(Rows& rows) : rows_(rows) {}
  DepthEvents(const DepthEvents&) = delete;
  DepthEvents& operator=(const DepthEvents&) = delete;

  const TimedDepth* next() {
    if (!ahead_) {
      const tm_types::DepthRecord* row = rows_.next();
      if (row == nullptr) return nullptr;
      ahead_ = *row;
    }
    const tm_types::DepthRecord head = *ahead_;
    start(head);
    add(head);
    ahead_.reset();
    while (const tm_types::DepthRecord* row = rows_.next()) {
      if (!same_event(*row, head)) {
        ahead_ = *row;
        break;
      }
      add(*row);
    }
    return &current_;
  }

  Rows& rows() { return rows_; }

 private:
  static constexpr tm_types::Nanos kNanosPerMilli = 1'000'000;

  static bool same_event(const tm_types::DepthRecord& a, const tm_types::DepthRecord& b) {
    return a.exch_ts == b.exch_ts && a.kind == b.kind && a.first_id == b.first_id &&
           a.final_id == b.final_id && a.prev_id == b.prev_id;
  }

  // Makes the event's payload the head row's kind, emptied, with its ids.
  void start(const tm_types::DepthRecord& head) {
    current_.exch_ts = head.exch_ts;
    auto& payload = std::get<tm_core::DepthEvent>(current_.event).payload;
    const auto final_id = static_cast<std::uint64_t>(head.final_id);
    if (head.kind == static_cast<std::int64_t>(tm_types::DepthKind::Snapshot)) {
      if (!std::holds_alternative<tm_book::DepthSnapshot>(payload))
        payload = tm_book::DepthSnapshot{};
      auto& s = std::get<tm_book::DepthSnapshot>(payload);
      s.id = final_id;
      s.bids.clear();
      s.asks.clear();
      levels_ = {&s.bids, &s.asks};
      return;
    }
    if (!std::holds_alternative<tm_book::DepthUpdate>(payload)) payload = tm_book::DepthUpdate{};
    auto& u = std::get<tm_book::DepthUpdate>(payload);
    u.prev_final = head.prev_id >= 0 ? std::optional<std::uint64_t>(head.prev_id) : std::nullopt;
    u.first = static_cast<std::uint64_t>(head.first_id);
    u.final = final_id;
    u.event_time = head.exch_ts / kNanosPerMilli;  // the engine reads milliseconds
    u.bids.clear();
    u.asks.clear();
    levels_ = {&u.bids, &u.asks};
  }

  void add(const tm_types::DepthRecord& row) {
    auto* side = row.side == static_cast<std::int64_t>(tm_types::DepthSide::Bid) ? levels_.bids
                                                                                 : levels_.asks;
    side->push_back({row.price, row.size});
  }

  Rows& rows_;
  std::optional<tm_types::DepthRecord> ahead_;
  TimedDepth current_;
  struct {
    std::vector<tm_book::Level>* bids = nullptr;
    std::vector<tm_book::Level>* asks = nullptr;
  } levels_;
};

}  // namespace tm_backtest
