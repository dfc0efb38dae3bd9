// Calls into the module's progress reporters; see run_progress.h.
#include "tm_py/run_progress.h"

namespace tm_py {

bool RunProgress::start(PyObject* module, PyObject* progress, std::uint64_t total,
                        const std::string& desc) {
  if (progress == nullptr || progress == Py_None || progress == Py_False) return true;
  Ref make = Ref::steal(PyObject_GetAttrString(module, "_progress"));
  if (!make) return false;
  reporter_ = Ref::steal(PyObject_CallFunction(make.get(), "OKss#", progress,
                                               static_cast<unsigned long long>(total), "ticks",
                                               desc.data(), static_cast<Py_ssize_t>(desc.size())));
  if (!reporter_) return false;
  if (reporter_.get() == Py_None) reporter_ = Ref();
  return true;
}

bool RunProgress::report(std::uint64_t done) {
  next_ = Clock::now() + kInterval;
  Ref returned = Ref::steal(
      PyObject_CallMethod(reporter_.get(), "update", "K", static_cast<unsigned long long>(done)));
  return static_cast<bool>(returned);
}

bool RunProgress::finish(const std::uint64_t* done) {
  if (!on()) return true;
  bool ok = done == nullptr || report(*done);
  // The reporter is closed also when the run or the last report raised; an
  // exception already set is kept over one from close().
  PyObject *type, *value, *traceback;
  PyErr_Fetch(&type, &value, &traceback);
  Ref closed = Ref::steal(PyObject_CallMethod(reporter_.get(), "close", nullptr));
  if (type != nullptr) {
    PyErr_Restore(type, value, traceback);
  } else if (!closed) {
    ok = false;
  }
  reporter_ = Ref();
  return ok && type == nullptr;
}

}  // namespace tm_py
