#include "python/args.h"

#include <string>

namespace vbk::python {

namespace {

// "'a'", "'a' and 'b'", "'a', 'b', and 'c'", as the interpreter lists names.
std::string quoted_list(std::span<const char* const> names) {
  std::string out;
  for (size_t i = 0; i < names.size(); ++i) {
    if (i > 0) out += names.size() == 2 ? " and " : (i + 1 == names.size() ? ", and " : ", ");
    out += '\'';
    out += names[i];
    out += '\'';
  }
  return out;
}

bool too_many_positional(const Signature& sig, size_t given) {
  size_t max = sig.names.size();
  std::string verb = given == 1 ? "was" : "were";
  std::string msg = sig.func;
  if (sig.required == max) {
    msg += " takes " + std::to_string(max) + " positional argument" + (max == 1 ? "" : "s");
  } else {
    msg += " takes from " + std::to_string(sig.required) + " to " + std::to_string(max) +
           " positional arguments";
  }
  msg += " but " + std::to_string(given) + " " + verb + " given";
  raise(PyExc_TypeError, msg);
  return false;
}

}  // namespace

bool bind_args(const Signature& sig, PyObject* args, PyObject* kwargs, std::span<PyObject*> out) {
  for (PyObject*& o : out) o = nullptr;
  Py_ssize_t npos = args ? PyTuple_Size(args) : 0;
  if (npos < 0) return false;
  if (static_cast<size_t>(npos) > sig.names.size()) {
    return too_many_positional(sig, static_cast<size_t>(npos));
  }
  for (Py_ssize_t i = 0; i < npos; ++i) out[static_cast<size_t>(i)] = PyTuple_GetItem(args, i);

  if (kwargs) {
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    Py_ssize_t pos = 0;
    while (PyDict_Next(kwargs, &pos, &key, &value)) {
      Py_ssize_t len = 0;
      const char* k = PyUnicode_Check(key) ? PyUnicode_AsUTF8AndSize(key, &len) : nullptr;
      if (!k) {
        PyErr_Clear();
        raise(PyExc_TypeError, std::string(sig.func) + " keywords must be strings");
        return false;
      }
      std::string_view kv(k, static_cast<size_t>(len));
      size_t idx = sig.names.size();
      for (size_t i = 0; i < sig.names.size(); ++i) {
        if (kv == sig.names[i]) idx = i;
      }
      if (idx == sig.names.size()) {
        raise(PyExc_TypeError,
              std::string(sig.func) + " got an unexpected keyword argument '" + std::string(kv) + "'");
        return false;
      }
      if (out[idx]) {
        raise(PyExc_TypeError, std::string(sig.func) + " got multiple values for argument '" +
                                   std::string(kv) + "'");
        return false;
      }
      out[idx] = value;
    }
  }

  std::array<const char*, 8> missing{};
  size_t n_missing = 0;
  for (size_t i = 0; i < sig.required; ++i) {
    if (!out[i] && n_missing < missing.size()) missing[n_missing++] = sig.names[i];
  }
  if (n_missing > 0) {
    raise(PyExc_TypeError, std::string(sig.func) + " missing " + std::to_string(n_missing) +
                               " required positional argument" + (n_missing == 1 ? "" : "s") +
                               ": " + quoted_list({missing.data(), n_missing}));
    return false;
  }
  return true;
}

PyObject* argument_error(const char* name) {
  if (!PyErr_ExceptionMatches(PyExc_TypeError)) return nullptr;
  PyObject* type = nullptr;
  PyObject* value = nullptr;
  PyObject* tb = nullptr;
  PyErr_Fetch(&type, &value, &tb);
  Ref t(type), v(value), b(tb);
  Ref text(v ? PyObject_Str(v.get()) : nullptr);
  const char* msg = text ? PyUnicode_AsUTF8AndSize(text.get(), nullptr) : nullptr;
  if (!msg) PyErr_Clear();
  return raise(PyExc_TypeError, std::string("argument '") + name + "': " + (msg ? msg : ""));
}

bool str_arg(PyObject* o, const char* name, std::string_view& out) {
  if (!PyUnicode_Check(o)) {
    raise(PyExc_TypeError, "'" + type_name(o) + "' object cannot be converted to 'str'");
    argument_error(name);
    return false;
  }
  Py_ssize_t len = 0;
  const char* s = PyUnicode_AsUTF8AndSize(o, &len);
  if (!s) return false;  // a lone surrogate: the codec's error passes through
  out = std::string_view(s, static_cast<size_t>(len));
  return true;
}

PyObject* raise(PyObject* type, std::string_view message) {
  Ref msg(PyUnicode_FromStringAndSize(message.data(), static_cast<Py_ssize_t>(message.size())));
  if (msg) PyErr_SetObject(type, msg.get());
  return nullptr;
}

std::string type_name(PyObject* o) {
  Ref t(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(o)), "__name__"));
  const char* s = t ? PyUnicode_AsUTF8AndSize(t.get(), nullptr) : nullptr;
  if (!s) {
    PyErr_Clear();
    return "?";
  }
  return s;
}

}  // namespace vbk::python
