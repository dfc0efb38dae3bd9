// Exact decimal text to integers on a grid: a price to ticks, a quantity to
// lots, a time to nanoseconds. The text is read as the exact decimal it spells
// and divided by the grid step exactly; no binary floating point is involved.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>

namespace tm_data {

// How a value between two grid points becomes one. The values cross the Python
// boundary by name ("half_even", "floor", "ceil").
enum class Rounding : std::uint8_t {
  kExact = 0,     // a value off the grid is an error
  kHalfEven = 1,  // to the nearest point, ties to the even multiple
  kFloor = 2,     // towards negative infinity
  kCeil = 3,      // towards positive infinity
};

// Why a text is not a value on the grid.
enum class DecimalFault : std::uint8_t {
  kNone = 0,
  kEmpty = 1,
  kGarbage = 2,   // not a plain decimal number
  kExponent = 3,  // scientific notation
  kOverflow = 4,  // beyond the signed 64-bit range on the grid
  kOffGrid = 5,   // between two grid points, under Rounding::kExact
};

// The fixed text of a fault, e.g. "scientific notation is not accepted".
std::string_view fault_text(DecimalFault fault);

// A positive grid step, units / 10^decimals, read from decimal text such as
// "0.1", "0.001", "25" or "0.50".
struct DecimalStep {
  std::uint64_t units = 1;
  int decimals = 0;
};

// The step `text` spells, or nothing when it is not a positive plain decimal
// with at most 18 decimals and 18 significant digits.
[[nodiscard]] std::optional<DecimalStep> parse_step(std::string_view text);

// Converts decimal text to whole multiples of one step.
class DecimalGrid {
 public:
  DecimalGrid(DecimalStep step, Rounding rounding) : step_(step), rounding_(rounding) {}

  // Stores in *out the number of steps `text` spells: an optional sign, digits
  // with an optional decimal point, at least one digit.
  [[nodiscard]] DecimalFault convert(std::string_view text, std::int64_t* out) const {
    if (step_.units == 1 && convert_plain(text, out)) return DecimalFault::kNone;
    return convert_any(text, out);
  }

 private:
  // The common case in one pass, inlined into the caller's loop, on a step of
  // one unit of its last decimal: [+-]digits[.digits] with at most
  // step_.decimals decimals, at most 19 digits once scaled, and a magnitude up
  // to 2^63 - 1. Such a value is on the grid under every rounding. False for
  // anything else, which convert_any() reads in full; where both read a text,
  // they give the same value.
  bool convert_plain(std::string_view text, std::int64_t* out) const;
  DecimalFault convert_any(std::string_view text, std::int64_t* out) const;

  DecimalStep step_;
  Rounding rounding_;
};

// 10^i for i up to 19, the most a scaled plain value's digits span.
inline constexpr std::uint64_t kPowersOfTen[20] = {1,
                                                   10,
                                                   100,
                                                   1'000,
                                                   10'000,
                                                   100'000,
                                                   1'000'000,
                                                   10'000'000,
                                                   100'000'000,
                                                   1'000'000'000,
                                                   10'000'000'000,
                                                   100'000'000'000,
                                                   1'000'000'000'000,
                                                   10'000'000'000'000,
                                                   100'000'000'000'000,
                                                   1'000'000'000'000'000,
                                                   10'000'000'000'000'000,
                                                   100'000'000'000'000'000,
                                                   1'000'000'000'000'000'000,
                                                   10'000'000'000'000'000'000u};

// Whether the eight bytes at `p` are all ASCII digits, and if so their value.
inline bool eight_digits(const char* p, std::uint64_t* value) {
  if constexpr (std::endian::native != std::endian::little) return false;
  std::uint64_t v;
  std::memcpy(&v, p, 8);
  // Each byte 0x30..0x39: its high nibble is 3, and adding 6 keeps it 3.
  constexpr std::uint64_t kHigh = 0xF0F0F0F0F0F0F0F0u;
  if (((v & kHigh) | (((v + 0x0606060606060606u) & kHigh) >> 4)) != 0x3333333333333333u) {
    return false;
  }
  v -= 0x3030303030303030u;
  v = v * 10 + (v >> 8);  // pairs of digits in every other byte
  *value = (((v & 0x000000FF000000FFu) * 0x000F424000000064u) +
            (((v >> 16) & 0x000000FF000000FFu) * 0x0000271000000001u)) >>
           32;
  return true;
}

inline bool DecimalGrid::convert_plain(std::string_view text, std::int64_t* out) const {
  const char* p = text.data();
  const char* const end = p + text.size();
  const bool negative = p != end && *p == '-';
  if (p != end && (*p == '+' || *p == '-')) ++p;
  const char* const first = p;
  const char* point = end;
  std::uint64_t value = 0;
  // Whole groups of eight digits at a time (a time field's leading digits,
  // say); the loop below takes the rest, a point included. A value that wraps
  // here has over 19 digits and is refused below, as the loop's would be.
  for (std::uint64_t eight = 0; end - p >= 8 && eight_digits(p, &eight); p += 8) {
    value = value * 100'000'000 + eight;
  }
  for (; p != end; ++p) {
    const auto digit = static_cast<unsigned>(*p - '0');
    if (digit < 10) {
      value = value * 10 + digit;
    } else if (*p == '.' && point == end) {
      point = p;
    } else {
      return false;
    }
  }
  const auto digits = static_cast<int>(end - first) - (point != end ? 1 : 0);
  const int decimals = point != end ? static_cast<int>(end - point) - 1 : 0;
  // At 19 digits or fewer, scaled, the value stays under 10^19 < 2^64.
  if (digits == 0 || decimals > step_.decimals || digits + (step_.decimals - decimals) > 19) {
    return false;
  }
  value *= kPowersOfTen[step_.decimals - decimals];
  if (value > static_cast<std::uint64_t>(INT64_MAX)) return false;
  *out = negative ? -static_cast<std::int64_t>(value) : static_cast<std::int64_t>(value);
  return true;
}

}  // namespace tm_data
