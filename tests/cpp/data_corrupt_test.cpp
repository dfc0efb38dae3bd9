// Seeded corruptions of sound tick files. Every read must end the way an
// independent whole-file model of the format says: the same number of ticks,
// then the same message (or a clean end). Each family also pins the outcome its
// corruption must produce.
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <limits>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "tm_data/crc32.h"
#include "tm_data/ticks.h"

namespace tm_data {
namespace {

using Bytes = std::vector<std::uint8_t>;
using tm_types::Tick;

struct Outcome {
  bool opened = false;
  std::uint64_t ticks = 0;
  std::string error;  // empty for a clean end
  friend bool operator==(const Outcome&, const Outcome&) = default;
};

std::ostream& operator<<(std::ostream& os, const Outcome& o) {
  return os << (o.opened ? "opened, " : "refused, ") << o.ticks << " ticks, "
            << (o.error.empty() ? "clean end" : o.error);
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

// What the reader must do with `bytes`, judged on the whole file at once.
Outcome model(const Bytes& bytes) {
  Outcome out;
  if (bytes.size() < 32) return {false, 0, "truncated: needed 32 bytes, 0 available"};
  if (get<std::uint32_t>(bytes, 0) != kMagic) {
    return {false, 0, Error(BadMagic{get<std::uint32_t>(bytes, 0)}).message()};
  }
  if (get<std::uint16_t>(bytes, 4) != 2) {
    return {false, 0, Error(UnknownVersion{get<std::uint16_t>(bytes, 4)}).message()};
  }
  out.opened = true;
  const std::uint64_t count = get<std::uint64_t>(bytes, 8);
  const std::uint64_t present = (bytes.size() - 32) / 64;
  std::optional<std::int64_t> previous;
  for (std::uint64_t start = 0; start < count; start += kBlockRecords) {
    const std::uint64_t n = std::min<std::uint64_t>(count - start, kBlockRecords);
    if (start + n > present) {
      const unsigned __int128 needed = static_cast<unsigned __int128>(count) * 64 + 32;
      out.error = Error(Truncated{needed > std::numeric_limits<std::uint64_t>::max()
                                      ? std::numeric_limits<std::uint64_t>::max()
                                      : static_cast<std::uint64_t>(needed),
                                  32 + 64 * start})
                      .message();
      return out;
    }
    if (start + n == count) {
      const std::uint32_t computed = crc32_portable(0, bytes.data() + 32, 64 * count);
      if (computed != get<std::uint32_t>(bytes, 24)) {
        out.error = Error(ChecksumMismatch{get<std::uint32_t>(bytes, 24), computed}).message();
        return out;
      }
    }
    for (std::uint64_t i = start; i < start + n; ++i) {
      const auto t = get<std::int64_t>(bytes, 32 + 64 * i);
      if (previous && t < *previous) {
        out.error = Error(Backwards{i, *previous, t}).message();
        return out;
      }
      previous = t;
      ++out.ticks;
    }
  }
  return out;
}

// What the reader does with `bytes`, read through an in-memory file.
Outcome read(const Bytes& bytes) {
  const int fd = ::memfd_create("corrupt", MFD_CLOEXEC);
  EXPECT_GE(fd, 0);
  EXPECT_EQ(::write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
  EXPECT_EQ(::lseek(fd, 0, SEEK_SET), 0);
  OpenResult opened = TickReader::open_fd(fd);
  if (const Error* e = std::get_if<Error>(&opened)) return {false, 0, e->message()};
  TickReader& reader = std::get<TickReader>(opened);
  Outcome out{true, 0, ""};
  while (auto item = reader.next()) {
    if (std::holds_alternative<Tick>(*item)) {
      ++out.ticks;
    } else {
      out.error = std::get<Error>(*item).message();
      break;
    }
  }
  EXPECT_FALSE(reader.next()) << "the stream must stay ended";
  return out;
}

void fix_checksum(Bytes& b) { set(b, 24, crc32_portable(0, b.data() + 32, b.size() - 32)); }

class CorruptFileTest : public ::testing::Test {
 protected:
  // A sound file of a random size: mostly within one block, sometimes three.
  Bytes sound_file() {
    const std::size_t n = random_() % 4 == 0 ? 8192 + random_() % 12000 : random_() % 300;
    std::vector<Tick> ticks(n);
    std::int64_t t = static_cast<std::int64_t>(random_() % 1000) - 500;
    for (auto& tick : ticks) {
      t += static_cast<std::int64_t>(random_() % 3);  // equal times happen
      tick = Tick{t, t + 1, 100, 101, 99, 100, 101, static_cast<std::int64_t>(random_())};
    }
    return encode(random_(), ticks);
  }

  std::size_t below(std::size_t n) { return static_cast<std::size_t>(random_() % n); }

  // Reads `bytes`, checks the reader against the model and returns the outcome.
  Outcome judged(const Bytes& bytes) {
    const Outcome expected = model(bytes);
    const Outcome actual = read(bytes);
    EXPECT_EQ(actual, expected) << "file of " << bytes.size() << " bytes";
    return actual;
  }

  std::mt19937_64 random_{20261206};
  static constexpr int kRounds = 60;
};

TEST_F(CorruptFileTest, AFlippedRecordByteIsCaughtByTheChecksumOrTheTimeOrder) {
  for (int i = 0; i < kRounds; ++i) {
    Bytes b = sound_file();
    if (b.size() == 32) continue;
    const std::size_t at = 32 + below(b.size() - 32);
    b[at] ^= static_cast<std::uint8_t>(1 + below(255));
    const Outcome o = judged(b);
    const std::uint64_t count = get<std::uint64_t>(b, 8);
    const std::uint64_t last_block = (count - 1) / kBlockRecords * kBlockRecords;
    if (o.error.rfind("checksum mismatch", 0) == 0) {
      EXPECT_EQ(o.ticks, last_block);
    } else {
      // An exchange time made smaller can stop an earlier block first.
      EXPECT_LT((at - 32) % 64, 8u) << o;
      EXPECT_EQ(o.error.rfind("tick " + std::to_string(o.ticks) + " goes backwards", 0), 0u) << o;
      EXPECT_LT(o.ticks, last_block);
    }
  }
}

TEST_F(CorruptFileTest, FlippedHeaderBytesFailAtTheFieldTheyHit) {
  for (int i = 0; i < kRounds * 3; ++i) {
    Bytes b = sound_file();
    const std::size_t at = below(32);
    b[at] ^= static_cast<std::uint8_t>(1 + below(255));
    const Outcome o = judged(b);
    if (at < 4) {
      EXPECT_EQ(o.error.rfind("not a tick file: magic 0x", 0), 0u) << o;
    }
    if (at == 4 || at == 5) {
      EXPECT_EQ(o.error.rfind("unknown tick file version", 0), 0u) << o;
    }
    if ((at >= 6 && at < 8) || at >= 28 || (at >= 16 && at < 24)) {
      EXPECT_TRUE(o.error.empty()) << o;
    }
  }
}

TEST_F(CorruptFileTest, CutFilesAreTruncatedAtTheBlockThatComesUpShort) {
  for (int i = 0; i < kRounds; ++i) {
    Bytes b = sound_file();
    if (b.size() == 32) continue;
    const std::size_t keep = below(b.size());
    b.resize(keep);
    const Outcome o = judged(b);
    EXPECT_EQ(o.error.rfind("truncated: needed ", 0), 0u) << o;
    if (keep >= 32) {
      EXPECT_EQ(o.ticks % kBlockRecords, 0u);
      EXPECT_LE(32 + 64 * o.ticks, keep);
    }
  }
}

// Sound files read whole, whatever follows their records.
TEST_F(CorruptFileTest, BytesAddedAfterTheRecordsChangeNothing) {
  for (int i = 0; i < kRounds; ++i) {
    Bytes b = sound_file();
    const std::uint64_t count = get<std::uint64_t>(b, 8);
    const std::size_t extra = below(200);
    for (std::size_t k = 0; k < extra; ++k) b.push_back(static_cast<std::uint8_t>(random_()));
    EXPECT_EQ(judged(b), (Outcome{true, count, ""}));
  }
}

TEST_F(CorruptFileTest, AChangedCountFailsOrReadsFewer) {
  for (int i = 0; i < kRounds; ++i) {
    Bytes b = sound_file();
    const std::uint64_t count = get<std::uint64_t>(b, 8);
    std::uint64_t claimed;
    switch (below(4)) {
      case 0:
        claimed = count + 1 + below(20000);
        break;
      case 1:
        claimed = count == 0 ? 0 : below(count);
        break;
      case 2:
        claimed = std::numeric_limits<std::uint64_t>::max() - below(3);
        break;
      default:
        claimed = count ^ (std::uint64_t{1} << below(64));
        break;
    }
    set(b, 8, claimed);
    const Outcome o = judged(b);
    if (claimed > count) {
      EXPECT_EQ(o.error.rfind("truncated: needed ", 0), 0u) << o;
    }
    if (claimed == 0) {
      EXPECT_EQ(o, (Outcome{true, 0, ""}));
    }
  }
}

TEST_F(CorruptFileTest, TimeGoingBackwardsUnderASoundChecksumStopsAtThatTick) {
  for (int i = 0; i < kRounds; ++i) {
    Bytes b = sound_file();
    const std::uint64_t count = get<std::uint64_t>(b, 8);
    if (count < 2) continue;
    const std::size_t at = 1 + below(count - 1);
    const auto before = get<std::int64_t>(b, 32 + 64 * (at - 1));
    set(b, 32 + 64 * at, before - 1 - static_cast<std::int64_t>(below(1000)));
    fix_checksum(b);
    const Outcome o = judged(b);
    EXPECT_EQ(o.ticks, at);
    EXPECT_EQ(o.error.rfind("tick " + std::to_string(at) + " goes backwards", 0), 0u) << o;
  }
}

TEST_F(CorruptFileTest, ManyRandomBytesAtOnceNeverCrash) {
  for (int i = 0; i < kRounds; ++i) {
    Bytes b = sound_file();
    const std::size_t flips = 1 + below(64);
    for (std::size_t k = 0; k < flips; ++k)
      b[below(b.size())] = static_cast<std::uint8_t>(random_());
    if (below(2) == 0) fix_checksum(b);
    judged(b);
  }
}

}  // namespace
}  // namespace tm_data
