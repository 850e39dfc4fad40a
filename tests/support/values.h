#pragma once

// Short value constructors for tables of test cases.

#include <cstdint>
#include <utility>

#include "record/value.h"

namespace vbk::testing {

inline Value I(int64_t v) { return Value::Int(v); }
inline Value R(double v) { return Value::Real(v); }
inline Value T(const char* v) { return Value::Text(v); }
inline Value B(Bytes v) { return Value::Blob(std::move(v)); }
inline Value N() { return Value::Null(); }

}  // namespace vbk::testing
