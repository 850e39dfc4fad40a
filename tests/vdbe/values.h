#pragma once

// Short value constructors for the tables of cases, and the exact comparison
// of two values: their debug texts, which tell the kinds apart, show a Real's
// shortest digits (so -0.0 differs from 0.0) and print every NaN alike.

#include <cstdint>
#include <initializer_list>
#include <limits>
#include <string>

#include "record/value.h"

namespace vbk::testing {

inline constexpr int64_t kMinInt = std::numeric_limits<int64_t>::min();
inline constexpr int64_t kMaxInt = std::numeric_limits<int64_t>::max();
inline constexpr double kInf = std::numeric_limits<double>::infinity();
inline constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
inline constexpr double kTwo63 = 9223372036854775808.0;

inline Value N() { return Value::Null(); }
inline Value I(int64_t v) { return Value::Int(v); }
inline Value R(double v) { return Value::Real(v); }
inline Value T(std::string s) { return Value::Text(std::move(s)); }
inline Value B(std::initializer_list<uint8_t> bytes) { return Value::Blob(Bytes(bytes)); }

inline std::string show(const Value& v) { return v.debug(); }

}  // namespace vbk::testing
