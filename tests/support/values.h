#pragma once

// Short value constructors and limits for tables of test cases, and values
// and rows shown as text.

#include <cstdint>
#include <limits>
#include <string>
#include <utility>
#include <vector>

#include "record/value.h"

namespace vbk::testing {

inline constexpr int64_t kMinInt = std::numeric_limits<int64_t>::min();
inline constexpr int64_t kMaxInt = std::numeric_limits<int64_t>::max();
inline constexpr double kInf = std::numeric_limits<double>::infinity();
inline constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
inline constexpr double kTwo63 = 9223372036854775808.0;

inline Value I(int64_t v) { return Value::Int(v); }
inline Value R(double v) { return Value::Real(v); }
inline Value T(std::string v) { return Value::Text(std::move(v)); }
inline Value B(Bytes v) { return Value::Blob(std::move(v)); }
inline Value N() { return Value::Null(); }

// One value as text for exact comparison: the debug text tells the kinds
// apart, shows a Real's shortest digits (so -0.0 differs from 0.0) and
// prints every NaN alike.
inline std::string show(const Value& v) { return v.debug(); }

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
