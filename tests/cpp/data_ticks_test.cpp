// The tick file end to end: the bytes encode produces, and what the reader makes
// of sound, cut, corrupted and disordered files.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <limits>
#include <string>
#include <vector>

#include "tm_data/crc32.h"
#include "tm_data/reader_ticks.h"
#include "tm_data/ticks.h"

namespace tm_data {
namespace {

using tm_types::Tick;

Tick tick_at(std::int64_t exch_ts, std::int64_t i = 0) {
  return Tick{exch_ts, exch_ts + 1, 50000 + i, 50010 + i, 49990 + i, 49999 + i, 50001 + i, 7 * i};
}

std::vector<Tick> ascending(std::size_t n) {
  std::vector<Tick> ticks;
  for (std::size_t i = 0; i < n; ++i)
    ticks.push_back(tick_at(1000 + static_cast<std::int64_t>(i / 3), i));
  return ticks;
}

// Everything one reader produced until it reported the end.
struct Drained {
  std::vector<Tick> ticks;
  std::optional<Error> error;
  int calls_after_end = 0;  // further next() calls that returned something
};

Drained drain(TickReader& reader) {
  Drained out;
  while (auto item = reader.next()) {
    if (const Tick* t = std::get_if<Tick>(&*item)) {
      out.ticks.push_back(*t);
    } else {
      out.error = std::get<Error>(*item);
      break;
    }
  }
  for (int i = 0; i < 3; ++i) out.calls_after_end += reader.next().has_value() ? 1 : 0;
  return out;
}

class TickFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = ::testing::TempDir() + "tm_ticks_XXXXXX";
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    dir_ = pattern;
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  std::string put(const std::vector<std::uint8_t>& bytes, const std::string& name = "t.tmtk") {
    const std::string path = dir_ + "/" + name;
    std::ofstream(path, std::ios::binary | std::ios::trunc)
        .write(reinterpret_cast<const char*>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
    return path;
  }

  // Opens a file that must open.
  TickReader open_ok(const std::string& path) {
    OpenResult opened = TickReader::open(path);
    if (const Error* e = std::get_if<Error>(&opened)) ADD_FAILURE() << e->message();
    return std::get<TickReader>(std::move(opened));
  }

  std::string open_error(const std::string& path) {
    OpenResult opened = TickReader::open(path);
    const Error* e = std::get_if<Error>(&opened);
    return e ? e->message() : "(opened)";
  }

  std::string dir_;
};

template <class T>
T field(const std::vector<std::uint8_t>& bytes, std::size_t at) {
  T v;
  std::memcpy(&v, bytes.data() + at, sizeof v);
  return v;
}

// --- encode ---

TEST_F(TickFileTest, EncodeOfNoTicksIsTheHeaderAlone) {
  const auto bytes = encode(0x0102030405060708, {});
  const std::vector<std::uint8_t> expected = {
      'T',  'M',  'T',  'K',  2,    0,    0,    0,     // magic, version, reserved
      0,    0,    0,    0,    0,    0,    0,    0,     // count
      0x08, 0x07, 0x06, 0x05, 0x04, 0x03, 0x02, 0x01,  // instrument
      0,    0,    0,    0,    0,    0,    0,    0};    // checksum, reserved
  EXPECT_EQ(bytes, expected);

  TickReader reader = open_ok(put(bytes));
  EXPECT_EQ(reader.count(), 0u);
  EXPECT_EQ(reader.instrument(), 0x0102030405060708u);
  const Drained d = drain(reader);
  EXPECT_TRUE(d.ticks.empty());
  EXPECT_FALSE(d.error);
}

TEST_F(TickFileTest, EncodeWritesFieldsInDeclaredOrderWithTheRecordChecksum) {
  const std::vector<Tick> ticks = {tick_at(1000, 0), tick_at(1001, 1), tick_at(1002, 2)};
  const auto bytes = encode(7, ticks);
  ASSERT_EQ(bytes.size(), 32u + 3 * 64);
  EXPECT_EQ(field<std::uint64_t>(bytes, 8), 3u);
  EXPECT_EQ(field<std::uint64_t>(bytes, 16), 7u);
  // zlib.crc32 of the same 192 record bytes.
  EXPECT_EQ(field<std::uint32_t>(bytes, 24), 0x24fe5ac2u);
  // The second record: exch_ts, local_ts, last, high, low, bid, ask, volume.
  std::array<std::int64_t, 8> second;
  std::memcpy(second.data(), bytes.data() + 32 + 64, sizeof second);
  EXPECT_EQ(second,
            (std::array<std::int64_t, 8>{1001, 1002, 50001, 50011, 49991, 50000, 50002, 7}));
}

// --- reading sound files ---

TEST_F(TickFileTest, ThreeBlocksReadBackExactlyAndThenStayEnded) {
  const auto ticks = ascending(20000);
  TickReader reader = open_ok(put(encode(42, ticks)));
  EXPECT_EQ(reader.count(), 20000u);
  EXPECT_EQ(reader.instrument(), 42u);
  const Drained d = drain(reader);
  EXPECT_FALSE(d.error);
  EXPECT_EQ(d.ticks, ticks);
  EXPECT_EQ(d.calls_after_end, 0);
  EXPECT_EQ(reader.delivered(), 20000u);
}

// Files the reader must deliver in full and without error: a whole block, bytes
// after the last record, garbled reserved header bytes, a wrong checksum with a
// zero count, equal times, and the smallest time first.
TEST_F(TickFileTest, HarmlessOddFilesReadBackExactly) {
  const auto none = [](std::vector<std::uint8_t>&) {};
  const struct {
    const char* name;
    std::vector<Tick> ticks;
    void (*alter)(std::vector<std::uint8_t>&);
  } cases[] = {
      {"one full block", ascending(kBlockRecords), none},
      {"trailing bytes", ascending(10),
       [](std::vector<std::uint8_t>& b) { b.insert(b.end(), 100, 0xAB); }},
      {"reserved bytes", ascending(100),
       [](std::vector<std::uint8_t>& b) {
         for (std::size_t at : {6, 7, 28, 29, 30, 31}) b[at] ^= 0x5A;
       }},
      {"zero count, bad checksum", {}, [](std::vector<std::uint8_t>& b) { b[24] = 0xFF; }},
      {"equal times", {tick_at(5), tick_at(5), tick_at(5)}, none},
      {"smallest time", {tick_at(std::numeric_limits<std::int64_t>::min()), tick_at(0)}, none},
  };
  for (const auto& c : cases) {
    auto bytes = encode(1, c.ticks);
    c.alter(bytes);
    TickReader reader = open_ok(put(bytes));
    const Drained d = drain(reader);
    EXPECT_FALSE(d.error) << c.name;
    EXPECT_EQ(d.ticks, c.ticks) << c.name;
  }
}

TEST_F(TickFileTest, AMovedReaderContinuesWhereItWas) {
  const auto ticks = ascending(9000);
  TickReader first = open_ok(put(encode(1, ticks)));
  for (int i = 0; i < 10; ++i) ASSERT_TRUE(first.next());
  TickReader second = std::move(first);
  const Drained d = drain(second);
  EXPECT_EQ(d.ticks.size(), 8990u);
  EXPECT_EQ(d.ticks.front(), ticks[10]);
  EXPECT_FALSE(first.next());  // NOLINT(bugprone-use-after-move): a moved-from reader is ended
}

TEST_F(TickFileTest, AMemoryFileOpensThroughItsDescriptor) {
  const auto ticks = ascending(50);
  const auto bytes = encode(3, ticks);
  const int fd = ::memfd_create("ticks", MFD_CLOEXEC);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
  ASSERT_EQ(::lseek(fd, 0, SEEK_SET), 0);
  OpenResult opened = TickReader::open_fd(fd);
  ASSERT_TRUE(std::holds_alternative<TickReader>(opened));
  EXPECT_EQ(drain(std::get<TickReader>(opened)).ticks, ticks);
}

// --- refused at open ---

TEST_F(TickFileTest, ShortOrMissingFilesAreTruncatedAtOpen) {
  const std::string expected = "truncated: needed 32 bytes, 0 available";
  EXPECT_EQ(open_error(put(std::vector<std::uint8_t>(10, 'T'))), expected);
  EXPECT_EQ(open_error(put({})), expected);
  auto header = encode(1, {});
  header.pop_back();
  EXPECT_EQ(open_error(put(header)), expected);
  EXPECT_EQ(open_error(dir_ + "/missing.tmtk"), expected);
  EXPECT_EQ(open_error(dir_), expected);  // a directory cannot be read
}

TEST_F(TickFileTest, WrongMagicIsReportedInHex) {
  auto bytes = encode(1, ascending(3));
  std::memcpy(bytes.data(), "ABCD", 4);
  EXPECT_EQ(open_error(put(bytes)), "not a tick file: magic 0x44434241");
  bytes[4] = 3;  // the magic is judged before the version
  EXPECT_EQ(open_error(put(bytes)), "not a tick file: magic 0x44434241");
}

TEST_F(TickFileTest, OnlyVersionTwoIsAccepted) {
  for (std::uint16_t version : {1, 3, 0x0200}) {
    auto bytes = encode(1, ascending(3));
    std::memcpy(bytes.data() + 4, &version, 2);
    EXPECT_EQ(open_error(put(bytes)), "unknown tick file version " + std::to_string(version));
  }
}

// --- failing mid-stream ---

TEST_F(TickFileTest, ACountBeyondTheRecordsDeliversWholeBlocksThenTruncated) {
  auto bytes = encode(1, ascending(9000));
  const std::uint64_t claimed = 10000;
  std::memcpy(bytes.data() + 8, &claimed, 8);
  TickReader reader = open_ok(put(bytes));
  const Drained d = drain(reader);
  EXPECT_EQ(d.ticks.size(), 8192u);
  ASSERT_TRUE(d.error);
  EXPECT_EQ(*d.error, Error(Truncated{640032, 524320}));
  EXPECT_EQ(d.error->message(), "truncated: needed 640032 bytes, 524320 available");
  EXPECT_EQ(d.calls_after_end, 0);
}

TEST_F(TickFileTest, AnImpossibleCountSaturatesTheNeededSize) {
  auto bytes = encode(1, ascending(5));
  const std::uint64_t claimed = std::numeric_limits<std::uint64_t>::max();
  std::memcpy(bytes.data() + 8, &claimed, 8);
  TickReader reader = open_ok(put(bytes));
  const Drained d = drain(reader);
  EXPECT_TRUE(d.ticks.empty());
  ASSERT_TRUE(d.error);
  EXPECT_EQ(d.error->message(), "truncated: needed 18446744073709551615 bytes, 32 available");
}

TEST_F(TickFileTest, AFlippedByteInTheLastBlockStopsBeforeItsTicks) {
  const auto ticks = ascending(20000);
  auto bytes = encode(1, ticks);
  const std::uint32_t stored = field<std::uint32_t>(bytes, 24);
  bytes[bytes.size() - 30] ^= 0x01;
  const std::uint32_t computed = crc32_portable(0, bytes.data() + 32, bytes.size() - 32);
  TickReader reader = open_ok(put(bytes));
  const Drained d = drain(reader);
  EXPECT_EQ(d.ticks.size(), 16384u);
  EXPECT_TRUE(std::equal(d.ticks.begin(), d.ticks.end(), ticks.begin()));
  ASSERT_TRUE(d.error);
  EXPECT_EQ(*d.error, Error(ChecksumMismatch{stored, computed}));
  char expected[80];
  std::snprintf(expected, sizeof expected, "checksum mismatch: expected 0x%08x, computed 0x%08x",
                stored, computed);
  EXPECT_EQ(d.error->message(), expected);
  EXPECT_EQ(d.calls_after_end, 0);
}

TEST_F(TickFileTest, ASingleBlockFileIsCheckedBeforeAnyTick) {
  auto bytes = encode(1, ascending(100));
  bytes[40] ^= 0x80;
  TickReader reader = open_ok(put(bytes));
  const Drained d = drain(reader);
  EXPECT_TRUE(d.ticks.empty());
  ASSERT_TRUE(d.error);
  EXPECT_EQ(d.error->kind(), ErrorKind::kChecksumMismatch);
}

TEST_F(TickFileTest, TimeGoingBackwardsEndsTheStreamWithItsIndex) {
  const std::vector<Tick> ticks = {tick_at(5), tick_at(5), tick_at(4), tick_at(6)};
  TickReader reader = open_ok(put(encode(1, ticks)));
  const Drained d = drain(reader);
  EXPECT_EQ(d.ticks.size(), 2u);
  ASSERT_TRUE(d.error);
  EXPECT_EQ(d.error->message(), "tick 2 goes backwards: previous exchange time 5, found 4");
  EXPECT_EQ(d.calls_after_end, 0);

  auto across = ascending(kBlockRecords + 10);  // caught across a block boundary too
  across[kBlockRecords].exch_ts = -1;
  TickReader second = open_ok(put(encode(1, across), "b.tmtk"));
  const Drained b = drain(second);
  EXPECT_EQ(b.ticks.size(), kBlockRecords);
  ASSERT_TRUE(b.error);
  EXPECT_EQ(*b.error, Error(Backwards{kBlockRecords, across[kBlockRecords - 1].exch_ts, -1}));
}

// --- the run-loop source ---

TEST_F(TickFileTest, SourceDeliversTheSameStreamByPointer) {
  const auto ticks = ascending(20000);
  TickReader reader = open_ok(put(encode(1, ticks)));
  ReaderTicks source(reader);
  std::size_t i = 0;
  while (const Tick* t = source.next()) {
    ASSERT_LT(i, ticks.size());
    ASSERT_EQ(*t, ticks[i]);
    ++i;
  }
  EXPECT_EQ(i, ticks.size());
  EXPECT_EQ(source.delivered(), ticks.size());
  EXPECT_FALSE(source.error());
  EXPECT_EQ(source.next(), nullptr);
}

TEST_F(TickFileTest, SourceStopsAtTheFirstErrorAndKeepsIt) {
  const std::vector<Tick> ticks = {tick_at(5), tick_at(5), tick_at(4)};
  TickReader reader = open_ok(put(encode(1, ticks)));
  ReaderTicks source(reader);
  for (bool delivers : {true, true, false, false}) EXPECT_EQ(source.next() != nullptr, delivers);
  ASSERT_TRUE(source.error());
  EXPECT_EQ(source.error()->message(), "tick 2 goes backwards: previous exchange time 5, found 4");
  EXPECT_EQ(source.delivered(), 2u);
}

// --- messages ---

TEST(TickFileErrorMessages, HexHasEightLowerCaseDigitsAndTimesTheirSign) {
  EXPECT_EQ(Error(BadMagic{0x1}).message(), "not a tick file: magic 0x00000001");
  EXPECT_EQ(Error(ChecksumMismatch{0xDEADBEEF, 0}).message(),
            "checksum mismatch: expected 0xdeadbeef, computed 0x00000000");
  EXPECT_EQ(Error(Backwards{0, -1, std::numeric_limits<std::int64_t>::min()}).message(),
            "tick 0 goes backwards: previous exchange time -1, found -9223372036854775808");
  EXPECT_EQ(Error(UnknownVersion{65535}).message(), "unknown tick file version 65535");
}

}  // namespace
}  // namespace tm_data
