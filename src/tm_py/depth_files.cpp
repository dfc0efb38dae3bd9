// def save_depth(path, rows, instrument=1) -> int
// def read_depth(path) -> Int64Array
// def import_depth_csv(source, path, tick_size, lot_size, instrument=1) -> int
//
// A depth file is written through the tick file's writer: records go to a
// temporary file beside `path` that replaces it only once complete, so a
// failed save leaves an existing file as it was.
#include "tm_py/depth_files.h"

#include <cstdint>
#include <cstring>
#include <string>
#include <variant>
#include <vector>

#include "tm_data/depth_csv.h"
#include "tm_data/depth_file.h"
#include "tm_py/args.h"
#include "tm_py/convert.h"
#include "tm_py/depth_input.h"
#include "tm_py/int64_array_type.h"
#include "tm_py/lock.h"
#include "tm_py/module_state.h"
#include "tm_py/ref.h"

namespace tm_py {
namespace {

// Appends one chunk, the writer's work done without the lock. False with
// ValueError set when the chunk is refused or the write fails.
bool append_chunk(tm_data::DepthFileWriter& writer, const std::string& path, PyObject* chunk) {
  std::optional<std::vector<tm_types::DepthRecord>> rows = take_depth_rows(chunk, "rows");
  if (!rows) return false;
  std::optional<std::string> failure;
  {
    Unlocked unlocked;
    failure = writer.append(*rows);
  }
  if (failure) raise_value_error(path + ": " + *failure);
  return !failure;
}

// Every chunk of `rows`: the buffer itself, or each item of an iterable of buffers.
bool append_all(tm_data::DepthFileWriter& writer, const std::string& path, PyObject* rows) {
  if (PyObject_CheckBuffer(rows)) return append_chunk(writer, path, rows);
  Ref iterator = Ref::steal(PyObject_GetIter(rows));
  if (!iterator) {
    PyErr_Clear();
    PyErr_SetString(PyExc_TypeError,
                    "rows: expected an (n, 8) int64 array, records of DEPTH_FIELDS, or an "
                    "iterable of such arrays");
    return false;
  }
  while (Ref chunk = Ref::steal(PyIter_Next(iterator.get()))) {
    if (!append_chunk(writer, path, chunk.get())) return false;
  }
  return !PyErr_Occurred();
}

constexpr const char* kSaveParams[] = {"path", "rows", "instrument"};

PyObject* save_depth(PyObject* module, PyObject* args, PyObject* kwargs) {
  return guarded(state_of(module), [&]() -> PyObject* {
    PyObject* slot[3];
    if (!bind({"save_depth", kSaveParams, 2}, args, kwargs, slot)) return nullptr;
    std::optional<std::string> path = to_path(slot[0], "path");
    if (!path) return nullptr;
    const std::optional<std::uint64_t> instrument = convert_or(to_u64, slot[2], "instrument", 1);
    if (!instrument) return nullptr;
    if (path->find('\0') != std::string::npos) {
      raise_value_error(*path + ": embedded null byte");
      return nullptr;
    }
    tm_data::DepthWriterResult opened = tm_data::DepthFileWriter::open(*path, *instrument);
    if (const auto* text = std::get_if<std::string>(&opened)) {
      raise_value_error(*path + ": " + *text);
      return nullptr;
    }
    auto& writer = std::get<tm_data::DepthFileWriter>(opened);
    if (!append_all(writer, *path, slot[1])) return nullptr;  // the writer discards the file
    const std::uint64_t count = writer.count();
    std::optional<std::string> failure;
    {
      Unlocked unlocked;
      failure = writer.finish();
    }
    if (failure) {
      raise_value_error(*path + ": " + *failure);
      return nullptr;
    }
    return PyLong_FromUnsignedLongLong(count);
  });
}

constexpr const char* kReadParams[] = {"path"};

PyObject* read_depth(PyObject* module, PyObject* args, PyObject* kwargs) {
  State* state = state_of(module);
  return guarded(state, [&]() -> PyObject* {
    PyObject* slot[1];
    if (!bind({"read_depth", kReadParams, 1}, args, kwargs, slot)) return nullptr;
    std::optional<std::string> path = to_path(slot[0], "path");
    if (!path) return nullptr;
    std::vector<std::int64_t> values;
    std::optional<std::string> failure;
    {
      Unlocked unlocked;
      tm_data::DepthOpenResult opened = tm_data::DepthReader::open(*path);
      if (const auto* text = std::get_if<std::string>(&opened)) {
        failure = *text;
      } else {
        auto& reader = std::get<tm_data::DepthReader>(opened);
        while (const tm_types::DepthRecord* row = reader.next()) {
          const std::size_t at = values.size();
          values.resize(at + 8);
          std::memcpy(values.data() + at, row, sizeof *row);
        }
        failure = reader.error();
      }
    }
    if (failure) {
      raise_value_error(*path + ": " + *failure);
      return nullptr;
    }
    return new_int64_array(state, std::move(values), 8);
  });
}

constexpr const char* kImportParams[] = {"source", "path", "tick_size", "lot_size", "instrument"};

// A grid from decimal text; nothing with ValueError naming `param` otherwise.
std::optional<tm_data::DecimalGrid> grid_of(PyObject* value, const char* param) {
  const std::optional<std::string> text = to_str(value, param);
  if (!text) return std::nullopt;
  const std::optional<tm_data::DecimalStep> step = tm_data::parse_step(*text);
  if (!step) {
    return raise_value_error(std::string(param) +
                             " must be a positive decimal such as '0.1', got " + *text);
  }
  return tm_data::DecimalGrid(*step, tm_data::Rounding::kExact);
}

PyObject* import_depth_csv(PyObject* module, PyObject* args, PyObject* kwargs) {
  return guarded(state_of(module), [&]() -> PyObject* {
    PyObject* slot[5];
    if (!bind({"import_depth_csv", kImportParams, 4}, args, kwargs, slot)) return nullptr;
    const std::optional<std::string> source = to_path(slot[0], "source");
    if (!source) return nullptr;
    const std::optional<std::string> path = to_path(slot[1], "path");
    if (!path) return nullptr;
    const std::optional<tm_data::DecimalGrid> price = grid_of(slot[2], "tick_size");
    if (!price) return nullptr;
    const std::optional<tm_data::DecimalGrid> size = grid_of(slot[3], "lot_size");
    if (!size) return nullptr;
    const std::optional<std::uint64_t> instrument = convert_or(to_u64, slot[4], "instrument", 1);
    if (!instrument) return nullptr;
    std::optional<std::string> failure;
    std::uint64_t rows = 0;
    {
      Unlocked unlocked;
      tm_data::DepthWriterResult opened = tm_data::DepthFileWriter::open(*path, *instrument);
      if (auto* text = std::get_if<std::string>(&opened)) {
        failure = *path + ": " + *text;
      } else {
        auto& writer = std::get<tm_data::DepthFileWriter>(opened);
        auto read = tm_data::import_depth_csv(*source, *price, *size, writer);
        if (auto* text = std::get_if<std::string>(&read)) {
          failure = *source + ": " + *text;
        } else if (auto error = writer.finish()) {
          failure = *path + ": " + *error;
        } else {
          rows = std::get<std::uint64_t>(read);
        }
      }
    }
    if (failure) {
      raise_value_error(*failure);
      return nullptr;
    }
    return PyLong_FromUnsignedLongLong(rows);
  });
}

constexpr const char* kImportDoc =
    "import_depth_csv(source, path, tick_size, lot_size, instrument=1)\n"
    "--\n"
    "\n"
    "Convert a depth CSV file of the normalised layout `exchange, symbol,\n"
    "timestamp, local_timestamp, is_snapshot, side, price, amount` (plain or\n"
    "gzip; timestamps in microseconds) into a depth file at `path`.\n"
    "\n"
    "`tick_size` and `lot_size` are decimal text (\"0.1\", \"0.001\"): each\n"
    "price must be a whole number of ticks and each amount of lots, read\n"
    "exactly; anything off the grid is refused. Lines with the same timestamp\n"
    "and is_snapshot form one event; events are numbered 1, 2, 3, ... as\n"
    "update ids, since the layout has none. Returns the number of rows.\n"
    "\n"
    "Errors\n"
    "------\n"
    "ValueError: \"{source}: line N: {reason}\" for a line that cannot be\n"
    "read; \"{path}: {reason}\" when the file cannot be written; a bad step.";

constexpr const char* kSaveDoc =
    "save_depth(path, rows, instrument=1)\n"
    "--\n"
    "\n"
    "Write a depth stream to a file `run_backtest(depth=...)` streams.\n"
    "\n"
    "`rows` is an (n, 8) int64 array or an array of records with the int64\n"
    "fields of `DEPTH_FIELDS`, or an iterable of such arrays written one after\n"
    "another, so that a stream larger than memory is written a chunk at a time.\n"
    "Every row is checked (kind, side, non-negative prices, sizes and ids,\n"
    "exchange times never going back); a refused row fails the save. The\n"
    "file replaces `path` only once complete, with a checksum over its rows.\n"
    "Returns the number of rows written.\n"
    "\n"
    "Errors\n"
    "------\n"
    "ValueError: \"{path}: depth row I: {rule}\" for a refused row, or\n"
    "\"{path}: {reason}\" when the file cannot be written; the array's shape.\n"
    "TypeError: `rows` is not such an array or iterable; an argument has the\n"
    "wrong type.";

constexpr const char* kReadDoc =
    "read_depth(path)\n"
    "--\n"
    "\n"
    "Read a whole depth file into an (n, 8) `Int64Array` of rows, in the\n"
    "field order of `DEPTH_FIELDS`.\n"
    "\n"
    "Errors\n"
    "------\n"
    "ValueError: \"{path}: {reason}\" when the file cannot be opened, is not a\n"
    "depth file, is cut short, fails its checksum or holds a broken row.";

PyMethodDef kFunctions[] = {
    {"save_depth", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(save_depth)),
     METH_VARARGS | METH_KEYWORDS, kSaveDoc},
    {"read_depth", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(read_depth)),
     METH_VARARGS | METH_KEYWORDS, kReadDoc},
    {"import_depth_csv",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(import_depth_csv)),
     METH_VARARGS | METH_KEYWORDS, kImportDoc},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

bool add_depth_file_functions(PyObject* module) {
  return PyModule_AddFunctions(module, kFunctions) == 0;
}

}  // namespace tm_py
