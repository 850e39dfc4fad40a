#include "vdbe/value_ops.h"

#include <array>
#include <cmath>
#include <limits>

#include "record/compare.h"
#include "util/number_format.h"
#include "util/parse_real.h"
#include "util/unicode.h"

namespace vbk::value_ops {

namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
// 2^63: the first float above every 64-bit integer, and minus the smallest.
constexpr double kTwo63 = 9223372036854775808.0;

// True when `word` (lower case) stands at `at` in `s`, ignoring ASCII case.
bool word_at(std::string_view s, size_t at, std::string_view word) {
  if (s.size() - at < word.size()) return false;
  for (size_t k = 0; k < word.size(); ++k) {
    if (unicode::ascii_lower(s[at + k]) != word[k]) return false;
  }
  return true;
}

// The longest prefix of `s` that is a float literal, and its value. Every
// byte of the grammar is ASCII, so each prefix it accepts ends at a character
// boundary. One forward pass: the digits are converted only once their
// extent is known.
struct FloatPrefix {
  size_t length = 0;  // 0: no prefix is a float literal
  double value = 0;
};

FloatPrefix float_prefix(std::string_view s) {
  size_t i = 0;
  bool negative = false;
  if (i < s.size() && (s[i] == '+' || s[i] == '-')) negative = s[i++] == '-';
  FloatPrefix r;
  if (word_at(s, i, "inf")) {
    r.length = i + (word_at(s, i, "infinity") ? 8 : 3);
    r.value = kInf;
  } else if (word_at(s, i, "nan")) {
    r.length = i + 3;
    r.value = std::numeric_limits<double>::quiet_NaN();
  } else {
    const size_t body = i;
    const size_t whole_digits = digit_run(s, i);
    size_t end = whole_digits > 0 ? i + whole_digits : 0;
    i += whole_digits;
    if (i < s.size() && s[i] == '.') {
      const size_t fraction_digits = digit_run(s, i + 1);
      // "5." is a number, "." alone is none.
      if (whole_digits > 0 || fraction_digits > 0) end = i + 1 + fraction_digits;
    }
    if (end == 0) return {};
    // An exponent counts only with at least one digit: "1e" reads as "1".
    if (end < s.size() && (s[end] == 'e' || s[end] == 'E')) {
      size_t e = end + 1;
      if (e < s.size() && (s[e] == '+' || s[e] == '-')) ++e;
      const size_t exponent_digits = digit_run(s, e);
      if (exponent_digits > 0) end = e + exponent_digits;
    }
    r.length = end;
    r.value = parse_real(s.substr(body, end - body));
  }
  if (negative) r.value = -r.value;
  return r;
}

bool is_number(const Value& v) { return v.kind() == Value::Kind::Int || v.kind() == Value::Kind::Real; }
bool both_int(const Value& a, const Value& b) {
  return a.kind() == Value::Kind::Int && b.kind() == Value::Kind::Int;
}

enum class Arith : uint8_t { Add, Sub, Mul };

Value arith(Arith op, const Value& a, const Value& b) {
  if (a.is_null() || b.is_null()) return Value::Null();
  if (both_int(a, b)) {
    int64_t r = 0;
    bool overflow = false;
    switch (op) {
      case Arith::Add:
        overflow = __builtin_add_overflow(a.as_int(), b.as_int(), &r);
        break;
      case Arith::Sub:
        overflow = __builtin_sub_overflow(a.as_int(), b.as_int(), &r);
        break;
      case Arith::Mul:
        overflow = __builtin_mul_overflow(a.as_int(), b.as_int(), &r);
        break;
    }
    if (!overflow) return Value::Int(r);
  }
  // Mixed kinds, or an integer overflow: the same operation in floats.
  const double x = float_reading(a);
  const double y = float_reading(b);
  switch (op) {
    case Arith::Add:
      return Value::Real(x + y);
    case Arith::Sub:
      return Value::Real(x - y);
    case Arith::Mul:
      break;
  }
  return Value::Real(x * y);
}

// The float divisor of a division or remainder that is not between two Ints,
// or none when the result is NULL: a blob, or a reading of zero. NaN passes.
std::optional<double> float_divisor(const Value& b) {
  if (b.kind() == Value::Kind::Blob) return std::nullopt;
  const double y = float_reading(b);
  if (y == 0.0) return std::nullopt;
  return y;
}

enum class Truth : uint8_t { False, True, Unknown };

Truth truth(const Value& v) {
  if (v.is_null()) return Truth::Unknown;
  return is_truthy(v) ? Truth::True : Truth::False;
}

Value bool_value(bool b) { return Value::Int(b ? 1 : 0); }

// ASCII case folding of LIKE, one lookup per byte: A-Z become a-z, every
// other byte (UTF-8 lead and continuation bytes included) stays.
constexpr std::array<uint8_t, 256> kLikeFold = [] {
  std::array<uint8_t, 256> t{};
  for (size_t b = 0; b < t.size(); ++b) {
    t[b] = static_cast<uint8_t>(unicode::ascii_lower(static_cast<char>(b)));
  }
  return t;
}();

uint8_t fold(char c) { return kLikeFold[static_cast<uint8_t>(c)]; }

// Greedy matching with one resume point: the latest "%" absorbs one more byte
// of the text whenever what follows it fails. Linear in the text while the
// pattern holds at most one "%"; at most text x pattern steps otherwise.
bool like_match(std::string_view t, std::string_view p) {
  size_t i = 0;
  size_t j = 0;
  bool resumable = false;
  size_t resume_j = 0;  // the position of the latest "%" in p
  size_t resume_i = 0;  // where in t the bytes it absorbs end
  while (i < t.size()) {
    if (j < p.size() && p[j] == '%') {
      resumable = true;
      resume_j = j;
      resume_i = i;
      ++j;
    } else if (j < p.size() && (p[j] == '_' || fold(p[j]) == fold(t[i]))) {
      ++i;
      ++j;
    } else if (resumable) {
      // The "%" absorbs one more byte. When it ends the pattern it absorbs
      // the rest; when a plain byte follows it, every text byte that differs
      // from that byte would fail again at once, so skip straight to the next
      // equal one.
      const size_t next = resume_j + 1;
      if (next == p.size()) return true;
      size_t at = resume_i + 1;
      if (p[next] != '%' && p[next] != '_') {
        const uint8_t want = fold(p[next]);
        while (at < t.size() && fold(t[at]) != want) ++at;
        if (at == t.size()) return false;
      }
      resume_i = at;
      i = at;
      j = next;
    } else {
      return false;
    }
  }
  while (j < p.size() && p[j] == '%') ++j;
  return j == p.size();
}

}  // namespace

bool is_truthy(const Value& v) {
  switch (v.kind()) {
    case Value::Kind::Int:
      return v.as_int() != 0;
    case Value::Kind::Real:
      return v.as_real() != 0.0;  // NaN compares unequal: true
    case Value::Kind::Text:
      return num_from_text(v.as_text()) != 0.0;
    case Value::Kind::Null:
    case Value::Kind::Blob:
      break;
  }
  return false;
}

double num_from_text(std::string_view text) {
  // Trailing blanks never belong to a literal prefix, so only the leading
  // ones matter; trimming both ends costs nothing more on a text without.
  return float_prefix(unicode::trim_white_space(text)).value;
}

std::optional<double> real_from_text(std::string_view text) {
  const std::string_view s = unicode::trim_white_space(text);
  const FloatPrefix r = float_prefix(s);
  if (r.length == 0 || r.length != s.size()) return std::nullopt;
  return r.value;
}

std::optional<int64_t> int_from_literal(std::string_view text) {
  size_t i = 0;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  if (i == text.size()) return std::nullopt;
  // A negative value is built downwards so that INT64_MIN is reachable.
  int64_t v = 0;
  for (; i < text.size(); ++i) {
    if (!is_digit(text[i])) return std::nullopt;
    const int digit = text[i] - '0';
    if (__builtin_mul_overflow(v, 10, &v)) return std::nullopt;
    if (negative ? __builtin_sub_overflow(v, digit, &v) : __builtin_add_overflow(v, digit, &v)) {
      return std::nullopt;
    }
  }
  return v;
}

std::optional<int64_t> int_from_text(std::string_view text) {
  return int_from_literal(unicode::trim_white_space(text));
}

double float_reading(const Value& v) {
  switch (v.kind()) {
    case Value::Kind::Int:
      return static_cast<double>(v.as_int());
    case Value::Kind::Real:
      return v.as_real();
    case Value::Kind::Text:
      return num_from_text(v.as_text());
    case Value::Kind::Null:
    case Value::Kind::Blob:
      break;
  }
  return 0.0;
}

int64_t int_from_real(double x) {
  if (std::isnan(x)) return 0;
  if (x >= kTwo63) return std::numeric_limits<int64_t>::max();
  if (x <= -kTwo63) return std::numeric_limits<int64_t>::min();
  return static_cast<int64_t>(x);  // in range: truncates toward zero
}

Value add(const Value& a, const Value& b) { return arith(Arith::Add, a, b); }
Value sub(const Value& a, const Value& b) { return arith(Arith::Sub, a, b); }
Value mul(const Value& a, const Value& b) { return arith(Arith::Mul, a, b); }

Value div(const Value& a, const Value& b) {
  if (a.is_null() || b.is_null()) return Value::Null();
  if (both_int(a, b)) {
    const int64_t x = a.as_int();
    const int64_t y = b.as_int();
    if (y == 0) return Value::Null();
    if (x == std::numeric_limits<int64_t>::min() && y == -1) return Value::Real(kTwo63);
    return Value::Int(x / y);
  }
  const std::optional<double> y = float_divisor(b);
  if (!y) return Value::Null();
  return Value::Real(float_reading(a) / *y);
}

Value rem(const Value& a, const Value& b) {
  if (a.is_null() || b.is_null()) return Value::Null();
  if (both_int(a, b)) {
    const int64_t x = a.as_int();
    const int64_t y = b.as_int();
    if (y == 0) return Value::Null();
    if (y == -1) return Value::Int(0);  // also INT64_MIN % -1, whose quotient overflows
    return Value::Int(x % y);
  }
  const std::optional<double> y = float_divisor(b);
  if (!y) return Value::Null();
  // fmod is exact, truncates the quotient and keeps the dividend's sign; an
  // infinite dividend or a NaN gives NaN, an infinite divisor the dividend.
  return Value::Real(std::fmod(float_reading(a), *y));
}

std::optional<std::weak_ordering> compare_values(const Value& a, const Value& b) {
  if (a.is_null() || b.is_null()) return std::nullopt;
  const bool text_a = a.kind() == Value::Kind::Text;
  const bool text_b = b.kind() == Value::Kind::Text;
  if ((text_a && is_number(b)) || (is_number(a) && text_b)) {
    const double x = float_reading(a);
    const double y = float_reading(b);
    if (x < y) return std::weak_ordering::less;
    if (x > y) return std::weak_ordering::greater;
    return std::weak_ordering::equivalent;  // also when either is NaN
  }
  return compare::cmp_value(a, b);
}

Value eq(const Value& a, const Value& b) {
  const std::optional<std::weak_ordering> o = compare_values(a, b);
  if (!o) return Value::Null();
  return bool_value(*o == std::weak_ordering::equivalent);
}

Value ge(const Value& a, const Value& b) {
  const std::optional<std::weak_ordering> o = compare_values(a, b);
  if (!o) return Value::Null();
  return bool_value(*o != std::weak_ordering::less);
}

Value and_(const Value& a, const Value& b) {
  const Truth x = truth(a);
  const Truth y = truth(b);
  if (x == Truth::False || y == Truth::False) return Value::Int(0);
  if (x == Truth::Unknown || y == Truth::Unknown) return Value::Null();
  return Value::Int(1);
}

Value or_(const Value& a, const Value& b) {
  const Truth x = truth(a);
  const Truth y = truth(b);
  if (x == Truth::True || y == Truth::True) return Value::Int(1);
  if (x == Truth::Unknown || y == Truth::Unknown) return Value::Null();
  return Value::Int(0);
}

Value not_(const Value& a) {
  if (a.is_null()) return Value::Null();
  return bool_value(!is_truthy(a));
}

Value neg(const Value& a) {
  switch (a.kind()) {
    case Value::Kind::Null:
      return Value::Null();
    case Value::Kind::Int:
      if (a.as_int() == std::numeric_limits<int64_t>::min()) return Value::Real(kTwo63);
      return Value::Int(-a.as_int());
    case Value::Kind::Real:
      return Value::Real(-a.as_real());  // flips the sign bit only, NaN included
    case Value::Kind::Text:
      return Value::Real(-num_from_text(a.as_text()));
    case Value::Kind::Blob:
      break;
  }
  return Value::Real(-0.0);
}

Value cast_value(const Value& v, CastType to) {
  if (v.is_null()) return Value::Null();
  switch (to) {
    case CastType::Integer:
      if (v.kind() == Value::Kind::Int) return Value::Int(v.as_int());
      return Value::Int(int_from_real(float_reading(v)));
    case CastType::Real:
      return Value::Real(float_reading(v));
    case CastType::Text:
      break;
  }
  if (v.kind() == Value::Kind::Blob) return Value::Blob(v.as_blob());
  return Value::Text(text_form(v));
}

Value like_op(const Value& v, const Value& pattern, bool negated) {
  if (v.is_null() || pattern.is_null()) return Value::Null();
  // A number's text form is built here; a text is matched where it lies.
  // Reused, so that a numeric operand allocates nothing after the first call.
  thread_local std::string text_scratch;
  thread_local std::string pattern_scratch;
  const bool match = like_match(text_form_view(v, text_scratch), text_form_view(pattern, pattern_scratch));
  return bool_value(match != negated);
}

void apply_affinity(Value& v, bool real) {
  if (v.kind() != Value::Kind::Text) return;
  if (real) {
    if (const std::optional<double> x = real_from_text(v.as_text())) v = Value::Real(*x);
  } else {
    if (const std::optional<int64_t> x = int_from_text(v.as_text())) v = Value::Int(*x);
  }
}

void append_text_form(std::string& out, const Value& v) {
  switch (v.kind()) {
    case Value::Kind::Int:
      append_int(out, v.as_int());
      break;
    case Value::Kind::Real:
      append_real_plain(out, v.as_real());
      break;
    case Value::Kind::Text:
      out += v.as_text();
      break;
    case Value::Kind::Null:
    case Value::Kind::Blob:
      break;
  }
}

std::string text_form(const Value& v) {
  std::string out;
  append_text_form(out, v);
  return out;
}

std::string_view text_form_view(const Value& v, std::string& scratch) {
  if (v.kind() == Value::Kind::Text) return v.as_text();
  scratch.clear();
  append_text_form(scratch, v);
  return scratch;
}

}  // namespace vbk::value_ops
