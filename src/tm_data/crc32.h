// CRC-32 of IEEE 802.3 (reflected polynomial 0xEDB88320, register preset to
// 0xFFFFFFFF, result complemented), the checksum of the tick file's records.
// Values equal Python's zlib.crc32, and calls chain the same way:
// crc32(crc32(0, a), b) is the CRC of a followed by b; the CRC of nothing is 0.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tm_data {

// Extends `crc`, the CRC of the bytes before (0 for none), over `n` bytes.
// Uses the widest carry-less multiplication the processor has, else the
// portable table; all give the same value.
[[nodiscard]] std::uint32_t crc32(std::uint32_t crc, const void* data, std::size_t n);

// The implementations behind crc32, for tests and benchmarks.
// Slicing-by-16 over a 16 x 256 table; runs on any processor.
[[nodiscard]] std::uint32_t crc32_portable(std::uint32_t crc, const void* data, std::size_t n);
// Folds four 128-bit lanes with PCLMULQDQ.
// REQUIRES: crc32_clmul_available().
[[nodiscard]] std::uint32_t crc32_clmul(std::uint32_t crc, const void* data, std::size_t n);
// Folds four 512-bit lanes with VPCLMULQDQ (AVX-512), 256 bytes a round.
// REQUIRES: crc32_wide_available().
[[nodiscard]] std::uint32_t crc32_wide(std::uint32_t crc, const void* data, std::size_t n);

// Whether this processor (and build) can run crc32_clmul, crc32_wide.
[[nodiscard]] bool crc32_clmul_available();
[[nodiscard]] bool crc32_wide_available();

}  // namespace tm_data
