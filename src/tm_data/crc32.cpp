#include "tm_data/crc32.h"

#include <array>
#include <bit>
#include <cstring>

#if defined(__x86_64__) || defined(__i386__)
#define TM_DATA_X86 1
#include <immintrin.h>
#endif

namespace tm_data {
namespace {

static_assert(std::endian::native == std::endian::little,
              "the slicing table reads 32-bit words in little-endian order");

constexpr std::uint32_t kPolynomial = 0xEDB88320u;

// kTables[k][b] is the register contribution of byte b followed by k zero bytes.
using Tables = std::array<std::array<std::uint32_t, 256>, 16>;

constexpr Tables make_tables() {
  Tables t{};
  for (std::uint32_t b = 0; b < 256; ++b) {
    std::uint32_t r = b;
    for (int bit = 0; bit < 8; ++bit) r = (r >> 1) ^ ((r & 1u) ? kPolynomial : 0u);
    t[0][b] = r;
  }
  for (std::size_t k = 1; k < t.size(); ++k) {
    for (std::size_t b = 0; b < 256; ++b) t[k][b] = (t[k - 1][b] >> 8) ^ t[0][t[k - 1][b] & 0xFFu];
  }
  return t;
}

constexpr Tables kTables = make_tables();

std::uint32_t load32(const unsigned char* p) {
  std::uint32_t v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

// Advances the raw (uncomplemented) register over n bytes.
std::uint32_t portable_register(std::uint32_t reg, const unsigned char* p, std::size_t n) {
  const auto& t = kTables;
  while (n >= 16) {
    const std::uint32_t a = load32(p) ^ reg;
    const std::uint32_t b = load32(p + 4);
    const std::uint32_t c = load32(p + 8);
    const std::uint32_t d = load32(p + 12);
    reg = t[15][a & 0xFF] ^ t[14][(a >> 8) & 0xFF] ^ t[13][(a >> 16) & 0xFF] ^ t[12][a >> 24] ^
          t[11][b & 0xFF] ^ t[10][(b >> 8) & 0xFF] ^ t[9][(b >> 16) & 0xFF] ^ t[8][b >> 24] ^
          t[7][c & 0xFF] ^ t[6][(c >> 8) & 0xFF] ^ t[5][(c >> 16) & 0xFF] ^ t[4][c >> 24] ^
          t[3][d & 0xFF] ^ t[2][(d >> 8) & 0xFF] ^ t[1][(d >> 16) & 0xFF] ^ t[0][d >> 24];
    p += 16;
    n -= 16;
  }
  while (n--) reg = (reg >> 8) ^ t[0][(reg ^ *p++) & 0xFF];
  return reg;
}

#ifdef TM_DATA_X86

// Folding constants in the bit-reflected domain, each shifted left by one
// (Gopal et al., "Fast CRC Computation for Generic Polynomials Using PCLMULQDQ
// Instruction", Intel, 2009): x^(512+32) and x^(512-32) mod P fold four lanes
// forward by 512 bits; x^(128+32) and x^(128-32) mod P fold one lane by 128;
// x^64 mod P takes 64 bits to 32; P and floor(x^64 / P) do the Barrett step.
alignas(16) constexpr std::uint64_t kFold512[2] = {0x0154442bd4, 0x01c6e41596};
alignas(16) constexpr std::uint64_t kFold128[2] = {0x01751997d0, 0x00ccaa009e};
alignas(16) constexpr std::uint64_t kFold64[2] = {0x0163cd6124, 0x0000000000};
alignas(16) constexpr std::uint64_t kBarrett[2] = {0x01db710641, 0x01f7011641};

// Carries the 128 bits of x forward: each 64-bit half is multiplied (over
// GF(2)) by its constant in k, and the two products are added.
__attribute__((target("pclmul,sse4.1"))) inline __m128i fold(__m128i x, __m128i k) {
  return _mm_xor_si128(_mm_clmulepi64_si128(x, k, 0x00), _mm_clmulepi64_si128(x, k, 0x11));
}

// Folds the 128-bit lane x forward over the 16-byte blocks left in [p, p+n),
// then reduces it to the 32-bit register. REQUIRES: n % 16 == 0.
__attribute__((target("pclmul,sse4.1"))) std::uint32_t finish(__m128i x1, const unsigned char* p,
                                                              std::size_t n) {
  const __m128i k = _mm_load_si128(reinterpret_cast<const __m128i*>(kFold128));
  while (n >= 16) {
    x1 = _mm_xor_si128(fold(x1, k), _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)));
    p += 16;
    n -= 16;
  }

  // 128 bits to 64: the low half times x^64 (mod P), added to the high half.
  const __m128i low32s = _mm_setr_epi32(-1, 0, -1, 0);
  x1 = _mm_xor_si128(_mm_srli_si128(x1, 8), _mm_clmulepi64_si128(x1, k, 0x10));
  // 96 bits to 64: the low 32 bits times x^64 (mod P), added to the rest.
  const __m128i k5 = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(kFold64));
  x1 = _mm_xor_si128(_mm_srli_si128(x1, 4),
                     _mm_clmulepi64_si128(_mm_and_si128(x1, low32s), k5, 0x00));
  // Barrett reduction to 32 bits.
  const __m128i b = _mm_load_si128(reinterpret_cast<const __m128i*>(kBarrett));
  __m128i q = _mm_clmulepi64_si128(_mm_and_si128(x1, low32s), b, 0x10);
  q = _mm_clmulepi64_si128(_mm_and_si128(q, low32s), b, 0x00);
  x1 = _mm_xor_si128(x1, q);
  return static_cast<std::uint32_t>(_mm_extract_epi32(x1, 1));
}

// Advances the raw register over n bytes. REQUIRES: n >= 64, n % 16 == 0.
__attribute__((target("pclmul,sse4.1"))) std::uint32_t clmul_register(std::uint32_t reg,
                                                                      const unsigned char* p,
                                                                      std::size_t n) {
  auto load = [](const unsigned char* q) {
    return _mm_loadu_si128(reinterpret_cast<const __m128i*>(q));
  };
  __m128i x1 = _mm_xor_si128(load(p), _mm_cvtsi32_si128(static_cast<int>(reg)));
  __m128i x2 = load(p + 16);
  __m128i x3 = load(p + 32);
  __m128i x4 = load(p + 48);
  p += 64;
  n -= 64;

  __m128i k = _mm_load_si128(reinterpret_cast<const __m128i*>(kFold512));
  while (n >= 64) {
    x1 = _mm_xor_si128(fold(x1, k), load(p));
    x2 = _mm_xor_si128(fold(x2, k), load(p + 16));
    x3 = _mm_xor_si128(fold(x3, k), load(p + 32));
    x4 = _mm_xor_si128(fold(x4, k), load(p + 48));
    p += 64;
    n -= 64;
  }

  k = _mm_load_si128(reinterpret_cast<const __m128i*>(kFold128));
  x1 = _mm_xor_si128(fold(x1, k), x2);
  x1 = _mm_xor_si128(fold(x1, k), x3);
  x1 = _mm_xor_si128(fold(x1, k), x4);
  return finish(x1, p, n);
}

// The same folding four 512-bit lanes wide (sixteen 128-bit lanes, 256 bytes a
// round) with VPCLMULQDQ: x^(2048+32) and x^(2048-32) mod P fold a lane forward
// by 2048 bits, computed like the constants above.
alignas(16) constexpr std::uint64_t kFold2048[2] = {0x011542778a, 0x01322d1430};

#define TM_DATA_WIDE_TARGET "avx512f,avx512vl,avx512bw,vpclmulqdq,pclmul,sse4.1"

__attribute__((target(TM_DATA_WIDE_TARGET), always_inline)) inline __m512i fold_wide(__m512i x,
                                                                                     __m512i k,
                                                                                     __m512i next) {
  // 0x96: the exclusive or of all three operands.
  return _mm512_ternarylogic_epi64(_mm512_clmulepi64_epi128(x, k, 0x00),
                                   _mm512_clmulepi64_epi128(x, k, 0x11), next, 0x96);
}

// The pair of constants k in each of the four 128-bit lanes. (Spelled out
// rather than broadcast: GCC 12's broadcast intrinsics trip -Wuninitialized.)
__attribute__((target(TM_DATA_WIDE_TARGET), always_inline)) inline __m512i lanes_of(
    const std::uint64_t (&k)[2]) {
  return _mm512_set_epi64(static_cast<long long>(k[1]), static_cast<long long>(k[0]),
                          static_cast<long long>(k[1]), static_cast<long long>(k[0]),
                          static_cast<long long>(k[1]), static_cast<long long>(k[0]),
                          static_cast<long long>(k[1]), static_cast<long long>(k[0]));
}

// Advances the raw register over n bytes. REQUIRES: n >= 256, n % 16 == 0.
__attribute__((target(TM_DATA_WIDE_TARGET))) std::uint32_t wide_register(std::uint32_t reg,
                                                                         const unsigned char* p,
                                                                         std::size_t n) {
  __m512i x1 = _mm512_xor_si512(
      _mm512_loadu_si512(p),
      _mm512_set_epi32(0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, static_cast<int>(reg)));
  __m512i x2 = _mm512_loadu_si512(p + 64);
  __m512i x3 = _mm512_loadu_si512(p + 128);
  __m512i x4 = _mm512_loadu_si512(p + 192);
  p += 256;
  n -= 256;

  __m512i k = lanes_of(kFold2048);
  while (n >= 256) {
    x1 = fold_wide(x1, k, _mm512_loadu_si512(p));
    x2 = fold_wide(x2, k, _mm512_loadu_si512(p + 64));
    x3 = fold_wide(x3, k, _mm512_loadu_si512(p + 128));
    x4 = fold_wide(x4, k, _mm512_loadu_si512(p + 192));
    p += 256;
    n -= 256;
  }

  // Four 512-bit lanes into one: each is 512 bits ahead of the next.
  k = lanes_of(kFold512);
  x1 = fold_wide(x1, k, x2);
  x1 = fold_wide(x1, k, x3);
  x1 = fold_wide(x1, k, x4);
  while (n >= 64) {
    x1 = fold_wide(x1, k, _mm512_loadu_si512(p));
    p += 64;
    n -= 64;
  }

  // Its four 128-bit lanes into one, then the 16-byte tail and the reduction.
  const __m128i k128 = _mm_load_si128(reinterpret_cast<const __m128i*>(kFold128));
  alignas(64) std::uint64_t lane[8];
  _mm512_store_si512(lane, x1);
  const auto lane_at = [&](int i) {
    return _mm_load_si128(reinterpret_cast<const __m128i*>(lane + 2 * i));
  };
  __m128i x = lane_at(0);
  x = _mm_xor_si128(fold(x, k128), lane_at(1));
  x = _mm_xor_si128(fold(x, k128), lane_at(2));
  x = _mm_xor_si128(fold(x, k128), lane_at(3));
  return finish(x, p, n);
}

bool detect_clmul() {
  __builtin_cpu_init();
  return __builtin_cpu_supports("pclmul") && __builtin_cpu_supports("sse4.1");
}

// The AVX-512 features are reported only when the system also saves the
// 512-bit registers.
bool detect_wide() {
  __builtin_cpu_init();
  return detect_clmul() && __builtin_cpu_supports("avx512f") &&
         __builtin_cpu_supports("avx512vl") && __builtin_cpu_supports("avx512bw") &&
         __builtin_cpu_supports("vpclmulqdq");
}

#endif  // TM_DATA_X86

}  // namespace

bool crc32_clmul_available() {
#ifdef TM_DATA_X86
  static const bool available = detect_clmul();
  return available;
#else
  return false;
#endif
}

bool crc32_wide_available() {
#ifdef TM_DATA_X86
  static const bool available = detect_wide();
  return available;
#else
  return false;
#endif
}

std::uint32_t crc32_portable(std::uint32_t crc, const void* data, std::size_t n) {
  return ~portable_register(~crc, static_cast<const unsigned char*>(data), n);
}

std::uint32_t crc32_clmul(std::uint32_t crc, const void* data, std::size_t n) {
#ifdef TM_DATA_X86
  const auto* p = static_cast<const unsigned char*>(data);
  std::uint32_t reg = ~crc;
  if (n >= 64) {
    const std::size_t folded = n & ~static_cast<std::size_t>(15);
    reg = clmul_register(reg, p, folded);
    p += folded;
    n -= folded;
  }
  return ~portable_register(reg, p, n);
#else
  return crc32_portable(crc, data, n);
#endif
}

std::uint32_t crc32_wide(std::uint32_t crc, const void* data, std::size_t n) {
#ifdef TM_DATA_X86
  if (n < 256) return crc32_clmul(crc, data, n);
  const auto* p = static_cast<const unsigned char*>(data);
  const std::size_t folded = n & ~static_cast<std::size_t>(15);
  const std::uint32_t reg = wide_register(~crc, p, folded);
  return ~portable_register(reg, p + folded, n - folded);
#else
  return crc32_portable(crc, data, n);
#endif
}

std::uint32_t crc32(std::uint32_t crc, const void* data, std::size_t n) {
  if (crc32_wide_available()) return crc32_wide(crc, data, n);
  return crc32_clmul_available() ? crc32_clmul(crc, data, n) : crc32_portable(crc, data, n);
}

}  // namespace tm_data
