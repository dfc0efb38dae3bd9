#include "tm_data/csv_decimal.h"

#include <array>
#include <limits>

namespace tm_data {
namespace {

using u128 = unsigned __int128;

constexpr std::array<std::uint64_t, 20> kPow10 = [] {
  std::array<std::uint64_t, 20> p{};
  p[0] = 1;
  for (std::size_t i = 1; i < p.size(); ++i) p[i] = p[i - 1] * 10;
  return p;
}();

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// The digits of a decimal: magnitude / 10^decimals, with its sign.
struct Parsed {
  std::uint64_t magnitude = 0;
  int decimals = 0;
  bool negative = false;
};

// Reads `text` as [+-]digits[.digits] (either digit run may be empty, not
// both). Trailing zeros after the point are dropped, so "1.5000" costs no
// more range than "1.5".
DecimalFault parse(std::string_view text, Parsed* out) {
  if (text.empty()) return DecimalFault::kEmpty;
  std::size_t i = 0;
  if (text[0] == '+' || text[0] == '-') {
    out->negative = text[0] == '-';
    i = 1;
  }
  std::uint64_t m = 0;
  int digits = 0;
  int decimals = 0;
  int pending_zeros = 0;  // zeros after the point not yet folded into m
  bool point = false;
  for (; i < text.size(); ++i) {
    const char c = text[i];
    if (is_digit(c)) {
      ++digits;
      if (point && c == '0') {
        ++pending_zeros;
        continue;
      }
      for (int z = 0; z <= pending_zeros; ++z) {
        if (__builtin_mul_overflow(m, 10u, &m)) return DecimalFault::kOverflow;
      }
      if (__builtin_add_overflow(m, static_cast<std::uint64_t>(c - '0'), &m)) {
        return DecimalFault::kOverflow;
      }
      if (point) decimals += pending_zeros + 1;
      pending_zeros = 0;
    } else if (c == '.' && !point) {
      point = true;
    } else if ((c == 'e' || c == 'E') && digits > 0) {
      return DecimalFault::kExponent;
    } else {
      return DecimalFault::kGarbage;
    }
  }
  if (digits == 0) return DecimalFault::kGarbage;
  out->magnitude = m;
  out->decimals = decimals;
  return DecimalFault::kNone;
}

// q = n / d rounded as asked for a value of the given sign; false when the
// value is off the grid and must not be rounded.
bool divide(u128 n, u128 d, bool negative, Rounding rounding, u128* q) {
  u128 r;
  if ((n >> 64) == 0 && (d >> 64) == 0) {  // the common case, without a 128-bit division
    const auto n64 = static_cast<std::uint64_t>(n), d64 = static_cast<std::uint64_t>(d);
    *q = n64 / d64;
    r = n64 % d64;
  } else {
    *q = n / d;
    r = n % d;
  }
  if (r == 0) return true;
  switch (rounding) {
    case Rounding::kExact:
      return false;
    case Rounding::kHalfEven:
      if (2 * r > d || (2 * r == d && (*q & 1) != 0)) ++*q;
      return true;
    case Rounding::kFloor:  // a larger magnitude is lower for a negative value
      if (negative) ++*q;
      return true;
    case Rounding::kCeil:
      if (!negative) ++*q;
      return true;
  }
  return false;
}

}  // namespace

std::string_view fault_text(DecimalFault fault) {
  constexpr std::array<std::string_view, 6> kTexts = {
      "no fault",  "empty field",     "not a decimal number", "scientific notation is not accepted",
      "too large", "not on the grid",
  };
  return kTexts[static_cast<std::size_t>(fault)];
}

std::optional<DecimalStep> parse_step(std::string_view text) {
  Parsed p;
  if (parse(text, &p) != DecimalFault::kNone || p.negative || p.magnitude == 0 || p.decimals > 18 ||
      p.magnitude >= kPow10[18]) {
    return std::nullopt;
  }
  return DecimalStep{p.magnitude, p.decimals};
}

DecimalFault DecimalGrid::convert(std::string_view text, std::int64_t* out) const {
  Parsed p;
  if (const DecimalFault fault = parse(text, &p); fault != DecimalFault::kNone) return fault;
  // value / step = (m / 10^d) / (u / 10^k) = m * 10^(k-d) / u, or m / (u * 10^(d-k)).
  constexpr std::uint64_t kMax = std::numeric_limits<std::int64_t>::max();
  u128 q;
  if (p.decimals <= step_.decimals) {
    const u128 n = u128{p.magnitude} * kPow10[step_.decimals - p.decimals];
    if (step_.units == 1) {
      q = n;
    } else if (!divide(n, step_.units, p.negative, rounding_, &q)) {
      return DecimalFault::kOffGrid;
    }
  } else {
    const int shift = p.decimals - step_.decimals;
    // Past 19 digits the divisor exceeds 10^19 > 2 * m: the quotient is 0
    // with a remainder below half the divisor.
    const u128 d = shift <= 19 ? u128{step_.units} * kPow10[shift] : u128{0};
    if (d != 0) {
      if (!divide(p.magnitude, d, p.negative, rounding_, &q)) return DecimalFault::kOffGrid;
    } else {
      q = 0;
      if (p.magnitude != 0) {
        if (rounding_ == Rounding::kExact) return DecimalFault::kOffGrid;
        if ((rounding_ == Rounding::kFloor && p.negative) ||
            (rounding_ == Rounding::kCeil && !p.negative)) {
          q = 1;
        }
      }
    }
  }
  if (q > kMax) return DecimalFault::kOverflow;
  *out = p.negative ? -static_cast<std::int64_t>(q) : static_cast<std::int64_t>(q);
  return DecimalFault::kNone;
}

}  // namespace tm_data
