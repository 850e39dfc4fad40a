#include "python/guard.h"

#include <string>

namespace vbk::python {

std::optional<Borrow> borrow_object(BorrowCell& cell, bool exclusive) {
  if (exclusive ? cell.try_exclusive() : cell.try_shared()) return Borrow(&cell, exclusive);
  raise(PyExc_RuntimeError, exclusive ? "Already borrowed" : "Already mutably borrowed");
  return std::nullopt;
}

PyObject* fault_type() {
  // Process-wide and never freed: the class outlives every module object.
  static PyObject* type = [] {
    PyObject* t = PyErr_NewException("velmarbrook.InternalFault", PyExc_BaseException, nullptr);
    if (!t) PyErr_Clear();
    return t;
  }();
  return type ? type : PyExc_SystemError;
}

PyObject* raise_fault(std::string_view message) { return raise(fault_type(), message); }

PyObject* error_type() {
  static PyObject* type = [] {
    PyObject* t = PyErr_NewExceptionWithDoc("velmarbrook.Error", "Velmarbrook database error.",
                                            PyExc_Exception, nullptr);
    if (!t) PyErr_Clear();
    return t;
  }();
  if (!type) fault("Failed to initialize new exception type.");
  return type;
}

PyObject* raise_error(const Error& e) { return raise(error_type(), e.display()); }

bool check_owner(const Owner& owner, const char* what) {
  if (owner.is_current()) return true;
  raise_fault(std::string(what) + " is unsendable, but sent to another thread");
  return false;
}

}  // namespace vbk::python
