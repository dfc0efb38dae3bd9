// L0Engine::on_tick over a million ticks: with an empty book (the floor of the
// run loop) and with a few resting orders far from the market that are examined
// on every tick and never filled.
#include <benchmark/benchmark.h>

#include <vector>

#include "tm_engine/l0.h"
#include "tm_engine/matcher.h"

namespace {

using tm_types::Offset;
using tm_types::OrderKind;
using tm_types::Side;
using tm_types::Tick;

constexpr std::size_t kTicks = 1'000'000;

// A seeded random walk around 10'000 with a one-tick spread.
std::vector<Tick> make_ticks() {
  std::vector<Tick> ticks(kTicks);
  std::uint64_t state = 42;
  std::int64_t last = 10'000;
  for (std::size_t i = 0; i < kTicks; ++i) {
    state = state * 6364136223846793005ULL + 1442695040888963407ULL;
    last += static_cast<std::int64_t>((state >> 33) % 5) - 2;
    const auto t = static_cast<std::int64_t>(i) * 1'000;
    ticks[i] =
        Tick{t, t + 1, last, last + 1, last - 1, last, last + 1, static_cast<std::int64_t>(i)};
  }
  return ticks;
}

const std::vector<Tick>& ticks() {
  static const std::vector<Tick> all = make_ticks();
  return all;
}

void BM_L0OnTickEmptyBook(benchmark::State& state) {
  tm_engine::L0Engine engine(1);
  for (auto _ : state) {
    for (const Tick& t : ticks()) benchmark::DoNotOptimize(engine.on_tick(t).size());
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * kTicks));
}
BENCHMARK(BM_L0OnTickEmptyBook)->Unit(benchmark::kMillisecond);

void BM_L0OnTickFewRestingOrders(benchmark::State& state) {
  tm_engine::L0Engine engine(1);
  for (std::uint64_t id = 1; id <= 4; ++id) {
    const auto p = static_cast<std::int64_t>(id);
    engine.submit(
        tm_types::place({id, Side::Buy, Offset::Open, 1, OrderKind::limit(100 * p), {}}, 0, 0));
    engine.submit(tm_types::place(
        {100 + id, Side::Sell, Offset::Open, 1, OrderKind::limit(1'000'000 * p), {}}, 0, 0));
  }
  for (auto _ : state) {
    for (const Tick& t : ticks()) benchmark::DoNotOptimize(engine.on_tick(t).size());
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * kTicks));
}
BENCHMARK(BM_L0OnTickFewRestingOrders)->Unit(benchmark::kMillisecond);

void BM_MatcherL0OnTickFewRestingOrders(benchmark::State& state) {
  tm_engine::Matcher matcher = tm_engine::Matcher::l0(1);
  for (std::uint64_t id = 1; id <= 4; ++id) {
    const auto p = static_cast<std::int64_t>(id);
    matcher.submit(
        tm_types::place({id, Side::Buy, Offset::Open, 1, OrderKind::limit(100 * p), {}}, 0, 0), 0);
  }
  for (auto _ : state) {
    for (const Tick& t : ticks()) benchmark::DoNotOptimize(matcher.on_tick(t).size());
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * kTicks));
}
BENCHMARK(BM_MatcherL0OnTickFewRestingOrders)->Unit(benchmark::kMillisecond);

}  // namespace
