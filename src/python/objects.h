#pragma once

// The two classes of the module, Connection and Cursor, and their layouts.
// Both are heap types without a module of their own ("builtins.Connection")
// that Python code cannot instantiate: instances come from connect(),
// Connection.cursor() and Connection.execute().

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "exec/database.h"
#include "python/guard.h"
#include "python/py.h"
#include "vdbe/finish.h"

namespace vbk::python {

// Created once per process on first need; never freed.
PyTypeObject* connection_type();
PyTypeObject* cursor_type();

struct ConnectionState {
  Owner owner;
  std::unique_ptr<Database> db;
  // A script needs the database exclusively; prepared work shares it.
  BorrowCell db_cell;
};

struct CursorState {
  Owner owner;
  BorrowCell cell;  // the cursor object's own borrows
  PyObject* conn = nullptr;  // strong reference: keeps the file open
  std::vector<std::string> columns;
  std::vector<vdbe::Row> rows;
  size_t pos = 0;
  int64_t rowcount = -1;
  int64_t lastrowid = 0;
};

// The interpreter allocates and frees the objects' memory, which knows
// nothing of C++ lifetimes, so the C++ state is a separate allocation: made
// with new when the object is made and deleted in the object's deallocator,
// the one owner it has.
struct ConnectionObject {
  PyObject_HEAD
  ConnectionState* state;
};
struct CursorObject {
  PyObject_HEAD
  CursorState* state;
};

// A new Connection owning `db`, owned by the calling thread.
PyObject* new_connection(std::unique_ptr<Database> db);
// A new Cursor on `conn`, owned by the calling thread.
PyObject* new_cursor(PyObject* conn);

// The shared body of Cursor.execute and Connection.execute.
PyObject* cursor_execute_body(CursorObject* cur, PyObject* sql, PyObject* params);

// The methods without arguments still bind them, so that extra arguments are
// reported in the module's wording.
bool no_args(const char* func, PyObject* args, PyObject* kwargs);

// __enter__ of both classes: the object itself, without an owner check.
PyObject* enter_self(const char* func, PyObject* self, PyObject* args, PyObject* kwargs);

// The end of a deallocator: reports an object dropped on a thread other than
// its owner's as unraisable (its contents are released all the same, by the
// caller), then frees the object and its reference to its heap type.
void report_foreign_drop(const Owner& owner, const char* name);
void free_object(PyObject* self);

// A method table entry: every method takes positional and keyword arguments
// and binds them itself.
#define VBK_METHOD(name, fn, doc)                                                                \
  {name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fn)),                       \
   METH_VARARGS | METH_KEYWORDS, doc}

// Runs `body` and turns an internal fault or exhausted memory escaping from
// it into the module's fault exception: nothing C++ crosses into the
// interpreter.
template <typename F>
PyObject* guarded(F&& body) {
  try {
    return body();
  } catch (const InternalFault& e) {
    return raise_fault(e.what());
  } catch (const std::bad_alloc&) {
    return raise_fault("out of memory");
  }
}

}  // namespace vbk::python
