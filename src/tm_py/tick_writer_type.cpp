// class TickWriter:
//     def __new__(cls, path, instrument=1) -> TickWriter
//     def write(self, ticks) -> int;  def close(self) -> int;  def abort(self) -> None
//     def __enter__(self) -> TickWriter;  def __exit__(self, *exc) -> False
//     path: str, count: int, closed: bool  (read-only)
#include "tm_py/tick_writer_type.h"

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <variant>

#include "tm_data/tick_writer.h"
#include "tm_py/args.h"
#include "tm_py/convert.h"
#include "tm_py/interrupt.h"
#include "tm_py/lock.h"
#include "tm_py/tick_arrays.h"

namespace tm_py {
namespace {

struct PyTickWriter {
  PyObject ob_base;  // the object header PyObject_HEAD declares
  std::string path;
  std::optional<tm_data::TickFileWriter> writer;  // empty only while constructing
  std::uint64_t count = 0;                        // kept after closing
  bool committed = false;
};

PyTickWriter* self_of(PyObject* self) { return reinterpret_cast<PyTickWriter*>(self); }

// True, with ValueError set, when the writer no longer takes ticks.
bool refuse_closed(PyTickWriter* self) {
  if (self->writer->is_open()) return false;
  raise_value_error(self->path + ": the TickWriter is closed");
  return true;
}

constexpr const char* kParams[] = {"path", "instrument"};

PyObject* tick_writer_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  State* state = state_of_type(type);
  return guarded(state, [&]() -> PyObject* {
    PyObject* slot[2];
    if (!bind({"TickWriter", kParams, 1}, args, kwargs, slot)) return nullptr;
    std::optional<std::string> path = to_path(slot[0], "path");
    if (!path) return nullptr;
    const std::optional<std::uint64_t> instrument = convert_or(to_u64, slot[1], "instrument", 1);
    if (!instrument) return nullptr;
    if (path->find('\0') != std::string::npos) {
      raise_value_error(*path + ": embedded null byte");
      return nullptr;
    }
    // Opening may wait for a FIFO's reader: without the lock, ended by Ctrl-C.
    Interrupt interrupt;
    std::optional<tm_data::WriterResult> opened;
    {
      Unlocked unlocked;
      opened.emplace(tm_data::TickFileWriter::open(*path, *instrument,
                                                   [&] { return interrupt.poll_signals(); }));
    }
    if (interrupt.raise_kept()) return nullptr;
    if (const std::string* error = std::get_if<std::string>(&*opened)) {
      raise_value_error(*path + ": " + *error);
      return nullptr;
    }
    auto* self = reinterpret_cast<PyTickWriter*>(PyType_GenericAlloc(type, 0));
    if (self == nullptr) return nullptr;
    // The object header is set; the C++ members are constructed after it.
    new (&self->path) std::string(*std::move(path));
    new (&self->writer) std::optional<tm_data::TickFileWriter>(
        std::get<tm_data::TickFileWriter>(std::move(*opened)));
    self->count = 0;
    self->committed = false;
    return reinterpret_cast<PyObject*>(self);
  });
}

// Dealloc: an unclosed writer is aborted, so its temporary file goes too.
void tick_writer_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  PyTickWriter* writer = self_of(self);
  writer->writer.~optional();
  writer->path.~basic_string();
  PyObject_Free(self);
  Py_DECREF(type);
}

// Getters.
PyObject* get_path(PyObject* self, void*) {
  const std::string& path = self_of(self)->path;
  return PyUnicode_DecodeFSDefaultAndSize(path.data(), static_cast<Py_ssize_t>(path.size()));
}
PyObject* get_count(PyObject* self, void*) {
  PyTickWriter* writer = self_of(self);
  return PyLong_FromUnsignedLongLong(writer->writer->is_open() ? writer->writer->count()
                                                               : writer->count);
}
PyObject* get_closed(PyObject* self, void*) {
  return PyBool_FromLong(!self_of(self)->writer->is_open());
}

PyGetSetDef kGetters[] = {
    {"path", get_path, nullptr, "The file this writes.", nullptr},
    {"count", get_count, nullptr, "Ticks written so far.", nullptr},
    {"closed", get_closed, nullptr, "Whether close() or abort() has ended the writer.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// Methods.
PyObject* write(PyObject* self, PyObject* ticks) {
  PyTickWriter* writer = self_of(self);
  return guarded(state_of_type(Py_TYPE(self)), [&]() -> PyObject* {
    if (refuse_closed(writer)) return nullptr;
    std::optional<TickInput> input = take_ticks(state_of_type(Py_TYPE(self)), ticks);
    if (!input) return nullptr;
    // Written without the lock; Ctrl-C takes the whole write back.
    Interrupt interrupt;
    std::optional<tm_data::AppendError> error;
    {
      Unlocked unlocked;
      error = writer->writer->append(input->ticks(), [&] { return interrupt.poll_signals(); });
    }
    if (interrupt.raise_kept()) return nullptr;
    if (!error) return PyLong_FromSize_t(input->ticks().size());
    if (const auto* backwards = std::get_if<tm_data::Backwards>(&*error)) {
      raise_value_error(writer->path + ": " + tm_data::Error(*backwards).message() + " (item " +
                        std::to_string(backwards->index - writer->writer->count()) +
                        " of this write, of which nothing was written)");
      return nullptr;
    }
    raise_value_error(writer->path + ": " + std::get<std::string>(*error));
    return nullptr;
  });
}

PyObject* close(PyObject* self, PyObject*) {
  PyTickWriter* writer = self_of(self);
  return guarded(state_of_type(Py_TYPE(self)), [&]() -> PyObject* {
    if (writer->writer->is_open()) {
      const std::uint64_t count = writer->writer->count();
      // Copying staged records to a FIFO waits on its reader: Ctrl-C ends it,
      // and the writer, uncommitted.
      Interrupt interrupt;
      std::optional<std::string> failure;
      {
        Unlocked unlocked;
        failure = writer->writer->finish([&] { return interrupt.poll_signals(); });
      }
      if (interrupt.raise_kept()) return nullptr;
      if (failure) {
        raise_value_error(writer->path + ": " + *failure);
        return nullptr;
      }
      writer->count = count;
      writer->committed = true;
    }
    return PyLong_FromUnsignedLongLong(writer->count);
  });
}

PyObject* abort_writer(PyObject* self, PyObject*) {
  PyTickWriter* writer = self_of(self);
  if (writer->writer->is_open()) {
    writer->count = 0;
    Unlocked unlocked;
    writer->writer->abort();
  }
  Py_RETURN_NONE;
}

PyObject* enter(PyObject* self, PyObject*) { return Py_NewRef(self); }

// Closes on a clean exit; aborts when the block raised. Never swallows.
PyObject* exit_block(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
  const bool raised = nargs > 0 && args[0] != Py_None;
  PyObject* done = raised ? abort_writer(self, nullptr) : close(self, nullptr);
  if (done == nullptr) return nullptr;
  Py_DECREF(done);
  Py_RETURN_FALSE;
}

PyMethodDef kMethods[] = {
    {"write", write, METH_O,
     PyDoc_STR(
         "write($self, ticks, /)\n--\n\nAppend ticks, in any form run_backtest takes, after those\n"
         "written so far. Returns how many. Times that go backwards, within\n"
         "these ticks or from the last tick written, are refused with\n"
         "ValueError naming the record, and nothing of this call is written.")},
    {"close", close, METH_NOARGS,
     PyDoc_STR("close($self, /)\n--\n\nComplete the header and make the file appear at `path`.\n"
               "Returns the number of ticks in the file. No effect once closed.")},
    {"abort", abort_writer, METH_NOARGS,
     PyDoc_STR("abort($self, /)\n--\n\nEnd the writer and remove what it wrote; `path` is left as\n"
               "it was. No effect once closed.")},
    {"__enter__", enter, METH_NOARGS, nullptr},
    {"__exit__", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(exit_block)),
     METH_FASTCALL, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

constexpr const char* kDoc =
    "TickWriter(path, instrument=1)\n"
    "--\n"
    "\n"
    "Write a tick file chunk after chunk, in memory bounded by one chunk.\n"
    "\n"
    "    with tallowmarsh.TickWriter(\"day.tmtk\") as writer:\n"
    "        for chunk in chunks:          # (n, 8) int64 arrays, say\n"
    "            writer.write(chunk)\n"
    "\n"
    "The records go to a temporary file beside `path` as they are written;\n"
    "`close()` completes the header (count and checksum) and only then puts\n"
    "the file at `path` (what is not a regular file, such as a FIFO, is\n"
    "written in place, as `save_ticks` writes it). The temporary file is\n"
    "removed, and `path` left as it was, on `abort()`, when the `with` block\n"
    "raises, when a write fails, and when the writer is dropped unclosed.\n"
    "\n"
    "Errors\n"
    "------\n"
    "ValueError: \"{path}: {reason}\" when the file cannot be opened or\n"
    "written, a write's times go backwards, or the writer is closed.";

PyType_Slot kSlots[] = {
    {Py_tp_new, reinterpret_cast<void*>(tick_writer_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(tick_writer_dealloc)},
    {Py_tp_getset, kGetters},
    {Py_tp_methods, kMethods},
    {Py_tp_doc, const_cast<char*>(kDoc)},
    {0, nullptr},
};

PyType_Spec kSpec = {
    "tallowmarsh.TickWriter",
    sizeof(PyTickWriter),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    kSlots,
};

}  // namespace

bool add_tick_writer_class(PyObject* module, State* state) {
  PyObject* type = PyType_FromModuleAndSpec(module, &kSpec, nullptr);
  if (type == nullptr) return false;
  state->tick_writer_type = reinterpret_cast<PyTypeObject*>(type);
  return PyModule_AddType(module, state->tick_writer_type) == 0;
}

}  // namespace tm_py
