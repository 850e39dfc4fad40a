#pragma once

// Conversions between Python objects and the engine's values.

#include <optional>
#include <vector>

#include "python/py.h"
#include "record/value.h"

namespace vbk::python {

// A new reference to the Python form of a value: None, int, float, str or
// bytes. Null with an exception set when the interpreter refuses.
PyObject* to_python(const Value& v);

// One parameter: None, exactly bool, an int-like object within 64 bits, a
// float-like one, bytes (or a subclass), str (or a subclass), in that order.
// Anything else raises velmarbrook.Error; the failed attempts leave no
// exception behind.
std::optional<Value> to_value(PyObject* o);

// Every item of an iterable, converted in iteration order. Errors of the
// iteration itself pass through unchanged.
std::optional<std::vector<Value>> extract_params(PyObject* params);

}  // namespace vbk::python
