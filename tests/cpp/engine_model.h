// A literal, slow model of the three execution engines, written from their
// rules rather than their code: one flat list of resting orders sorted on
// demand, depth sides as ordered maps, every step in the order the rules give.
// `view()` renders the whole state as engine_view.h reads an engine's.
#pragma once

#include <algorithm>
#include <cmath>
#include <map>
#include <optional>
#include <utility>
#include <vector>

#include "engine_view.h"

namespace tm_model {

using namespace tm_view;

// The delay drawn for an order: the fixed value, or the quantile its id falls in.
inline Nanos draw(const tm_engine::Latency& l, OrderId id) {
  if (auto* f = std::get_if<tm_engine::Latency::Fixed>(&l.model)) return f->value;
  const auto& q = std::get<tm_engine::Latency::Quantiles>(l.model);
  const unsigned u = bucket(id);
  return u < 500 ? q.p50 : u < 900 ? q.p90 : u < 990 ? q.p99 : q.p999;
}
inline bool is_zero(const tm_engine::Latency& l) {
  const auto* q = std::get_if<tm_engine::Latency::Quantiles>(&l.model);
  return q ? q->p50 == 0 && q->p90 == 0 && q->p99 == 0 && q->p999 == 0 : draw(l, 0) == 0;
}

class L0Model {
 public:
  explicit L0Model(tm_types::InstrumentId instrument) : instrument_(instrument) {}
  void submit(const Working& w) { book_.push_back({w, arrivals_++}); }
  // One that arrived after the previous tick is not crossed by the next range.
  void submit_arrived(const Working& w) {
    submit(w);
    arrived_.push_back(w.id);
  }
  bool cancel(OrderId id) { return take(id).has_value(); }
  std::size_t cancel_all() { return std::exchange(book_, {}).size(); }
  void forget() {
    prev_last_.reset();
    prev_stamp_.reset();
  }

  std::vector<L0Fill> on_tick(const Tick& t) {
    fills_.clear();
    const std::int64_t hi = t.high > 0 ? t.high : t.last, lo = t.low > 0 ? t.low : t.last;
    if (prev_last_ && !book_.empty()) {
      const std::int64_t p = *prev_last_;
      std::vector<std::pair<std::uint64_t, OrderId>> crossed;
      for (const Resting& r : book_) {
        const std::int64_t x = r.order.kind.price;
        const bool sell = r.order.side == Side::Sell;
        const bool in = hi > p ? sell && p < x && x <= hi : lo < p && !sell && lo <= x && x < p;
        const bool fresh = std::count(arrived_.begin(), arrived_.end(), r.order.id) > 0;
        if (r.order.kind.is_limit && in && !fresh) crossed.emplace_back(r.seq, r.order.id);
      }
      std::sort(crossed.begin(), crossed.end());
      const Stamp at = prev_stamp_.value_or(Stamp{t.exch_ts, t.local_ts});
      for (const auto& c : crossed) {
        if (auto w = take(c.second)) execute(*w, w->kind.price, false, ExecKind::Through, at);
      }
    }
    const Stamp now{t.exch_ts, t.local_ts};
    for (const Side side : {Side::Buy, Side::Sell}) {
      const std::int64_t quote = side == Side::Buy ? t.ask : t.bid;
      for (const Resting& r : list(false, side)) {
        execute(*take(r.order.id), quote > 0 ? quote : t.last, true, ExecKind::AtQuote, now);
      }
    }
    for (const Side side : {Side::Buy, Side::Sell}) {
      const bool buy = side == Side::Buy;
      const std::int64_t quote = buy ? t.ask : t.bid, base = quote > 0 ? quote : t.last;
      const std::int64_t threshold = quote > 0 ? quote : buy ? lo : hi;
      while (threshold >= 1 && !list(true, side).empty()) {
        const Working w = list(true, side).front().order;
        const Price x = w.kind.price;
        if (buy ? x < threshold : x > threshold) break;
        take(w.id);
        execute(w,
                base < 1 ? x
                : buy    ? std::min(x, base)
                         : std::max(x, base),
                false, ExecKind::Touch, now);
      }
    }
    prev_last_ = t.last;
    prev_stamp_ = now;
    arrived_.clear();
    return fills_;
  }

  // The four lists of the book: limits best price first, then earliest arrival.
  std::vector<Resting> list(bool limits, Side side) const {
    std::vector<Resting> out;
    for (const Resting& r : book_) {
      if (r.order.kind.is_limit == limits && r.order.side == side) out.push_back(r);
    }
    std::stable_sort(out.begin(), out.end(), [&](const Resting& a, const Resting& b) {
      const std::int64_t pa = a.order.kind.price, pb = b.order.kind.price;
      return limits && (side == Side::Buy ? pa > pb : pa < pb);
    });
    return out;
  }
  void view(View& v) const {
    v.book = {seqs(list(true, Side::Buy)), seqs(list(true, Side::Sell)),
              seqs(list(false, Side::Buy)), seqs(list(false, Side::Sell))};
  }

 private:
  struct Stamp {
    Nanos exch_ts, local_ts;
  };
  std::optional<Working> take(OrderId id) {
    auto it = std::find_if(book_.begin(), book_.end(), [&](auto& r) { return r.order.id == id; });
    if (it == book_.end()) return std::nullopt;
    const Working w = it->order;
    book_.erase(it);
    return w;
  }
  void execute(const Working& w, std::int64_t price, bool taker, ExecKind kind, Stamp at) {
    const QtyLots remaining = w.qty - w.filled;
    if (remaining < 1) return;
    const tm_types::Fill f{at.exch_ts, at.local_ts, w.id,   ++seq_,   price,
                           remaining,  instrument_, w.side, w.offset, taker};
    fills_.push_back(L0Fill{f, kind});
  }

  tm_types::InstrumentId instrument_;
  std::vector<Resting> book_;  // in arrival order
  std::vector<OrderId> arrived_;
  std::uint64_t arrivals_ = 0, seq_ = 0;
  std::optional<std::int64_t> prev_last_;
  std::optional<Stamp> prev_stamp_;
  std::vector<L0Fill> fills_;
};

class L1Model {
 public:
  L1Model(tm_types::InstrumentId instrument, const tm_engine::L1Config& c)
      : l0(instrument), c_(c) {}

  void submit(const Working& w, Nanos now) { submit_queue(w, now, std::nullopt, false); }
  void submit_queue(const Working& w, Nanos now, std::optional<QtyLots> ex, bool flag) {
    const Nanos d = draw(c_.submit_latency, w.id), due = tm_types::sat_add(now, d);
    if (!flag && !is_zero(c_.submit_latency)) return pending.push_back({ex, {}, w, due, false});
    if (flag && d > 0) return pending.push_back({ex, due, w, due, true});
    if (!w.kind.is_limit) return l0.submit(w);
    const auto q = ex ? std::max<QtyLots>(*ex, 0) : model_queue(last_interval_);
    place(w, q, ex && flag ? std::optional<Nanos>(now) : std::nullopt);
  }
  bool cancel(OrderId id) {
    const std::size_t n = std::erase_if(pending, [&](auto& p) { return p.order.id == id; }) +
                          std::erase_if(queued, [&](auto& q) { return q.order.id == id; });
    return n > 0 || l0.cancel(id);
  }
  std::size_t cancel_all() {
    return std::exchange(pending, {}).size() + std::exchange(queued, {}).size() + l0.cancel_all();
  }

  // `priced(fill, V)` replaces the square-root impact step when given.
  template <class Priced>
  std::vector<L0Fill> on_tick(const Tick& t, Priced&& priced) {
    const Nanos now = t.exch_ts;
    const std::int64_t v =
        prev_volume_ ? std::max<std::int64_t>(tm_types::sat_sub(t.volume, *prev_volume_), 0) : 0;
    std::vector<Pending> arriving, waiting;
    for (const Pending& p : pending) (p.due <= now ? arriving : waiting).push_back(p);
    pending = waiting;
    for (const Pending& p : arriving) {
      std::optional<QtyLots> q;
      if (p.order.kind.is_limit) {
        q = p.explicit_ahead ? std::max<QtyLots>(*p.explicit_ahead, 0) : model_queue(v);
      }
      place(p.order, q, p.due, true);  // nothing traded before its arrival counts
    }
    std::vector<Queued> kept;
    std::vector<Working> released;
    for (Queued q : queued) {
      const bool waits = q.queue_start && (!prev_time_ || *prev_time_ < *q.queue_start);
      const std::int64_t p = q.order.kind.price, h = t.high, l = t.low;
      const bool none = h == 0 && l == 0 && p != 0, buy = q.order.side == Side::Buy;
      const bool through = !none && (buy ? h < p : l > p), limit = q.order.kind.is_limit;
      if (!waits && limit && !none && !through && l <= p && p <= h) q.ahead -= v;  // reached
      const bool release = !waits && (!limit || through || q.ahead < 1);
      if (release) released.push_back(q.order);
      if (!release) kept.push_back(q);
    }
    queued = kept;
    for (const Working& w : released) l0.submit(w);
    std::vector<L0Fill> made = l0.on_tick(t);
    for (L0Fill& f : made) {
      if (f.fill.taker) priced(f, v);
    }
    if (!is_zero(c_.report_latency)) {
      for (const L0Fill& f : made) {
        delayed.push_back({now + draw(c_.report_latency, f.fill.order), f});
      }
      made = due_reports(now);
    }
    if (prev_volume_) last_interval_ = v;
    prev_volume_ = t.volume;
    prev_time_ = now;
    return made;
  }
  std::vector<L0Fill> on_tick(const Tick& t) {
    return on_tick(t, [&](L0Fill& f, std::int64_t v) { sqrt_impact(f, t, v); });
  }
  std::vector<L0Fill> on_invalid_tick(const Tick& t) {
    std::vector<L0Fill> out = due_reports(t.exch_ts);
    prev_volume_ = t.volume;
    prev_time_ = t.exch_ts;
    l0.forget();
    return out;
  }
  std::vector<L0Fill> drain_unreported() {
    std::stable_sort(delayed.begin(), delayed.end(),
                     [](auto& a, auto& b) { return a.due < b.due; });
    return due_reports(tm_types::kI64Max);
  }
  void forget() {
    l0.forget();
    prev_volume_.reset();
    prev_time_.reset();
  }
  // The range needs both extremes given: an absent high or low gives no range.
  void sqrt_impact(L0Fill& f, const Tick& t, std::int64_t v) const {
    const std::int64_t r = t.high > 0 && t.low > 0 ? t.high - t.low : 0;
    if (v < 1 || c_.impact == 0 || r < 1) return;
    const double m = std::sqrt(double(f.fill.qty) / double(v)) * ((c_.impact / 100.0) * double(r));
    const auto shift = static_cast<std::int64_t>(m);
    f.fill.price += f.fill.side == Side::Buy ? shift : -shift;
  }
  void view(View& v) const {
    l0.view(v);
    set_lists(v, pending, queued, delayed);
  }

  L0Model l0;
  std::vector<Pending> pending;
  std::vector<Queued> queued;
  std::vector<Delayed> delayed;

 private:
  std::optional<QtyLots> model_queue(std::optional<std::int64_t> volume) const {
    if (auto* lots = std::get_if<tm_engine::QueueModel::Lots>(&c_.queue.model)) return lots->lots;
    auto* pct = std::get_if<tm_engine::QueueModel::Percent>(&c_.queue.model);
    if (!pct || !volume) return std::nullopt;
    return std::int64_t(pct->percent) * *volume / 100;
  }
  void place(const Working& w, std::optional<QtyLots> q, std::optional<Nanos> start,
             bool arrived = false) {
    if (q && *q >= 1) return queued.push_back({start, w, *q});
    arrived ? l0.submit_arrived(w) : l0.submit(w);
  }
  std::vector<L0Fill> due_reports(Nanos now) {
    std::vector<L0Fill> out;
    std::erase_if(delayed, [&](const Delayed& d) {
      if (d.due <= now) out.push_back(d.fill);
      return d.due <= now;
    });
    return out;
  }

  tm_engine::L1Config c_;
  std::optional<std::int64_t> prev_volume_, last_interval_;
  std::optional<Nanos> prev_time_;
};

class L2Model {
 public:
  L2Model(tm_types::InstrumentId instrument, const tm_engine::L1Config& c)
      : l1_(instrument, c), c_(c) {}

  void install_snapshot(const DepthSnapshot& s) {
    b_ = Book{};
    for (const Level& l : s.bids) set(b_.bids, l);
    for (const Level& l : s.asks) set(b_.asks, l);
    b_.snapshot = s.id;
    available_ = true;
    invalid_ = false;
  }
  void submit(const Working& w, Nanos now) {
    if (invalid_) {
      const Nanos due = tm_types::sat_add(now, draw(c_.submit_latency, w.id));
      l1_.pending.push_back({std::nullopt, due, w, due, true});
      return;
    }
    l1_.submit_queue(w, now, shown(w), true);
  }
  bool cancel(OrderId id) { return l1_.cancel(id); }
  std::size_t cancel_all() { return l1_.cancel_all(); }
  std::vector<L0Fill> drain_unreported() { return l1_.drain_unreported(); }

  std::optional<DepthError> on_depth(const DepthUpdate& u) {
    refresh(tm_types::sat_sub(tm_types::clamp64(tm_types::sat_mul128(u.event_time, 1'000'000)), 1));
    const std::optional<DepthError> e = apply(u);
    if (!e) return e;
    ++rejected_;
    b_ = Book{};
    available_ = false;
    invalid_ = true;
    l1_.forget();
    for (Pending& p : l1_.pending) {
      p.depth_refresh = true;
      p.explicit_ahead.reset();
    }
    return e;
  }

  std::vector<L0Fill> on_tick(const Tick& t) {
    if (invalid_) {
      ++invalid_ticks_;
      return l1_.on_invalid_tick(t);
    }
    refresh(t.exch_ts);
    std::optional<Map> bids, asks;
    std::optional<Price> last_bid, last_ask;  // the deepest level consumed this tick
    return l1_.on_tick(t, [&](L0Fill& f, std::int64_t v) {
      const bool buy = f.fill.side == Side::Buy;
      std::optional<Map>& side = buy ? asks : bids;
      if (!side) side = buy ? b_.asks : b_.bids;
      std::optional<Price>& last = buy ? last_ask : last_bid;
      auto p = walk(*side, buy, f.fill.qty, last);
      const bool beyond = !p && last;  // past the depth: no better than the last level
      if (beyond) p = last;
      if (p) f.fill.price = buy ? std::max(f.fill.price, *p) : std::min(f.fill.price, *p);
      if (!p || beyond) l1_.sqrt_impact(f, t, v);
      ++(p && !beyond ? priced_ : fallbacks_);
    });
  }

  void view(View& v) const {
    l1_.view(v);
    v.bids = levels(b_.bids, true);
    v.asks = levels(b_.asks, false);
    v.ids = {b_.snapshot, b_.last};
    v.counts = {b_.applied, invalid_ticks_, rejected_, priced_, fallbacks_, available_, invalid_};
  }

 private:
  using Map = std::map<Price, QtyLots>;
  static void set(Map& m, const Level& l) {
    if (l.size == 0) m.erase(l.price);
    if (l.size != 0) m[l.price] = l.size;
  }
  static std::vector<Level> levels(const Map& m, bool descending) {
    std::vector<Level> out;
    for (const auto& [p, s] : m) out.push_back({p, s});
    if (descending) std::reverse(out.begin(), out.end());
    return out;
  }
  std::optional<QtyLots> shown(const Working& w) const {
    if (!available_ || !w.kind.is_limit) return std::nullopt;
    const Map& own = w.side == Side::Buy ? b_.bids : b_.asks;
    const auto it = own.find(w.kind.price);
    return it == own.end() ? 0 : it->second;
  }
  void refresh(Nanos cutoff) {
    for (Pending& p : l1_.pending) {
      if (!p.depth_refresh || p.due > cutoff) continue;
      p.explicit_ahead = shown(p.order);
      p.depth_refresh = false;
    }
  }
  std::optional<DepthError> apply(const DepthUpdate& u) {
    using K = DepthError::Kind;
    if (!b_.snapshot) return DepthError{K::NoSnapshot};
    const std::uint64_t s = *b_.snapshot;
    if (b_.last) {
      const std::uint64_t expected = u.prev_final ? *u.prev_final : u.first == 0 ? 0 : u.first - 1;
      if (expected != *b_.last) return DepthError{K::Gap, 0, 0, 0, *b_.last, expected};
    } else {
      if (u.final <= s) return std::nullopt;
      if (!(u.first <= s + 1 || (u.prev_final && *u.prev_final <= s))) {
        return DepthError{K::NotBridging, s, u.first, u.final};
      }
    }
    for (const Level& l : u.bids) set(b_.bids, l);
    for (const Level& l : u.asks) set(b_.asks, l);
    b_.last = u.final;
    ++b_.applied;
    return std::nullopt;
  }
  // The average price of `qty` lots walked off `side`, rounded against the order.
  static std::optional<Price> walk(Map& side, bool buy, QtyLots qty, std::optional<Price>& last) {
    std::vector<Level> ls = levels(side, !buy);
    tm_types::i128 notional = 0;
    QtyLots want = std::max<QtyLots>(qty, 0), filled = 0;
    std::optional<Price> deepest;
    for (Level& l : ls) {
      const QtyLots a = std::min(std::max<QtyLots>(l.size, 0), want);
      notional += tm_types::i128(l.price) * a;
      filled += a;
      want -= a;
      l.size -= a;
      if (a > 0) set(side, l);
      if (a > 0) deepest = l.price;
    }
    const bool left = std::any_of(side.begin(), side.end(), [](auto& l) { return l.second > 0; });
    if (deepest && (want > 0 || !left)) last = deepest;
    if (want > 0 || filled < 1) return std::nullopt;
    return static_cast<Price>(buy ? (notional + filled - 1) / filled : notional / filled);
  }

  L1Model l1_;
  tm_engine::L1Config c_;
  struct Book {
    Map bids, asks;
    std::optional<std::uint64_t> snapshot, last;
    std::uint64_t applied = 0;
  } b_;
  std::uint64_t invalid_ticks_ = 0, rejected_ = 0, priced_ = 0, fallbacks_ = 0;
  bool available_ = false, invalid_ = false;
};

}  // namespace tm_model
