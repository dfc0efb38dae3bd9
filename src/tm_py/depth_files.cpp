// def save_depth(path, rows, instrument=1) -> int
// def read_depth(path) -> Int64Array
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
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

bool add_depth_file_functions(PyObject* module) {
  return PyModule_AddFunctions(module, kFunctions) == 0;
}

}  // namespace tm_py
