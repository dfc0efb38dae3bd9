// Money, quantities and prices as integers, and the saturating arithmetic every
// account computation goes through. No floating point lives here.
//
// Conventions: sums of Cash saturate at the 64-bit limits; products of
// quantity x price x contract size are exact in 128 bits (saturating at the
// 128-bit limits with the sign of the true product) and clamped back to 64
// bits; divisions truncate toward zero.
#pragma once

#include <cstdint>
#include <limits>

#include "tm_types/invariant.h"

namespace tm_types {

using Cash = std::int64_t;     // units of 1/CASH_SCALE of the settlement currency
using QtyLots = std::int64_t;  // lots; orders positive, positions signed
using Price = std::int64_t;    // the instrument's native ticks, never scaled
using i128 = __int128;
using u128 = unsigned __int128;

inline constexpr Cash CASH_SCALE = 100'000'000;
static_assert(CASH_SCALE == 100000000, "CASH_SCALE is part of the Python API");

inline constexpr std::int64_t kI64Max = std::numeric_limits<std::int64_t>::max();
inline constexpr std::int64_t kI64Min = std::numeric_limits<std::int64_t>::min();
inline constexpr i128 kI128Max = static_cast<i128>(~static_cast<u128>(0) >> 1);
inline constexpr i128 kI128Min = -kI128Max - 1;

// 64-bit saturating arithmetic.
constexpr std::int64_t sat_add(std::int64_t a, std::int64_t b) {
  std::int64_t r;
  if (__builtin_add_overflow(a, b, &r)) return b > 0 ? kI64Max : kI64Min;
  return r;
}
constexpr std::int64_t sat_sub(std::int64_t a, std::int64_t b) {
  std::int64_t r;
  if (__builtin_sub_overflow(a, b, &r)) return b < 0 ? kI64Max : kI64Min;
  return r;
}
// Negating the smallest value gives the largest.
constexpr std::int64_t sat_neg(std::int64_t a) { return a == kI64Min ? kI64Max : -a; }
// The absolute value of the smallest value is taken as the largest.
constexpr std::int64_t sat_abs(std::int64_t a) { return a < 0 ? sat_neg(a) : a; }

// 128-bit saturating arithmetic.
constexpr i128 sat_add128(i128 a, i128 b) {
  i128 r;
  if (__builtin_add_overflow(a, b, &r)) return b > 0 ? kI128Max : kI128Min;
  return r;
}
constexpr i128 sat_sub128(i128 a, i128 b) {
  i128 r;
  if (__builtin_sub_overflow(a, b, &r)) return b < 0 ? kI128Max : kI128Min;
  return r;
}
constexpr i128 sat_neg128(i128 a) { return a == kI128Min ? kI128Max : -a; }
// Exact product, pinned to the 128-bit limit with the sign of the true product.
constexpr i128 sat_mul128(i128 a, i128 b) {
  i128 r;
  if (__builtin_mul_overflow(a, b, &r)) return ((a < 0) != (b < 0)) ? kI128Min : kI128Max;
  return r;
}

// Brings a 128-bit intermediate back to 64 bits by clamping.
constexpr std::int64_t clamp64(i128 v) {
  if (v > kI64Max) return kI64Max;
  if (v < kI64Min) return kI64Min;
  return static_cast<std::int64_t>(v);
}

// |qty| x price x size, exact in 128 bits with saturation (the notional of a leg).
constexpr i128 lots_value128(QtyLots qty, Price price, std::int64_t size) {
  return sat_mul128(sat_mul128(sat_abs(qty), price), size);
}

// Whole currency units to Cash, saturating at the 64-bit limits.
constexpr Cash units_to_cash(std::int64_t units) {
  return clamp64(static_cast<i128>(units) * CASH_SCALE);
}

// Checked arithmetic: overflow is an invariant failure ("arithmetic overflow").
inline std::int64_t checked_add(std::int64_t a, std::int64_t b) {
  std::int64_t r;
  if (__builtin_add_overflow(a, b, &r)) invariant_failure(kArithmeticOverflow);
  return r;
}
inline std::int64_t checked_sub(std::int64_t a, std::int64_t b) {
  std::int64_t r;
  if (__builtin_sub_overflow(a, b, &r)) invariant_failure(kArithmeticOverflow);
  return r;
}
inline std::int64_t checked_mul(std::int64_t a, std::int64_t b) {
  std::int64_t r;
  if (__builtin_mul_overflow(a, b, &r)) invariant_failure(kArithmeticOverflow);
  return r;
}
inline i128 checked_add128(i128 a, i128 b) {
  i128 r;
  if (__builtin_add_overflow(a, b, &r)) invariant_failure(kArithmeticOverflow);
  return r;
}
inline i128 checked_sub128(i128 a, i128 b) {
  i128 r;
  if (__builtin_sub_overflow(a, b, &r)) invariant_failure(kArithmeticOverflow);
  return r;
}
inline i128 checked_mul128(i128 a, i128 b) {
  i128 r;
  if (__builtin_mul_overflow(a, b, &r)) invariant_failure(kArithmeticOverflow);
  return r;
}
// A 128-bit intermediate back to 64 bits; out of range is an overflow.
inline std::int64_t checked_narrow(i128 v) {
  if (v > kI64Max || v < kI64Min) invariant_failure(kArithmeticOverflow);
  return static_cast<std::int64_t>(v);
}
inline std::uint64_t checked_add_u(std::uint64_t a, std::uint64_t b) {
  std::uint64_t r;
  if (__builtin_add_overflow(a, b, &r)) invariant_failure(kArithmeticOverflow);
  return r;
}
inline std::uint64_t checked_mul_u(std::uint64_t a, std::uint64_t b) {
  std::uint64_t r;
  if (__builtin_mul_overflow(a, b, &r)) invariant_failure(kArithmeticOverflow);
  return r;
}

// Quotients rounded toward minus and plus infinity. REQUIRES: d >= 1.
constexpr i128 floor_div128(i128 n, i128 d) {
  const i128 q = n / d;
  return (n % d != 0 && n < 0) ? q - 1 : q;
}
constexpr i128 ceil_div128(i128 n, i128 d) {
  const i128 q = n / d;
  return (n % d != 0 && n > 0) ? q + 1 : q;
}

}  // namespace tm_types
