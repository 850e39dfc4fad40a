#include "util/number_format.h"

#include <charconv>
#include <cmath>
#include <system_error>

namespace vbk {

void append_int(std::string& out, int64_t v) {
  char buf[24];
  const std::to_chars_result r = std::to_chars(buf, buf + sizeof buf, v);
  out.append(buf, r.ptr);
}

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

namespace {

// The shortest digits laid out without exponent; a whole value gets ".0" only
// when `whole_fraction` is set.
void append_digits_positional(std::string& out, double v, bool whole_fraction) {
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
  // run out.
  const int64_t whole = int64_t{d.exponent} + 1;
  if (count <= whole) {
    out.append(d.digits, d.count);
    out.append(static_cast<size_t>(whole - count), '0');
    if (whole_fraction) out += ".0";
  } else {
    out.append(d.digits, static_cast<size_t>(whole));
    out += '.';
    out.append(d.digits + whole, static_cast<size_t>(count - whole));
  }
}

// "NaN", "inf" or "-inf" for a value that is not finite; false otherwise.
bool append_non_finite(std::string& out, double v) {
  if (std::isnan(v)) {
    out += "NaN";
    return true;
  }
  if (std::isinf(v)) {
    out += v < 0 ? "-inf" : "inf";
    return true;
  }
  return false;
}

}  // namespace

void append_real_positional(std::string& out, double v) { append_digits_positional(out, v, true); }

void append_real_plain(std::string& out, double v) {
  if (!append_non_finite(out, v)) append_digits_positional(out, v, false);
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
  append_int(out, d.exponent);
}

void append_real(std::string& out, double v) {
  if (append_non_finite(out, v)) return;
  const double magnitude = std::fabs(v);
  if (magnitude == 0 || (magnitude >= 1e-4 && magnitude < 1e16)) {
    append_real_positional(out, v);
  } else {
    append_real_exponent(out, v);
  }
}

}  // namespace vbk
