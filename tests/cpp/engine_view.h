// Seeded event streams for the execution engines (ticks with absent fields,
// orders of both sides and kinds, cancels, depth snapshots and updates with
// gaps and stale ids), a flat view of an engine's state, and a replay that
// requires two engines (or an engine and its model) to agree at every event.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <span>
#include <tuple>
#include <variant>
#include <vector>

#include "test_util.h"
#include "tm_engine/l0.h"
#include "tm_engine/l1.h"
#include "tm_engine/l2.h"

namespace tm_view {

using tm_book::DepthError;
using tm_book::DepthSnapshot;
using tm_book::DepthUpdate;
using tm_book::Level;
using tm_engine::Delayed;
using tm_engine::ExecKind;
using tm_engine::L0Fill;
using tm_engine::Pending;
using tm_engine::Queued;
using tm_engine::Resting;
using tm_types::Nanos, tm_types::OrderId, tm_types::Price, tm_types::QtyLots;
using tm_types::Side, tm_types::Tick, tm_types::Working;

// Every order's place and every waiting fill, in list order; for L2 also the
// depth, its snapshot and last update ids, and the engine's counters and flags.
struct View {
  std::vector<std::vector<std::pair<std::uint64_t, Working>>> book;  // buy, sell, market buy, sell
  std::vector<std::tuple<Working, Nanos, std::optional<QtyLots>, std::optional<Nanos>, bool>>
      pending;
  std::vector<std::tuple<Working, std::optional<Nanos>, QtyLots>> queued;
  std::vector<std::pair<Nanos, L0Fill>> delayed;
  std::vector<Level> bids, asks;
  std::vector<std::optional<std::uint64_t>> ids;
  std::vector<std::uint64_t> counts;
  friend bool operator==(const View&, const View&) = default;
};

inline auto seqs(const auto& list) {
  std::vector<std::pair<std::uint64_t, Working>> out;
  for (const Resting& r : list) out.emplace_back(r.seq, r.order);
  return out;
}
inline void set_lists(View& v, std::span<const Pending> p, std::span<const Queued> q,
                      std::span<const Delayed> d) {
  for (const Pending& e : p) {
    v.pending.emplace_back(e.order, e.due, e.explicit_ahead, e.queue_start, e.depth_refresh);
  }
  for (const Queued& e : q) v.queued.emplace_back(e.order, e.queue_start, e.ahead);
  for (const Delayed& e : d) v.delayed.emplace_back(e.due, e.fill);
}

inline void view_of(const tm_engine::L0Engine& e, View& v) {
  const auto& b = e.book();
  v.book = {seqs(b.buy_limits()), seqs(b.sell_limits()), seqs(b.market_buys()),
            seqs(b.market_sells())};
}
inline void view_of(const tm_engine::L1Engine& e, View& v) {
  view_of(e.inner(), v);
  set_lists(v, e.pending(), e.queued(), e.delayed());
}
inline void view_of(const tm_engine::L2Engine& e, View& v) {
  view_of(e.l1(), v);
  const auto& b = e.depth();
  v.bids.assign(b.bids().levels().begin(), b.bids().levels().end());
  v.asks.assign(b.asks().levels().begin(), b.asks().levels().end());
  v.ids = {b.snapshot_id(), b.last_update_id()};
  v.counts = {b.applied(),   e.invalid_ticks(),   e.rejected_updates(), e.depth_priced(),
              e.fallbacks(), e.depth_available(), e.invalid()};
}
template <class T>
View view(const T& x) {
  View v;
  if constexpr (requires { x.view(v); }) {
    x.view(v);
  } else {
    view_of(x, v);
  }
  return v;
}

struct Submit {
  Working order;
  Nanos now;
};
struct Cancel {
  OrderId id;
};
struct CancelAll {};
using Event = std::variant<Tick, Submit, Cancel, CancelAll, DepthUpdate, DepthSnapshot>;

// The quantile bucket of an order id: SplitMix64's output function, modulo 1000.
inline unsigned bucket(OrderId id) {
  std::uint64_t z = id + 0x9E3779B97F4A7C15ULL;
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
  return static_cast<unsigned>((z ^ (z >> 31)) % 1000);
}

// A config with each addition on or off at random; Quantiles with zero values
// only when `zero_quantiles`.
inline tm_engine::L1Config random_config(tm_test::Rng& r, bool zero_quantiles) {
  using tm_engine::Latency, tm_engine::QueueModel;
  auto latency = [&] {
    if (r.chance(40)) return Latency::fixed(0);
    if (r.chance(50)) return Latency::fixed(r.in(1, 4) * tm_test::kMs);
    const Nanos lo = zero_quantiles ? 0 : 1;
    return Latency::quantiles(r.in(lo, 3) * tm_test::kMs, r.in(lo, 3) * tm_test::kMs,
                              r.in(lo, 4) * tm_test::kMs, r.in(lo, 5) * tm_test::kMs);
  };
  tm_engine::L1Config c{latency(), latency(), QueueModel::off(), 0};
  if (r.chance(40)) c.queue = QueueModel::lots(r.in(-1, 8));
  if (r.chance(50)) c.queue = QueueModel::percent(static_cast<std::uint32_t>(r.in(0, 150)));
  if (r.chance(50)) c.impact = static_cast<std::uint32_t>(r.in(1, 200));
  return c;
}

// Ids in shuffled order, so arrival order and id order differ, including ids
// drawn at each edge of the latency quantile buckets.
inline std::vector<OrderId> order_ids(tm_test::Rng& r) {
  std::vector<OrderId> ids;
  for (unsigned edge : {499u, 500u, 899u, 900u, 989u, 990u}) {
    OrderId id = 1;
    while (bucket(id) != edge) ++id;
    ids.push_back(id);
  }
  for (OrderId id = 5000; ids.size() < 400; ++id) ids.push_back(id);
  std::shuffle(ids.begin(), ids.end(), r.gen);
  return ids;
}

inline std::vector<Level> some_levels(tm_test::Rng& r, Price from, bool zeros) {
  std::vector<Level> out(static_cast<std::size_t>(r.in(0, 4)));
  for (Level& l : out) l = {from + r.in(0, 5), zeros && r.chance(25) ? 0 : r.in(1, 9)};
  return out;
}

inline std::vector<Event> stream(std::uint64_t seed, int steps, bool depth) {
  tm_test::Rng r(seed);
  const std::vector<OrderId> ids = order_ids(r);
  std::size_t used = 0;
  std::vector<Event> out;
  Tick t{};
  std::int64_t mid = 100;
  std::uint64_t update = 100, snapshot = 0;
  auto absent = [&] { return r.chance(70) ? 0 : -r.in(1, 3); };
  auto install = [&] {
    snapshot = update += static_cast<std::uint64_t>(r.in(0, 3));
    update -= static_cast<std::uint64_t>(r.in(0, 2));
    out.push_back(
        DepthSnapshot{snapshot, some_levels(r, mid - 4, false), some_levels(r, mid, false)});
  };
  if (depth && r.chance(80)) install();
  for (int i = 0; i < steps; ++i) {
    for (int n = static_cast<int>(r.in(0, 2)); n > 0 && used < ids.size(); --n) {
      const Side side = r.chance(50) ? Side::Buy : Side::Sell;
      const Price price = r.chance(4) ? r.in(-2, 0) : mid + r.in(-4, 4);
      const QtyLots qty = r.in(1, 6);
      Working w = r.chance(80) ? tm_test::limit(ids[used], side, price, qty, t.exch_ts, t.local_ts)
                               : tm_test::market(ids[used], side, qty, t.exch_ts, t.local_ts);
      if (r.chance(4)) w.filled = r.in(1, qty);
      ++used;
      out.push_back(Submit{w, t.local_ts});
    }
    if (used > 0 && r.chance(10)) out.push_back(Cancel{ids[r.in(0, used - 1)]});
    if (r.chance(2)) out.push_back(CancelAll{});
    if (depth && r.chance(40)) {
      const std::uint64_t first = update + 1 + (r.chance(5) ? r.in(1, 2) : 0) -
                                  (r.chance(5) ? std::min<std::uint64_t>(r.in(1, 3), update) : 0);
      const std::uint64_t final = first + static_cast<std::uint64_t>(r.in(0, 2));
      std::optional<std::uint64_t> prev;
      if (r.chance(50)) prev = r.chance(90) ? update : update + r.in(1, 2);
      out.push_back(DepthUpdate{prev, first, final, some_levels(r, mid - 4, true),
                                some_levels(r, mid, true), t.exch_ts / tm_test::kMs + r.in(-1, 3)});
      update = std::max(update, final);
    }
    if (depth && r.chance(4)) install();
    mid = std::clamp<std::int64_t>(mid + r.in(-2, 2), 90, 110);
    t.exch_ts += r.in(0, 3) * tm_test::kMs;
    t.local_ts = t.exch_ts + r.in(0, 1) * tm_test::kMs;
    t.last = r.chance(5) ? r.in(-2, 0) : mid;
    t.high = r.chance(20) ? absent() : mid + r.in(0, 4);
    t.low = r.chance(20) ? absent() : mid - r.in(0, 4);
    t.bid = r.chance(25) ? absent() : mid - r.in(0, 2);
    t.ask = r.chance(25) ? absent() : mid + r.in(0, 2);
    t.volume += r.in(-3, 20);
    out.push_back(t);
  }
  return out;
}

using Outcome =
    std::variant<std::monostate, std::vector<L0Fill>, bool, std::size_t, std::optional<DepthError>>;

template <class T>
Outcome apply(T& x, const Event& event) {
  return std::visit(
      [&x](const auto& e) -> Outcome {
        using E = std::decay_t<decltype(e)>;
        if constexpr (std::is_same_v<E, Tick>) {
          const auto fills = x.on_tick(e);
          return std::vector<L0Fill>(fills.begin(), fills.end());
        } else if constexpr (std::is_same_v<E, Submit>) {
          if constexpr (requires { x.submit(e.order, e.now); }) {
            x.submit(e.order, e.now);
          } else {
            x.submit(e.order);
          }
        } else if constexpr (std::is_same_v<E, Cancel>) {
          return x.cancel(e.id);
        } else if constexpr (std::is_same_v<E, CancelAll>) {
          return x.cancel_all();
        } else if constexpr (std::is_same_v<E, DepthUpdate>) {
          if constexpr (requires { x.on_depth(e); }) {
            return x.on_depth(e);
          }
        } else if constexpr (requires { x.install_snapshot(e); }) {
          x.install_snapshot(e);
        }
        return std::monostate{};
      },
      event);
}

// Stops at the first call answered differently or state that differs, then
// drains the delayed fills; returns the number of fills, to show the stream trades.
template <class A, class B>
std::size_t replay(A&& a, B&& b, const std::vector<Event>& events, bool compare_state = true) {
  std::size_t fills = 0;
  for (std::size_t i = 0; i < events.size(); ++i) {
    const Outcome x = apply(a, events[i]), y = apply(b, events[i]);
    EXPECT_TRUE(x == y) << "event " << i;
    if (const auto* f = std::get_if<std::vector<L0Fill>>(&x)) fills += f->size();
    if (compare_state) {
      EXPECT_TRUE(view(a) == view(b)) << "state after event " << i;
    }
    if (::testing::Test::HasFailure()) return fills;
  }
  if constexpr (requires { a.drain_unreported(); }) {
    const auto x = a.drain_unreported(), y = b.drain_unreported();
    EXPECT_TRUE(x == y) << "drained fills";
    fills += x.size();
  }
  return fills;
}

}  // namespace tm_view
