// The columns of a CSV file of trades or of best bid/ask quotes: the built-in
// layouts of common public dumps, mappings by header name or index, and their
// resolution against a file's first line into field positions.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace tm_data {

enum class FileKind : std::uint8_t { kTrades = 0, kQuotes = 1 };

// What a column holds. Trades need time, price and qty; quotes need time, bid
// and ask. Without a local time the tick's local_ts is its exchange time.
enum class Role : std::uint8_t {
  kTime = 0,
  kLocalTime = 1,
  kPrice = 2,
  kQty = 3,
  kBid = 4,
  kAsk = 5
};
inline constexpr std::size_t kRoles = 6;

// The unit of a time column; the names are "s", "ms", "us", "ns".
enum class TimeUnit : std::uint8_t { kSeconds = 0, kMillis = 1, kMicros = 2, kNanos = 3 };
std::string_view unit_name(TimeUnit unit);
std::optional<TimeUnit> unit_from_name(std::string_view name);
// Decimal digits of a nanosecond count below one unit: 9 for seconds, 0 for nanoseconds.
int unit_decimals(TimeUnit unit);
// The unit a time of this many whole units is in, read from its magnitude:
// below 10^11 seconds (until the year 5138), below 10^14 milliseconds, below
// 10^17 microseconds, nanoseconds above.
TimeUnit unit_from_magnitude(std::uint64_t whole);

// A column by 0-based index or by header name; neither when the role is unused.
struct ColumnRef {
  int index = -1;
  std::string name;
  bool used() const { return index >= 0 || !name.empty(); }
};

enum class HeaderMode : std::uint8_t {
  kNone = 0,       // every line is data
  kRequired = 1,   // the first line names the columns
  kIfPresent = 2,  // the first line is skipped when it equals the layout's names
};

struct LayoutSpec {
  std::string name;  // a built-in's name, or "columns" for a mapping
  FileKind kind = FileKind::kTrades;
  std::array<ColumnRef, kRoles> columns;
  std::vector<std::string> names;  // a built-in's field names in order; empty for a mapping
  HeaderMode header = HeaderMode::kNone;
  std::optional<TimeUnit> unit;  // a unit the layout fixes
};

// The built-in layouts: "trades", "best_bid_ask", "normalised_trades",
// "normalised_quotes".
std::span<const LayoutSpec> builtin_layouts();
const LayoutSpec* find_builtin_layout(std::string_view name);
// The built-in layout whose names the first line spells, else the headerless
// built-in with that many fields; nullptr when neither fits.
const LayoutSpec* detect_layout(std::span<const std::string_view> first_line);

// A layout placed on the fields of one file's lines.
struct Layout {
  FileKind kind = FileKind::kTrades;
  std::array<int, kRoles> column{};  // field index per role, -1 when unused
  std::size_t fields = 0;            // fields on every data line
  bool skip_first_line = false;
};

// Places `spec` on a file whose first line splits into `first_line`; the error
// is a message without a location (every failure concerns line 1).
std::variant<Layout, std::string> resolve_layout(const LayoutSpec& spec,
                                                 std::span<const std::string_view> first_line);

}  // namespace tm_data
