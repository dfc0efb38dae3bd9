// Throughput of the tick file: CRC-32 on both paths, the streaming reader over a
// ~1 GB file in the page cache, and raw 512 KiB reads of the same file as the
// ceiling the reader is measured against. Rates are per second of process CPU
// time (the kernel's copies included), which a busy machine disturbs least.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "tm_data/atomic_write.h"
#include "tm_data/crc32.h"
#include "tm_data/reader_ticks.h"
#include "tm_data/tick_file.h"

namespace {

using tm_data::TickReader;
using tm_types::Tick;

constexpr std::size_t kFileTicks = std::size_t{1} << 24;  // 16.8 M ticks, 1 GiB of records

std::vector<std::uint8_t> random_bytes(std::size_t n) {
  std::vector<std::uint8_t> bytes(n);
  std::mt19937_64 random(1);
  for (auto& b : bytes) b = static_cast<std::uint8_t>(random());
  return bytes;
}

// The benchmark file, written once per process and removed at exit.
const std::string& tick_file() {
  static const std::string path = [] {
    const std::string p = (std::filesystem::temp_directory_path() /
                           ("tm_data_bench_" + std::to_string(::getpid()) + ".tmtk"))
                              .string();
    std::vector<Tick> ticks(kFileTicks);
    for (std::size_t i = 0; i < ticks.size(); ++i) {
      const auto t = static_cast<std::int64_t>(i);
      ticks[i] = Tick{t * 1000, t * 1000 + 7, 50000 + t % 97, 50010, 49990, 49999, 50001, t};
    }
    if (auto error = tm_data::write_file(p, tm_data::encode(1, ticks))) {
      std::fprintf(stderr, "%s: %s\n", p.c_str(), error->c_str());
      std::abort();
    }
    std::atexit([] { std::filesystem::remove(tick_file()); });
    return p;
  }();
  return path;
}

using CrcFn = std::uint32_t (*)(std::uint32_t, const void*, std::size_t);

void crc_throughput(benchmark::State& state, CrcFn fn) {
  const auto bytes = random_bytes(static_cast<std::size_t>(state.range(0)));
  std::uint32_t crc = 0;
  for (auto _ : state) {
    crc = fn(crc, bytes.data(), bytes.size());
    benchmark::DoNotOptimize(crc);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * bytes.size()));
}

void BM_Crc32CarryLessMultiply(benchmark::State& state) {
  if (!tm_data::crc32_clmul_available()) {
    state.SkipWithError("no carry-less multiply on this processor");
    return;
  }
  crc_throughput(state, &tm_data::crc32_clmul);
}
BENCHMARK(BM_Crc32CarryLessMultiply)->Arg(4096)->Arg(512 << 10)->Arg(64 << 20);

void BM_Crc32WideCarryLessMultiply(benchmark::State& state) {
  if (!tm_data::crc32_wide_available()) {
    state.SkipWithError("no 512-bit carry-less multiply on this processor");
    return;
  }
  crc_throughput(state, &tm_data::crc32_wide);
}
BENCHMARK(BM_Crc32WideCarryLessMultiply)->Arg(4096)->Arg(512 << 10)->Arg(64 << 20);

// What the reader calls: the widest implementation this processor runs.
void BM_Crc32(benchmark::State& state) { crc_throughput(state, &tm_data::crc32); }
BENCHMARK(BM_Crc32)->Arg(4096)->Arg(512 << 10)->Arg(64 << 20);

void BM_Crc32Portable(benchmark::State& state) { crc_throughput(state, &tm_data::crc32_portable); }
BENCHMARK(BM_Crc32Portable)->Arg(4096)->Arg(512 << 10)->Arg(64 << 20);

// Opens the file, streams every tick through the run-loop source (checksum
// and order checked) and folds the ticks into a value the compiler must keep.
void BM_ReaderWithChecksum(benchmark::State& state) {
  const std::string& path = tick_file();
  std::uint64_t ticks = 0;
  for (auto _ : state) {
    auto opened = TickReader::open(path);
    auto& reader = std::get<TickReader>(opened);
    tm_data::ReaderTicks source(reader);
    std::int64_t sum = 0;
    while (const Tick* t = source.next()) sum += t->last;
    benchmark::DoNotOptimize(sum);
    if (source.error() || source.delivered() != kFileTicks) state.SkipWithError("short read");
    ticks += source.delivered();
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(ticks * sizeof(Tick)));
  state.counters["ticks"] =
      benchmark::Counter(static_cast<double>(ticks), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_ReaderWithChecksum)->Unit(benchmark::kMillisecond);

// The same bytes read 512 KiB at a time into one buffer, and nothing else.
void BM_RawBlockReads(benchmark::State& state) {
  const std::string& path = tick_file();
  std::vector<std::uint8_t> block(tm_data::kBlockBytes);
  std::uint64_t total = 0;
  for (auto _ : state) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    ssize_t r;
    while ((r = ::read(fd, block.data(), block.size())) > 0) total += static_cast<std::uint64_t>(r);
    ::close(fd);
    benchmark::DoNotOptimize(block.data());
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(total));
}
BENCHMARK(BM_RawBlockReads)->Unit(benchmark::kMillisecond);

}  // namespace
