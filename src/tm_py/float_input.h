// The float64 inputs of the statistics functions. A buffer of float64 values
// (a numpy array, array.array('d'), a memoryview) is read in place; anything
// else goes through the sequence conversions of convert.h, so a list and an
// array of the same numbers give the same values, bit for bit.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <optional>
#include <span>
#include <vector>

namespace tm_py {

// One series of returns: the values of a 1-D float64 buffer, borrowed from the
// exporting object for the lifetime of this value (a strided buffer is
// copied), or the items of a sequence converted one by one.
class Floats {
 public:
  // Reads `value` as a 1-D float64 buffer, else as to_f64_list does (same
  // errors). REQUIRES: the interpreter lock.
  [[nodiscard]] static std::optional<Floats> from(PyObject* value, const char* param);

  Floats(Floats&& other) noexcept;
  Floats& operator=(Floats&&) = delete;
  Floats(const Floats&) = delete;
  Floats& operator=(const Floats&) = delete;
  // Releases the buffer. REQUIRES: the interpreter lock.
  ~Floats();

  std::span<const double> values() const { return values_; }

 private:
  Floats() = default;

  Py_buffer view_{};
  bool viewed_ = false;
  std::vector<double> copy_;
  std::span<const double> values_;
};

// A table of series (one per configuration): the rows of a 2-D float64 buffer
// (configurations x periods), else as to_f64_table reads a sequence of
// sequences (same errors). REQUIRES: the interpreter lock.
[[nodiscard]] std::optional<std::vector<std::vector<double>>> float_rows(PyObject* value,
                                                                         const char* param);

}  // namespace tm_py
