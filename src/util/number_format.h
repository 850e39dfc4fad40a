#pragma once

// Decimal text of numbers: of 64-bit integers, and of 64-bit floats as the
// shortest digit string that reads back as exactly the same double, laid out
// positionally or with an exponent. The output never depends on the locale.

#include <cstdint>
#include <string>

namespace vbk {

// The integer in decimal, with a minus sign when negative and no leading
// zeros: "0", "-1", "-9223372036854775808".
void append_int(std::string& out, int64_t v);

// The shortest round-trip digits of a finite double: value = 0.d1d2...dn
// times 10^(exponent + 1), that is d1.d2...dn times 10^exponent. Zero has the
// one digit 0 and exponent 0.
struct ShortestDigits {
  char digits[17];  // at most 17 significant digits, no terminator
  uint32_t count;
  int32_t exponent;
  bool negative;  // the sign bit, so also set for -0.0
};

// `v` must be finite.
ShortestDigits shortest_digits(double v);

// Positional form with at least one digit after the point: "1.0", "0.0001",
// "-0.0", "9223372036854776000.0" (2^63: the shortest digits, padded with
// zeros), 1e100 spelled out in full. `v` finite.
void append_real_positional(std::string& out, double v);

// The same digits with no fraction when the value is whole: "1", "0.5",
// "-0", "100000000000000000000", "9223372036854776000"; and "NaN" (any sign
// or payload), "inf", "-inf". SQL's text form of a Real.
void append_real_plain(std::string& out, double v);

// Exponent form: the digits with a point after the first one only when there
// are more, then "e" and the exponent without a plus sign or leading zeros:
// "1e16", "1.5e-7", "-2.5e20", "0e0". `v` finite.
void append_real_exponent(std::string& out, double v);

// The engine's debug text of a double: "NaN" (any sign or payload), "inf",
// "-inf"; positional when the value is zero or 1e-4 <= |v| < 1e16; exponent
// form otherwise.
void append_real(std::string& out, double v);

}  // namespace vbk
