// The tick file against a model of the whole file written from its format:
// seeded corruptions of sound files must end exactly as the model says, and a
// table of worked files pins the figures and texts of every outcome.
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "tm_data/crc32.h"
#include "tm_data/reader_ticks.h"
#include "tm_data/tick_file.h"
#include "tm_types/tick.h"

namespace tm_data {
namespace {

using Bytes = std::vector<std::uint8_t>;
using tm_types::Tick;
constexpr std::int64_t kMinTime = std::numeric_limits<std::int64_t>::min();

struct Outcome {
  bool opened = false;
  std::uint64_t ticks = 0;
  std::string error;  // empty for a clean end
  friend bool operator==(const Outcome&, const Outcome&) = default;
};
std::ostream& operator<<(std::ostream& os, const Outcome& o) {
  return os << (o.opened ? "opened, " : "refused, ") << o.ticks << " ticks, " << o.error;
}

template <class T>
T get(const Bytes& b, std::size_t at) {
  T v;
  std::memcpy(&v, b.data() + at, sizeof v);
  return v;
}
template <class T>
void set(Bytes& b, std::size_t at, T v) {
  std::memcpy(b.data() + at, &v, sizeof v);
}
void fix_checksum(Bytes& b) { set(b, 24, crc32_portable(0, b.data() + 32, b.size() - 32)); }

// What the reader must make of `bytes`: the header is judged first, then the
// records block by block, the checksum before any tick of the last block.
Outcome model(const Bytes& b) {
  if (b.size() < 32) return {false, 0, "truncated: needed 32 bytes, 0 available"};
  if (get<std::uint32_t>(b, 0) != 0x4B544D54)
    return {false, 0, Error(BadMagic{get<std::uint32_t>(b, 0)}).message()};
  if (get<std::uint16_t>(b, 4) != 2)
    return {false, 0, Error(UnknownVersion{get<std::uint16_t>(b, 4)}).message()};
  Outcome out{true, 0, ""};
  const auto fail = [&](Error e) { return out.error = e.message(), out; };
  const std::uint64_t count = get<std::uint64_t>(b, 8), present = (b.size() - 32) / 64;
  const std::uint64_t needed = count > (~0ull - 32) / 64 ? ~0ull : 32 + 64 * count;
  for (std::uint64_t start = 0; start < count; start += 8192) {
    const std::uint64_t end = start + std::min<std::uint64_t>(count - start, 8192);
    if (end > present) return fail(Truncated{needed, 32 + 64 * start});
    const std::uint32_t stored = get<std::uint32_t>(b, 24);
    const std::uint32_t computed = crc32_portable(0, b.data() + 32, 64 * end);
    if (end == count && computed != stored) return fail(ChecksumMismatch{stored, computed});
    for (std::uint64_t i = start; i < end; ++i, ++out.ticks) {
      const auto found = get<std::int64_t>(b, 32 + 64 * i);
      const auto previous = i == 0 ? found : get<std::int64_t>(b, 32 + 64 * (i - 1));
      if (found < previous) return fail(Backwards{i, previous, found});
    }
  }
  return out;
}

// What the reader makes of `bytes`, read from an in-memory file. Every tick
// handed out must be its record's bytes.
Outcome read(const Bytes& bytes) {
  const int fd = ::memfd_create("ticks", MFD_CLOEXEC);
  EXPECT_EQ(::write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
  ::lseek(fd, 0, SEEK_SET);
  OpenResult opened = TickReader::open_fd(fd);
  if (const Error* e = std::get_if<Error>(&opened)) return {false, 0, e->message()};
  TickReader& reader = std::get<TickReader>(opened);
  Outcome out{true, 0, ""};
  while (auto item = reader.next()) {
    if (const Error* e = std::get_if<Error>(&*item)) {
      out.error = e->message();
      break;
    }
    EXPECT_EQ(std::memcmp(&std::get<Tick>(*item), bytes.data() + 32 + 64 * out.ticks++, 64), 0);
  }
  EXPECT_FALSE(reader.next()) << "the stream must stay ended";
  EXPECT_EQ(reader.delivered(), out.ticks);
  return out;
}

std::vector<Tick> ascending(std::size_t n) {
  std::vector<Tick> ticks(n);
  for (std::size_t i = 0; i < n; ++i) {
    const std::int64_t t = 1000 + static_cast<std::int64_t>(i / 3),
                       p = 50000 + static_cast<std::int64_t>(i);
    ticks[i] = Tick{t, t + 1, p, p + 10, p - 10, p - 1, p + 1, 7 * static_cast<std::int64_t>(i)};
  }
  return ticks;
}

TEST(TickFile, SeededCorruptionsEndAsTheWholeFileModelSays) {
  std::mt19937_64 random(20261206);
  const auto below = [&](std::uint64_t n) { return n == 0 ? 0 : random() % n; };
  for (int round = 0; round < 360; ++round) {
    // Mostly within one block, sometimes three; equal times happen.
    std::vector<Tick> ticks(below(4) == 0 ? 8192 + below(12000) : below(300));
    auto t = static_cast<std::int64_t>(below(1000)) - 500;
    for (auto& tick : ticks) {
      t += static_cast<std::int64_t>(below(2));
      tick = Tick{t, t + 1, 100, 101, 99, 100, 101, static_cast<std::int64_t>(random())};
    }
    Bytes b = encode(random(), ticks);
    const std::uint64_t n = ticks.size();
    switch (round % 6) {
      case 0:  // a flipped byte, half the time in the header (reserved bytes included)
        b[below(below(2) ? 32 : b.size())] ^= static_cast<std::uint8_t>(1 + below(255));
        break;
      case 1:  // a cut
        b.resize(below(b.size()));
        break;
      case 2:  // bytes after the last record
        b.resize(b.size() + below(200), static_cast<std::uint8_t>(random()));
        break;
      case 3: {  // a changed count
        const std::uint64_t counts[] = {n + 1 + below(20000), below(n + 1),
                                        ~std::uint64_t{0} - below(3),
                                        n ^ (std::uint64_t{1} << below(64))};
        set(b, 8, counts[below(4)]);
        break;
      }
      case 4: {  // time going backwards under a sound checksum, often at a block boundary
        const std::uint64_t at = n > 8192 && below(2) ? 8192 : 1 + below(n - (n > 0));
        if (n >= 2) set(b, 32 + 64 * at, below(2) ? kMinTime : -600);
        fix_checksum(b);
        break;
      }
      default:  // many random bytes, with the checksum made right half the time
        for (std::uint64_t k = below(64) + 1; k > 0; --k)
          b[below(b.size())] = static_cast<std::uint8_t>(random());
        if (below(2) == 0) fix_checksum(b);
    }
    ASSERT_EQ(read(b), model(b)) << "round " << round << ", " << b.size() << " bytes";
  }
}

Bytes file(const std::vector<Tick>& ticks, void (*alter)(Bytes&) = nullptr) {
  Bytes b = encode(9, ticks);
  if (alter) alter(b);
  return b;
}

TEST(TickFile, WorkedFilesDeliverAndReportExactly) {
  const std::string short_header = "truncated: needed 32 bytes, 0 available";
  const struct {
    Bytes bytes;
    Outcome outcome;
  } cases[] = {
      {{}, {false, 0, short_header}},
      {Bytes(10, 'T'), {false, 0, short_header}},
      {file({}, [](Bytes& b) { b.pop_back(); }), {false, 0, short_header}},
      {file(ascending(3), [](Bytes& b) { std::memcpy(b.data(), "ABCD\3", 5); }),
       {false, 0, "not a tick file: magic 0x44434241"}},
      {file({}, [](Bytes& b) { b[4] = 1; }), {false, 0, "unknown tick file version 1"}},
      {file(ascending(9000), [](Bytes& b) { set<std::uint64_t>(b, 8, 10000); }),
       {true, 8192, "truncated: needed 640032 bytes, 524320 available"}},
      {file(ascending(5), [](Bytes& b) { set(b, 8, ~std::uint64_t{0}); }),
       {true, 0, "truncated: needed 18446744073709551615 bytes, 32 available"}},
      {file(ascending(20000), [](Bytes& b) { b[b.size() - 30] ^= 1; }),
       {true, 16384, "checksum mismatch: expected 0x1d6587b9, computed 0x210564b1"}},
      {file(ascending(100), [](Bytes& b) { b[40] ^= 0x80; }),
       {true, 0, "checksum mismatch: expected 0x8015cf79, computed 0x912153da"}},
      {file({{5}, {5}, {4}, {6}}),
       {true, 2, "tick 2 goes backwards: previous exchange time 5, found 4"}},
      {file({{kMinTime}, {-1}, {kMinTime}}),
       {true, 2, "tick 2 goes backwards: previous exchange time -1, found -9223372036854775808"}},
      {file(ascending(8192)), {true, 8192, ""}},
      {file({}, [](Bytes& b) { b[24] = 0xFF; }), {true, 0, ""}},  // a count of 0 skips the checksum
  };
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    EXPECT_EQ(read(cases[i].bytes), cases[i].outcome) << "case " << i;
    EXPECT_EQ(model(cases[i].bytes), cases[i].outcome) << "case " << i;
  }
}

TEST(TickFile, EncodeLaysOutTheHeaderAndRecordsAsStored) {
  const Bytes header = {'T', 'M', 'T', 'K', 2, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
                        8,   7,   6,   5,   4, 3, 2, 1, 0, 0, 0, 0, 0, 0, 0, 0};
  EXPECT_EQ(encode(0x0102030405060708, {}), header);
  EXPECT_EQ(get<std::uint32_t>(encode(7, ascending(3)), 24), 0x8152e036u);  // as zlib.crc32
  const std::int64_t fields[8] = {1, 2, 3, 4, 5, 6, 7, 8};  // in the order Tick declares them
  EXPECT_EQ(std::memcmp(encode(7, {{Tick{1, 2, 3, 4, 5, 6, 7, 8}}}).data() + 32, fields, 64), 0);
}

TEST(TickFile, OpensByPathAndAMovedReaderStreamsOn) {
  const std::string dir = ::testing::TempDir(), path = dir + "/tm_tick_file_test.tmtk";
  const auto ticks = ascending(9000);
  const Bytes b = encode(42, ticks);
  std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(b.data()), b.size());
  for (const std::string& unreadable : {dir + "/missing.tmtk", dir})
    EXPECT_EQ(std::get<Error>(TickReader::open(unreadable)), Error(Truncated{32, 0}));
  TickReader first = std::get<TickReader>(TickReader::open(path));
  EXPECT_EQ(first.count(), 9000u);
  EXPECT_EQ(first.instrument(), 42u);
  for (int i = 0; i < 10; ++i) ASSERT_TRUE(first.next());
  TickReader second = std::move(first);
  EXPECT_FALSE(first.next());  // NOLINT(bugprone-use-after-move): a moved-from reader is ended
  ReaderTicks stream(second);
  std::size_t i = 10;
  while (const Tick* t = stream.next()) ASSERT_EQ(*t, ticks[i++]);
  EXPECT_EQ(i, ticks.size());
  EXPECT_EQ(stream.delivered(), ticks.size() - 10);
  std::filesystem::remove(path);
}

}  // namespace
}  // namespace tm_data
