#include "vdbe/date_functions.h"

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "util/unicode.h"
#include "vdbe/value_ops.h"

namespace vbk::vdbe {

namespace {

struct DateTime {
  int64_t year = 0;
  int64_t month = 0;
  int64_t day = 0;
  int64_t hour = 0;
  int64_t minute = 0;
  int64_t second = 0;
};

// Days before the month in a non-leap year, and the month's weekday offset,
// indexed by the month clamped to 1..12, less one.
constexpr std::array<int64_t, 12> kDaysBefore = {0, 31, 59, 90, 120, 151, 181, 212, 243, 273, 304, 334};
constexpr std::array<int64_t, 12> kWeekdayOffset = {0, 3, 2, 5, 0, 3, 5, 1, 4, 6, 2, 4};

// Date arithmetic on unchecked numbers wraps around instead of overflowing.
int64_t wrap_add(int64_t a, int64_t b) {
  return static_cast<int64_t>(static_cast<uint64_t>(a) + static_cast<uint64_t>(b));
}

// Splits off the text before the first `sep`; `rest` keeps what follows it,
// and becomes none when there is no `sep`.
std::optional<std::string_view> next_piece(std::optional<std::string_view>& rest, char sep) {
  if (!rest) return std::nullopt;
  const std::string_view s = *rest;
  const size_t at = s.find(sep);
  if (at == std::string_view::npos) {
    rest.reset();
    return s;
  }
  rest = s.substr(at + 1);
  return s.substr(0, at);
}

int64_t time_number(std::optional<std::string_view> piece) {
  if (!piece) return 0;
  return value_ops::int_from_literal(*piece).value_or(0);
}

std::optional<DateTime> parse(const Value& x) {
  std::string scratch;
  const std::string_view s = unicode::trim_white_space(value_ops::text_form_view(x, scratch));
  const size_t cut = s.find_first_of(" T");
  const std::string_view date = s.substr(0, cut);

  DateTime dt;
  std::optional<std::string_view> rest = date;
  for (int64_t* field : {&dt.year, &dt.month, &dt.day}) {
    const std::optional<std::string_view> piece = next_piece(rest, '-');
    if (!piece) return std::nullopt;
    // An empty piece is no integer literal either.
    const std::optional<int64_t> n = value_ops::int_from_literal(*piece);
    if (!n) return std::nullopt;
    *field = *n;
  }
  if (cut == std::string_view::npos) return dt;

  rest = s.substr(cut + 1);
  dt.hour = time_number(next_piece(rest, ':'));
  dt.minute = time_number(next_piece(rest, ':'));
  // Seconds may carry a fraction, which is dropped: '30.999' is 30.
  if (const std::optional<std::string_view> piece = next_piece(rest, ':')) {
    const std::string_view sec = unicode::trim_white_space(*piece);
    dt.second = value_ops::int_from_literal(sec.substr(0, sec.find('.'))).value_or(0);
  }
  return dt;
}

bool is_leap(int64_t year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

size_t month_index(int64_t month) { return static_cast<size_t>(month < 1 ? 0 : month > 12 ? 11 : month - 1); }

int64_t day_of_year(const DateTime& dt) {
  const int64_t leap_day = dt.month > 2 && is_leap(dt.year) ? 1 : 0;
  return wrap_add(wrap_add(dt.day, kDaysBefore[month_index(dt.month)]), leap_day);
}

// 1 for Sunday up to 7 for Saturday, by the weekday offsets of the months.
int64_t day_of_week(const DateTime& dt) {
  // The parse admits no minus sign, so the year is at least 0 and y at least -1.
  const int64_t y = dt.month < 3 ? dt.year - 1 : dt.year;
  int64_t sum = wrap_add(y, y / 4);
  sum = wrap_add(sum, -(y / 100));
  sum = wrap_add(sum, y / 400);
  sum = wrap_add(sum, kWeekdayOffset[month_index(dt.month)]);
  sum = wrap_add(sum, dt.day);
  return sum % 7 + 1;
}

}  // namespace

Value date_part(ScalarKind kind, const Value* x) {
  if (x == nullptr || x->is_null()) return Value::Null();
  const std::optional<DateTime> dt = parse(*x);
  if (!dt) return Value::Null();
  switch (kind) {
    case ScalarKind::Year:
      return Value::Int(dt->year);
    case ScalarKind::Month:
      return Value::Int(dt->month);
    case ScalarKind::Day:
      return Value::Int(dt->day);
    case ScalarKind::Hour:
      return Value::Int(dt->hour);
    case ScalarKind::Minute:
      return Value::Int(dt->minute);
    case ScalarKind::Second:
      return Value::Int(dt->second);
    case ScalarKind::Week:
      return Value::Int(wrap_add(day_of_year(*dt), 6) / 7);
    case ScalarKind::DayOfWeek:
      return Value::Int(day_of_week(*dt));
    case ScalarKind::DayOfYear:
      return Value::Int(day_of_year(*dt));
    default:
      break;
  }
  return Value::Null();
}

}  // namespace vbk::vdbe
