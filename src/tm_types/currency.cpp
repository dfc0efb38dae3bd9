#include "tm_types/currency.h"

#include <algorithm>

namespace tm_types {
namespace {

auto lower_bound(const std::vector<std::pair<Currency, Cash>>& entries, Currency currency) {
  return std::lower_bound(entries.begin(), entries.end(), currency,
                          [](const auto& entry, Currency c) { return entry.first < c; });
}

}  // namespace

Balances Balances::of(Currency currency, Cash amount) {
  Balances b;
  b.entries_.emplace_back(currency, amount);
  return b;
}

void Balances::add(Currency currency, Cash amount) {
  auto it = lower_bound(entries_, currency);
  if (it != entries_.end() && it->first == currency) {
    auto& stored = entries_[static_cast<std::size_t>(it - entries_.begin())].second;
    stored = sat_add(stored, amount);
    return;
  }
  entries_.insert(entries_.begin() + (it - entries_.cbegin()), {currency, amount});
}

Cash Balances::get(Currency currency) const {
  // The settlement currency is the common case and usually the only entry.
  if (entries_.size() == 1) return entries_[0].first == currency ? entries_[0].second : 0;
  auto it = lower_bound(entries_, currency);
  return (it != entries_.end() && it->first == currency) ? it->second : 0;
}

}  // namespace tm_types
