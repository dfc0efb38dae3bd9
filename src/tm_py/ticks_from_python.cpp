#include "tm_py/ticks_from_python.h"

#include <sys/mman.h>

#include <cstdint>

#include "tm_py/convert.h"
#include "tm_py/interrupt.h"
#include "tm_py/ref.h"
#include "tm_py/tick_type.h"

namespace tm_py {
namespace {

// Asks the kernel to back the whole 2 MiB pages of a large tick array with huge
// pages. Every run copies its list into fresh memory, and faulting a few
// hundred megabytes in 4 KiB at a time costs more than the copy itself. Only
// advice: where it is refused, the array is backed as before.
void prefer_huge_pages(const std::vector<tm_types::Tick>& ticks) {
#ifdef MADV_HUGEPAGE
  constexpr std::uintptr_t kHuge = std::uintptr_t{1} << 21;
  if (ticks.capacity() * sizeof(tm_types::Tick) < 2 * kHuge) return;
  const auto begin = reinterpret_cast<std::uintptr_t>(ticks.data());
  const std::uintptr_t from = (begin + kHuge - 1) & ~(kHuge - 1);
  const std::uintptr_t to = (begin + ticks.capacity() * sizeof(tm_types::Tick)) & ~(kHuge - 1);
  if (to > from) (void)::madvise(reinterpret_cast<void*>(from), to - from, MADV_HUGEPAGE);
#else
  (void)ticks;
#endif
}

// Copies the Ticks of a list or a tuple into `ticks`; false at the first item
// that is not a Tick or cannot be read, or when a signal handler raised. The
// items are borrowed, not referenced: between two signal checks no Python code
// runs, so nothing can drop them, and only reading them keeps the objects'
// memory clean (a reference count written per item would send every object
// back to memory). After a check, which may run a handler that shortens the
// sequence, each item is still fetched by index with its bounds checked.
template <PyObject* (*kItemAt)(PyObject*, Py_ssize_t)>
bool copy_ticks(State* state, PyObject* sequence, Py_ssize_t size,
                std::vector<tm_types::Tick>& ticks) {
  constexpr std::uint32_t kSignalEvery = std::uint32_t{1} << 18;
  std::uint32_t& until_check = items_until_signal_check();
  for (Py_ssize_t i = 0; i < size; ++i) {
    if (--until_check == 0) [[unlikely]] {
      until_check = kSignalEvery;
      if (PyErr_CheckSignals() < 0) return false;
    }
    PyObject* item = kItemAt(sequence, i);
    if (item == nullptr || !is_tick(state, item)) return false;
    ticks.push_back(tick_of(item));
  }
  return true;
}

}  // namespace

std::optional<std::vector<tm_types::Tick>> ticks_from(State* state, PyObject* object) {
  // Whatever made the sequence unusable becomes the one fixed TypeError, except
  // an exception that is not an `Exception` or that a signal handler raised,
  // which is left to reach the caller.
  const auto refuse = []() -> std::optional<std::vector<tm_types::Tick>> {
    if (PyErr_Occurred() != nullptr && (stops_run() || raised_by_signal_handler()))
      return std::nullopt;
    PyErr_Clear();
    PyErr_SetString(PyExc_TypeError, kBadTicks);
    return std::nullopt;
  };
  if (PyUnicode_Check(object) || !PySequence_Check(object)) return refuse();
  const Py_ssize_t size = PySequence_Size(object);
  if (size < 0) return refuse();
  std::vector<tm_types::Tick> ticks;
  ticks.reserve(items_to_reserve(object, size));
  prefer_huge_pages(ticks);
  bool read = false;
  if (PyList_Check(object)) {
    read = copy_ticks<PyList_GetItem>(state, object, size, ticks);
  } else if (PyTuple_Check(object)) {
    read = copy_ticks<PyTuple_GetItem>(state, object, size, ticks);
  } else {
    read = for_each_item(object, size, [&](PyObject* item) {
      if (!is_tick(state, item)) return false;
      ticks.push_back(tick_of(item));
      return true;
    });
  }
  if (!read) return refuse();
  return ticks;
}

}  // namespace tm_py
