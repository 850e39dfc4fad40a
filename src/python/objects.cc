#include "python/objects.h"

#include <string>

#include "python/args.h"

namespace vbk::python {

bool no_args(const char* func, PyObject* args, PyObject* kwargs) {
  Signature sig{func, {}, 0};
  return bind_args(sig, args, kwargs, {});
}

PyObject* enter_self(const char* func, PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    if (!no_args(func, args, kwargs)) return nullptr;
    Py_INCREF(self);
    return self;
  });
}

void report_foreign_drop(const Owner& owner, const char* name) {
  if (owner.is_current()) return;
  // An object is often dropped while an exception unwinds the frame that
  // held it: that exception is set aside for the report and put back.
  PyObject *type, *value, *traceback;
  PyErr_Fetch(&type, &value, &traceback);
  raise(PyExc_RuntimeError, std::string(name) + " is unsendable, but is being dropped on another thread");
  PyErr_WriteUnraisable(nullptr);
  PyErr_Restore(type, value, traceback);
}

void free_object(PyObject* self) {
  PyTypeObject* tp = Py_TYPE(self);
  auto free_fn = reinterpret_cast<freefunc>(PyType_GetSlot(tp, Py_tp_free));
  free_fn(self);
  Py_DECREF(tp);
}

}  // namespace vbk::python
