#include "tm_data/csv_layout.h"

#include <algorithm>
#include <array>

namespace tm_data {
namespace {

constexpr std::array<std::string_view, 4> kUnitNames = {"s", "ms", "us", "ns"};

// A built-in layout whose roles are the named fields among `names`.
LayoutSpec builtin(std::string name, FileKind kind, std::vector<std::string> names,
                   std::array<std::string_view, kRoles> roles, std::optional<TimeUnit> unit) {
  LayoutSpec spec{std::move(name), kind, {}, std::move(names), HeaderMode::kIfPresent, unit};
  for (std::size_t r = 0; r < kRoles; ++r) {
    if (roles[r].empty()) continue;
    const auto at = std::find(spec.names.begin(), spec.names.end(), roles[r]);
    spec.columns[r].index = static_cast<int>(at - spec.names.begin());
  }
  return spec;
}

const std::vector<LayoutSpec>& layouts() {
  // Roles in Role order: time, local time, price, qty, bid, ask.
  static const std::vector<LayoutSpec> kLayouts = {
      builtin("trades", FileKind::kTrades,
              {"id", "price", "qty", "quote_qty", "time", "is_buyer_maker"},
              {"time", "", "price", "qty", "", ""}, std::nullopt),
      builtin("best_bid_ask", FileKind::kQuotes,
              {"update_id", "best_bid_price", "best_bid_qty", "best_ask_price", "best_ask_qty",
               "transaction_time", "event_time"},
              {"transaction_time", "event_time", "", "", "best_bid_price", "best_ask_price"},
              std::nullopt),
      builtin(
          "normalised_trades", FileKind::kTrades,
          {"exchange", "symbol", "timestamp", "local_timestamp", "id", "side", "price", "amount"},
          {"timestamp", "local_timestamp", "price", "amount", "", ""}, TimeUnit::kMicros),
      builtin("normalised_quotes", FileKind::kQuotes,
              {"exchange", "symbol", "timestamp", "local_timestamp", "ask_amount", "ask_price",
               "bid_price", "bid_amount"},
              {"timestamp", "local_timestamp", "", "", "bid_price", "ask_price"},
              TimeUnit::kMicros),
  };
  return kLayouts;
}

bool spells(const LayoutSpec& spec, std::span<const std::string_view> line) {
  return std::equal(spec.names.begin(), spec.names.end(), line.begin(), line.end());
}

}  // namespace

std::string_view unit_name(TimeUnit unit) { return kUnitNames[static_cast<std::size_t>(unit)]; }

std::optional<TimeUnit> unit_from_name(std::string_view name) {
  const auto at = std::find(kUnitNames.begin(), kUnitNames.end(), name);
  if (at == kUnitNames.end()) return std::nullopt;
  return static_cast<TimeUnit>(at - kUnitNames.begin());
}

int unit_decimals(TimeUnit unit) { return 9 - 3 * static_cast<int>(unit); }

TimeUnit unit_from_magnitude(std::uint64_t whole) {
  if (whole < 100'000'000'000ULL) return TimeUnit::kSeconds;
  if (whole < 100'000'000'000'000ULL) return TimeUnit::kMillis;
  if (whole < 100'000'000'000'000'000ULL) return TimeUnit::kMicros;
  return TimeUnit::kNanos;
}

std::span<const LayoutSpec> builtin_layouts() { return layouts(); }

const LayoutSpec* find_builtin_layout(std::string_view name) {
  for (const LayoutSpec& spec : layouts()) {
    if (spec.name == name) return &spec;
  }
  return nullptr;
}

const LayoutSpec* detect_layout(std::span<const std::string_view> first_line) {
  for (const LayoutSpec& spec : layouts()) {
    if (spells(spec, first_line)) return &spec;
  }
  // Only the first two layouts are published without a header.
  for (const LayoutSpec& spec : std::span(layouts()).first(2)) {
    if (spec.names.size() == first_line.size()) return &spec;
  }
  return nullptr;
}

std::variant<Layout, std::string> resolve_layout(const LayoutSpec& spec,
                                                 std::span<const std::string_view> first_line) {
  Layout layout;
  layout.kind = spec.kind;
  const bool header = spec.header == HeaderMode::kRequired ||
                      (spec.header == HeaderMode::kIfPresent && spells(spec, first_line));
  layout.skip_first_line = header;
  layout.fields = spec.names.empty() ? first_line.size() : spec.names.size();
  for (std::size_t r = 0; r < kRoles; ++r) {
    const ColumnRef& ref = spec.columns[r];
    int index = ref.index;
    if (index < 0 && !ref.name.empty()) {
      if (!header) return "column '" + ref.name + "' is named but the file has no header";
      const auto at = std::find(first_line.begin(), first_line.end(), ref.name);
      if (at == first_line.end()) return "no column named '" + ref.name + "' in the header";
      index = static_cast<int>(at - first_line.begin());
    }
    if (index >= static_cast<int>(layout.fields)) {
      return "column " + std::to_string(index) + " is past the " + std::to_string(layout.fields) +
             " fields of a line";
    }
    layout.column[r] = index;
  }
  return layout;
}

}  // namespace tm_data
