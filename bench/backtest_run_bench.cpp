// run_stream with a strategy that never trades, over 10 million in-memory ticks
// at L0: the cost of the loop itself per tick (a flat account, an empty book).
// Also a run that holds a position the whole time, so every tick values it and
// checks it for liquidation, and the no-op run over the same ticks streamed
// from a tick file in the page cache (the ceiling of a Python run over a file).
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "tm_backtest/run_loop.h"
#include "tm_data/atomic_write.h"
#include "tm_data/reader_ticks.h"
#include "tm_data/tick_file.h"

namespace {

using tm_types::Tick;

constexpr std::size_t kTicks = 10'000'000;

// A seeded random walk around 60'000 with a one-tick spread.
const std::vector<Tick>& ticks() {
  static const std::vector<Tick> all = [] {
    std::vector<Tick> out(kTicks);
    std::uint64_t state = 42;
    std::int64_t last = 60'000;
    for (std::size_t i = 0; i < kTicks; ++i) {
      state = state * 6364136223846793005ULL + 1442695040888963407ULL;
      last += static_cast<std::int64_t>((state >> 33) % 5) - 2;
      const auto t = static_cast<std::int64_t>(i) * 1'000;
      out[i] =
          Tick{t, t + 1, last, last + 1, last - 1, last, last + 1, static_cast<std::int64_t>(i)};
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

// Buys one lot on the first call and holds it.
struct BuyAndHold {
  bool bought = false;
  void on_tick(const tm_strategy::Context& ctx, std::vector<tm_strategy::Intent>& intents) {
    if (!bought)
      intents.push_back(tm_types::Order{1, tm_types::Side::Buy, tm_types::Offset::Open, 1,
                                        tm_types::OrderKind::market(), ctx.instrument});
    bought = true;
  }
  std::string name() const { return "hold"; }
};

template <class S>
void run_over_ticks(benchmark::State& state) {
  tm_backtest::RunConfig config;
  config.balance = tm_types::units_to_cash(1'000'000);
  const std::vector<Tick>& all = ticks();  // built once, outside the timing
  for (auto _ : state) {
    S strategy;
    tm_backtest::SpanTicks source(all);
    const tm_backtest::RunResult result = tm_backtest::run_stream(config, strategy, source);
    benchmark::DoNotOptimize(result.final_equity);
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * kTicks));
}

// The ticks above written once to a file that is removed at exit.
const std::string& tick_file() {
  static const std::string path = [] {
    const std::string p = (std::filesystem::temp_directory_path() /
                           ("tm_run_bench_" + std::to_string(::getpid()) + ".tmtk"))
                              .string();
    if (auto error = tm_data::write_file(p, tm_data::encode(1, ticks()))) {
      std::fprintf(stderr, "%s: %s\n", p.c_str(), error->c_str());
      std::abort();
    }
    std::atexit([] { std::filesystem::remove(tick_file()); });
    return p;
  }();
  return path;
}

void BM_RunStreamNoOpL0(benchmark::State& state) { run_over_ticks<NoOp>(state); }
BENCHMARK(BM_RunStreamNoOpL0)->Unit(benchmark::kMillisecond);

void BM_RunStreamHoldingL0(benchmark::State& state) { run_over_ticks<BuyAndHold>(state); }
BENCHMARK(BM_RunStreamHoldingL0)->Unit(benchmark::kMillisecond);

void BM_RunStreamNoOpL0File(benchmark::State& state) {
  tm_backtest::RunConfig config;
  config.balance = tm_types::units_to_cash(1'000'000);
  const std::string& path = tick_file();
  for (auto _ : state) {
    auto opened = tm_data::TickReader::open(path);
    tm_data::ReaderTicks source(std::get<tm_data::TickReader>(opened));
    NoOp strategy;
    const tm_backtest::RunResult result = tm_backtest::run_stream(config, strategy, source);
    if (result.ticks != kTicks) state.SkipWithError("short run");
    benchmark::DoNotOptimize(result.final_equity);
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * kTicks));
  state.SetBytesProcessed(
      static_cast<std::int64_t>(state.iterations() * kTicks * sizeof(tm_types::Tick)));
}
BENCHMARK(BM_RunStreamNoOpL0File)->Unit(benchmark::kMillisecond);

}  // namespace
