#include "tm_data/depth_csv.h"

#include <string_view>
#include <vector>

#include "tm_data/csv_lines.h"

namespace tm_data {
namespace {

constexpr std::size_t kChunk = 8192;
constexpr std::int64_t kNanosPerMicro = 1000;

std::string at_line(std::uint64_t line, std::string_view text) {
  return "line " + std::to_string(line) + ": " + std::string(text);
}

// One line's row without its ids, or the failure text.
std::variant<tm_types::DepthRecord, std::string> parse(const std::vector<std::string_view>& f,
                                                       const DecimalGrid& price,
                                                       const DecimalGrid& size) {
  if (f.size() != 8) return "expected 8 fields, found " + std::to_string(f.size());
  tm_types::DepthRecord row;
  const DecimalGrid micros(DecimalStep{1, 0}, Rounding::kExact);
  if (micros.convert(f[2], &row.exch_ts) != DecimalFault::kNone ||
      __builtin_mul_overflow(row.exch_ts, kNanosPerMicro, &row.exch_ts)) {
    return "timestamp: not a whole number of microseconds: " + std::string(f[2]);
  }
  if (f[4] != "true" && f[4] != "false") return "is_snapshot must be true or false";
  row.kind = f[4] == "true" ? 1 : 0;
  if (f[5] != "bid" && f[5] != "ask") return "side must be bid or ask";
  row.side = f[5] == "bid" ? 0 : 1;
  if (const DecimalFault fault = price.convert(f[6], &row.price); fault != DecimalFault::kNone) {
    return "price: " + std::string(fault_text(fault)) + ": " + std::string(f[6]);
  }
  if (const DecimalFault fault = size.convert(f[7], &row.size); fault != DecimalFault::kNone) {
    return "amount: " + std::string(fault_text(fault)) + ": " + std::string(f[7]);
  }
  return row;
}

}  // namespace

std::variant<std::uint64_t, std::string> import_depth_csv(const std::string& path,
                                                          const DecimalGrid& price,
                                                          const DecimalGrid& size,
                                                          DepthFileWriter& out) {
  CsvLinesResult opened = CsvLines::open(path);
  if (auto* text = std::get_if<std::string>(&opened)) return std::move(*text);
  CsvLines& lines = std::get<CsvLines>(opened);
  std::vector<std::string_view> fields;
  std::vector<tm_types::DepthRecord> chunk;
  std::uint64_t rows = 0;
  std::int64_t id = 0;
  std::optional<std::pair<std::int64_t, std::int64_t>> event;  // (exch_ts, kind) of the last row
  std::string_view line;
  while (lines.next(&line)) {
    if (lines.number() == 1 && line.starts_with("exchange")) continue;
    split_fields(line, &fields);
    auto parsed = parse(fields, price, size);
    if (auto* text = std::get_if<std::string>(&parsed)) return at_line(lines.number(), *text);
    auto row = std::get<tm_types::DepthRecord>(parsed);
    if (event && row.exch_ts < event->first) {
      return at_line(lines.number(), "timestamp goes backwards: previous " +
                                         std::to_string(event->first / kNanosPerMicro) +
                                         ", found " + std::to_string(row.exch_ts / kNanosPerMicro));
    }
    if (!event || event->first != row.exch_ts || event->second != row.kind) ++id;
    event.emplace(row.exch_ts, row.kind);
    row.first_id = row.final_id = id;
    row.prev_id = id - 1;
    chunk.push_back(row);
    if (chunk.size() == kChunk) {
      if (auto error = out.append(chunk)) return at_line(lines.number(), *error);
      rows += chunk.size();
      chunk.clear();
    }
  }
  if (!lines.error().empty()) return lines.error();
  if (auto error = out.append(chunk)) return at_line(lines.number(), *error);
  return rows + chunk.size();
}

}  // namespace tm_data
