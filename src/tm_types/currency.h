// Currencies and the account's per-currency balances. A Currency is an 8-byte
// ASCII code padded with zero bytes; codes order by their bytes compared as
// unsigned, left to right, which is the sort key of Balances.
#pragma once

#include <array>
#include <cstdint>
#include <string_view>
#include <utility>
#include <vector>

#include "tm_types/fixed.h"

namespace tm_types {

struct Currency {
  std::array<std::uint8_t, 8> code{};

  // REQUIRES: text is at most 8 ASCII bytes.
  static constexpr Currency from(std::string_view text) {
    Currency c;
    for (std::size_t i = 0; i < text.size() && i < 8; ++i)
      c.code[i] = static_cast<std::uint8_t>(text[i]);
    return c;
  }
  friend constexpr auto operator<=>(const Currency&, const Currency&) = default;
};

inline constexpr Currency USDT = Currency::from("USDT");

// A sorted list of (currency, amount): ascending currency, each at most once.
// Entries are never removed; an entry may hold 0.
class Balances {
 public:
  Balances() = default;
  // A list holding exactly one entry.
  static Balances of(Currency currency, Cash amount);

  // Adds amount (saturating) to the currency's entry, inserting the entry at its
  // sorted place when absent (even for an amount of 0).
  void add(Currency currency, Cash amount);
  // The stored amount, or 0 when the currency has no entry.
  [[nodiscard]] Cash get(Currency currency) const;

  const std::vector<std::pair<Currency, Cash>>& entries() const { return entries_; }

 private:
  std::vector<std::pair<Currency, Cash>> entries_;
};

}  // namespace tm_types
