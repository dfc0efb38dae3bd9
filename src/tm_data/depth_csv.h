// Depth from the normalised CSV layout "exchange, symbol, timestamp,
// local_timestamp, is_snapshot, side, price, amount" (times in microseconds,
// is_snapshot "true"/"false", side "bid"/"ask", amount the size now shown at
// the price) into depth rows, prices and sizes read exactly onto their grids.
// The layout carries no update ids: each run of lines with the same timestamp
// and is_snapshot is one event, numbered 1, 2, 3, ... so that the stream has
// no gaps.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <variant>

#include "tm_data/csv_decimal.h"
#include "tm_data/depth_file.h"

namespace tm_data {

// Reads every line of `path` (plain or gzip; a first line starting with
// "exchange" is a header) and appends its rows to `out` in chunks. Returns the
// number of rows, or the failure as "line N: ..." (or the file's error text).
// Prices go onto `price` (ticks), amounts onto `size` (lots).
// REQUIRES: out.is_open().
[[nodiscard]] std::variant<std::uint64_t, std::string> import_depth_csv(const std::string& path,
                                                                        const DecimalGrid& price,
                                                                        const DecimalGrid& size,
                                                                        DepthFileWriter& out);

}  // namespace tm_data
