#include "tm_data/csv_decimal.h"

#include <algorithm>
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

// A decimal read at a fixed number of decimals k: the value is
// (scaled + f) / 10^k with 0 <= f < 1, where `guard` is the digit of f just
// after position k and `sticky` says whether any digit after it is nonzero.
struct Scaled {
  u128 scaled = 0;
  int guard = 0;
  bool sticky = false;
  bool negative = false;
};

// scaled * 10 + digit, in 64 bits while it fits; false past 128 bits.
bool push_digit(u128* scaled, unsigned digit) {
  constexpr u128 kLimit = (~u128{0} - 9) / 10;
  if (*scaled > kLimit) return false;
  *scaled = *scaled * 10 + digit;
  return true;
}

// Appends the digits from p on to *value (wrapping past 19 digits) and
// returns the first position that is not a digit.
const char* read_digits(const char* p, const char* end, std::uint64_t* value) {
  std::uint64_t v = *value;
  for (; p != end && is_digit(*p); ++p) v = v * 10 + static_cast<unsigned>(*p - '0');
  *value = v;
  return p;
}

// The common case in one pass: [+-]digits[.digits] with at most `k` digits
// after the point and at most 19 in all, even once scaled to `k` decimals.
// False for anything else, which parse() then reads in full; where both read
// a text, they give the same value.
bool parse_plain(std::string_view text, int k, Scaled* out) {
  const char* p = text.data();
  const char* const end = p + text.size();
  const bool negative = p != end && *p == '-';
  if (p != end && (*p == '+' || *p == '-')) ++p;
  std::uint64_t value = 0;  // wraps past 19 digits, which are refused below
  const char* const first = p;
  p = read_digits(p, end, &value);
  const char* point = p;
  if (p != end) {
    if (*p != '.') return false;
    p = read_digits(p + 1, end, &value);
    if (p != end) return false;
  }
  const auto digits = static_cast<int>(p - first) - (point != p ? 1 : 0);
  const int decimals = point != p ? static_cast<int>(p - point) - 1 : 0;
  if (digits == 0 || decimals > k || digits + (k - decimals) > 19) return false;
  out->scaled = value * kPow10[static_cast<std::size_t>(k - decimals)];
  out->negative = negative;
  return true;
}

// Reads `text` as [+-]digits[.digits] (either digit run may be empty, not
// both) at `k` decimals.
DecimalFault parse(std::string_view text, int k, Scaled* out) {
  if (parse_plain(text, k, out)) return DecimalFault::kNone;
  if (text.empty()) return DecimalFault::kEmpty;
  std::size_t i = 0;
  if (text[0] == '+' || text[0] == '-') {
    out->negative = text[0] == '-';
    i = 1;
  }
  // Up to 19 digits accumulate in 64 bits, the fast path of every real price.
  std::uint64_t fast = 0;
  int fast_digits = 0;
  u128 wide = 0;
  bool is_wide = false;
  int digits = 0;
  int position = -1;  // digits after the point so far; -1 before the point
  for (; i < text.size(); ++i) {
    const char c = text[i];
    if (is_digit(c)) {
      ++digits;
      const auto d = static_cast<unsigned>(c - '0');
      if (position >= 0 && ++position > k) {
        if (position == k + 1) {
          out->guard = static_cast<int>(d);
        } else {
          out->sticky |= d != 0;
        }
        continue;
      }
      if (!is_wide && fast_digits < 19) {
        fast = fast * 10 + d;
        ++fast_digits;
        continue;
      }
      if (!is_wide) wide = fast, is_wide = true;
      if (!push_digit(&wide, d)) return DecimalFault::kOverflow;
    } else if (c == '.' && position < 0) {
      position = 0;
    } else if ((c == 'e' || c == 'E') && digits > 0) {
      return DecimalFault::kExponent;
    } else {
      return DecimalFault::kGarbage;
    }
  }
  if (digits == 0) return DecimalFault::kGarbage;
  const int missing = k - (position < 0 ? 0 : std::min(position, k));
  if (!is_wide && fast_digits + missing <= 19) {
    out->scaled = fast * kPow10[missing];
    return DecimalFault::kNone;
  }
  u128 scaled = is_wide ? wide : u128{fast};
  for (int p = k - missing; p < k; ++p) {
    if (!push_digit(&scaled, 0)) return DecimalFault::kOverflow;
  }
  out->scaled = scaled;
  return DecimalFault::kNone;
}

// Whether 2 * (r + f) is above, at or below u, as -1, 0, 1 for below, at,
// above; f as Scaled describes it.
int compare_half(u128 r, std::uint64_t u, int guard, bool sticky) {
  const u128 twice = 2 * r;
  const bool fraction = guard != 0 || sticky;
  if (twice > u) return 1;
  if (twice == u) return fraction ? 1 : 0;
  if (twice + 1 < u) return -1;
  // 2r == u - 1: the fraction decides against one half.
  if (guard > 5 || (guard == 5 && sticky)) return 1;
  return guard == 5 ? 0 : -1;
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
  constexpr int kMaxDecimals = 18;
  Scaled s;
  if (parse(text, kMaxDecimals, &s) != DecimalFault::kNone || s.negative || s.guard != 0 ||
      s.sticky || s.scaled == 0) {
    return std::nullopt;
  }
  DecimalStep step{0, kMaxDecimals};
  while (step.decimals > 0 && s.scaled % 10 == 0) {
    s.scaled /= 10;
    --step.decimals;
  }
  if (s.scaled >= 1'000'000'000'000'000'000ULL) return std::nullopt;
  step.units = static_cast<std::uint64_t>(s.scaled);
  return step;
}

DecimalFault DecimalGrid::convert_any(std::string_view text, std::int64_t* out) const {
  Scaled s;
  if (const DecimalFault fault = parse(text, step_.decimals, &s); fault != DecimalFault::kNone) {
    return fault;
  }
  // value / step = (scaled + f) / units: the quotient of scaled, and a
  // remainder r + f below one step.
  const std::uint64_t u = step_.units;
  u128 q, r;
  if (u == 1) {
    q = s.scaled;
    r = 0;
  } else if ((s.scaled >> 64) == 0) {  // without a 128-bit division
    const auto n = static_cast<std::uint64_t>(s.scaled);
    q = n / u;
    r = n % u;
  } else {
    q = s.scaled / u;
    r = s.scaled % u;
  }
  if (r != 0 || s.guard != 0 || s.sticky) {
    switch (rounding_) {
      case Rounding::kExact:
        return DecimalFault::kOffGrid;
      case Rounding::kHalfEven: {
        const int half = compare_half(r, u, s.guard, s.sticky);
        if (half > 0 || (half == 0 && (q & 1) != 0)) ++q;
        break;
      }
      case Rounding::kFloor:  // a larger magnitude is lower for a negative value
        if (s.negative) ++q;
        break;
      case Rounding::kCeil:
        if (!s.negative) ++q;
        break;
    }
  }
  if (q > static_cast<u128>(std::numeric_limits<std::int64_t>::max())) {
    return DecimalFault::kOverflow;
  }
  *out = s.negative ? -static_cast<std::int64_t>(q) : static_cast<std::int64_t>(q);
  return DecimalFault::kNone;
}

}  // namespace tm_data
