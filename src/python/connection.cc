#include <array>

#include "python/args.h"
#include "python/objects.h"

namespace vbk::python {

namespace {

constexpr const char* kName = "velmarbrook::Connection";

ConnectionState& state(PyObject* self) { return *reinterpret_cast<ConnectionObject*>(self)->state; }

PyObject* conn_cursor(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    if (!no_args("Connection.cursor()", args, kwargs)) return nullptr;
    return new_cursor(self);
  });
}

PyObject* conn_execute(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static constexpr std::array<const char*, 2> kNames = {"sql", "params"};
    std::array<PyObject*, 2> a{};
    if (!bind_args({"Connection.execute()", kNames, 1}, args, kwargs, a)) return nullptr;
    Ref cur(new_cursor(self));
    if (!cur) return nullptr;
    auto* c = reinterpret_cast<CursorObject*>(cur.get());
    std::optional<Borrow> b = borrow_object(c->state->cell, true);
    if (!b) return nullptr;
    Ref done(cursor_execute_body(c, a[0], a[1]));
    if (!done) return nullptr;
    return cur.release();
  });
}

// commit, rollback and close: transactions are controlled by SQL statements
// only, and the file closes when the connection and its cursors are gone.
PyObject* conn_noop(PyObject* self, PyObject* args, PyObject* kwargs, const char* func) {
  return guarded([&]() -> PyObject* {
    if (!no_args(func, args, kwargs)) return nullptr;
    if (!check_owner(state(self).owner, kName)) return nullptr;
    Py_RETURN_NONE;
  });
}
PyObject* conn_commit(PyObject* s, PyObject* a, PyObject* k) { return conn_noop(s, a, k, "Connection.commit()"); }
PyObject* conn_rollback(PyObject* s, PyObject* a, PyObject* k) { return conn_noop(s, a, k, "Connection.rollback()"); }
PyObject* conn_close(PyObject* s, PyObject* a, PyObject* k) { return conn_noop(s, a, k, "Connection.close()"); }

PyObject* conn_enter(PyObject* self, PyObject* args, PyObject* kwargs) {
  return enter_self("Connection.__enter__()", self, args, kwargs);
}

PyObject* conn_exit(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static constexpr std::array<const char*, 3> kNames = {"_t", "_v", "_b"};
    std::array<PyObject*, 3> a{};
    if (!bind_args({"Connection.__exit__()", kNames, 3}, args, kwargs, a)) return nullptr;
    if (!check_owner(state(self).owner, kName)) return nullptr;
    Py_RETURN_FALSE;
  });
}

void conn_dealloc(PyObject* self) {
  auto* o = reinterpret_cast<ConnectionObject*>(self);
  if (o->state) report_foreign_drop(o->state->owner, kName);
  // The contents are released even on a foreign thread: nobody can reach the
  // object any more, and keeping the database open would keep its file locks
  // (an open transaction's exclusive lock among them) for the life of the
  // process.
  try {
    delete o->state;
  } catch (...) {
    // Destroying a database does no fallible work; nothing can be raised here.
  }
  o->state = nullptr;
  free_object(self);
}

PyMethodDef kMethods[] = {
    VBK_METHOD("cursor", conn_cursor, "cursor($self)\n--\n\n"),
    VBK_METHOD("execute", conn_execute,
               "execute($self, sql, params=None)\n--\n\nConvenience: make a cursor, run one "
               "statement, return the cursor."),
    VBK_METHOD("commit", conn_commit, "commit($self)\n--\n\n"),
    VBK_METHOD("rollback", conn_rollback, "rollback($self)\n--\n\n"),
    VBK_METHOD("close", conn_close, "close($self)\n--\n\n"),
    VBK_METHOD("__enter__", conn_enter, "__enter__($self)\n--\n\n"),
    VBK_METHOD("__exit__", conn_exit, "__exit__($self, _t, _v, _b)\n--\n\n"),
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(conn_dealloc)},
    {Py_tp_methods, kMethods},
    {0, nullptr},
};

}  // namespace

PyTypeObject* connection_type() {
  static PyTypeObject* type = [] {
    static PyType_Spec spec = {"builtins.Connection", sizeof(ConnectionObject), 0,
                               Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION, kSlots};
    return reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&spec));
  }();
  return type;
}

PyObject* new_connection(std::unique_ptr<Database> db) {
  PyTypeObject* tp = connection_type();
  if (!tp) return nullptr;
  // The state first: should it fail, no half-made object is left behind.
  auto state = std::make_unique<ConnectionState>(Owner(), std::move(db), BorrowCell());
  auto* o = PyObject_New(ConnectionObject, tp);
  if (!o) return nullptr;
  o->state = state.release();
  return reinterpret_cast<PyObject*>(o);
}

}  // namespace vbk::python
