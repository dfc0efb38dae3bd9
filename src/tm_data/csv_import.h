// Exchange CSV files of trades and quotes to one tick file: every file is read
// as a stream, the streams are merged by exchange time (the as-of rule of
// csv_asof.h), and the ticks go to a TickFileWriter a chunk at a time. Memory
// is bounded by a few blocks per file (csv_feed.h) and one chunk of ticks,
// whatever the sizes.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "tm_data/csv_asof.h"
#include "tm_data/csv_decimal.h"
#include "tm_data/csv_events.h"
#include "tm_data/csv_layout.h"

namespace tm_data {

// One input file, with its layout; no layout: the built-in the first line shows.
struct CsvInput {
  std::string path;
  std::optional<LayoutSpec> layout;
};

struct CsvImportOptions {
  std::string tick_size;  // exact decimal text, e.g. "0.1"
  std::string lot_size;   // exact decimal text, e.g. "0.001"
  Rounding rounding = Rounding::kExact;
  Emit emit = Emit::kTrades;
  std::optional<TimeUnit> time_unit;  // for every file; else the layout's or detected
  std::uint64_t instrument = 1;
  // Called now and then with the input bytes consumed so far (compressed
  // bytes for gzip files); returning false stops the import.
  std::function<bool(std::uint64_t done)> progress;
};

// What was read from one input.
struct CsvFileReport {
  std::string layout;
  TimeUnit unit = TimeUnit::kNanos;
  bool unit_detected = false;
  std::uint64_t rows = 0;
};

struct CsvImportReport {
  std::uint64_t ticks = 0;
  std::vector<CsvFileReport> files;
};

// The text of a stop asked for by `progress`.
inline constexpr const char* kImportStopped = "import stopped";

// Writes the ticks of `inputs` to `dest`. On any failure nothing is left at
// `dest` (an existing file stays as it was) and the error says why; an error
// without a path concerns the options or the destination.
[[nodiscard]] std::variant<CsvImportReport, CsvError> import_csv(
    const std::vector<CsvInput>& inputs, const std::string& dest, const CsvImportOptions& options);

}  // namespace tm_data
