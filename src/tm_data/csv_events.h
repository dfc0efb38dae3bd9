// One CSV file read as a stream of trades or of quotes on the price and lot
// grids: every data line checked and converted exactly, times in nanoseconds
// and never going backwards. Failures name the file, line and column.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "tm_data/csv_decimal.h"
#include "tm_data/csv_layout.h"
#include "tm_data/csv_lines.h"
#include "tm_types/time.h"

namespace tm_data {

// Why an import failed, and where: line and column are 1-based, 0 when the
// failure concerns the whole file (or, with an empty path, no file).
struct CsvError {
  std::string path;
  std::uint64_t line = 0;
  std::uint64_t column = 0;
  std::string text;
  // "path:line:column: text", shortened as far as the location is known.
  std::string message() const;
};

// A trade or a quote. Quotes of 0 ticks are empty sides.
struct CsvEvent {
  tm_types::Nanos time = 0;
  tm_types::Nanos local = 0;
  std::int64_t a = 0;  // trades: price in ticks; quotes: bid in ticks
  std::int64_t b = 0;  // trades: quantity in lots; quotes: ask in ticks
  std::uint64_t line = 0;
};

// The grids prices and quantities are converted onto, with the step texts the
// messages quote.
struct CsvGrids {
  DecimalGrid price;
  DecimalGrid qty;
  std::string tick_size;
  std::string lot_size;
};

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

  const std::string& path() const { return path_; }
  FileKind kind() const { return layout_.kind; }
  const std::string& layout_name() const { return layout_name_; }
  // The time unit; known once the first event is read.
  std::optional<TimeUnit> unit() const { return unit_; }
  bool unit_detected() const { return unit_detected_; }
  std::uint64_t rows() const { return rows_; }
  std::uint64_t consumed() const { return lines_.consumed(); }

 private:
  CsvFileEvents(std::string path, CsvLines lines, Layout layout, std::string layout_name,
                std::optional<TimeUnit> unit, const CsvGrids* grids);
  bool parse(const CsvRow& row, CsvEvent* event);
  // Field i of the line being parsed.
  std::string_view field(std::size_t i) const { return wide_ ? fields_[i] : row_.field(i); }
  bool parse_time(std::string_view field, Role role, tm_types::Nanos* out);
  bool convert(const DecimalGrid& grid, Role role, std::string_view field, std::int64_t* out);
  bool fail(std::string_view field, std::string text);

  std::string path_;
  CsvLines lines_;
  Layout layout_;
  std::string layout_name_;
  std::optional<TimeUnit> unit_;
  bool unit_detected_ = false;
  std::optional<DecimalGrid> time_grid_;
  const CsvGrids* grids_;
  std::optional<std::string> first_data_;  // the first line, when it is data
  std::string_view line_;                  // the line being parsed
  CsvRow row_;                             // the line being parsed and its commas
  // Lines of more fields than a row notes commas of are split in full.
  bool wide_ = false;
  std::vector<std::string_view> fields_;
  tm_types::Nanos previous_ = 0;
  std::uint64_t rows_ = 0;
  std::optional<CsvError> error_;
};

}  // namespace tm_data
