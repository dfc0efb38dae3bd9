// Taking a depth stream from Python: DepthRecord rows from an (n, 8) int64
// array or an array of records with the fields of DEPTH_FIELDS (copied and
// checked), or the path of a depth file (opened when the run starts and
// streamed).
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "tm_backtest/run_loop.h"
#include "tm_data/depth_file.h"
#include "tm_types/depth_record.h"

namespace tm_py {

// The rows of a depth argument, or the path of its file.
using DepthInput = std::variant<std::vector<tm_types::DepthRecord>, std::string>;

// The rows of the buffer `object`. Refused with TypeError (not an int64 array
// or records of the eight fields) or ValueError (shape, contiguity, or
// "{param}: depth row I: ..." for the first row breaking a rule or going back
// in time). REQUIRES: the lock.
[[nodiscard]] std::optional<std::vector<tm_types::DepthRecord>> take_depth_rows(PyObject* object,
                                                                                const char* param);

// A path (str, bytes, os.PathLike) or rows as take_depth_rows takes them.
[[nodiscard]] std::optional<DepthInput> take_depth(PyObject* object, const char* param);

// The depth stream of one run: the rows of an input (borrowed) or its file,
// opened before the run and streamed during it.
class DepthRun {
 public:
  // Opens the file of a path input; nothing with ValueError "{path}: {reason}"
  // set when it cannot be opened. `input` must outlive the result. REQUIRES: the lock.
  [[nodiscard]] static std::optional<DepthRun> open(const DepthInput& input);

  // run_stream with this depth merged into `ticks`. Needs no lock.
  template <class S, class Src>
  tm_backtest::RunResult run(const tm_backtest::RunConfig& config, S& strategy, Src& ticks);
  // What stopped a depth file in the middle of the run, as "{path}: {reason}".
  std::optional<std::string> error() const;

 private:
  const std::vector<tm_types::DepthRecord>* rows_ = nullptr;
  std::optional<tm_data::DepthReader> reader_;
  std::string path_;
};

template <class S, class Src>
tm_backtest::RunResult DepthRun::run(const tm_backtest::RunConfig& config, S& strategy,
                                     Src& ticks) {
  if (reader_) {
    tm_backtest::DepthEvents events(*reader_);
    return tm_backtest::run_stream(config, strategy, ticks, events);
  }
  tm_backtest::SpanRecords rows(*rows_);
  tm_backtest::DepthEvents events(rows);
  return tm_backtest::run_stream(config, strategy, ticks, events);
}

}  // namespace tm_py
