#pragma once

// Argument binding for the module's functions and methods. The interpreter's
// own parser words its errors differently from what this module promises, so
// arguments are matched to parameters here: by position, then by keyword,
// with TypeError texts in the interpreter's usual wording ("Cursor.execute()
// missing 1 required positional argument: 'sql'").

#include <array>
#include <span>
#include <string_view>

#include "python/py.h"

namespace vbk::python {

struct Signature {
  const char* func;                     // "Cursor.execute()", "connect()"
  std::span<const char* const> names;   // parameter names in order
  size_t required;                      // the first `required` names have no default
};

// Fills out[i] with a borrowed reference to the i-th parameter's argument, or
// null when it was not given (only possible past `required`). Returns false
// with TypeError raised when the arguments do not fit.
bool bind_args(const Signature& sig, PyObject* args, PyObject* kwargs, std::span<PyObject*> out);

// Prefixes the pending TypeError with "argument '{name}': "; other pending
// exceptions are left as they are. Returns null.
PyObject* argument_error(const char* name);

// A str argument as UTF-8, or null with "argument '{name}': ..." raised.
bool str_arg(PyObject* o, const char* name, std::string_view& out);

}  // namespace vbk::python
