#pragma once

// The interpreter's C API, restricted to the stable ABI (the build defines
// Py_LIMITED_API), plus the few helpers every file of the module shares.

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <string>
#include <string_view>

namespace vbk::python {

// An owned reference, released on scope exit unless taken with release().
class Ref {
 public:
  Ref() = default;
  explicit Ref(PyObject* o) : o_(o) {}
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  Ref(Ref&& r) noexcept : o_(r.release()) {}
  Ref& operator=(Ref&& r) noexcept {
    if (this != &r) {
      Py_XDECREF(o_);
      o_ = r.release();
    }
    return *this;
  }
  ~Ref() { Py_XDECREF(o_); }
  PyObject* get() const { return o_; }
  PyObject* release() {
    PyObject* o = o_;
    o_ = nullptr;
    return o;
  }
  explicit operator bool() const { return o_ != nullptr; }

 private:
  PyObject* o_ = nullptr;
};

// Raises `type` with a UTF-8 message; returns null for the caller to return.
PyObject* raise(PyObject* type, std::string_view message);

// The type name of an object, for messages ("int", "bytearray").
std::string type_name(PyObject* o);

}  // namespace vbk::python
