#pragma once

// One SQL value: Null, Int (64-bit signed), Real (64-bit IEEE-754 float),
// Text (UTF-8) or Blob (bytes), in this fixed order. The order gives the ranks
// of compare::cmp_value and matches the tags of the key encoding.
//
// A Value owns its text or bytes outright; copies are deep and nothing is
// shared or counted. Moving is cheap (no allocation, noexcept), so registers,
// rows and parameter lists move values around freely.

#include <cstdint>
#include <string>
#include <utility>
#include <variant>

#include "util/bytes.h"

namespace vbk {

class Value {
 public:
  enum class Kind : uint8_t { Null, Int, Real, Text, Blob };

  Value() = default;  // Null

  static Value Null() { return Value(); }
  static Value Int(int64_t v) { return Value(std::in_place_index<1>, v); }
  // Any bit pattern, NaN and -0.0 included; nothing normalises it.
  static Value Real(double v) { return Value(std::in_place_index<2>, v); }
  // `text` must be valid UTF-8 (it may hold NUL characters).
  static Value Text(std::string text) { return Value(std::in_place_index<3>, std::move(text)); }
  static Value Blob(Bytes bytes) { return Value(std::in_place_index<4>, std::move(bytes)); }

  Kind kind() const { return static_cast<Kind>(v_.index()); }
  bool is_null() const { return v_.index() == 0; }

  // Payload accessors: each requires kind() to be its variant.
  int64_t as_int() const { return *std::get_if<1>(&v_); }
  double as_real() const { return *std::get_if<2>(&v_); }
  const std::string& as_text() const { return *std::get_if<3>(&v_); }
  std::string& as_text() { return *std::get_if<3>(&v_); }
  const Bytes& as_blob() const { return *std::get_if<4>(&v_); }
  Bytes& as_blob() { return *std::get_if<4>(&v_); }

  // The debug text, as error messages quote a value: Null, Int(-7),
  // Real(1.0), Real(1e16), Real(NaN), Text("a\"b"), Blob([0, 255]).
  void append_debug(std::string& out) const;
  std::string debug() const;

 private:
  template <size_t I, typename T>
  Value(std::in_place_index_t<I> tag, T&& payload) : v_(tag, std::forward<T>(payload)) {}

  // The alternatives' indexes are the Kind numbers.
  std::variant<std::monostate, int64_t, double, std::string, Bytes> v_;
};

}  // namespace vbk
