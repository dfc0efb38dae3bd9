// def load_ticks(path) -> TickSource
// def save_ticks(path, ticks, instrument=1) -> int
//
// The tick file from Python: opening one as a TickSource (its header only),
// and writing ticks to one. A write never leaves a partial regular file: the
// bytes replace it only once complete; anything else (a device, a FIFO, a file
// with other hard links) is written in place, as open() writes it. Waits on a
// FIFO happen without the interpreter lock and end when a signal handler
// raises.
#include "tm_py/tick_files.h"

#include <cstdint>
#include <string>
#include <variant>

#include "tm_data/tick_file.h"
#include "tm_data/tick_writer.h"
#include "tm_py/args.h"
#include "tm_py/convert.h"
#include "tm_py/interrupt.h"
#include "tm_py/lock.h"
#include "tm_py/tick_arrays.h"
#include "tm_py/tick_source_type.h"
#include "tm_py/ticks_from_python.h"

namespace tm_py {
namespace {

// A path holding a NUL byte would name a different file to the operating
// system (the text up to the NUL), so it is refused before any file is touched.
bool refuse_embedded_nul(const std::string& path) {
  if (path.find('\0') == std::string::npos) return false;
  raise_value_error(path + ": embedded null byte");
  return true;
}

constexpr const char* kLoadParams[] = {"path"};

PyObject* load_ticks(PyObject* module, PyObject* args, PyObject* kwargs) {
  State* state = state_of(module);
  return guarded(state, [&]() -> PyObject* {
    PyObject* slot[1];
    if (!bind({"load_ticks", kLoadParams, 1}, args, kwargs, slot)) return nullptr;
    std::optional<std::string> path = to_path(slot[0], "path");
    if (!path || refuse_embedded_nul(*path)) return nullptr;
    // Opening waits for a FIFO's writer and reads the header: without the
    // lock, and given up when a signal handler raises.
    Interrupt interrupt;
    std::optional<tm_data::OpenResult> opened;
    {
      Unlocked unlocked;
      opened.emplace(tm_data::TickReader::open(*path, [&] { return interrupt.poll_signals(); }));
    }
    if (interrupt.raise_kept()) return nullptr;
    if (const tm_data::Error* error = std::get_if<tm_data::Error>(&*opened)) {
      raise_value_error(*path + ": " + error->message());
      return nullptr;
    }
    const tm_data::TickReader& reader = std::get<tm_data::TickReader>(*opened);
    return new_tick_source(state, *std::move(path), reader.count(), reader.instrument());
  });
}

constexpr const char* kSaveParams[] = {"path", "ticks", "instrument"};

PyObject* save_ticks(PyObject* module, PyObject* args, PyObject* kwargs) {
  State* state = state_of(module);
  return guarded(state, [&]() -> PyObject* {
    PyObject* slot[3];
    if (!bind({"save_ticks", kSaveParams, 2}, args, kwargs, slot)) return nullptr;
    std::optional<std::string> path = to_path(slot[0], "path");
    if (!path) return nullptr;
    std::optional<TickInput> ticks = take_ticks(state, slot[1]);
    if (!ticks) return nullptr;
    const std::optional<std::uint64_t> instrument = convert_or(to_u64, slot[2], "instrument", 1);
    if (!instrument) return nullptr;
    if (refuse_embedded_nul(*path)) return nullptr;

    Interrupt interrupt;
    std::optional<std::string> failure;
    {
      Unlocked unlocked;
      failure = tm_data::write_tick_file(*path, *instrument, ticks->ticks(),
                                         [&] { return interrupt.poll_signals(); });
    }
    if (interrupt.raise_kept()) return nullptr;
    if (failure) {
      raise_value_error(*path + ": " + *failure);
      return nullptr;
    }
    return PyLong_FromSize_t(ticks->ticks().size());
  });
}

constexpr const char* kLoadDoc =
    "load_ticks(path)\n"
    "--\n"
    "\n"
    "Open a tick file for a run, without reading it.\n"
    "\n"
    "Only the 32-byte header is read and checked; the file is closed again at\n"
    "once. Every run over the returned `TickSource` opens the file afresh and\n"
    "streams it a block at a time, so one source can be run any number of\n"
    "times and a file larger than memory can be run at all. A file that opens\n"
    "now can still fail later (it may change, or its records may be short or\n"
    "corrupt); such failures stop the run that meets them.\n"
    "\n"
    "Errors\n"
    "------\n"
    "ValueError: \"{path}: {reason}\" when the file cannot be opened or its\n"
    "header is wrong.\n"
    "TypeError: `path` is not a str, bytes or os.PathLike.";

constexpr const char* kSaveDoc =
    "save_ticks(path, ticks, instrument=1)\n"
    "--\n"
    "\n"
    "Write ticks to a file `load_ticks` can read.\n"
    "\n"
    "The ticks are written in the order given, after a header naming the\n"
    "instrument and the checksum of the records; their order is not checked\n"
    "here (a file whose times go backwards fails when it is read). The file\n"
    "is written as a temporary file beside `path` that replaces it only once\n"
    "complete, so a failed save leaves an existing file as it was; a symbolic\n"
    "link is followed, and the file it names keeps its mode and owner. What\n"
    "is not a regular file (/dev/null, a FIFO, /dev/stdout) and a file with\n"
    "other hard links are written in place, as open(path, \"wb\") would.\n"
    "Returns the number of ticks written.\n"
    "\n"
    "Errors\n"
    "------\n"
    "ValueError: \"{path}: {reason}\" when the file cannot be written.\n"
    "TypeError: `ticks` is not a sequence of Tick or an accepted array (see\n"
    "run_backtest; a TickSource is refused);\n"
    "an argument has the wrong type.\n"
    "OverflowError: `instrument` is negative or too large.";

PyMethodDef kFunctions[] = {
    {"load_ticks", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(load_ticks)),
     METH_VARARGS | METH_KEYWORDS, kLoadDoc},
    {"save_ticks", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(save_ticks)),
     METH_VARARGS | METH_KEYWORDS, kSaveDoc},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

bool add_tick_file_functions(PyObject* module) {
  return PyModule_AddFunctions(module, kFunctions) == 0;
}

}  // namespace tm_py
