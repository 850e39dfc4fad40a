#pragma once

// What keeps the module's objects safe to use from Python: the owner-thread
// check, borrow cells, the two exception classes, and the call into the engine
// with the interpreter lock released.

#include <optional>
#include <string_view>
#include <thread>
#include <utility>

#include "error.h"
#include "python/py.h"

namespace vbk::python {

// The thread that created an object. Connections and cursors may only be used
// by it: nothing in the engine is shared between threads.
class Owner {
 public:
  bool is_current() const { return id_ == std::this_thread::get_id(); }

 private:
  std::thread::id id_ = std::this_thread::get_id();
};

// A run-time borrow flag: free, shared by any number of users, or held
// exclusively by one. Conflicts arise only from re-entrant calls (Python code
// that runs during a call, such as a parameter iterator).
class BorrowCell {
 public:
  bool try_shared() {
    if (state_ < 0) return false;
    ++state_;
    return true;
  }
  bool try_exclusive() {
    if (state_ != 0) return false;
    state_ = -1;
    return true;
  }
  void release_shared() { --state_; }
  void release_exclusive() { state_ = 0; }

 private:
  int state_ = 0;  // > 0: shared count; -1: exclusive
};

// A held borrow, released on scope exit.
class Borrow {
 public:
  Borrow() = default;
  Borrow(BorrowCell* cell, bool exclusive) : cell_(cell), exclusive_(exclusive) {}
  Borrow(const Borrow&) = delete;
  Borrow& operator=(const Borrow&) = delete;
  Borrow(Borrow&& o) noexcept : cell_(std::exchange(o.cell_, nullptr)), exclusive_(o.exclusive_) {}
  ~Borrow() {
    if (!cell_) return;
    if (exclusive_) {
      cell_->release_exclusive();
    } else {
      cell_->release_shared();
    }
  }

 private:
  BorrowCell* cell_ = nullptr;
  bool exclusive_ = false;
};

// Borrows an object: on a conflict raises RuntimeError "Already borrowed"
// (exclusive wanted) or "Already mutably borrowed" (shared wanted).
std::optional<Borrow> borrow_object(BorrowCell& cell, bool exclusive);

// The exception class of internal faults: derived from BaseException, not
// Exception, so that `except Exception` never swallows a broken invariant.
// Not part of the module's public names.
PyObject* fault_type();
PyObject* raise_fault(std::string_view message);

// velmarbrook.Error, created once per process on first need.
PyObject* error_type();
PyObject* raise_error(const Error& e);

// Raises the fault "{what} is unsendable, but sent to another thread" unless
// the calling thread owns the object.
bool check_owner(const Owner& owner, const char* what);

// Runs `f` (an engine call that touches no Python object) with the
// interpreter lock released, so that other Python threads run while this one
// works or waits for a file lock. An internal fault or exhausted memory is
// caught, the lock taken back, and the fault raised: the result is then
// empty with a Python exception set.
template <typename F>
auto without_gil(F&& f) -> std::optional<decltype(f())> {
  std::optional<decltype(f())> out;
  std::string fault;
  PyThreadState* ts = PyEval_SaveThread();
  try {
    out.emplace(f());
  } catch (const InternalFault& e) {
    fault = e.what();
  } catch (const std::bad_alloc&) {
    fault = "out of memory";
  }
  PyEval_RestoreThread(ts);
  if (!out) raise_fault(fault);
  return out;
}

}  // namespace vbk::python
