// Exact decimal text to integers on a grid: a price to ticks, a quantity to
// lots, a time to nanoseconds. The text is read as the exact decimal it spells
// and divided by the grid step exactly; no binary floating point is involved.
#pragma once

#include <cstdint>
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
  [[nodiscard]] DecimalFault convert(std::string_view text, std::int64_t* out) const;

 private:
  DecimalStep step_;
  Rounding rounding_;
};

}  // namespace tm_data
