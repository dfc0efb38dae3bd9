// Every CRC-32 implementation against a bit-at-a-time reference and zlib's
// values, over lengths, alignments and seeds that reach every folding and tail
// path, and over chained calls.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "tm_data/crc32.h"

namespace tm_data {
namespace {

std::uint32_t reference(std::uint32_t crc, const std::uint8_t* p, std::size_t n) {
  std::uint32_t reg = ~crc;
  for (std::size_t i = 0; i < n; ++i) {
    reg ^= p[i];
    for (int bit = 0; bit < 8; ++bit) reg = (reg >> 1) ^ ((reg & 1u) ? 0xEDB88320u : 0u);
  }
  return ~reg;
}

using Crc = std::uint32_t (*)(std::uint32_t, const void*, std::size_t);

class Crc32Test : public ::testing::TestWithParam<Crc> {
 protected:
  void SetUp() override {
    if ((GetParam() == &crc32_clmul && !crc32_clmul_available()) ||
        (GetParam() == &crc32_wide && !crc32_wide_available())) {
      GTEST_SKIP() << "this processor lacks the instructions";
    }
  }
};

TEST_P(Crc32Test, AgreesWithZlibAndTheReferenceEverywhere) {
  const Crc crc = GetParam();
  EXPECT_EQ(crc(0, "123456789", 9), 0xCBF43926u);
  EXPECT_EQ(crc(0x12345678, nullptr, 0), 0x12345678u);
  std::mt19937_64 random(20261206);
  std::vector<std::uint8_t> data(4096 + 64);
  for (auto& b : data) b = static_cast<std::uint8_t>(random());
  for (std::size_t round = 0; round < 1000; ++round) {
    // Every length up to 600, then lengths up to 4096 with a seed, whole and in two calls.
    const std::uint8_t* p = data.data() + random() % 64;
    const std::size_t length = round <= 600 ? round : random() % 4096;
    const std::size_t split = random() % (length + 1);
    const auto seed = static_cast<std::uint32_t>(round <= 600 ? 0 : random());
    const std::uint32_t want = reference(seed, p, length);
    ASSERT_EQ(crc(seed, p, length), want) << "length " << length;
    ASSERT_EQ(crc(crc(seed, p, split), p + split, length - split), want) << "split " << split;
  }
}

constexpr const char* kNames[] = {"SlicingBy16", "CarryLessMultiply", "Avx512CarryLessMultiply",
                                  "Dispatched"};
INSTANTIATE_TEST_SUITE_P(Implementations, Crc32Test,
                         ::testing::Values(&crc32_portable, &crc32_clmul, &crc32_wide, &crc32),
                         [](const auto& info) { return std::string(kNames[info.index]); });

}  // namespace
}  // namespace tm_data
