#include "tm_data/csv_events.h"

#include <utility>
#include <vector>

namespace tm_data {

CsvFileResult CsvFileEvents::open(const std::string& path, const LayoutSpec* spec,
                                  std::optional<TimeUnit> unit, const CsvGrids* grids) {
  CsvLinesResult opened = CsvLines::open(path);
  if (auto* text = std::get_if<std::string>(&opened)) return CsvError{path, 0, 0, *text};
  CsvLines lines = std::get<CsvLines>(std::move(opened));
  std::string_view first;
  if (!lines.next(&first)) {
    if (!lines.error().empty()) return CsvError{path, 0, 0, lines.error()};
    return CsvError{path, 0, 0, "the file is empty"};
  }
  // A UTF-8 byte order mark, which some tools write, is not part of the first field.
  if (first.starts_with("\xEF\xBB\xBF")) first.remove_prefix(3);
  std::vector<std::string_view> fields;
  split_fields(first, &fields);
  if (spec == nullptr) spec = detect_layout(fields);
  if (spec == nullptr) {
    return CsvError{path, 1, 0,
                    "the first line matches no built-in layout; give the layout or the columns"};
  }
  std::variant<Layout, std::string> placed = resolve_layout(*spec, fields);
  if (auto* text = std::get_if<std::string>(&placed)) return CsvError{path, 1, 0, *text};
  const Layout layout = std::get<Layout>(placed);
  std::optional<std::string> first_data;
  if (!layout.skip_first_line) first_data.emplace(first);
  CsvFileEvents events(std::move(lines), spec->name,
                       CsvRowParser(path, layout, unit ? unit : spec->unit, grids));
  events.first_data_ = std::move(first_data);
  return events;
}

bool CsvFileEvents::next(CsvEvent* event) {
  if (error_) return false;
  if (first_data_) {
    // The first line was read when the layout was placed.
    const std::string text = *std::move(first_data_);
    first_data_.reset();
    scan_row(text, &row_);
    if (parser_.parse(row_, 1, event)) return true;
    error_ = parser_.error();
    return false;
  }
  if (!lines_.next(&row_)) {
    if (!lines_.error().empty()) error_ = CsvError{path(), 0, 0, lines_.error()};
    return false;
  }
  if (parser_.parse(row_, lines_.number(), event)) return true;
  error_ = parser_.error();
  return false;
}

}  // namespace tm_data
