// Both CRC-32 implementations against a plain bit-at-a-time reference, over
// lengths and alignments that exercise every folding and tail path.
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string_view>
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
    if (GetParam() == &crc32_clmul && !crc32_clmul_available()) {
      GTEST_SKIP() << "no carry-less multiply on this processor";
    }
    if (GetParam() == &crc32_wide && !crc32_wide_available()) {
      GTEST_SKIP() << "no 512-bit carry-less multiply on this processor";
    }
  }
  std::uint32_t crc(std::uint32_t seed, const void* p, std::size_t n) {
    return GetParam()(seed, p, n);
  }
};

TEST_P(Crc32Test, MatchesTheStandardCheckValues) {
  constexpr std::string_view kCheck = "123456789";
  EXPECT_EQ(crc(0, kCheck.data(), kCheck.size()), 0xCBF43926u);
  EXPECT_EQ(crc(0, nullptr, 0), 0u);
  EXPECT_EQ(crc(0x12345678, nullptr, 0), 0x12345678u);
  const std::vector<std::uint8_t> zeros(4096, 0);
  EXPECT_EQ(crc(0, zeros.data(), zeros.size()), 0xC71C0011u);  // zlib.crc32(bytes(4096))
}

TEST_P(Crc32Test, AgreesWithTheReferenceAtEveryLengthAndAlignment) {
  std::mt19937_64 random(20261206);
  std::vector<std::uint8_t> data(4096 + 64);
  for (auto& b : data) b = static_cast<std::uint8_t>(random());
  for (std::size_t length = 0; length <= 600; ++length) {
    const std::size_t offset = random() % 64;
    ASSERT_EQ(crc(0, data.data() + offset, length), reference(0, data.data() + offset, length))
        << "length " << length << " offset " << offset;
  }
  for (int round = 0; round < 300; ++round) {
    const std::size_t offset = random() % 64;
    const std::size_t length = random() % 4096;
    const std::uint32_t seed = static_cast<std::uint32_t>(random());
    ASSERT_EQ(crc(seed, data.data() + offset, length),
              reference(seed, data.data() + offset, length))
        << "length " << length << " offset " << offset;
  }
}

TEST_P(Crc32Test, ChainedCallsEqualOneCallOverTheWhole) {
  std::mt19937_64 random(7);
  std::vector<std::uint8_t> data(3 << 20);
  for (auto& b : data) b = static_cast<std::uint8_t>(random());
  const std::uint32_t whole = reference(0, data.data(), data.size());
  for (int round = 0; round < 20; ++round) {
    const std::size_t split = random() % data.size();
    const std::uint32_t first = crc(0, data.data(), split);
    EXPECT_EQ(crc(first, data.data() + split, data.size() - split), whole) << "split " << split;
  }
}

TEST_P(Crc32Test, DetectsEverySingleBitFlipInABlock) {
  std::vector<std::uint8_t> data(1024, 0x5C);
  const std::uint32_t clean = crc(0, data.data(), data.size());
  for (std::size_t bit = 0; bit < data.size() * 8; bit += 7) {
    data[bit / 8] ^= static_cast<std::uint8_t>(1u << (bit % 8));
    ASSERT_NE(crc(0, data.data(), data.size()), clean) << "bit " << bit;
    data[bit / 8] ^= static_cast<std::uint8_t>(1u << (bit % 8));
  }
}

INSTANTIATE_TEST_SUITE_P(Implementations, Crc32Test,
                         ::testing::Values(&crc32_portable, &crc32_clmul, &crc32_wide, &crc32),
                         [](const auto& info) {
                           return std::string(info.index == 0   ? "Portable"
                                              : info.index == 1 ? "CarryLessMultiply"
                                              : info.index == 2 ? "WideCarryLessMultiply"
                                                                : "Dispatched");
                         });

}  // namespace
}  // namespace tm_data
