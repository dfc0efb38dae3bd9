// The run loop against a model of its steps driving the kernel directly, over
// seeded random configurations (engine, one or two legs, contract size, margin
// table, fees, funding, sampling, margin watch) and random strategies whose
// orders, cancellations and foreign intents land on ticks whose times may step
// back. The whole result and every context the strategy saw must agree.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <limits>
#include <span>
#include <string>
#include <tuple>
#include <vector>

#include "test_util.h"
#include "tm_backtest/run_loop.h"

namespace tm_backtest {
namespace {

namespace core = tm_core;
using tm_strategy::Cancel;
using tm_strategy::CancelAll;
using tm_strategy::Context;
using tm_strategy::Intent;
using tm_types::Cash;
using tm_types::InstrumentId;
using tm_types::Nanos;
using tm_types::Offset;
using tm_types::Order;
using tm_types::OrderId;
using tm_types::OrderKind;
using tm_types::Price;
using tm_types::QtyLots;
using tm_types::Side;
using tm_types::Tick;

// Random orders near the last price; stops acting after `stop_after` calls
// and says so through finished(), which lets the loop skip an idle tail. With
// `batch` > 1 it acts on every batch-th call only, keeping the ticks between
// (which lets the loop hand them over in stretches), and often goes flat.
struct Trader {
  tm_test::Rng rng;
  std::uint64_t stop_after;
  bool two_leg;
  std::uint64_t batch = 1;
  std::uint64_t calls = 0;
  OrderId next = 1;
  std::vector<std::tuple<Tick, QtyLots, Price, QtyLots, Price, Cash, std::uint64_t, InstrumentId>>
      seen{};
  std::vector<Tick> kept_ticks{}, room{};

  std::int64_t pick(std::int64_t n) { return rng.in(0, n - 1); }
  void on_tick(const Context& c, std::vector<Intent>& out) {
    if (calls + 1 <= stop_after && (calls + 1) % batch != 0) return keep(c.tick);
    if (++calls > stop_after) return;
    seen.emplace_back(c.tick, c.position, c.entry, c.short_position, c.short_entry, c.equity,
                      c.working, c.instrument);
    if (batch > 1 && pick(2)) return flatten(c, out);
    for (std::int64_t n = pick(3); n > 0; --n) {
      const InstrumentId inst = pick(15) ? c.instrument : c.instrument + 1;
      const Side side = pick(2) ? Side::Buy : Side::Sell;
      const Offset offset = two_leg && pick(2) ? Offset::Close : Offset::Open;
      const OrderId id = pick(6) ? next++ : next - 1;
      const QtyLots qty = pick(12) ? 1 + pick(4) : 0;
      const std::int64_t what = pick(7);
      if (what < 2) out.emplace_back(Order{id, side, offset, qty, OrderKind::market(), inst});
      const Price price = c.tick.last + pick(21) - 10;
      if (what >= 2 && what < 5) {
        out.emplace_back(Order{id, side, offset, qty, OrderKind::limit(price), inst});
      }
      if (what == 5) out.emplace_back(Cancel{id - static_cast<OrderId>(pick(3))});
      if (what == 6) out.emplace_back(CancelAll{});
    }
  }
  void flatten(const Context& c, std::vector<Intent>& out) {
    out.emplace_back(CancelAll{});
    const Offset offset = two_leg ? Offset::Close : Offset::Open;
    if (c.position != 0) {
      const Side side = c.position > 0 ? Side::Sell : Side::Buy;
      out.emplace_back(
          Order{next++, side, offset, std::abs(c.position), OrderKind::market(), c.instrument});
    }
    if (c.short_position != 0) {
      out.emplace_back(
          Order{next++, Side::Buy, offset, -c.short_position, OrderKind::market(), c.instrument});
    }
  }
  std::span<std::byte> room_to_keep() {
    room.resize(calls >= stop_after ? 0 : std::min(batch - 1 - calls % batch, stop_after - calls));
    return std::as_writable_bytes(std::span(room));
  }
  void kept(std::uint64_t n) {
    for (std::uint64_t i = 0; i < n; ++i) keep(room[i]);
  }
  void keep(const Tick& tick) {
    ++calls;
    kept_ticks.push_back(tick);
  }
  bool finished() const { return calls >= stop_after; }
  std::string name() const { return "trader"; }
};

// The loop's steps, one by one, on a kernel the model opens itself.
RunResult model_run(const RunConfig& c, Trader& s, const std::vector<Tick>& ticks) {
  core::Account opened(c.execution.matcher(c.instrument), c.contract_size, c.margin_tiers,
                       c.balance);
  opened.maker_fee = c.maker_fee;
  opened.taker_fee = c.taker_fee;
  opened.two_leg = c.two_leg;
  opened.fees_charged = true;
  if (!c.enforce_margin) opened.liquidation_enabled = false;
  core::Kernel k(std::move(opened));
  RunResult r;
  r.tier = std::string(c.execution.name());
  if (c.equity_every != 0) r.equity_samples.push_back(c.balance);
  r.min_equity = c.balance;
  Nanos last_funding = std::numeric_limits<Nanos>::min();
  Cash peak = 0, top = c.balance;
  std::optional<Cash> headroom;
  const auto record = [&](std::span<const core::Output> outs, bool fills) {
    for (const core::Output& o : outs) {
      if (const auto* f = std::get_if<tm_types::Fill>(&o); f && fills) r.fills.push_back(*f);
      if (const auto* l = std::get_if<core::Liquidated>(&o)) {
        r.liquidations.push_back({l->at, l->price, l->qty, l->balance, l->forfeited});
      }
    }
  };
  // At L1/L2 with a submission latency a cancellation travels like an order: it
  // takes effect before the first tick at or after its decision's receive time
  // plus the latency the order's id draws.
  const bool cancels_travel = c.execution.kind != tm_engine::Execution::Kind::L0 &&
                              !c.execution.config.submit_latency.is_zero();
  std::vector<std::pair<Nanos, OrderId>> travelling;
  const auto cancel = [&](OrderId id, Nanos now) {
    if (!cancels_travel) {
      k.apply(core::CancelEvent{id});
    } else {
      travelling.emplace_back(now + c.execution.config.submit_latency.draw(id), id);
    }
  };
  for (const Tick& t : ticks) {
    if (!c.funding_schedule.empty()) {
      for (const auto& rate : c.funding_schedule.between(last_funding, t.exch_ts)) {
        record(k.apply(core::FundingEvent{rate, std::nullopt}), false);
      }
      last_funding = std::max(last_funding, t.exch_ts);
    }
    std::erase_if(travelling, [&](const std::pair<Nanos, OrderId>& due) {
      if (due.first > t.exch_ts) return false;
      k.apply(core::CancelEvent{due.second});
      return true;
    });
    ++r.ticks;
    record(k.apply(core::TickEvent{t, std::nullopt}), true);
    const core::Summary sum = k.summary();
    if (c.equity_every != 0 && r.ticks % c.equity_every == 0)
      r.equity_samples.push_back(sum.equity);
    r.min_equity = std::min(r.min_equity, sum.equity);
    top = std::max(top, sum.equity);
    r.max_drawdown = std::max(r.max_drawdown, top - sum.equity);
    if (c.equity_every != 0 &&
        (r.ticks == 1 || r.ticks % c.equity_every == 0 || r.ticks == ticks.size())) {
      r.curve.exch_ts.push_back(t.exch_ts);
      r.curve.equity.push_back(sum.equity);
      r.curve.position.push_back(sum.position + sum.short_position);
    }
    if (c.track_margin && (sum.position != 0 || sum.short_position != 0)) {
      const Cash m = k.account().maintenance();
      peak = std::max(peak, m);
      headroom = std::min(headroom.value_or(sum.equity - m), sum.equity - m);
    }
    if (sum.position != 0 && sum.entry > 0) {
      const std::int64_t excursion = sum.position > 0 ? sum.entry - (t.low > 0 ? t.low : t.last)
                                                      : (t.high > 0 ? t.high : t.last) - sum.entry;
      r.max_adverse_excursion = std::max(r.max_adverse_excursion, excursion);
    }
    std::vector<Intent> intents;
    s.on_tick({t, sum.position, sum.entry, sum.short_position, sum.short_entry, sum.equity,
               k.working().size(), c.instrument},
              intents);
    for (const Intent& intent : intents) {
      if (const auto* x = std::get_if<Cancel>(&intent)) {
        cancel(x->id, t.local_ts);
      } else if (std::holds_alternative<CancelAll>(intent)) {
        const std::vector<OrderId> ids = k.working();
        for (const OrderId id : ids) cancel(id, t.local_ts);
      } else {
        const Order& o = std::get<Order>(intent);
        if (o.instrument != c.instrument) ++r.foreign_intents;
        if (o.instrument == c.instrument) k.apply(core::SubmitEvent{o, t.exch_ts, t.local_ts});
      }
    }
  }
  record(k.settle_unreported(), true);
  const core::Summary sum = k.summary();
  r.strategy = s.name();
  r.final_equity = sum.equity;
  r.fees_paid = sum.fees;
  r.funding_paid = sum.funding;
  r.realised = sum.realised;
  if (c.track_margin) r.margin_watch = MarginWatch{peak, headroom};
  r.skipped_ticks = k.account().holdings.front().matcher.skipped_ticks();
  return r;
}

auto fields(const RunResult& r) {
  return std::tie(r.strategy, r.tier, r.ticks, r.fills, r.liquidations, r.equity_samples,
                  r.final_equity, r.min_equity, r.fees_paid, r.funding_paid, r.realised,
                  r.max_adverse_excursion, r.margin_watch, r.skipped_ticks, r.foreign_intents,
                  r.curve.exch_ts, r.curve.equity, r.curve.position, r.max_drawdown);
}
void compare_run(std::uint64_t seed) {
  tm_test::Rng rng(seed);
  const auto pick = [&](std::int64_t n) { return rng.in(0, n - 1); };
  RunConfig c;
  if (pick(3) == 0) {
    tm_engine::L1Config l1;
    l1.submit_latency = tm_engine::Latency::fixed(5);
    c.execution = tm_engine::Execution::l1(l1);
  }
  c.two_leg = pick(2);
  c.contract_size = std::array{1, 100, 10000}[pick(3)];
  if (pick(2)) {
    c.margin_tiers =
        tm_margin::MarginTable({{1000 * c.contract_size, 50'000'000, 0},
                                {tm_types::kI64Max, 100'000'000, 50 * c.contract_size}});
  }
  c.balance = (1 + pick(60)) * 20 * c.contract_size;
  c.maker_fee = pick(5) * 200'000 - 400'000;
  c.taker_fee = pick(5) * 200'000 - 300'000;
  c.instrument = 1 + static_cast<InstrumentId>(pick(3));
  c.equity_every = static_cast<std::uint64_t>(pick(4));
  c.track_margin = pick(3) != 0;
  c.enforce_margin = pick(4) != 0;
  std::vector<Tick> ticks;
  Nanos t = 0;
  Price last = 100;
  for (int i = 0, n = static_cast<int>(pick(150)); i < n; ++i) {
    t += pick(10) ? 10 : -25;
    last = std::max<Price>(1, last + pick(9) - 4);
    ticks.push_back({t, t + 7, last, pick(3) ? last + pick(4) : 0, pick(3) ? last - pick(4) : 0,
                     pick(4) ? last - 1 : 0, pick(4) ? last + 1 : 0, 10 * i});
  }
  if (pick(3)) {
    std::vector<tm_margin::FundingRate> rates;
    for (Nanos at = pick(40); at < t + 40; at += 10 + pick(80)) {
      rates.push_back({at, (pick(11) - 5) * 1'000'000, 90 + pick(20)});
    }
    c.funding_schedule = tm_margin::FundingSchedule(rates);
  }
  const std::uint64_t stop = static_cast<std::uint64_t>(pick(2) ? pick(40) : 1000);
  const std::uint64_t batch = pick(2) ? 1 : 2 + static_cast<std::uint64_t>(pick(7));
  Trader real{tm_test::Rng(seed), stop, c.two_leg, batch};
  Trader model{tm_test::Rng(seed), stop, c.two_leg, batch};
  SpanTicks stream(ticks);
  const RunResult got = run_stream(c, real, stream);
  const RunResult want = model_run(c, model, ticks);
  ASSERT_TRUE(fields(got) == fields(want)) << "seed " << seed;
  // One booking per fill, whose fees and realised profits add up
  // to the totals (a liquidation books a realised loss of its own).
  ASSERT_EQ(got.bookings.size(), got.fills.size());
  Cash fees = 0, realised = 0;
  for (const tm_backtest::FillBooking& b : got.bookings) {
    fees += b.fee;
    realised += b.realised;
  }
  EXPECT_EQ(fees, got.fees_paid) << "seed " << seed;
  if (got.liquidations.empty()) {
    EXPECT_EQ(realised, got.realised) << "seed " << seed;
  }
  ASSERT_EQ(real.seen, model.seen) << "seed " << seed;
  ASSERT_EQ(real.kept_ticks, model.kept_ticks) << "seed " << seed;
}

TEST(RunModel, LoopAgreesWithTheModelOverSeededRuns) {
  for (std::uint64_t seed = 1; seed <= 800; ++seed) compare_run(seed);
}

}  // namespace
}  // namespace tm_backtest
