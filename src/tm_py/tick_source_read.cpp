#include "tm_py/tick_source_read.h"

#include <algorithm>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "tm_data/tick_file.h"
#include "tm_py/args.h"
#include "tm_py/convert.h"
#include "tm_py/int64_array_type.h"
#include "tm_py/interrupt.h"
#include "tm_py/lock.h"
#include "tm_py/tick_source_type.h"

namespace tm_py {
namespace {

constexpr std::uint64_t kAll = std::numeric_limits<std::uint64_t>::max();
// Records between two polls of the signal handlers during a long read.
constexpr std::uint64_t kPollEvery = 1u << 20;

// Appends up to `count` records of `reader` to `values`, skipping `skip`
// first. Runs without the lock; false when a signal handler raised.
bool read_records(tm_data::TickReader& reader, std::uint64_t skip, std::uint64_t count,
                  std::vector<std::int64_t>& values, Interrupt& interrupt) {
  std::uint64_t until_poll = kPollEvery;
  for (std::uint64_t taken = 0; taken < count;) {
    if (--until_poll == 0) {
      until_poll = kPollEvery;
      if (interrupt.poll_signals()) return false;
    }
    const tm_types::Tick* tick = reader.next_tick();
    if (tick == nullptr) break;
    if (skip > 0) {
      --skip;
      continue;
    }
    const auto* fields = &tick->exch_ts;
    values.insert(values.end(), fields, fields + 8);
    ++taken;
  }
  return true;
}

// Room to reserve for `count` records from `start` of a file claiming
// `claimed`: what the header allows, capped so that a corrupt header cannot
// make the reservation fail (the vector grows past it if needed).
std::size_t records_to_reserve(std::uint64_t claimed, std::uint64_t start, std::uint64_t count) {
  const std::uint64_t available = claimed > start ? claimed - start : 0;
  return static_cast<std::size_t>(std::min({available, count, std::uint64_t{1} << 26}));
}

PyObject* raise_file_error(const std::string& path, const tm_data::Error& error) {
  raise_value_error(path + ": " + error.message());
  return nullptr;
}

// The chunks() iterator: an open reader handing out `size` records a call.
struct PyTickChunks {
  PyObject ob_base;  // the object header PyObject_HEAD declares
  std::string path;
  std::optional<tm_data::TickReader> reader;  // empty once finished
  std::uint64_t size;
};

PyTickChunks* chunks_of(PyObject* self) { return reinterpret_cast<PyTickChunks*>(self); }

void chunks_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  chunks_of(self)->~PyTickChunks();
  PyObject_Free(self);
  Py_DECREF(type);
}

PyObject* chunks_next(PyObject* self) {
  State* state = state_of_type(Py_TYPE(self));
  return guarded(state, [&]() -> PyObject* {
    PyTickChunks& chunks = *chunks_of(self);
    if (!chunks.reader) return nullptr;  // exhausted: StopIteration
    std::vector<std::int64_t> values;
    Interrupt interrupt;
    {
      Unlocked unlocked;
      values.reserve(
          8 * records_to_reserve(chunks.reader->count(), chunks.reader->delivered(), chunks.size));
      (void)read_records(*chunks.reader, 0, chunks.size, values, interrupt);
    }
    if (interrupt.raise_kept()) return nullptr;
    if (const std::optional<tm_data::Error>& error = chunks.reader->error()) {
      const tm_data::Error failure = *error;
      chunks.reader.reset();
      return raise_file_error(chunks.path, failure);
    }
    if (values.empty()) {
      chunks.reader.reset();
      return nullptr;
    }
    return new_int64_array(state, std::move(values), 8);
  });
}

PyObject* chunks_iter(PyObject* self) { return Py_NewRef(self); }

PyType_Slot kChunksSlots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(chunks_dealloc)},
    {Py_tp_iter, reinterpret_cast<void*>(chunks_iter)},
    {Py_tp_iternext, reinterpret_cast<void*>(chunks_next)},
    {0, nullptr},
};

PyType_Spec kChunksSpec = {
    "tallowmarsh.TickChunks",
    sizeof(PyTickChunks),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    kChunksSlots,
};

// Opens the source's file without the lock, as a run opens it.
std::optional<tm_data::OpenResult> open_source(const std::string& path, Interrupt& interrupt) {
  std::optional<tm_data::OpenResult> opened;
  {
    Unlocked unlocked;
    opened.emplace(tm_data::TickReader::open(path, [&] { return interrupt.poll_signals(); }));
  }
  if (interrupt.raise_kept()) return std::nullopt;
  return opened;
}

constexpr const char* kReadParams[] = {"start", "count"};
constexpr const char* kChunksParams[] = {"size"};

}  // namespace

PyObject* tick_source_read(PyObject* self, PyObject* args, PyObject* kwargs) {
  State* state = state_of_type(Py_TYPE(self));
  return guarded(state, [&]() -> PyObject* {
    PyObject* slot[2];
    if (!bind({"read", kReadParams, 0}, args, kwargs, slot)) return nullptr;
    const std::optional<std::uint64_t> start = convert_or(to_u64, slot[0], "start", 0);
    if (!start) return nullptr;
    const std::optional<std::uint64_t> count =
        omitted(slot[1]) ? std::optional<std::uint64_t>(kAll) : to_u64(slot[1], "count");
    if (!count) return nullptr;
    const std::string& path = tick_source_of(self).path;
    Interrupt interrupt;
    std::optional<tm_data::OpenResult> opened = open_source(path, interrupt);
    if (!opened) return nullptr;
    if (const auto* error = std::get_if<tm_data::Error>(&*opened)) {
      return raise_file_error(path, *error);
    }
    tm_data::TickReader& reader = std::get<tm_data::TickReader>(*opened);
    std::vector<std::int64_t> values;
    {
      Unlocked unlocked;
      values.reserve(8 * records_to_reserve(reader.count(), *start, *count));
      (void)read_records(reader, *start, *count, values, interrupt);
    }
    if (interrupt.raise_kept()) return nullptr;
    if (const std::optional<tm_data::Error>& error = reader.error()) {
      return raise_file_error(path, *error);
    }
    return new_int64_array(state, std::move(values), 8);
  });
}

PyObject* tick_source_chunks(PyObject* self, PyObject* args, PyObject* kwargs) {
  State* state = state_of_type(Py_TYPE(self));
  return guarded(state, [&]() -> PyObject* {
    PyObject* slot[1];
    if (!bind({"chunks", kChunksParams, 1}, args, kwargs, slot)) return nullptr;
    const std::optional<std::uint64_t> size = to_u64(slot[0], "size");
    if (!size) return nullptr;
    if (*size == 0) {
      raise_value_error("chunks: size must be at least 1");
      return nullptr;
    }
    const std::string& path = tick_source_of(self).path;
    Interrupt interrupt;
    std::optional<tm_data::OpenResult> opened = open_source(path, interrupt);
    if (!opened) return nullptr;
    if (const auto* error = std::get_if<tm_data::Error>(&*opened)) {
      return raise_file_error(path, *error);
    }
    void* memory = PyObject_Malloc(sizeof(PyTickChunks));
    if (memory == nullptr) return PyErr_NoMemory();
    // The C++ members are constructed in place; the object header is set after.
    auto* chunks = new (memory) PyTickChunks;
    chunks->path = path;
    chunks->reader.emplace(std::get<tm_data::TickReader>(std::move(*opened)));
    chunks->size = *size;
    return PyObject_Init(reinterpret_cast<PyObject*>(chunks), state->tick_chunks_type);
  });
}

const char* const kTickSourceReadDoc =
    "read($self, /, start=0, count=None)\n"
    "--\n"
    "\n"
    "The records from `start` on (up to `count` of them; all by default) as\n"
    "an (n, 8) Int64Array in `TICK_FIELDS` order, which numpy.asarray wraps\n"
    "without copying. The records before `start` are read too, since the file\n"
    "is checked as it is read: the order of the times up to the last record\n"
    "returned, and the checksum when the read reaches the end of the file.\n"
    "ValueError \"{path}: {reason}\" as a run reports a damaged file.";

const char* const kTickSourceChunksDoc =
    "chunks($self, /, size)\n"
    "--\n"
    "\n"
    "Iterate the file in (size, 8) Int64Array blocks (the last may be\n"
    "shorter), in memory bounded by one block. The file is opened now and\n"
    "checked as it is read, as a run checks it: a damaged file raises\n"
    "ValueError \"{path}: {reason}\" at the block that meets the damage (the\n"
    "checksum is settled before the last block is handed out).";

bool add_tick_chunks_class(PyObject* module, State* state) {
  PyObject* type = PyType_FromModuleAndSpec(module, &kChunksSpec, nullptr);
  if (type == nullptr) return false;
  state->tick_chunks_type = reinterpret_cast<PyTypeObject*>(type);
  return true;
}

}  // namespace tm_py
