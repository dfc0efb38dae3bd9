// Taking ticks from Python in every accepted form: a sequence of Tick (copied),
// a C-contiguous (n, 8) int64 buffer or a buffer of 64-byte records with the
// eight int64 fields in record order (both read in place, no copy), or a
// mapping of field names to 1-D int64 buffers (assembled into records).
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <memory>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "tm_py/module_state.h"
#include "tm_types/tick.h"

namespace tm_py {

// A native int64 format code with an optional byte-order prefix: numpy writes
// "l" for int64 on 64-bit Linux, the struct module "q".
bool int64_code(std::string_view code);
// A buffer of single int64 items.
bool is_int64(const Py_buffer& view);
// A buffer of 64-byte records of eight int64 fields named `fields`, in order,
// as numpy describes a structured dtype ("T{l:exch_ts:l:local_ts:...}").
bool is_int64_records(const Py_buffer& view, std::span<const std::string_view, 8> fields);

// How the ticks were given; the lookahead check hands its `build` prefixes
// in the same form.
enum class TickForm { kSequence, kArray, kColumns };

// The ticks of one argument: borrowed from the caller's buffer, which stays
// exported (and so cannot be resized) while this lives, or an owned copy.
// Reading ticks() needs no interpreter lock; destroying it does.
class TickInput {
 public:
  TickInput(TickInput&&) noexcept = default;
  TickInput& operator=(TickInput&&) noexcept = default;
  TickInput(const TickInput&) = delete;
  TickInput& operator=(const TickInput&) = delete;

  std::span<const tm_types::Tick> ticks() const { return ticks_; }
  TickForm form() const { return form_; }

  // Owns `ticks`.
  TickInput(TickForm form, std::vector<tm_types::Tick> ticks);
  // Reads `ticks` in place from `view` (filled by PyObject_GetBuffer), which
  // this object releases and frees.
  TickInput(Py_buffer* view, std::span<const tm_types::Tick> ticks);

 private:
  struct Release {
    void operator()(Py_buffer* view) const noexcept;
  };

  std::unique_ptr<Py_buffer, Release> view_;  // the borrowed buffer, if any
  std::vector<tm_types::Tick> owned_;
  std::span<const tm_types::Tick> ticks_;
  TickForm form_ = TickForm::kSequence;
};

// The ticks of `object` in any accepted form. A buffer or mapping that does
// not fit raises TypeError (wrong kind or dtype) or ValueError (shape,
// contiguity, fields, lengths) saying what was expected and what was given;
// any other object is refused as ticks_from refuses it. A TickSource is the
// caller's business. REQUIRES: the lock.
[[nodiscard]] std::optional<TickInput> take_ticks(State* state, PyObject* object);

}  // namespace tm_py
