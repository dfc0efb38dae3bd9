// A whole L2 run with a depth stream merged into its ticks: a strategy that
// never trades over 2 million in-memory ticks, with a depth update (one bid
// and one ask level) after every fourth tick, the rows grouped into events as
// a run groups them, from memory and from a depth file in the page cache.
// Counted as ticks plus updates per second.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <variant>
#include <vector>

#include "tm_backtest/run_loop.h"
#include "tm_data/depth_file.h"

namespace {

using tm_types::DepthRecord;
using tm_types::Tick;

constexpr std::size_t kTicks = 2'000'000;
constexpr std::int64_t kStep = 1'000;  // ns between ticks

const std::vector<Tick>& ticks() {
  static const std::vector<Tick> all = [] {
    std::vector<Tick> out(kTicks);
    std::uint64_t state = 42;
    std::int64_t last = 60'000;
    for (std::size_t i = 0; i < kTicks; ++i) {
      state = state * 6364136223846793005ULL + 1442695040888963407ULL;
      last += static_cast<std::int64_t>((state >> 33) % 5) - 2;
      const auto t = static_cast<std::int64_t>(i) * kStep;
      out[i] = Tick{t, t, last, last + 1, last - 1, last, last + 1, static_cast<std::int64_t>(i)};
    }
    return out;
  }();
  return all;
}

// A ten-level snapshot at time 0, then two rows (one update) after every fourth tick.
const std::vector<DepthRecord>& rows() {
  static const std::vector<DepthRecord> all = [] {
    std::vector<DepthRecord> out;
    for (std::int64_t level = 0; level < 10; ++level) {
      out.push_back({0, 1, 0, 59'990 - level, 10, 0, 0, -1});
      out.push_back({0, 1, 1, 60'010 + level, 10, 0, 0, -1});
    }
    for (std::size_t i = 3; i < kTicks; i += 4) {
      const Tick& t = ticks()[i];
      const auto id = static_cast<std::int64_t>(i / 4 + 1);
      out.push_back({t.exch_ts + 1, 0, 0, t.bid - id % 5, 7, id, id, id - 1});
      out.push_back({t.exch_ts + 1, 0, 1, t.ask + id % 5, 5, id, id, id - 1});
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

tm_backtest::RunConfig l2() {
  tm_backtest::RunConfig config;
  config.balance = tm_types::units_to_cash(1'000'000);
  config.execution = tm_engine::Execution::l2(tm_engine::L1Config{});
  return config;
}

template <class Rows>
void run_with(benchmark::State& state, Rows& records) {
  const tm_backtest::RunConfig config = l2();
  NoOp strategy;
  tm_backtest::SpanTicks source(ticks());
  tm_backtest::DepthEvents events(records);
  const tm_backtest::RunResult result = tm_backtest::run_stream(config, strategy, source, events);
  if (result.rejected_depth_updates != 0) state.SkipWithError("an update was refused");
}

void BM_L2RunDepthFromMemory(benchmark::State& state) {
  rows();
  for (auto _ : state) {
    tm_backtest::SpanRecords records(rows());
    run_with(state, records);
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * (kTicks + kTicks / 4)));
}
BENCHMARK(BM_L2RunDepthFromMemory)->Unit(benchmark::kMillisecond);

void BM_L2RunDepthFromFile(benchmark::State& state) {
  const std::string path =
      (std::filesystem::temp_directory_path() / ("depth-bench-" + std::to_string(::getpid())))
          .string();
  {
    auto opened = tm_data::DepthFileWriter::open(path, 1);
    auto& writer = std::get<tm_data::DepthFileWriter>(opened);
    if (writer.append(rows()) || writer.finish()) state.SkipWithError("cannot write the file");
  }
  for (auto _ : state) {
    auto opened = tm_data::DepthReader::open(path);
    run_with(state, std::get<tm_data::DepthReader>(opened));
  }
  std::filesystem::remove(path);
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * (kTicks + kTicks / 4)));
}
BENCHMARK(BM_L2RunDepthFromFile)->Unit(benchmark::kMillisecond);

}  // namespace
