#include "python/convert.h"

#include "python/guard.h"

namespace vbk::python {

PyObject* to_python(const Value& v) {
  switch (v.kind()) {
    case Value::Kind::Null:
      Py_RETURN_NONE;
    case Value::Kind::Int:
      return PyLong_FromLongLong(v.as_int());
    case Value::Kind::Real:
      return PyFloat_FromDouble(v.as_real());
    case Value::Kind::Text: {
      const std::string& s = v.as_text();
      return PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size()));
    }
    case Value::Kind::Blob: {
      const Bytes& b = v.as_blob();
      return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(b.data()),
                                       static_cast<Py_ssize_t>(b.size()));
    }
  }
  Py_RETURN_NONE;
}

namespace {

std::optional<int64_t> as_int64(PyObject* o) {
  if (!PyLong_Check(o) && !PyIndex_Check(o)) return std::nullopt;
  Ref index(PyNumber_Index(o));
  if (!index) {
    PyErr_Clear();
    return std::nullopt;
  }
  int overflow = 0;
  long long v = PyLong_AsLongLongAndOverflow(index.get(), &overflow);
  if (overflow != 0 || (v == -1 && PyErr_Occurred())) {
    PyErr_Clear();
    return std::nullopt;
  }
  return static_cast<int64_t>(v);
}

std::optional<double> as_double(PyObject* o) {
  double d = PyFloat_AsDouble(o);
  if (d == -1.0 && PyErr_Occurred()) {
    PyErr_Clear();
    return std::nullopt;
  }
  return d;
}

}  // namespace

std::optional<Value> to_value(PyObject* o) {
  if (o == Py_None) return Value::Null();
  if (Py_TYPE(o) == reinterpret_cast<PyTypeObject*>(&PyBool_Type)) {
    return Value::Int(o == Py_True ? 1 : 0);
  }
  if (auto i = as_int64(o)) return Value::Int(*i);
  // Strings and bytes have no float conversion, so they never stop here.
  if (auto d = as_double(o)) return Value::Real(*d);
  if (PyBytes_Check(o)) {
    char* data = nullptr;
    Py_ssize_t len = 0;
    if (PyBytes_AsStringAndSize(o, &data, &len) < 0) return std::nullopt;
    return Value::Blob(Bytes(data, data + len));
  }
  if (PyUnicode_Check(o)) {
    Py_ssize_t len = 0;
    const char* s = PyUnicode_AsUTF8AndSize(o, &len);
    if (!s) return std::nullopt;  // lone surrogates: the codec's error
    return Value::Text(std::string(s, static_cast<size_t>(len)));
  }
  raise(error_type(), "unsupported parameter type (want None/int/float/str/bytes)");
  return std::nullopt;
}

std::optional<std::vector<Value>> extract_params(PyObject* params) {
  Ref it(PyObject_GetIter(params));
  if (!it) return std::nullopt;
  std::vector<Value> out;
  while (PyObject* raw = PyIter_Next(it.get())) {
    Ref item(raw);
    std::optional<Value> v = to_value(item.get());
    if (!v) return std::nullopt;
    out.push_back(std::move(*v));
  }
  if (PyErr_Occurred()) return std::nullopt;
  return out;
}

}  // namespace vbk::python
