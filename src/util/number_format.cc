#include "util/number_format.h"

#include <charconv>
#include <cmath>
#include <system_error>

namespace vbk {

ShortestDigits shortest_digits(double v) {
  // Scientific to_chars without a precision gives the shortest round-trip
  // digits ("-1.2345e+06"); only its layout is rewritten here.
  char buf[40];
  const std::to_chars_result r = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::scientific);
  ShortestDigits d{};
  d.negative = std::signbit(v);
  const char* p = buf + (d.negative ? 1 : 0);
  for (; p < r.ptr && *p != 'e'; ++p) {
    if (*p != '.' && d.count < sizeof d.digits) d.digits[d.count++] = *p;
  }
  int32_t exponent = 0;
  if (p < r.ptr) std::from_chars(p + 1 + (p[1] == '+' ? 1 : 0), r.ptr, exponent);
  d.exponent = exponent;
  return d;
}

void append_real_positional(std::string& out, double v) {
  const ShortestDigits d = shortest_digits(v);
  if (d.negative) out += '-';
  const int64_t count = d.count;
  if (d.exponent < 0) {
    out += "0.";
    out.append(static_cast<size_t>(-static_cast<int64_t>(d.exponent) - 1), '0');
    out.append(d.digits, d.count);
    return;
  }
  // exponent + 1 digits before the point, padded with zeros when the digits
  // run out, and at least one digit after it.
  const int64_t whole = int64_t{d.exponent} + 1;
  if (count <= whole) {
    out.append(d.digits, d.count);
    out.append(static_cast<size_t>(whole - count), '0');
    out += ".0";
  } else {
    out.append(d.digits, static_cast<size_t>(whole));
    out += '.';
    out.append(d.digits + whole, static_cast<size_t>(count - whole));
  }
}

void append_real_exponent(std::string& out, double v) {
  const ShortestDigits d = shortest_digits(v);
  if (d.negative) out += '-';
  out += d.digits[0];
  if (d.count > 1) {
    out += '.';
    out.append(d.digits + 1, d.count - 1);
  }
  out += 'e';
  char buf[12];
  const std::to_chars_result r = std::to_chars(buf, buf + sizeof buf, d.exponent);
  out.append(buf, r.ptr);
}

void append_real(std::string& out, double v) {
  if (std::isnan(v)) {
    out += "NaN";
    return;
  }
  if (std::isinf(v)) {
    out += v < 0 ? "-inf" : "inf";
    return;
  }
  const double magnitude = std::fabs(v);
  if (magnitude == 0 || (magnitude >= 1e-4 && magnitude < 1e16)) {
    append_real_positional(out, v);
  } else {
    append_real_exponent(out, v);
  }
}

}  // namespace vbk
