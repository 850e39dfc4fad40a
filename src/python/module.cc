// The extension module `velmarbrook`: multi-phase initialisation, connect(),
// and the module's names, in the order they are added to __all__.

#include <array>

#include "python/args.h"
#include "python/objects.h"

namespace vbk::python {

namespace {

PyObject* connect(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static constexpr std::array<const char*, 1> kNames = {"path"};
    std::array<PyObject*, 1> a{};
    if (!bind_args({"connect()", kNames, 1}, args, kwargs, a)) return nullptr;
    std::string_view path;
    if (!str_arg(a[0], "path", path)) return nullptr;
    // The path travels with its length: one holding NUL fails in the file
    // layer instead of being cut short.
    auto db = without_gil([&] { return Database::open(path); });
    if (!db) return nullptr;
    if (!*db) return raise_error(db->error());
    return new_connection(std::make_unique<Database>(std::move(**db)));
  });
}

PyMethodDef kConnectDef = {
    "connect", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(connect)),
    METH_VARARGS | METH_KEYWORDS, "connect(path)\n--\n\nOpen (or create) a database file."};

// Appends `name` to __all__ (creating the list when missing), then sets the
// attribute; takes the reference to `value`.
bool add(PyObject* module, const char* name, PyObject* value) {
  Ref v(value);
  if (!v) return false;
  Ref all(PyObject_GetAttrString(module, "__all__"));
  if (!all) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
    PyErr_Clear();
    all = Ref(PyList_New(0));
    if (!all || PyObject_SetAttrString(module, "__all__", all.get()) < 0) return false;
  }
  Ref n(PyUnicode_FromString(name));
  if (!n || PyList_Append(all.get(), n.get()) < 0) return false;
  return PyObject_SetAttrString(module, name, v.get()) == 0;
}

PyObject* new_ref(PyObject* o) {
  Py_XINCREF(o);
  return o;
}

int exec_module(PyObject* module) {
  // Py_None only says "done": it is not handed to anyone.
  PyObject* done = guarded([&]() -> PyObject* {
    if (!PyModule_Check(module)) return raise(PyExc_TypeError, "velmarbrook: expected a module object");
    bool ok = add(module, "connect", PyCFunction_NewEx(&kConnectDef, nullptr, nullptr)) &&
              add(module, "Connection", new_ref(reinterpret_cast<PyObject*>(connection_type()))) &&
              add(module, "Cursor", new_ref(reinterpret_cast<PyObject*>(cursor_type()))) &&
              add(module, "Error", new_ref(error_type())) &&
              add(module, "apilevel", PyUnicode_FromString("2.0")) &&
              add(module, "threadsafety", PyLong_FromLong(1)) &&
              add(module, "paramstyle", PyUnicode_FromString("qmark")) &&
              add(module, "__version__", PyUnicode_FromString("0.1.2"));
    return ok ? Py_None : nullptr;
  });
  return done != nullptr ? 0 : -1;
}

PyModuleDef_Slot kSlots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {0, nullptr},
};

PyModuleDef kModule = {
    PyModuleDef_HEAD_INIT, "velmarbrook", "", 0, nullptr, kSlots, nullptr, nullptr, nullptr,
};

}  // namespace

}  // namespace vbk::python

extern "C" __attribute__((visibility("default"))) PyObject* PyInit_velmarbrook() {
  return PyModuleDef_Init(&vbk::python::kModule);
}
