// Tick files written whole and chunk by chunk: whatever the source's alignment
// in memory, the chunking and the destination kind, the bytes equal encode()'s.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "tm_data/piped_writer.h"
#include "tm_data/tick_file.h"
#include "tm_data/tick_writer.h"

namespace tm_data {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;
using tm_types::Tick;

Bytes contents(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::vector<Tick> random_ticks(std::mt19937_64& rng, std::size_t n) {
  std::vector<Tick> ticks(n);
  std::int64_t t = 0;
  for (Tick& tick : ticks) {
    t += static_cast<std::int64_t>(rng() % 3);
    std::int64_t* fields = &tick.exch_ts;
    for (int f = 1; f < 8; ++f) fields[f] = static_cast<std::int64_t>(rng());
    tick.exch_ts = t;
  }
  return ticks;
}

// The ticks copied `shift` bytes past an aligned address, as a user's array may lie.
struct Shifted {
  std::vector<std::uint8_t> storage;
  std::span<const Tick> ticks;
  Shifted(const std::vector<Tick>& from, std::size_t shift) : storage(from.size() * 64 + 128) {
    auto* base = storage.data() + (64 - reinterpret_cast<std::uintptr_t>(storage.data()) % 64);
    std::memcpy(base + shift, from.data(), from.size() * 64);
    ticks = {reinterpret_cast<const Tick*>(base + shift), from.size()};
  }
};

class TickWriterTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::path(::testing::TempDir()) / "tm_tick_writer_test";
    fs::remove_all(dir_);
    fs::create_directories(dir_);
  }
  fs::path dir_;
};

TEST_F(TickWriterTest, BytesEqualEncodeForAnyAlignmentAndChunking) {
  std::mt19937_64 rng(11);
  for (int round = 0; round < 24; ++round) {
    // Up to a few bounce pieces, so pieces start both inside and on page edges.
    const std::size_t n = rng() % 3 == 0 ? rng() % 40 : rng() % 20000;
    const std::vector<Tick> ticks = random_ticks(rng, n);
    const Shifted source(ticks, 8 * (rng() % 8));
    const Bytes expected = encode(7, ticks);
    const std::string whole = dir_ / "whole.tmtk", chunks = dir_ / "chunks.tmtk";
    ASSERT_EQ(write_tick_file(whole, 7, source.ticks), std::nullopt);
    EXPECT_EQ(contents(whole), expected) << "n=" << n;

    WriterResult opened = TickFileWriter::open(chunks, 7);
    TickFileWriter& writer = std::get<TickFileWriter>(opened);
    for (std::size_t at = 0; at < n;) {
      const std::size_t size = std::min<std::size_t>(n - at, rng() % 5000);
      ASSERT_EQ(writer.append(source.ticks.subspan(at, size)), std::nullopt);
      at += size;
    }
    ASSERT_EQ(writer.finish(), std::nullopt);
    EXPECT_EQ(contents(chunks), expected) << "n=" << n;
  }
}

TEST_F(TickWriterTest, PipedChunksEqualEncodeAfterAnyHead) {
  std::mt19937_64 rng(13);
  const std::size_t piped = PipedWriter::kMinBytes / kRecordBytes;
  const std::vector<Tick> ticks = random_ticks(rng, piped + 3 * PipedWriter::kSlotBytes / 64 + 5);
  const std::string path = dir_ / "piped.tmtk";
  ASSERT_EQ(write_tick_file(path, 4, ticks), std::nullopt);
  EXPECT_EQ(contents(path), encode(4, ticks));
  // A head of a few ticks puts the piped chunk at any offset within a page.
  for (const std::size_t head : {0, 1, 63, 64, 100}) {
    const Shifted source(ticks, 8 * (rng() % 8));
    WriterResult opened = TickFileWriter::open(path, 4);
    TickFileWriter& writer = std::get<TickFileWriter>(opened);
    ASSERT_EQ(writer.append(source.ticks.first(head)), std::nullopt);
    ASSERT_EQ(writer.append(source.ticks.subspan(head)), std::nullopt);
    ASSERT_EQ(writer.finish(), std::nullopt);
    EXPECT_EQ(contents(path), encode(4, ticks)) << head;
  }
}

TEST_F(TickWriterTest, RefusedChunkLeavesTheFileAsBefore) {
  std::mt19937_64 rng(5);
  const std::size_t piped = PipedWriter::kMinBytes / kRecordBytes;
  // Chunks of 25000 ticks go out on the calling thread, longer ones piped:
  // backwards in the first piece or buffer of a chunk, and in those after it.
  const std::vector<std::pair<std::size_t, std::vector<std::size_t>>> cases = {
      {25000, {0, 1, 3000, 4095, 4096, 12000, 24999}},
      {piped + 5000, {0, 1, 16383, 16384, 16385, piped - 7, piped + 4999}}};
  for (const auto& [tail, ats] : cases) {
    const std::vector<Tick> ticks = random_ticks(rng, 5000 + tail);
    const std::span<const Tick> head = std::span(ticks).first(5000);
    const std::string path = dir_ / "refused.tmtk";
    for (const std::size_t at : ats) {
      WriterResult opened = TickFileWriter::open(path, 1);
      TickFileWriter& writer = std::get<TickFileWriter>(opened);
      ASSERT_EQ(writer.append(head), std::nullopt);
      std::vector<Tick> bad(ticks.begin() + 5000, ticks.end());
      bad[at].exch_ts = (at == 0 ? ticks[4999] : bad[at - 1]).exch_ts - 1;
      const std::optional<AppendError> refused = writer.append(bad);
      ASSERT_TRUE(refused && std::holds_alternative<Backwards>(*refused)) << at;
      EXPECT_EQ(std::get<Backwards>(*refused).index, 5000 + at);
      EXPECT_EQ(writer.count(), 5000u);
      if (at == 1) {  // the writer stays usable
        ASSERT_EQ(writer.append(std::span(ticks).subspan(5000)), std::nullopt);
        ASSERT_EQ(writer.finish(), std::nullopt);
        EXPECT_EQ(contents(path), encode(1, ticks));
      } else {
        ASSERT_EQ(writer.finish(), std::nullopt);
        EXPECT_EQ(contents(path), encode(1, head)) << at;
      }
    }
  }
}

TEST_F(TickWriterTest, StopEndsALongWriteAndTakesTheChunkBack) {
  std::mt19937_64 rng(9);
  // Three times the bytes between two questions, so that a stop lands mid-chunk
  // (a chunk long enough to be piped).
  const std::vector<Tick> ticks = random_ticks(rng, 3 * BounceWriter::kPollBytes / kRecordBytes);
  int asked = 0;
  const StopAsked stop_at_second = [&] { return ++asked == 2; };
  const std::string saved = dir_ / "saved.tmtk", written = dir_ / "written.tmtk";
  EXPECT_NE(write_tick_file(saved, 1, ticks, stop_at_second), std::nullopt);
  EXPECT_EQ(asked, 2);
  EXPECT_FALSE(fs::exists(saved));

  WriterResult opened = TickFileWriter::open(written, 1);
  TickFileWriter& writer = std::get<TickFileWriter>(opened);
  ASSERT_EQ(writer.append(std::span(ticks).first(5000)), std::nullopt);
  asked = 0;
  const std::optional<AppendError> stopped =
      writer.append(std::span(ticks).subspan(5000), stop_at_second);
  ASSERT_TRUE(stopped && std::holds_alternative<std::string>(*stopped));
  EXPECT_EQ(writer.count(), 5000u);
  ASSERT_EQ(writer.append(std::span(ticks).subspan(5000)), std::nullopt);
  ASSERT_EQ(writer.finish(), std::nullopt);
  EXPECT_EQ(contents(written), encode(1, ticks));
}

TEST_F(TickWriterTest, FifoGetsTheHeaderFirst) {
  std::mt19937_64 rng(3);
  const std::vector<Tick> ticks = random_ticks(rng, 70000);
  const fs::path fifo = dir_ / "fifo";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  Bytes read;
  std::thread reader([&] { read = contents(fifo); });
  EXPECT_EQ(write_tick_file(fifo, 2, ticks), std::nullopt);
  reader.join();
  EXPECT_EQ(read, encode(2, ticks));
}

}  // namespace
}  // namespace tm_data
