#include "tm_data/csv_row_parser.h"

#include <array>
#include <utility>

namespace tm_data {
namespace {

constexpr std::array<std::string_view, kRoles> kRoleNames = {"time",     "local time", "price",
                                                             "quantity", "bid",        "ask"};

std::string_view role_name(Role role) { return kRoleNames[static_cast<std::size_t>(role)]; }

// The whole units of a time field (its digits before any point), saturated;
// 0 when there are none.
std::uint64_t whole_part(std::string_view field) {
  std::uint64_t whole = 0;
  for (const char c : field) {
    if (c == '.') break;
    if (c < '0' || c > '9') continue;
    if (__builtin_mul_overflow(whole, 10u, &whole) ||
        __builtin_add_overflow(whole, static_cast<std::uint64_t>(c - '0'), &whole)) {
      return UINT64_MAX;
    }
  }
  return whole;
}

// "{role} '{field}' is not {grid}" for a value off the grid, "{role}
// '{field}' is negative" for a converted negative value, else "{role}
// '{field}': {fault}". Built by appending: GCC 12 warns falsely about chains
// of + on short strings.
std::string about(Role role, std::string_view field, DecimalFault fault, std::string_view grid) {
  std::string text(role_name(role));
  text.append(" '").append(field).append("'");
  if (fault == DecimalFault::kOffGrid) return text.append(" is not ").append(grid);
  if (fault == DecimalFault::kNone) return text.append(" is negative");
  return text.append(": ").append(fault_text(fault));
}

}  // namespace

std::string CsvError::message() const {
  std::string where = path;
  if (line > 0) where.append(":").append(std::to_string(line));
  if (line > 0 && column > 0) where.append(":").append(std::to_string(column));
  if (where.empty()) return text;
  return where.append(": ").append(text);
}

CsvRowParser::CsvRowParser(std::string path, Layout layout, std::optional<TimeUnit> unit,
                           const CsvGrids* grids)
    : path_(std::move(path)),
      layout_(layout),
      unit_(unit),
      grids_(grids),
      wide_(layout_.fields >= CsvRow::kMaxCommas) {
  if (unit_) time_grid_.emplace(DecimalStep{1, unit_decimals(*unit_)}, Rounding::kExact);
}

bool CsvRowParser::parse(const CsvRow& row, std::uint64_t line_number, CsvEvent* event) {
  const std::string_view line = row.line;
  row_ = &row;
  line_ = line_number;
  std::size_t fields = row.fields;
  if (wide_) {
    split_fields(line, &fields_);
    fields = fields_.size();
  }
  if (fields != layout_.fields) {
    // At the first surplus field, or just past the end of a short line.
    const std::string_view where = fields > layout_.fields
                                       ? field(layout_.fields)
                                       : std::string_view(line.data() + line.size(), 0);
    return fail(where, "expected " + std::to_string(layout_.fields) + " fields, found " +
                           std::to_string(fields));
  }
  const auto& col = layout_.column;
  const auto at = [&](Role role) { return field(col[static_cast<std::size_t>(role)]); };
  event->line = line_number;
  if (!parse_time(at(Role::kTime), Role::kTime, &event->time)) return false;
  event->local = event->time;
  if (col[static_cast<std::size_t>(Role::kLocalTime)] >= 0 &&
      !parse_time(at(Role::kLocalTime), Role::kLocalTime, &event->local)) {
    return false;
  }
  if (event->time < previous_) {
    return fail(at(Role::kTime), "time goes backwards: previous " + std::to_string(previous_) +
                                     " ns, found " + std::to_string(event->time) + " ns");
  }
  previous_ = event->time;
  ++rows_;
  if (layout_.kind == FileKind::kTrades) {
    if (!convert(grids_->price, Role::kPrice, at(Role::kPrice), &event->a) ||
        !convert(grids_->qty, Role::kQty, at(Role::kQty), &event->b)) {
      return false;
    }
    if (event->a <= 0) return fail(at(Role::kPrice), "price must be above zero");
    return true;
  }
  return convert(grids_->price, Role::kBid, at(Role::kBid), &event->a) &&
         convert(grids_->price, Role::kAsk, at(Role::kAsk), &event->b);
}

bool CsvRowParser::parse_time(std::string_view field, Role role, tm_types::Nanos* out) {
  if (!time_grid_) {
    unit_ = unit_from_magnitude(whole_part(field));
    unit_detected_ = true;
    time_grid_.emplace(DecimalStep{1, unit_decimals(*unit_)}, Rounding::kExact);
  }
  const DecimalFault fault = time_grid_->convert(field, out);
  if (fault == DecimalFault::kNone) return true;
  return fail(field, about(role, field, fault, "a whole number of nanoseconds"));
}

bool CsvRowParser::convert(const DecimalGrid& grid, Role role, std::string_view field,
                           std::int64_t* out) {
  const DecimalFault fault = grid.convert(field, out);
  if (fault == DecimalFault::kNone && *out >= 0) return true;
  std::string grid_text(role == Role::kQty ? "a multiple of the lot size "
                                           : "a multiple of the tick size ");
  grid_text.append(role == Role::kQty ? grids_->lot_size : grids_->tick_size);
  return fail(field, about(role, field, fault, grid_text));
}

// The column is that of the field's first character.
bool CsvRowParser::fail(std::string_view field, std::string text) {
  std::uint64_t column = 0;
  const std::string_view line = row_->line;
  if (field.data() != nullptr && field.data() >= line.data() &&
      field.data() <= line.data() + line.size()) {
    column = static_cast<std::uint64_t>(field.data() - line.data()) + 1;
  }
  error_ = CsvError{path_, line_, column, std::move(text)};
  return false;
}

}  // namespace tm_data
