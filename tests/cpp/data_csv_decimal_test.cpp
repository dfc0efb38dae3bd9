// Decimal text to grid steps against a slow exact model: random texts of every
// shape the reader meets (signs, leading and trailing zeros, a point anywhere,
// 1 to 22 digits), every rounding, steps above and below one.
#include <gtest/gtest.h>

#include <limits>
#include <random>
#include <string>

#include "tm_data/csv_decimal.h"

namespace tm_data {
namespace {

using u128 = unsigned __int128;

// The model: the text's digits as one integer n with d decimals; the value in
// steps is n * 10^step_decimals / (units * 10^d), rounded as asked.
std::optional<std::int64_t> model(const std::string& text, DecimalStep step, Rounding rounding) {
  bool negative = false, point = false;
  u128 n = 0;
  int d = 0;
  for (const char c : text) {
    if (c == '-' || c == '+') {
      negative = c == '-';
    } else if (c == '.') {
      point = true;
    } else {
      n = n * 10 + static_cast<unsigned>(c - '0');
      d += point ? 1 : 0;
    }
  }
  u128 num = n, den = step.units;
  for (int i = 0; i < step.decimals; ++i) num *= 10;
  for (int i = 0; i < d; ++i) den *= 10;
  u128 q = num / den;
  const u128 r = num % den;
  if (r != 0) {
    if (rounding == Rounding::kExact) return std::nullopt;
    const bool up = rounding == Rounding::kHalfEven ? (2 * r > den || (2 * r == den && (q & 1)))
                                                    : (rounding == Rounding::kCeil) != negative;
    q += up ? 1 : 0;
  }
  if (q > static_cast<u128>(std::numeric_limits<std::int64_t>::max())) return std::nullopt;
  return negative ? -static_cast<std::int64_t>(q) : static_cast<std::int64_t>(q);
}

std::string random_text(std::mt19937_64& rng) {
  std::string text = rng() % 4 == 0 ? (rng() % 2 ? "-" : "+") : "";
  const int digits = 1 + static_cast<int>(rng() % 22);
  const int point = static_cast<int>(rng() % (digits + 4));  // past the end: no point
  for (int i = 0; i < digits; ++i) {
    if (i == point) text += '.';
    // Zeros often, to make leading and trailing runs.
    text += static_cast<char>('0' + (rng() % 3 == 0 ? 0 : rng() % 10));
  }
  if (point == digits) text += '.';
  return text;
}

TEST(DecimalGrid, AgreesWithTheExactModel) {
  std::mt19937_64 rng(17);
  const DecimalStep steps[] = {{1, 0}, {1, 2}, {5, 1}, {25, 0}, {1, 8}, {125, 3}};
  const Rounding roundings[] = {Rounding::kExact, Rounding::kHalfEven, Rounding::kFloor,
                                Rounding::kCeil};
  for (int i = 0; i < 200000; ++i) {
    const std::string text = random_text(rng);
    const DecimalStep step = steps[rng() % std::size(steps)];
    const Rounding rounding = roundings[rng() % std::size(roundings)];
    std::int64_t got = 0;
    const DecimalFault fault = DecimalGrid(step, rounding).convert(text, &got);
    const std::optional<std::int64_t> want = model(text, step, rounding);
    ASSERT_EQ(fault == DecimalFault::kNone, want.has_value())
        << text << " " << step.units << "e-" << step.decimals;
    if (want) {
      ASSERT_EQ(got, *want) << text << " " << step.units << "e-" << step.decimals;
    }
  }
}

}  // namespace
}  // namespace tm_data
