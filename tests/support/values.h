#pragma once

// Short value constructors for tables of test cases, and rows shown as text.

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "record/value.h"

namespace vbk::testing {

inline Value I(int64_t v) { return Value::Int(v); }
inline Value R(double v) { return Value::Real(v); }
inline Value T(const char* v) { return Value::Text(v); }
inline Value B(Bytes v) { return Value::Blob(std::move(v)); }
inline Value N() { return Value::Null(); }

// Rows as one text for assertions: "[Int(1), Null][Text(\"a\")]".
inline std::string show_rows(const std::vector<std::vector<Value>>& rows) {
  std::string out;
  for (const auto& r : rows) {
    out += '[';
    for (size_t i = 0; i < r.size(); ++i) {
      if (i > 0) out += ", ";
      r[i].append_debug(out);
    }
    out += ']';
  }
  return out;
}

}  // namespace vbk::testing
