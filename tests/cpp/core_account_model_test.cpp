// The kernel and its account against a model in exact integers, over seeded
// random streams of every event, compared output by output and total by total
// after each. The model fills orders as the L0 engine does.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <optional>
#include <string>
#include <vector>

#include "test_util.h"
#include "tm_core/kernel.h"
#include "tm_engine/execution.h"

namespace tm_core {
namespace {

using tm_types::Fill;
using tm_types::Offset;
using tm_types::Side;
using tm_types::Tick;
using I = i128;

constexpr I kScale = 1'000'000'000;
I mag(I v) { return v < 0 ? -v : v; }
// Values as text, so that 128-bit ones print when they differ.
std::vector<std::string> row(auto... v) { return {std::to_string(static_cast<long long>(v))...}; }

struct ModelLeg {
  I qty = 0, entry = 0, cost = 0;  // qty signed; the short leg (and a net short) negative
};

struct Model {
  I size, maker, taker, balance;
  std::vector<tm_margin::MarginTier> rows;
  bool two_leg, external, liquidation;
  I realised = 0, funding = 0, fees = 0, forfeited = 0, now = 0, mark = 0;
  bool fees_charged = true, fee_unknown = false;
  ModelLeg lng{}, sht{};
  std::vector<OrderId> working{};
  std::vector<tm_types::Order> book{};  // the engine's orders, in arrival order
  std::optional<Tick> prev{};
  std::uint64_t seq = 0;
  std::vector<Output> out{};

  I value(I qty, I price) const { return mag(qty) * price * size; }
  I margin_of(I notional) const {
    auto r = std::ranges::find_if(rows, [&](const auto& r) { return notional <= r.max_notional; });
    if (r == rows.end()) --r;
    return std::max<I>(notional * r->rate / kScale - r->deduction, 0);
  }
  // A flat leg has no cost, so it contributes nothing.
  I unrealized(const ModelLeg& l, I p) const {
    return l.qty > 0 ? value(l.qty, p) - l.cost : l.cost - value(l.qty, p);
  }
  I equity(I p) const { return balance + unrealized(lng, p) + unrealized(sht, p); }
  I margin(I p) const { return margin_of(value(lng.qty, p)) + margin_of(value(sht.qty, p)); }

  void add(ModelLeg& l, I n, I price, I sign) {
    l.cost += n * price * size;
    l.qty = sign * (mag(l.qty) + n);
    l.entry = l.cost / (mag(l.qty) * size);
  }
  // The exact rational profit, truncated toward zero; what the truncation
  // leaves stays in the cost of the lots still held.
  I close(ModelLeg& l, I wanted, I price) {
    if (l.qty == 0) return 0;
    const I held = mag(l.qty), n = std::min(held, wanted), s = l.qty > 0 ? 1 : -1;
    const I proceeds = n * price * size;
    const I profit = s * (proceeds * held - l.cost * n) / held;
    l.cost = n == held ? 0 : l.cost - (proceeds - s * profit);
    l.qty -= s * n;
    if (l.qty == 0) l.entry = 0;
    return profit;
  }
  void realise(I r) {
    realised += r;
    balance += r;
  }
  void apply_fill(const Fill& f) {
    const I q = f.qty, dir = f.side == Side::Buy ? 1 : -1;
    if (two_leg && f.offset == Offset::Open) return add(dir > 0 ? lng : sht, q, f.price, dir);
    if (two_leg) return realise(close(dir > 0 ? sht : lng, q, f.price));
    if (lng.qty == 0 || (lng.qty > 0) == (dir > 0)) return add(lng, q, f.price, dir);
    const I c = std::min(mag(lng.qty), q);
    realise(close(lng, c, f.price));
    if (q - c >= 1) add(lng, q - c, f.price, dir);
  }
  // A fill pays its rate on the lots it books: a two-leg close on at most
  // what its leg holds.
  I fee_of(const Fill& f) const {
    const ModelLeg& leg = f.side == Side::Buy ? sht : lng;
    const I lots = two_leg && f.offset == Offset::Close ? std::min(mag(leg.qty), I(f.qty)) : f.qty;
    return value(lots, f.price) * (f.taker ? taker : maker) / kScale;
  }
  void charge(I fee) {
    fees += fee;
    balance -= fee;
  }
  // Tested at the event's price, the price the account is closed at.
  bool uncovered(I price) const { return equity(price) <= margin(price); }
  void check(I price) {
    if (!liquidation || (lng.qty == 0 && sht.qty == 0) || !uncovered(price)) return;
    realise(unrealized(lng, price) + unrealized(sht, price));
    const Liquidated r{1, Nanos(now),    Price(price),     QtyLots(lng.qty + sht.qty),
                       0, Cash(balance), QtyLots(lng.qty), QtyLots(sht.qty)};
    lng = sht = {};
    book.clear();
    working.clear();
    forfeited += balance;
    balance = 0;
    out.emplace_back(r);
  }

  void execute(std::size_t i, I price, bool taker, const Tick& at) {
    const tm_types::Order o = book[i];
    book.erase(book.begin() + static_cast<std::ptrdiff_t>(i));
    const Fill f{at.exch_ts,     at.local_ts, o.id,   ++seq,    Price(price),
                 QtyLots(o.qty), 1,           o.side, o.offset, taker};
    charge(fee_of(f));
    apply_fill(f);
    std::erase(working, o.id);
    out.emplace_back(f);
  }
  void engine_tick(const Tick& t) {
    const I hi = t.high > 0 ? t.high : t.last, lo = t.low > 0 ? t.low : t.last;
    if (prev) {
      const I p = prev->last;
      for (std::size_t i = 0; i < book.size();) {
        const tm_types::Order& o = book[i];
        const I price = o.kind.price;
        const bool crossed =
            o.kind.is_limit && (hi > p ? o.side == Side::Sell && p < price && price <= hi
                                       : lo < p && o.side == Side::Buy && lo <= price && price < p);
        crossed ? execute(i, price, false, *prev) : void(++i);
      }
    }
    const I ask = t.ask > 0 ? t.ask : t.last, bid = t.bid > 0 ? t.bid : t.last;
    for (const Side side : {Side::Buy, Side::Sell}) {
      for (std::size_t i = 0; i < book.size();) {
        const bool mine = !book[i].kind.is_limit && book[i].side == side;
        mine ? execute(i, side == Side::Buy ? ask : bid, true, t) : void(++i);
      }
    }
    for (const Side side : {Side::Buy, Side::Sell}) {
      const bool buy = side == Side::Buy;
      const I threshold = buy ? (t.ask > 0 ? t.ask : lo) : (t.bid > 0 ? t.bid : hi);
      for (;;) {
        std::optional<std::size_t> best;
        for (std::size_t i = 0; i < book.size(); ++i) {
          const tm_types::Order& o = book[i];
          if (!o.kind.is_limit || o.side != side) continue;
          const I p = o.kind.price, best_p = best ? book[*best].kind.price : 0;
          if (!best || (buy ? p > best_p : p < best_p)) best = i;
        }
        if (!best) break;
        const I limit = book[*best].kind.price;
        if (buy ? limit < threshold : limit > threshold) break;
        execute(*best, buy ? std::min(limit, ask) : std::max(limit, bid), false, t);
      }
    }
    prev = t;
  }

  void reject(RejectReason reason, OrderId id) { out.emplace_back(Rejected{reason, id}); }
  static bool held(std::optional<InstrumentId> i) { return !i || *i == 1; }
  void on(const TickEvent& e) {
    if (!held(e.instrument)) return reject(RejectReason::UnknownInstrument, 0);
    now = e.tick.exch_ts;
    mark = e.tick.last;
    if (!external) engine_tick(e.tick);
    check(e.tick.last);
  }
  void on(const SubmitEvent& e) {
    const tm_types::Order& o = e.order;
    if (o.qty < 1) return reject(RejectReason::BadQty, o.id);
    if (std::ranges::count(working, o.id) > 0) return reject(RejectReason::DuplicateId, o.id);
    if (!held(o.instrument)) return reject(RejectReason::UnknownInstrument, o.id);
    if (balance < 1) return reject(RejectReason::NoFunds, o.id);
    book.push_back(o);
    working.push_back(o.id);
  }
  bool engine_cancel(OrderId id) {
    return std::erase_if(book, [&](const tm_types::Order& o) { return o.id == id; }) > 0;
  }
  void on(const CancelEvent& e) {
    if (!engine_cancel(e.id)) return;
    std::erase(working, e.id);
    out.emplace_back(Cancelled{e.id});
  }
  void fund(I amount, Nanos at) {
    balance += amount;
    funding += amount;
    out.emplace_back(Funding{Cash(amount), at});
  }
  void on(const FundingEvent& e) {
    now = e.rate.at;
    if (!held(e.instrument)) return reject(RejectReason::UnknownInstrument, 0);
    if (lng.qty == 0 && sht.qty == 0) return;
    I sum = 0;
    for (const ModelLeg* l : {&lng, &sht}) {
      const I paid = value(l->qty, e.rate.price) * e.rate.rate / kScale;
      sum += l->qty > 0 ? -paid : paid;
    }
    fund(sum, e.rate.at);
    check(e.rate.price);
  }
  void on(const FundingPaidEvent& e) {
    now = e.at;
    held(e.instrument) ? fund(e.amount, e.at) : reject(RejectReason::UnknownInstrument, 0);
  }
  void on(const FeeEvent& e) {
    now = e.at;
    charge(e.amount);
    fees_charged = true;
    fee_unknown = e.unknown;
  }
  void on(const ClockEvent& e) { now = e.at; }
  void on(const TransferEvent& e) {
    now = e.at;
    balance += e.amount;
  }
  void on(const ExternalFillEvent& e) {
    if (!external) return reject(RejectReason::NotExternal, e.fill.order);
    now = e.fill.exch_ts;
    engine_cancel(e.fill.order);
    std::erase(working, e.fill.order);
    const auto* reported = std::get_if<FeeReported>(&e.fee);
    const bool unknown = std::holds_alternative<FeeUnknown>(e.fee);
    charge(reported ? reported->amount : unknown ? 0 : fee_of(e.fill));
    fees_charged = fees_charged || reported;
    fee_unknown = fee_unknown || unknown;
    apply_fill(e.fill);
    out.emplace_back(e.fill);
    check(e.fill.price);
  }
  void on(const DepthEvent&) {}
  void apply(const Event& e) {
    out.clear();
    std::visit([&](const auto& x) { on(x); }, e);
  }

  std::vector<std::string> totals() const {
    return row(lng.qty, lng.entry, sht.qty, sht.entry, balance, realised, funding, fees, forfeited,
               equity(mark), mark, now, fees_charged && !fee_unknown, lng.cost, sht.cost,
               margin(mark));
  }
};

std::vector<std::string> totals(const Kernel& k) {
  const Summary s = k.summary();
  const Holding& h = k.account().holdings.front();
  return row(s.position, s.entry, s.short_position, s.short_entry, s.balance, s.realised, s.funding,
             s.fees, s.forfeited, s.equity, s.mark, s.now, s.fees_known, h.leg_cost(Leg::Long),
             h.leg_cost(Leg::Short), k.account().maintenance());
}

// One seeded stream: the account's switches, its fee rates (rebates included),
// contract size and margin table are drawn, then 300 events.
void compare_stream(std::uint64_t seed) {
  tm_test::Rng rng(seed);
  const auto pick = [&](std::int64_t n) { return rng.in(0, n - 1); };
  const std::int64_t size = std::array{1, 100, 10000}[pick(3)];
  const auto table =
      pick(2) ? tm_margin::MarginTable::example_btcusdt()
              : tm_margin::MarginTable({{5'000'000 * size, 50'000'000, 0},
                                        {tm_types::kI64Max, 100'000'000, 250'000 * size}});
  Model m{size,
          pick(7) * 200'000 - 500'000,
          pick(7) * 200'000 - 500'000,
          (1 + pick(40)) * 250 * size,
          table.rows(),
          pick(2) == 0,
          pick(3) == 0,
          pick(6) != 0};
  Account account(1, size, table, Cash(m.balance));
  account.maker_fee = static_cast<std::int64_t>(m.maker);
  account.taker_fee = static_cast<std::int64_t>(m.taker);
  account.two_leg = m.two_leg;
  account.external_fills = m.external;
  account.liquidation_enabled = m.liquidation;
  account.fees_charged = true;
  Kernel kernel(std::move(account));

  Price last = 1000;
  Nanos t = 0;
  OrderId next = 1;
  const auto some_id = [&] {
    return !m.working.empty() && pick(3) ? m.working[pick(m.working.size())]
                                         : OrderId(pick(next + 1));
  };
  const auto near = [&](int d) { return std::max<Price>(1, last + pick(2 * d + 1) - d); };
  const auto side = [&] { return pick(2) ? Side::Buy : Side::Sell; };
  const auto offset = [&] { return pick(2) ? Offset::Open : Offset::Close; };
  const auto instrument = [&] {
    return pick(12) == 0 ? std::optional<InstrumentId>(2)
           : pick(2)     ? std::optional<InstrumentId>(1)
                         : std::nullopt;
  };
  for (int step = 0; step < 300; ++step) {
    Event e;
    const std::int64_t kind = pick(100);
    t += pick(4);
    if (kind < 35) {
      last = std::max<Price>(1, last + pick(41) - 20);
      const Tick k =
          tm_test::tick(t, last, pick(3) ? last + pick(15) : 0, pick(3) ? last - pick(15) : 0,
                        pick(4) ? last - pick(3) : 0, pick(4) ? last + pick(3) : 0, t);
      e = TickEvent{k, pick(20) ? std::nullopt : instrument()};
    } else if (kind < 65) {
      const OrderId id = pick(5) ? next++ : some_id();
      const auto kind = [&] {
        const Price price = near(15);
        return pick(2) == 0 ? tm_types::OrderKind::limit(price) : tm_types::OrderKind::market();
      };
      e = SubmitEvent{
          {id, side(), offset(), pick(10) ? 1 + pick(6) : -pick(2), kind(), instrument()},
          t,
          t + 5};
    } else if (kind < 73) {
      e = CancelEvent{some_id()};
    } else if (kind < 81) {
      e = FundingEvent{{t, (pick(21) - 10) * 2'000'000, near(10)},
                       pick(10) ? std::nullopt : instrument()};
    } else if (kind < 85) {
      e = TransferEvent{Cash((pick(5) - 1) * 100 * size), t};
    } else if (kind < 87) {
      e = FundingPaidEvent{t, Cash(pick(2001) - 1000), instrument()};
    } else if (kind < 89) {
      e = FeeEvent{t, Cash(pick(201) - 100), pick(4) == 0};
    } else if (kind < 90) {
      e = ClockEvent{t};
    } else {
      const Fill f{t,           t + 1, some_id(), 0,        near(20),
                   1 + pick(6), 1,     side(),    offset(), pick(2) == 0};
      const FeeReport fee = std::array<FeeReport, 3>{FeeReported{Cash(pick(5000) - 1000)},
                                                     FeeUnknown{}, FeeComputed{}}[pick(3)];
      e = ExternalFillEvent{f, fee};
    }
    const std::span<const Output> got = kernel.apply(e);
    m.apply(e);
    const std::string where = "seed " + std::to_string(seed) + " event " + std::to_string(step);
    ASSERT_EQ(std::vector<Output>(got.begin(), got.end()), m.out) << where;
    ASSERT_EQ(totals(kernel), m.totals()) << where;
    ASSERT_EQ(kernel.working(), m.working) << where;
  }
}

TEST(AccountModel, KernelAgreesWithTheModelOverSeededStreams) {
  for (std::uint64_t seed = 1; seed <= 400; ++seed) compare_stream(seed);
}

// Closing a leg in pieces realises exactly what closing it at once does: the
// rounding of each piece stays in the cost of the lots still held.
TEST(AccountModel, PartialClosesSumToTheOneShotClose) {
  tm_test::Rng rng(7);
  const auto pick = [&](std::int64_t n) { return rng.in(0, n - 1); };
  for (int round = 0; round < 300; ++round) {
    const std::int64_t size = 1 + pick(10'000);
    Account once(1, size, tm_margin::MarginTable::example_btcusdt(), 1'000'000);
    Account pieces(1, size, tm_margin::MarginTable::example_btcusdt(), 1'000'000);
    once.two_leg = pieces.two_leg = pick(2);
    const Side open = pick(2) ? Side::Sell : Side::Buy;
    const Side shut = open == Side::Buy ? Side::Sell : Side::Buy;
    QtyLots held = 0;
    for (int n = 1 + static_cast<int>(pick(4)); n > 0; --n) {
      const Fill f{0, 0, 1, 0, 90 + pick(30), 1 + pick(7), 1, open, Offset::Open, false};
      once.apply_fill(f);
      pieces.apply_fill(f);
      held += f.qty;
    }
    const Price price = 80 + pick(50);
    once.apply_fill(Fill{0, 0, 2, 0, price, held, 1, shut, Offset::Close, false});
    while (held > 0) {
      const QtyLots n = std::min<QtyLots>(held, 1 + pick(3));
      pieces.apply_fill(Fill{0, 0, 2, 0, price, n, 1, shut, Offset::Close, false});
      held -= n;
    }
    ASSERT_EQ(pieces.realised, once.realised) << round;
    ASSERT_EQ(pieces.balance(), once.balance()) << round;
    ASSERT_TRUE(pieces.holdings.front().is_flat()) << round;
  }
}

// An engine with latency receives an order at its receive time, not its venue time.
TEST(AccountModel, OrdersTravelFromTheirReceiveTime) {
  tm_engine::L1Config l1;
  l1.submit_latency = tm_engine::Latency::fixed(5);
  Kernel kernel(Account(tm_engine::Execution::l1(l1).matcher(1), 1,
                        tm_margin::MarginTable::example_btcusdt(), 1'000'000));
  kernel.apply(
      SubmitEvent{{1, Side::Buy, Offset::Open, 1, tm_types::OrderKind::market(), {}}, 0, 100});
  EXPECT_TRUE(kernel.apply(TickEvent{tm_test::tick(50, 100, 0, 0, 99, 101), {}}).empty());
  EXPECT_EQ(kernel.apply(TickEvent{tm_test::tick(200, 100, 0, 0, 99, 101), {}}).size(), 1u);
}

}  // namespace
}  // namespace tm_core
