#include "vdbe/functions.h"

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/values.h"

namespace vbk {
namespace {

using namespace vbk::testing;
using vdbe::ScalarKind;

struct FuncCase {
  ScalarKind kind;
  std::vector<Value> args;
  Value want;
};

Value call(ScalarKind kind, const std::vector<Value>& args) {
  std::vector<const Value*> refs;
  for (const Value& v : args) refs.push_back(&v);
  return vdbe::eval_scalar(kind, refs);
}

std::string call_text(const FuncCase& c) {
  std::string s(vdbe::scalar_kind_name(c.kind));
  s += '(';
  for (size_t i = 0; i < c.args.size(); ++i) s += (i == 0 ? "" : ", ") + show(c.args[i]);
  return s + ')';
}

void expect_cases(const std::vector<FuncCase>& cases) {
  for (const FuncCase& c : cases) EXPECT_EQ(show(call(c.kind, c.args)), show(c.want)) << call_text(c);
}

TEST(ScalarFunctions, NumbersAndChoices) {
  expect_cases({
      {ScalarKind::Abs, {I(-5)}, I(5)},
      {ScalarKind::Abs, {I(kMinInt)}, R(kTwo63)},
      {ScalarKind::Abs, {I(kMaxInt)}, I(kMaxInt)},
      {ScalarKind::Abs, {R(-0.0)}, R(0.0)},
      {ScalarKind::Abs, {R(-kNaN)}, R(kNaN)},
      {ScalarKind::Abs, {R(-kInf)}, R(kInf)},
      {ScalarKind::Abs, {T("-5")}, N()},
      {ScalarKind::Abs, {B({1})}, N()},
      {ScalarKind::Abs, {}, N()},
      {ScalarKind::Typeof, {R(1.0)}, T("real")},
      {ScalarKind::Typeof, {I(1)}, T("integer")},
      {ScalarKind::Typeof, {T("")}, T("text")},
      {ScalarKind::Typeof, {B({})}, T("blob")},
      {ScalarKind::Typeof, {N()}, T("null")},
      {ScalarKind::Typeof, {}, T("null")},
      {ScalarKind::Coalesce, {N(), I(2), I(3)}, I(2)},
      {ScalarKind::Coalesce, {N(), N()}, N()},
      {ScalarKind::Coalesce, {}, N()},
      {ScalarKind::Ifnull, {N()}, N()},
      {ScalarKind::Ifnull, {N(), T("y")}, T("y")},
      {ScalarKind::Ifnull, {I(0), T("y")}, I(0)},
      {ScalarKind::Ifnull, {}, N()},
      {ScalarKind::Nullif, {I(1), I(1)}, N()},
      {ScalarKind::Nullif, {I(1), R(1.0)}, N()},
      {ScalarKind::Nullif, {T("1"), I(1)}, N()},
      {ScalarKind::Nullif, {I(1), I(2)}, I(1)},
      {ScalarKind::Nullif, {I(1), N()}, I(1)},
      {ScalarKind::Nullif, {N(), I(1)}, N()},
      {ScalarKind::Nullif, {T("a")}, T("a")},
      {ScalarKind::Nullif, {}, N()},
      {ScalarKind::Concat, {T("a"), I(1), R(2.5)}, T("a12.5")},
      {ScalarKind::Concat, {T("a"), B({0x41}), R(-0.0)}, T("a-0")},
      {ScalarKind::Concat, {T("a"), N()}, N()},
      {ScalarKind::Concat, {}, T("")},
      // ROUND: the whole reading, halves away from zero, always Real.
      {ScalarKind::Round, {R(2.5)}, R(3.0)},
      {ScalarKind::Round, {R(-2.5)}, R(-3.0)},
      {ScalarKind::Round, {R(1234.5678), I(2)}, R(1234.57)},
      {ScalarKind::Round, {R(1.005), I(2)}, R(1.0)},
      {ScalarKind::Round, {I(15), I(-1)}, R(15.0)},
      {ScalarKind::Round, {I(5)}, R(5.0)},
      {ScalarKind::Round, {T("3.7")}, R(4.0)},
      {ScalarKind::Round, {T(" 3.7 ")}, R(4.0)},
      {ScalarKind::Round, {T("3.7x")}, R(0.0)},
      {ScalarKind::Round, {B({0x39})}, R(0.0)},
      {ScalarKind::Round, {R(1.5), N()}, R(2.0)},
      {ScalarKind::Round, {R(1.5), R(2.0)}, R(2.0)},
      {ScalarKind::Round, {R(1.25), T("1")}, R(1.0)},
      {ScalarKind::Round, {N(), I(2)}, N()},
      {ScalarKind::Round, {}, N()},
      // Where the scale or the scaled value is not finite, the value stays.
      {ScalarKind::Round, {R(1.5), I(400)}, R(1.5)},
      {ScalarKind::Round, {I(0), I(400)}, R(0.0)},
      {ScalarKind::Round, {R(1e300), I(10)}, R(1e300)},
      {ScalarKind::Round, {R(-1e300), I(10)}, R(-1e300)},
      {ScalarKind::Round, {R(1.5), I(2147483648)}, R(1.5)},
      {ScalarKind::Round, {R(1.5), I(kMaxInt)}, R(1.5)},
      {ScalarKind::Round, {R(0.123456), I(2147483647)}, R(0.123456)},
      {ScalarKind::Round, {R(kInf), I(2)}, R(kInf)},
      {ScalarKind::Round, {R(-kInf)}, R(-kInf)},
      {ScalarKind::Round, {R(kNaN), I(2)}, R(kNaN)},
      {ScalarKind::Round, {T("inf")}, R(kInf)},
      {ScalarKind::Round, {R(0.5), I(kMinInt)}, R(1.0)},
  });
}

TEST(ScalarFunctions, TextByCharacters) {
  expect_cases({
      {ScalarKind::Length, {T("héllo")}, I(5)},
      {ScalarKind::Length, {T("𝄞a")}, I(2)},
      {ScalarKind::Length, {B({0x00, 0xff})}, I(2)},
      {ScalarKind::Length, {R(-1.5)}, I(4)},
      {ScalarKind::Length, {R(1.0)}, I(1)},
      {ScalarKind::Length, {R(1e20)}, I(21)},
      {ScalarKind::Length, {I(kMinInt)}, I(20)},
      {ScalarKind::Length, {T("")}, I(0)},
      {ScalarKind::Length, {N()}, N()},
      {ScalarKind::Length, {}, N()},
      {ScalarKind::Upper, {T("straße")}, T("STRASSE")},
      {ScalarKind::Upper, {T("ǆemal")}, T("ǄEMAL")},
      {ScalarKind::Upper, {I(12)}, I(12)},
      {ScalarKind::Upper, {}, N()},
      {ScalarKind::Lower, {T("ΟΔΟΣ ΣΑ")}, T("οδος σα")},
      {ScalarKind::Lower, {T("ÀB")}, T("àb")},
      {ScalarKind::Lower, {B({0x41})}, B({0x41})},
      {ScalarKind::Lower, {N()}, N()},
      {ScalarKind::Substr, {T("hello"), I(2)}, T("ello")},
      {ScalarKind::Substr, {T("hello"), I(0), I(2)}, T("he")},
      {ScalarKind::Substr, {T("hello"), I(1), I(2)}, T("he")},
      {ScalarKind::Substr, {T("hello"), I(-2)}, T("lo")},
      {ScalarKind::Substr, {T("hello"), I(-5)}, T("hello")},
      {ScalarKind::Substr, {T("hello"), I(-10)}, T("hello")},
      {ScalarKind::Substr, {T("hello"), I(-10), I(3)}, T("hel")},
      {ScalarKind::Substr, {T("hello"), I(10)}, T("")},
      {ScalarKind::Substr, {T("hello"), I(6)}, T("")},
      {ScalarKind::Substr, {T("hello"), I(2), I(-1)}, T("")},
      {ScalarKind::Substr, {T("hello"), I(2), I(100)}, T("ello")},
      {ScalarKind::Substr, {T("hello"), R(2.7)}, T("ello")},
      {ScalarKind::Substr, {T("hello"), R(-1.9)}, T("o")},
      {ScalarKind::Substr, {T("hello"), I(2), R(2.9)}, T("el")},
      {ScalarKind::Substr, {T("hello"), N()}, T("hello")},
      {ScalarKind::Substr, {T("hello"), T("3")}, T("hello")},
      {ScalarKind::Substr, {T("hello"), I(3), T("1")}, T("llo")},
      {ScalarKind::Substr, {T("hello")}, T("hello")},
      {ScalarKind::Substr, {T("héllo"), I(2), I(2)}, T("él")},
      {ScalarKind::Substr, {T("héllo"), I(-4), I(1)}, T("é")},
      {ScalarKind::Substr, {I(12345), I(2), I(3)}, T("234")},
      {ScalarKind::Substr, {R(-0.5), I(1), I(2)}, T("-0")},
      {ScalarKind::Substr, {B({0x41, 0x42}), I(1)}, T("")},
      {ScalarKind::Substr, {N(), I(1)}, N()},
      {ScalarKind::Substr, {}, N()},
      // Starts and lengths at and beyond the ends of the integer range.
      {ScalarKind::Substr, {T("hello"), I(kMinInt)}, T("hello")},
      {ScalarKind::Substr, {T("hello"), I(kMinInt), I(kMaxInt)}, T("hello")},
      {ScalarKind::Substr, {T("hello"), I(kMaxInt)}, T("")},
      {ScalarKind::Substr, {T("hello"), I(kMaxInt), I(kMaxInt)}, T("")},
      {ScalarKind::Substr, {T("hello"), I(2), I(kMinInt)}, T("")},
      {ScalarKind::Substr, {T("hello"), R(1e300)}, T("")},
      {ScalarKind::Substr, {T("hello"), R(-1e300)}, T("hello")},
      {ScalarKind::Substr, {T("hello"), R(kInf)}, T("")},
      {ScalarKind::Substr, {T("hello"), R(kNaN), I(1)}, T("h")},
      {ScalarKind::Substr, {T("hello"), I(1), R(1e300)}, T("hello")},
      {ScalarKind::Substr, {T("hello"), I(1), R(-kInf)}, T("")},
      {ScalarKind::Replace, {T("aaa"), T("aa"), T("b")}, T("ba")},
      {ScalarKind::Replace, {I(123), T("2"), T("x")}, T("1x3")},
      {ScalarKind::Replace, {T("a.b.c"), T("."), T("")}, T("abc")},
      {ScalarKind::Replace, {T("abab"), T("b"), T("ß")}, T("aßaß")},
      {ScalarKind::Replace, {R(1.5), R(0.5), I(7)}, T("1.5")},
      {ScalarKind::Replace, {T("abc"), T("b"), N()}, T("abc")},
      {ScalarKind::Replace, {T("abc"), T("b")}, T("abc")},
      {ScalarKind::Replace, {T("abc"), T(""), T("x")}, T("abc")},
      {ScalarKind::Replace, {T("abc"), B({0x62}), T("x")}, T("abc")},
      {ScalarKind::Replace, {T("abc"), T("b"), B({0x78})}, T("ac")},
      {ScalarKind::Replace, {I(5)}, T("5")},
      {ScalarKind::Replace, {N(), T("a"), T("b")}, N()},
      {ScalarKind::Replace, {B({0x41}), T("A"), T("b")}, T("")},
      {ScalarKind::Trim, {T("xxaxx"), T("x")}, T("a")},
      {ScalarKind::Trim, {T(" \t\r\n a \n")}, T("a")},
      {ScalarKind::Trim, {T("\fa\f")}, T("\fa\f")},  // form feed: White_Space, not in the default set
      {ScalarKind::Trim, {T("\u00a0a\u00a0")}, T("\u00a0a\u00a0")},
      {ScalarKind::Trim, {T("éaé"), T("é")}, T("a")},
      {ScalarKind::Trim, {T("éaè"), T("è")}, T("éa")},
      {ScalarKind::Trim, {T("abcba"), T("ab")}, T("c")},
      {ScalarKind::Trim, {T("aaa"), T("a")}, T("")},
      {ScalarKind::Trim, {I(5)}, T("5")},
      {ScalarKind::Trim, {I(5050), I(5)}, T("050")},
      {ScalarKind::Trim, {T("abc"), B({0x61})}, T("abc")},
      {ScalarKind::Trim, {T(" a "), N()}, T("a")},
      {ScalarKind::Trim, {T(" a "), T("")}, T(" a ")},
      {ScalarKind::Trim, {N()}, N()},
      {ScalarKind::Trim, {}, N()},
      {ScalarKind::Ltrim, {T("  a  ")}, T("a  ")},
      {ScalarKind::Ltrim, {T("xax"), T("x")}, T("ax")},
      {ScalarKind::Rtrim, {T("xax"), T("x")}, T("xa")},
      {ScalarKind::Rtrim, {T("  a  ")}, T("  a")},
      {ScalarKind::Rtrim, {T("aé"), T("é")}, T("a")},
  });
}

TEST(ScalarFunctions, DateParts) {
  const Value day = T("2024-03-15");
  const Value stamp = T("2024-03-15 10:20:30");
  expect_cases({
      {ScalarKind::Year, {day}, I(2024)},
      {ScalarKind::Month, {day}, I(3)},
      {ScalarKind::Day, {day}, I(15)},
      {ScalarKind::DayOfYear, {day}, I(75)},
      {ScalarKind::Week, {day}, I(11)},
      {ScalarKind::DayOfWeek, {day}, I(6)},
      {ScalarKind::DayOfWeek, {T("2024-01-15")}, I(2)},
      {ScalarKind::DayOfWeek, {T("2000-01-01")}, I(7)},
      {ScalarKind::DayOfWeek, {T("0000-01-01")}, I(1)},
      {ScalarKind::Hour, {stamp}, I(10)},
      {ScalarKind::Minute, {stamp}, I(20)},
      {ScalarKind::Second, {stamp}, I(30)},
      {ScalarKind::Second, {T("2024-03-15T10:20:30.999")}, I(30)},
      {ScalarKind::Second, {T("2024-03-15T10:20:00Z")}, I(0)},
      {ScalarKind::Second, {T("2024-03-15 10:20: 7 ")}, I(7)},
      {ScalarKind::Minute, {T("2024-03-15 10: 20")}, I(0)},  // hour and minute are not trimmed
      {ScalarKind::Hour, {T("2024-03-15t10:20")}, N()},  // only an upper-case T cuts
      {ScalarKind::Day, {T("2024-03-15t10:20")}, N()},
      {ScalarKind::Hour, {T("2024-03-15 T10")}, I(0)},
      {ScalarKind::Hour, {T("2024-03-15T")}, I(0)},
      {ScalarKind::Hour, {T(" 2024-03-15 ")}, I(0)},
      {ScalarKind::Hour, {day}, I(0)},
      {ScalarKind::Hour, {T("10:20:30")}, N()},
      {ScalarKind::Hour, {T("2024-03-15 99:61:75:1")}, I(99)},
      {ScalarKind::Year, {T("2024-3-5")}, I(2024)},
      {ScalarKind::Day, {T("2024-3-5")}, I(5)},
      {ScalarKind::Year, {T("+2024-+3-5-junk")}, I(2024)},
      {ScalarKind::Year, {T("\u3000 2024-03-15\u00a0")}, I(2024)},
      {ScalarKind::Year, {T("2024/03/15")}, N()},
      {ScalarKind::Year, {T("2024-03")}, N()},
      {ScalarKind::Year, {T("2024--15")}, N()},
      {ScalarKind::Year, {T("2024-03-1x")}, N()},
      {ScalarKind::Year, {I(20240315)}, N()},
      {ScalarKind::Year, {B({0x32})}, N()},
      {ScalarKind::Year, {N()}, N()},
      {ScalarKind::Year, {}, N()},
      {ScalarKind::Month, {T("2024-13-45")}, I(13)},
      {ScalarKind::DayOfYear, {T("2024-13-45")}, I(380)},
      {ScalarKind::DayOfYear, {T("2024-00-10")}, I(10)},
      {ScalarKind::DayOfYear, {T("2000-03-01")}, I(61)},
      {ScalarKind::DayOfYear, {T("1900-03-01")}, I(60)},
      {ScalarKind::DayOfYear, {T("2024-02-30")}, I(61)},
      {ScalarKind::Week, {T("2024-12-31")}, I(53)},
      {ScalarKind::Week, {T("2024-01-07")}, I(1)},
      {ScalarKind::Week, {T("2024-01-08")}, I(2)},
      // Unchecked numbers at the top of the range wrap instead of trapping.
      {ScalarKind::DayOfYear, {T("2024-12-9223372036854775807")}, I(kMinInt + 334)},
      {ScalarKind::Week, {T("2024-01-9223372036854775807")}, I((kMinInt + 5) / 7)},
      {ScalarKind::DayOfWeek, {T("9223372036854775807-12-9223372036854775807")}, I(7)},
      {ScalarKind::DayOfWeek, {T("0-12-9223372036854775807")}, I(-4)},  // the sum wraps negative
  });
}

}  // namespace
}  // namespace vbk
