#pragma once

// What SQL values mean inside expressions: truth, the numeric readings of a
// text, arithmetic, comparison, three-valued logic, CAST, LIKE, the column
// affinity applied before a row is stored, and the text form of a value.
//
// Every operation is total: it borrows its operands, returns a new value and
// never fails. Division or remainder by zero gives NULL, integer overflow a
// Real, an unreadable text reads as 0.

#include <compare>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "record/value.h"
#include "sql/ast.h"

namespace vbk::value_ops {

// Truth: NULL and blobs are never true; numbers when not zero (NaN is true);
// a text by its prefix reading.
bool is_truthy(const Value& v);

// The prefix reading of a text: the trimmed text as a float literal, else its
// longest prefix that is one, else 0.0.
double num_from_text(std::string_view text);

// The whole reading: the trimmed text as a float literal, or none.
std::optional<double> real_from_text(std::string_view text);

// The trimmed text as an integer literal that fits 64 bits, or none.
std::optional<int64_t> int_from_text(std::string_view text);

// `text` as it is (not trimmed) as an integer literal: an optional sign, one
// or more ASCII digits, a value that fits 64 bits; or none.
std::optional<int64_t> int_from_literal(std::string_view text);

// The float reading of arithmetic and CAST: an Int converted to the nearest
// float, a Real itself, a Text by its prefix reading, a Blob (or NULL) 0.0.
double float_reading(const Value& v);

// A float as an integer: truncated toward zero, saturated at the ends of the
// 64-bit range, NaN as 0.
int64_t int_from_real(double x);

Value add(const Value& a, const Value& b);
Value sub(const Value& a, const Value& b);
Value mul(const Value& a, const Value& b);
Value div(const Value& a, const Value& b);
Value rem(const Value& a, const Value& b);

// The order of two values for the six comparisons, none when either is NULL.
// A text against a number compares as floats (the text by its prefix
// reading, NaN equal to everything); any other pair by compare::cmp_value.
std::optional<std::weak_ordering> compare_values(const Value& a, const Value& b);

// Int(1), Int(0) or NULL.
Value eq(const Value& a, const Value& b);
Value ge(const Value& a, const Value& b);

// Three-valued logic: Int(1), Int(0) or NULL.
Value and_(const Value& a, const Value& b);
Value or_(const Value& a, const Value& b);
Value not_(const Value& a);

Value neg(const Value& a);

Value cast_value(const Value& v, CastType to);

// `v` LIKE `pattern` (NOT LIKE when negated): Int(1), Int(0) or NULL.
Value like_op(const Value& v, const Value& pattern, bool negated);

// Numeric affinity of a column, applied in place to a text value before it is
// stored (`real` for a REAL-like declared type). Other kinds are left alone.
void apply_affinity(Value& v, bool real);

// The text form: an Int in decimal, a Real as its shortest round-trip digits
// written positionally without exponent and without a fraction when whole
// ("1", "0.5", "-0", "NaN", "inf"), a Text itself, a Blob empty, NULL empty.
void append_text_form(std::string& out, const Value& v);
std::string text_form(const Value& v);

// The text form without a copy: a Text's own bytes, or the form of any other
// value written into `scratch` (which the view then points into).
std::string_view text_form_view(const Value& v, std::string& scratch);

}  // namespace vbk::value_ops
