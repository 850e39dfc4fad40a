#include <array>

#include "python/args.h"
#include "python/convert.h"
#include "python/objects.h"

namespace vbk::python {

namespace {

constexpr const char* kName = "velmarbrook::Cursor";
constexpr const char* kConnName = "velmarbrook::Connection";

CursorState& state(PyObject* self) { return *reinterpret_cast<CursorObject*>(self)->state; }
ConnectionState& conn_state(const CursorState& c) {
  return *reinterpret_cast<ConnectionObject*>(c.conn)->state;
}

// Checks the owner and borrows the cursor object; an empty result has the
// exception set.
std::optional<Borrow> enter(PyObject* self, bool exclusive) {
  if (!check_owner(state(self).owner, kName)) return std::nullopt;
  return borrow_object(state(self).cell, exclusive);
}

// The database borrow cell: a conflict there is a broken invariant of the
// caller's program (a script started while an executemany on the same
// connection iterates its sequence).
std::optional<Borrow> borrow_db(ConnectionState& c, bool exclusive) {
  if (exclusive ? c.db_cell.try_exclusive() : c.db_cell.try_shared()) {
    return Borrow(&c.db_cell, exclusive);
  }
  raise_fault(exclusive ? "database already borrowed" : "database already mutably borrowed");
  return std::nullopt;
}

// A statement's outcome becomes the cursor's result: rows from the start,
// the row count, and the connection's last inserted rowid.
void take_result(CursorState& c, const Database& db, ExecResult result) {
  c.columns.clear();
  c.rows.clear();
  c.pos = 0;
  c.rowcount = -1;
  c.lastrowid = db.last_insert_rowid();
  if (auto* rows = std::get_if<ExecResult::Rows>(&result.node)) {
    c.columns = std::move(rows->columns);
    c.rows = std::move(rows->rows);
    c.rowcount = static_cast<int64_t>(c.rows.size());
  } else if (auto* n = std::get_if<ExecResult::Affected>(&result.node)) {
    c.rowcount = static_cast<int64_t>(n->count);
  }
}

PyObject* row_tuple(const vdbe::Row& row) {
  Ref t(PyTuple_New(static_cast<Py_ssize_t>(row.size())));
  if (!t) return nullptr;
  for (size_t i = 0; i < row.size(); ++i) {
    PyObject* v = to_python(row[i]);
    if (!v) return nullptr;
    PyTuple_SetItem(t.get(), static_cast<Py_ssize_t>(i), v);  // steals v
  }
  return t.release();
}

// The rows from pos up to `end` as a list of tuples; pos moves to `end`.
PyObject* take_rows(CursorState& c, size_t end) {
  Ref list(PyList_New(0));
  if (!list) return nullptr;
  for (size_t i = c.pos; i < end; ++i) {
    Ref t(row_tuple(c.rows[i]));
    if (!t || PyList_Append(list.get(), t.get()) < 0) return nullptr;
  }
  c.pos = end;
  return list.release();
}

PyObject* cur_execute(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    std::optional<Borrow> b = enter(self, true);
    if (!b) return nullptr;
    static constexpr std::array<const char*, 2> kNames = {"sql", "params"};
    std::array<PyObject*, 2> a{};
    if (!bind_args({"Cursor.execute()", kNames, 1}, args, kwargs, a)) return nullptr;
    return cursor_execute_body(reinterpret_cast<CursorObject*>(self), a[0], a[1]);
  });
}

PyObject* cur_executemany(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    std::optional<Borrow> b = enter(self, true);
    if (!b) return nullptr;
    static constexpr std::array<const char*, 2> kNames = {"sql", "seq"};
    std::array<PyObject*, 2> a{};
    if (!bind_args({"Cursor.executemany()", kNames, 2}, args, kwargs, a)) return nullptr;
    std::string_view sql;
    if (!str_arg(a[0], "sql", sql)) return nullptr;
    CursorState& c = state(self);
    ConnectionState& conn = conn_state(c);
    if (!check_owner(conn.owner, kConnName)) return nullptr;
    std::optional<Borrow> db_borrow = borrow_db(conn, false);
    if (!db_borrow) return nullptr;

    Database& db = *conn.db;
    auto prepared = without_gil([&] { return db.prepare(sql); });
    if (!prepared) return nullptr;
    if (!*prepared) return raise_error(prepared->error());

    Ref it(PyObject_GetIter(a[1]));
    if (!it) return nullptr;
    uint64_t total = 0;
    while (PyObject* raw = PyIter_Next(it.get())) {
      Ref item(raw);
      std::optional<std::vector<Value>> params = extract_params(item.get());
      if (!params) return nullptr;
      auto r = without_gil([&] { return db.execute_prepared(**prepared, *params); });
      if (!r) return nullptr;
      if (!*r) return raise_error(r->error());
      if (auto* n = std::get_if<ExecResult::Affected>(&(*r)->node)) total += n->count;
    }
    if (PyErr_Occurred()) return nullptr;
    take_result(c, db, ExecResult::Affected{total});
    Py_RETURN_NONE;
  });
}

PyObject* cur_fetchone(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    std::optional<Borrow> b = enter(self, true);
    if (!b) return nullptr;
    if (!no_args("Cursor.fetchone()", args, kwargs)) return nullptr;
    CursorState& c = state(self);
    if (c.pos >= c.rows.size()) Py_RETURN_NONE;
    PyObject* t = row_tuple(c.rows[c.pos]);
    if (t) ++c.pos;
    return t;
  });
}

PyObject* cur_fetchmany(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    std::optional<Borrow> b = enter(self, true);
    if (!b) return nullptr;
    static constexpr std::array<const char*, 1> kNames = {"size"};
    std::array<PyObject*, 1> a{};
    if (!bind_args({"Cursor.fetchmany()", kNames, 0}, args, kwargs, a)) return nullptr;
    uint64_t size = 1;
    if (a[0]) {
      Ref index(PyNumber_Index(a[0]));
      if (!index) return argument_error("size");
      size = PyLong_AsUnsignedLongLong(index.get());
      if (size == static_cast<uint64_t>(-1) && PyErr_Occurred()) return argument_error("size");
    }
    CursorState& c = state(self);
    size_t left = c.pos < c.rows.size() ? c.rows.size() - c.pos : 0;
    size_t n = size < left ? static_cast<size_t>(size) : left;
    return take_rows(c, c.pos + n);
  });
}

PyObject* cur_fetchall(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    std::optional<Borrow> b = enter(self, true);
    if (!b) return nullptr;
    if (!no_args("Cursor.fetchall()", args, kwargs)) return nullptr;
    CursorState& c = state(self);
    return take_rows(c, c.pos < c.rows.size() ? c.rows.size() : c.pos);
  });
}

PyObject* cur_close(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    std::optional<Borrow> b = enter(self, false);
    if (!b) return nullptr;
    if (!no_args("Cursor.close()", args, kwargs)) return nullptr;
    Py_RETURN_NONE;
  });
}

PyObject* cur_enter(PyObject* self, PyObject* args, PyObject* kwargs) {
  return enter_self("Cursor.__enter__()", self, args, kwargs);
}

PyObject* cur_exit(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    std::optional<Borrow> b = enter(self, false);
    if (!b) return nullptr;
    static constexpr std::array<const char*, 3> kNames = {"_t", "_v", "_b"};
    std::array<PyObject*, 3> a{};
    if (!bind_args({"Cursor.__exit__()", kNames, 3}, args, kwargs, a)) return nullptr;
    Py_RETURN_FALSE;
  });
}

PyObject* get_description(PyObject* self, void*) {
  return guarded([&]() -> PyObject* {
    std::optional<Borrow> b = enter(self, false);
    if (!b) return nullptr;
    CursorState& c = state(self);
    if (c.columns.empty()) Py_RETURN_NONE;
    Ref list(PyList_New(0));
    if (!list) return nullptr;
    for (const std::string& name : c.columns) {
      Ref n(PyUnicode_FromStringAndSize(name.data(), static_cast<Py_ssize_t>(name.size())));
      if (!n) return nullptr;
      Ref t(PyTuple_Pack(7, n.get(), Py_None, Py_None, Py_None, Py_None, Py_None, Py_None));
      if (!t || PyList_Append(list.get(), t.get()) < 0) return nullptr;
    }
    return list.release();
  });
}

PyObject* get_rowcount(PyObject* self, void*) {
  return guarded([&]() -> PyObject* {
    std::optional<Borrow> b = enter(self, false);
    if (!b) return nullptr;
    return PyLong_FromLongLong(state(self).rowcount);
  });
}

PyObject* get_lastrowid(PyObject* self, void*) {
  return guarded([&]() -> PyObject* {
    std::optional<Borrow> b = enter(self, false);
    if (!b) return nullptr;
    return PyLong_FromLongLong(state(self).lastrowid);
  });
}

void cur_dealloc(PyObject* self) {
  auto* o = reinterpret_cast<CursorObject*>(self);
  if (o->state) report_foreign_drop(o->state->owner, kName);
  if (o->state) {
    Py_XDECREF(o->state->conn);
    delete o->state;
    o->state = nullptr;
  }
  free_object(self);
}

PyMethodDef kMethods[] = {
    VBK_METHOD("execute", cur_execute,
               "execute($self, sql, params=None)\n--\n\nExecute one statement, optionally with `?` "
               "params (qmark paramstyle)."),
    VBK_METHOD("executemany", cur_executemany,
               "executemany($self, sql, seq)\n--\n\nPrepare once, execute for each param sequence "
               "in `seq`."),
    VBK_METHOD("fetchone", cur_fetchone, "fetchone($self)\n--\n\n"),
    VBK_METHOD("fetchmany", cur_fetchmany, "fetchmany($self, size=1)\n--\n\n"),
    VBK_METHOD("fetchall", cur_fetchall, "fetchall($self)\n--\n\n"),
    VBK_METHOD("close", cur_close, "close($self)\n--\n\n"),
    VBK_METHOD("__enter__", cur_enter, "__enter__($self)\n--\n\n"),
    VBK_METHOD("__exit__", cur_exit, "__exit__($self, _t, _v, _b)\n--\n\n"),
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef kGetSet[] = {
    {"description", get_description, nullptr,
     "DB-API: 7-tuples (name, type_code, \xE2\x80\xA6), or None before any query.", nullptr},
    {"rowcount", get_rowcount, nullptr, nullptr, nullptr},
    {"lastrowid", get_lastrowid, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(cur_dealloc)},
    {Py_tp_methods, kMethods},
    {Py_tp_getset, kGetSet},
    {0, nullptr},
};

}  // namespace

PyObject* cursor_execute_body(CursorObject* cur, PyObject* sql_obj, PyObject* params) {
  CursorState& c = *cur->state;
  ConnectionState& conn = conn_state(c);
  if (!check_owner(conn.owner, kConnName)) return nullptr;
  std::string_view sql;
  if (!str_arg(sql_obj, "sql", sql)) return nullptr;
  Database& db = *conn.db;

  std::optional<Result<ExecResult>> outcome;
  if (!params || params == Py_None) {
    std::optional<Borrow> db_borrow = borrow_db(conn, true);
    if (!db_borrow) return nullptr;
    auto r = without_gil([&]() -> Result<ExecResult> {
      auto results = db.execute(sql);
      if (!results) return std::unexpected(results.error());
      if (results->empty()) return ExecResult{ExecResult::Done{}};
      return std::move(results->back());
    });
    if (!r) return nullptr;
    outcome = std::move(*r);
  } else {
    // Parameters are converted before the statement is prepared.
    std::optional<std::vector<Value>> values = extract_params(params);
    if (!values) return nullptr;
    std::optional<Borrow> db_borrow = borrow_db(conn, false);
    if (!db_borrow) return nullptr;
    auto r = without_gil([&]() -> Result<ExecResult> {
      auto prepared = db.prepare(sql);
      if (!prepared) return std::unexpected(prepared.error());
      return db.execute_prepared(*prepared, *values);
    });
    if (!r) return nullptr;
    outcome = std::move(*r);
  }
  if (!*outcome) return raise_error(outcome->error());
  take_result(c, db, std::move(**outcome));
  Py_RETURN_NONE;
}

PyTypeObject* cursor_type() {
  static PyTypeObject* type = [] {
    static PyType_Spec spec = {"builtins.Cursor", sizeof(CursorObject), 0,
                               Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION, kSlots};
    return reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&spec));
  }();
  return type;
}

PyObject* new_cursor(PyObject* conn) {
  PyTypeObject* tp = cursor_type();
  if (!tp) return nullptr;
  // The state first: should it fail, no half-made object is left behind.
  auto state = std::make_unique<CursorState>();
  auto* o = PyObject_New(CursorObject, tp);
  if (!o) return nullptr;
  o->state = state.release();
  Py_INCREF(conn);
  o->state->conn = conn;
  return reinterpret_cast<PyObject*>(o);
}

}  // namespace vbk::python
