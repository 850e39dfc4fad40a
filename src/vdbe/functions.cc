#include "vdbe/functions.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <string_view>

#include "util/unicode.h"
#include "util/utf8.h"
#include "vdbe/date_functions.h"
#include "vdbe/value_ops.h"

namespace vbk::vdbe {

namespace {

using Args = std::span<const Value* const>;

// The i-th argument, or nullptr when the call has fewer.
const Value* arg(Args args, size_t i) { return i < args.size() ? args[i] : nullptr; }

bool present(const Value* v) { return v != nullptr && !v->is_null(); }

// Byte length of the code point starting at `at` (1 for an invalid byte, so a
// walk always advances).
size_t char_length(std::string_view s, size_t at) {
  if (static_cast<uint8_t>(s[at]) < 0x80) return 1;
  return utf8::decode(s.substr(at)).length;
}

// Byte offset of the character `n` characters after `from`, or the end.
size_t skip_chars(std::string_view s, size_t from, uint64_t n) {
  size_t at = from;
  for (; n > 0 && at < s.size(); --n) at += char_length(s, at);
  return at;
}

uint64_t count_chars(std::string_view s) {
  uint64_t n = 0;
  for (size_t at = 0; at < s.size(); at += char_length(s, at)) ++n;
  return n;
}

// An SUBSTR position or length: an Int, or a Real truncated and saturated.
std::optional<int64_t> int_operand(const Value* v) {
  if (v == nullptr) return std::nullopt;
  if (v->kind() == Value::Kind::Int) return v->as_int();
  if (v->kind() == Value::Kind::Real) return value_ops::int_from_real(v->as_real());
  return std::nullopt;
}

Value abs_(Args args) {
  const Value* x = arg(args, 0);
  if (x == nullptr) return Value::Null();
  if (x->kind() == Value::Kind::Int) {
    const int64_t v = x->as_int();
    if (v == std::numeric_limits<int64_t>::min()) return Value::Real(9223372036854775808.0);
    return Value::Int(v < 0 ? -v : v);
  }
  if (x->kind() == Value::Kind::Real) return Value::Real(std::fabs(x->as_real()));
  return Value::Null();
}

Value length(Args args) {
  const Value* x = arg(args, 0);
  if (!present(x)) return Value::Null();
  if (x->kind() == Value::Kind::Blob) return Value::Int(static_cast<int64_t>(x->as_blob().size()));
  std::string scratch;
  return Value::Int(static_cast<int64_t>(count_chars(value_ops::text_form_view(*x, scratch))));
}

Value change_case(Args args, bool upper) {
  const Value* x = arg(args, 0);
  if (x == nullptr) return Value::Null();
  if (x->kind() != Value::Kind::Text) return *x;
  std::string out;
  out.reserve(x->as_text().size());
  if (upper) {
    unicode::append_upper(out, x->as_text());
  } else {
    unicode::append_lower(out, x->as_text());
  }
  return Value::Text(std::move(out));
}

Value coalesce(Args args) {
  for (const Value* v : args) {
    if (!v->is_null()) return *v;
  }
  return Value::Null();
}

Value typeof_(Args args) {
  const Value* x = arg(args, 0);
  if (x == nullptr) return Value::Text("null");
  switch (x->kind()) {
    case Value::Kind::Null:
      break;
    case Value::Kind::Int:
      return Value::Text("integer");
    case Value::Kind::Real:
      return Value::Text("real");
    case Value::Kind::Text:
      return Value::Text("text");
    case Value::Kind::Blob:
      return Value::Text("blob");
  }
  return Value::Text("null");
}

Value substr(Args args) {
  const Value* x = arg(args, 0);
  if (!present(x)) return Value::Null();
  std::string scratch;
  const std::string_view text = value_ops::text_form_view(*x, scratch);
  int64_t first = 0;
  if (const std::optional<int64_t> s = int_operand(arg(args, 1))) {
    int64_t start = *s;
    if (start < 0) {
      // Counts from the end; the characters are counted only here. L + 1 is
      // positive and far below the range and start negative, so the sum
      // stays inside the range (it may still be negative).
      start += static_cast<int64_t>(count_chars(text)) + 1;
    }
    first = start <= 0 ? 0 : start - 1;
  }
  const size_t begin = skip_chars(text, 0, static_cast<uint64_t>(first));
  size_t end = text.size();
  if (const std::optional<int64_t> n = int_operand(arg(args, 2))) {
    end = skip_chars(text, begin, *n < 0 ? 0 : static_cast<uint64_t>(*n));
  }
  return Value::Text(std::string(text.substr(begin, end - begin)));
}

// 10^e by repeated squaring, as ROUND defines its scale: the result may
// differ from the correctly rounded power in the last place.
double power_of_ten(uint32_t e) {
  double result = 1.0;
  double power = 10.0;
  for (; e != 0; e >>= 1) {
    if ((e & 1) != 0) result *= power;
    power *= power;
  }
  return result;
}

Value round(Args args) {
  const Value* x = arg(args, 0);
  if (!present(x)) return Value::Null();
  const double v = to_number(*x);
  double f = 1.0;
  if (const Value* d = arg(args, 1); d != nullptr && d->kind() == Value::Kind::Int) {
    const int64_t digits = std::max<int64_t>(d->as_int(), 0);
    // A scale that does not fit the 32-bit exponent is infinite anyway.
    if (digits > std::numeric_limits<int32_t>::max()) return Value::Real(v);
    f = power_of_ten(static_cast<uint32_t>(digits));
  }
  // Where the scale or the scaled value leaves the finite range there is no
  // digit left to round: the value stays as it is (an infinite or NaN input
  // included), instead of the NaN or infinity that scaling back would give.
  const double scaled = v * f;
  if (!std::isfinite(f) || !std::isfinite(scaled)) return Value::Real(v);
  return Value::Real(std::round(scaled) / f);
}

Value replace(Args args) {
  const Value* x = arg(args, 0);
  if (!present(x)) return Value::Null();
  std::string x_scratch;
  const std::string_view text = value_ops::text_form_view(*x, x_scratch);
  const Value* from = arg(args, 1);
  const Value* to = arg(args, 2);
  std::string from_scratch;
  std::string to_scratch;
  const std::string_view f = present(from) ? value_ops::text_form_view(*from, from_scratch) : "";
  if (!present(to) || f.empty()) return Value::Text(std::string(text));
  const std::string_view t = value_ops::text_form_view(*to, to_scratch);
  std::string out;
  size_t at = 0;
  for (size_t hit = text.find(f); hit != std::string_view::npos; hit = text.find(f, at)) {
    out.append(text, at, hit - at);
    out += t;
    at = hit + f.size();
  }
  out.append(text, at);
  return Value::Text(std::move(out));
}

// True when the character `c` is one of the characters of `set`.
bool in_set(std::string_view set, std::string_view c) {
  for (size_t k = 0; k < set.size(); k += char_length(set, k)) {
    if (set.substr(k, char_length(set, k)) == c) return true;
  }
  return false;
}

enum class TrimEnds : uint8_t { Both, Start, End };

Value trim(Args args, TrimEnds ends) {
  const Value* x = arg(args, 0);
  if (!present(x)) return Value::Null();
  std::string x_scratch;
  const std::string_view text = value_ops::text_form_view(*x, x_scratch);
  const Value* set_arg = arg(args, 1);
  std::string set_scratch;
  // Not White_Space: the default set is these four characters only. A blob
  // set has the empty text form and removes nothing.
  const std::string_view set = present(set_arg) ? value_ops::text_form_view(*set_arg, set_scratch) : " \t\n\r";
  size_t begin = 0;
  size_t end = text.size();
  if (ends != TrimEnds::End) {
    while (begin < end) {
      const size_t length = char_length(text, begin);
      if (!in_set(set, text.substr(begin, length))) break;
      begin += length;
    }
  }
  if (ends != TrimEnds::Start) {
    while (end > begin) {
      // The last character starts at its lead byte: skip continuation bytes.
      size_t start = end - 1;
      while (start > begin && (static_cast<uint8_t>(text[start]) & 0xC0) == 0x80) --start;
      if (!in_set(set, text.substr(start, end - start))) break;
      end = start;
    }
  }
  return Value::Text(std::string(text.substr(begin, end - begin)));
}

Value ifnull(Args args) {
  const Value* x = arg(args, 0);
  if (x == nullptr) return Value::Null();
  if (!x->is_null()) return *x;
  const Value* y = arg(args, 1);
  return y == nullptr ? Value::Null() : *y;
}

Value nullif(Args args) {
  const Value* x = arg(args, 0);
  if (x == nullptr) return Value::Null();
  const Value* y = arg(args, 1);
  if (y == nullptr || x->is_null()) return *x;
  const Value same = value_ops::eq(*x, *y);
  if (same.kind() == Value::Kind::Int && same.as_int() == 1) return Value::Null();
  return *x;
}

Value concat(Args args) {
  std::string out;
  for (const Value* v : args) {
    if (v->is_null()) return Value::Null();
    value_ops::append_text_form(out, *v);
  }
  return Value::Text(std::move(out));
}

}  // namespace

Value apply_bin(BinKind op, const Value& a, const Value& b) {
  switch (op) {
    case BinKind::Add:
      return value_ops::add(a, b);
    case BinKind::Sub:
      return value_ops::sub(a, b);
    case BinKind::Mul:
      return value_ops::mul(a, b);
    case BinKind::Div:
      return value_ops::div(a, b);
    case BinKind::Mod:
      return value_ops::rem(a, b);
    case BinKind::Eq:
      return value_ops::eq(a, b);
    case BinKind::Ge:
      return value_ops::ge(a, b);
    case BinKind::And:
      return value_ops::and_(a, b);
    case BinKind::Or:
      return value_ops::or_(a, b);
    case BinKind::Ne:
    case BinKind::Lt:
    case BinKind::Le:
    case BinKind::Gt:
      break;
  }
  const std::optional<std::weak_ordering> o = value_ops::compare_values(a, b);
  if (!o) return Value::Null();
  bool r = false;
  switch (op) {
    case BinKind::Ne:
      r = *o != std::weak_ordering::equivalent;
      break;
    case BinKind::Lt:
      r = *o == std::weak_ordering::less;
      break;
    case BinKind::Le:
      r = *o != std::weak_ordering::greater;
      break;
    default:  // Gt; the other kinds returned above
      r = *o == std::weak_ordering::greater;
      break;
  }
  return Value::Int(r ? 1 : 0);
}

double to_number(const Value& v) {
  // The whole reading: trailing garbage makes a text 0.0, not its prefix.
  if (v.kind() == Value::Kind::Text) return value_ops::real_from_text(v.as_text()).value_or(0.0);
  return value_ops::float_reading(v);
}

Value eval_scalar(ScalarKind kind, std::span<const Value* const> args) {
  switch (kind) {
    case ScalarKind::Abs:
      return abs_(args);
    case ScalarKind::Length:
      return length(args);
    case ScalarKind::Upper:
      return change_case(args, true);
    case ScalarKind::Lower:
      return change_case(args, false);
    case ScalarKind::Coalesce:
      return coalesce(args);
    case ScalarKind::Typeof:
      return typeof_(args);
    case ScalarKind::Substr:
      return substr(args);
    case ScalarKind::Round:
      return round(args);
    case ScalarKind::Replace:
      return replace(args);
    case ScalarKind::Trim:
      return trim(args, TrimEnds::Both);
    case ScalarKind::Ltrim:
      return trim(args, TrimEnds::Start);
    case ScalarKind::Rtrim:
      return trim(args, TrimEnds::End);
    case ScalarKind::Ifnull:
      return ifnull(args);
    case ScalarKind::Nullif:
      return nullif(args);
    case ScalarKind::Concat:
      return concat(args);
    case ScalarKind::Year:
    case ScalarKind::Month:
    case ScalarKind::Day:
    case ScalarKind::Hour:
    case ScalarKind::Minute:
    case ScalarKind::Second:
    case ScalarKind::Week:
    case ScalarKind::DayOfWeek:
    case ScalarKind::DayOfYear:
      return date_part(kind, arg(args, 0));
  }
  return Value::Null();
}

}  // namespace vbk::vdbe
