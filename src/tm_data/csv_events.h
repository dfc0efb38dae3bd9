// One CSV file read as a stream of trades or of quotes: its first line places
// the layout, and CsvRowParser converts every data line after it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <variant>

#include "tm_data/csv_layout.h"
#include "tm_data/csv_lines.h"
#include "tm_data/csv_row_parser.h"

namespace tm_data {

class CsvFileEvents;
using CsvFileResult = std::variant<CsvFileEvents, CsvError>;

class CsvFileEvents {
 public:
  // Opens `path` and places `spec` on its first line, or the built-in layout
  // the first line shows when `spec` is null. `unit` overrides the layout's
  // time unit; without either the unit is read from the first time's
  // magnitude. `grids` must outlive the stream.
  [[nodiscard]] static CsvFileResult open(const std::string& path, const LayoutSpec* spec,
                                          std::optional<TimeUnit> unit, const CsvGrids* grids);

  // The next event; false at the end or at an error, which error() then holds.
  [[nodiscard]] bool next(CsvEvent* event);
  const std::optional<CsvError>& error() const { return error_; }

  const std::string& path() const { return parser_.path(); }
  FileKind kind() const { return parser_.kind(); }
  const std::string& layout_name() const { return layout_name_; }
  const CsvRowParser& parser() const { return parser_; }
  const CsvLines& lines() const { return lines_; }
  std::uint64_t consumed() const { return lines_.consumed(); }

 private:
  CsvFileEvents(CsvLines lines, std::string layout_name, CsvRowParser parser)
      : lines_(std::move(lines)),
        layout_name_(std::move(layout_name)),
        parser_(std::move(parser)) {}

  CsvLines lines_;
  std::string layout_name_;
  CsvRowParser parser_;
  std::optional<std::string> first_data_;  // the first line, when it is data
  CsvRow row_;                             // the line being parsed and its commas
  std::optional<CsvError> error_;
};

}  // namespace tm_data
