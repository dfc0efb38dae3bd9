// CsvRowParser: the data lines of one file, each checked and converted exactly
// into a trade or a quote on the price and lot grids, times in nanoseconds and
// never going backwards. Failures name the file, line and column. A parser
// holds no file: CsvFileEvents feeds it the lines of a stream, CsvBlocks those
// of one block of a file read in parallel, each block with a copy.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
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

class CsvRowParser {
 public:
  // `grids` must outlive the parser and its copies. Without `unit` it is read
  // from the magnitude of the first time parsed.
  CsvRowParser(std::string path, Layout layout, std::optional<TimeUnit> unit,
               const CsvGrids* grids);

  // Converts `row`, line `line` of the file, into *event; false at a fault,
  // which error() then holds.
  [[nodiscard]] bool parse(const CsvRow& row, std::uint64_t line, CsvEvent* event);
  const std::optional<CsvError>& error() const { return error_; }

  const std::string& path() const { return path_; }
  FileKind kind() const { return layout_.kind; }
  // The time unit; known once a row was parsed.
  std::optional<TimeUnit> unit() const { return unit_; }
  bool unit_detected() const { return unit_detected_; }
  // Rows converted.
  std::uint64_t rows() const { return rows_; }
  // The exchange time the next row must not be below.
  tm_types::Nanos previous() const { return previous_; }
  void set_previous(tm_types::Nanos time) { previous_ = time; }

 private:
  // Field i of the line being parsed.
  std::string_view field(std::size_t i) const { return wide_ ? fields_[i] : row_->field(i); }
  bool parse_time(std::string_view field, Role role, tm_types::Nanos* out);
  bool convert(const DecimalGrid& grid, Role role, std::string_view field, std::int64_t* out);
  bool fail(std::string_view field, std::string text);

  std::string path_;
  Layout layout_;
  std::optional<TimeUnit> unit_;
  bool unit_detected_ = false;
  std::optional<DecimalGrid> time_grid_;
  const CsvGrids* grids_;
  const CsvRow* row_ = nullptr;  // the line being parsed
  std::uint64_t line_ = 0;       // its number
  // Lines of more fields than a row notes commas of are split in full.
  bool wide_ = false;
  std::vector<std::string_view> fields_;
  tm_types::Nanos previous_ = 0;
  std::uint64_t rows_ = 0;
  std::optional<CsvError> error_;
};

}  // namespace tm_data
