// What a venue's additions cost a run whose strategy never trades: run_stream
// at plain L0, at L0 with fees and a funding event every 1,000 ticks, and at L1
// with quantile latencies, a volume queue and impact; and the L2 engine alone
// over ticks with a depth update after every fourth, counted as ticks plus
// updates.
#include <benchmark/benchmark.h>

#include <vector>

#include "tm_backtest/run_loop.h"
#include "tm_engine/l2.h"

namespace {

using tm_types::Tick;

constexpr std::size_t kTicks = 4'000'000;
constexpr tm_types::Nanos kStep = 1'000'000;  // 1 ms between ticks

// A seeded random walk around 60'000 with a one-tick spread and rising volume.
const std::vector<Tick>& ticks() {
  static const std::vector<Tick> all = [] {
    std::vector<Tick> out(kTicks);
    std::uint64_t state = 42;
    std::int64_t last = 60'000;
    for (std::size_t i = 0; i < kTicks; ++i) {
      state = state * 6364136223846793005ULL + 1442695040888963407ULL;
      last += static_cast<std::int64_t>((state >> 33) % 5) - 2;
      const auto t = static_cast<std::int64_t>(i) * kStep;
      out[i] = Tick{t,        t + 1, last,     last + 1,
                    last - 1, last,  last + 1, static_cast<std::int64_t>(i * 3)};
    }
    return out;
  }();
  return all;
}

struct NoOp {
  void on_tick(const tm_strategy::Context& ctx, std::vector<tm_strategy::Intent>&) {
    benchmark::DoNotOptimize(ctx.equity);
  }
  std::string name() const { return "noop"; }
};

tm_engine::L1Config full_l1() {
  using tm_engine::Latency;
  return {Latency::quantiles(2 * kStep, 4 * kStep, 8 * kStep, 15 * kStep), Latency::fixed(kStep),
          tm_engine::QueueModel::percent(50), 30};
}

void run(benchmark::State& state, const tm_backtest::RunConfig& config) {
  const std::vector<Tick>& all = ticks();  // built once, outside the timing
  for (auto _ : state) {
    NoOp strategy;
    tm_backtest::SpanTicks source(all);
    const tm_backtest::RunResult result = tm_backtest::run_stream(config, strategy, source);
    benchmark::DoNotOptimize(result.final_equity);
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * kTicks));
}

tm_backtest::RunConfig plain() {
  tm_backtest::RunConfig config;
  config.balance = tm_types::units_to_cash(1'000'000);
  return config;
}

void BM_VenuePlainL0(benchmark::State& state) { run(state, plain()); }
BENCHMARK(BM_VenuePlainL0)->Unit(benchmark::kMillisecond);

void BM_VenueFeesFundingL0(benchmark::State& state) {
  tm_backtest::RunConfig config = plain();
  config.maker_fee = 200'000;
  config.taker_fee = 500'000;
  std::vector<tm_margin::FundingRate> rates;
  for (std::size_t i = 1'000; i < kTicks; i += 1'000) {
    rates.push_back(
        {static_cast<tm_types::Nanos>(i) * kStep - 1, i % 3 == 0 ? -50'000 : 100'000, 0});
  }
  config.funding_schedule = tm_margin::FundingSchedule(std::move(rates));
  config.funding_at_mark = true;
  run(state, config);
}
BENCHMARK(BM_VenueFeesFundingL0)->Unit(benchmark::kMillisecond);

void BM_VenueFullL1(benchmark::State& state) {
  tm_backtest::RunConfig config = plain();
  config.execution = tm_engine::Execution::l1(full_l1());
  run(state, config);
}
BENCHMARK(BM_VenueFullL1)->Unit(benchmark::kMillisecond);

// The L2 engine with the full L1 additions, a ten-level book, and an update
// changing one bid and one ask level after every fourth tick.
void BM_L2DepthEveryFourTicks(benchmark::State& state) {
  const std::vector<Tick>& all = ticks();
  std::vector<tm_book::DepthUpdate> updates(kTicks / 4);
  for (std::size_t u = 0; u < updates.size(); ++u) {
    const Tick& t = all[u * 4 + 3];
    updates[u] = {u,
                  u + 1,
                  u + 1,
                  {{t.bid - static_cast<std::int64_t>(u % 5), 7}},
                  {{t.ask + static_cast<std::int64_t>(u % 5), 5}},
                  t.exch_ts / kStep};
  }
  tm_book::DepthSnapshot snapshot{0, {}, {}};
  for (std::int64_t level = 0; level < 10; ++level) {
    snapshot.bids.push_back({59'990 - level, 10});
    snapshot.asks.push_back({60'010 + level, 10});
  }
  for (auto _ : state) {
    tm_engine::L2Engine engine(1, full_l1());
    engine.install_snapshot(snapshot);
    for (std::size_t i = 0; i < kTicks; ++i) {
      benchmark::DoNotOptimize(engine.on_tick(all[i]).size());
      if (i % 4 == 3) benchmark::DoNotOptimize(engine.on_depth(updates[i / 4]));
    }
    if (engine.invalid()) state.SkipWithError("an update was refused");
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * (kTicks + kTicks / 4)));
}
BENCHMARK(BM_L2DepthEveryFourTicks)->Unit(benchmark::kMillisecond);

}  // namespace
