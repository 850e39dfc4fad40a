#include "vdbe/value_ops.h"

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <optional>
#include <random>
#include <regex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/values.h"
#include "util/unicode.h"
#include "util/utf8.h"
#include "vdbe/functions.h"

namespace vbk {
namespace {

using namespace vbk::testing;
using vdbe::BinKind;

struct BinCase {
  BinKind op;
  Value a;
  Value b;
  Value want;
};

void expect_bin_cases(std::initializer_list<BinCase> cases) {
  for (const BinCase& c : cases) {
    EXPECT_EQ(show(vdbe::apply_bin(c.op, c.a, c.b)), show(c.want))
        << show(c.a) << ' ' << vdbe::bin_kind_name(c.op) << ' ' << show(c.b);
  }
}

TEST(ValueOps, ArithmeticOverflowsIntoRealAndNeverTraps) {
  expect_bin_cases({
      {BinKind::Add, I(2), I(3), I(5)},
      {BinKind::Add, I(kMaxInt), I(1), R(kTwo63)},
      {BinKind::Add, I(kMinInt), I(-1), R(-kTwo63)},
      {BinKind::Sub, I(kMinInt), I(1), R(-kTwo63)},
      {BinKind::Sub, I(0), I(kMinInt), R(kTwo63)},
      {BinKind::Sub, I(-9223372036854775807), I(1), I(kMinInt)},
      {BinKind::Mul, I(4611686018427387904), I(2), R(kTwo63)},
      {BinKind::Mul, I(-1), I(kMinInt), R(kTwo63)},
      {BinKind::Mul, I(kMinInt), I(-1), R(kTwo63)},
      {BinKind::Mul, I(-3), I(7), I(-21)},
      // Any operand that is not an Int makes the result Real, even integral.
      {BinKind::Add, I(1), T("2"), R(3.0)},
      {BinKind::Mul, T("abc"), I(2), R(0.0)},
      {BinKind::Add, B({1}), I(1), R(1.0)},
      {BinKind::Add, I(1), R(0.5), R(1.5)},
      {BinKind::Add, I(1), T("1e400"), R(kInf)},
      {BinKind::Sub, T("inf"), T("inf"), R(kNaN)},
      {BinKind::Add, T("nan"), I(1), R(kNaN)},
      {BinKind::Sub, T(" 12abc"), I(2), R(10.0)},
      {BinKind::Add, N(), I(1), N()},
      {BinKind::Mul, I(1), N(), N()},
      {BinKind::Sub, N(), N(), N()},
  });
}

TEST(ValueOps, DivisionAndRemainder) {
  expect_bin_cases({
      {BinKind::Div, I(7), I(2), I(3)},
      {BinKind::Div, I(-7), I(2), I(-3)},
      {BinKind::Div, I(kMinInt), I(-1), R(kTwo63)},
      {BinKind::Div, I(kMinInt), I(1), I(kMinInt)},
      {BinKind::Div, I(7), R(2.0), R(3.5)},
      {BinKind::Div, R(1.0), T("inf"), R(0.0)},
      {BinKind::Div, I(1), R(kNaN), R(kNaN)},
      {BinKind::Div, B({1}), I(5), R(0.0)},
      // Every divisor that is zero, reads as zero or is a blob gives NULL.
      {BinKind::Div, I(5), I(0), N()},
      {BinKind::Div, I(5), R(0.0), N()},
      {BinKind::Div, I(5), R(-0.0), N()},
      {BinKind::Div, I(5), T("0"), N()},
      {BinKind::Div, I(1), T("abc"), N()},
      {BinKind::Div, I(5), B({1}), N()},
      {BinKind::Div, N(), I(0), N()},
      {BinKind::Mod, I(-7), I(3), I(-1)},
      {BinKind::Mod, I(7), I(-3), I(1)},
      {BinKind::Mod, I(kMinInt), I(-1), I(0)},
      {BinKind::Mod, I(kMinInt), I(kMaxInt), I(-1)},
      {BinKind::Mod, R(7.5), I(2), R(1.5)},
      {BinKind::Mod, T("7"), I(2), R(1.0)},
      {BinKind::Mod, R(-7.5), I(2), R(-1.5)},
      {BinKind::Mod, R(kInf), I(2), R(kNaN)},
      {BinKind::Mod, I(5), R(kInf), R(5.0)},
      {BinKind::Mod, I(5), R(kNaN), R(kNaN)},
      {BinKind::Mod, I(5), I(0), N()},
      {BinKind::Mod, R(5.5), I(0), N()},
      {BinKind::Mod, I(5), T("0.0"), N()},
      {BinKind::Mod, I(5), B({1}), N()},
      {BinKind::Mod, I(5), N(), N()},
  });
}

TEST(ValueOps, ComparisonsReadTextAgainstNumbersAsFloats) {
  expect_bin_cases({
      {BinKind::Eq, T("10"), I(10), I(1)},
      {BinKind::Eq, T(" 10 "), I(10), I(1)},
      {BinKind::Eq, T("1e5x"), R(100000.0), I(1)},
      {BinKind::Lt, T("10"), T("9"), I(1)},  // two texts: bytes
      {BinKind::Eq, T("abc"), I(0), I(1)},
      {BinKind::Lt, I(1), T("a"), I(0)},
      {BinKind::Gt, I(1), T("a"), I(1)},
      // A NaN reading is equal to every number, so only the comparisons that
      // admit equality hold.
      {BinKind::Eq, T("nan"), I(5), I(1)},
      {BinKind::Le, T("nan"), I(5), I(1)},
      {BinKind::Ge, T("nan"), I(5), I(1)},
      {BinKind::Lt, T("nan"), I(5), I(0)},
      {BinKind::Gt, T("nan"), I(5), I(0)},
      {BinKind::Ne, T("nan"), I(5), I(0)},
      {BinKind::Eq, T("nan"), I(1), I(1)},
      {BinKind::Eq, T("nan"), T("nan"), I(1)},
      {BinKind::Lt, R(kNaN), I(5), I(0)},
      {BinKind::Ge, I(5), R(kNaN), I(1)},
      // Int against Int exactly; Int against Real as floats.
      {BinKind::Eq, I(1), R(1.0), I(1)},
      {BinKind::Eq, I(9007199254740993), R(9007199254740992.0), I(1)},
      {BinKind::Eq, I(9007199254740993), I(9007199254740992), I(0)},
      {BinKind::Gt, I(9007199254740993), I(9007199254740992), I(1)},
      {BinKind::Eq, T("9007199254740993"), I(9007199254740992), I(1)},
      {BinKind::Lt, I(kMinInt), I(kMaxInt), I(1)},
      {BinKind::Eq, R(0.0), R(-0.0), I(1)},
      // Ranks for the other pairs: numbers < texts < blobs.
      {BinKind::Gt, B({0}), T("zzz"), I(1)},
      {BinKind::Gt, B({0}), I(kMaxInt), I(1)},
      {BinKind::Lt, T("ab"), T("abc"), I(1)},
      {BinKind::Eq, T("A"), B({0x41}), I(0)},
      {BinKind::Le, B({1, 2}), B({1, 2}), I(1)},
      {BinKind::Ne, I(2), I(3), I(1)},
      {BinKind::Le, I(3), I(2), I(0)},
      {BinKind::Ge, I(2), I(3), I(0)},
      {BinKind::Eq, N(), I(1), N()},
      {BinKind::Ne, I(1), N(), N()},
      {BinKind::Lt, N(), N(), N()},
      {BinKind::Ge, T("a"), N(), N()},
  });
}

TEST(ValueOps, ThreeValuedLogic) {
  const struct {
    Value a;
    Value b;
    Value and_;
    Value or_;
  } cases[] = {
      {I(1), I(1), I(1), I(1)},
      {I(1), I(0), I(0), I(1)},
      {I(0), I(0), I(0), I(0)},
      {I(0), N(), I(0), N()},
      {N(), I(0), I(0), N()},
      {I(1), N(), N(), I(1)},
      {N(), R(0.5), N(), I(1)},
      {N(), N(), N(), N()},
      {B({1}), I(1), I(0), I(1)},
      {T("0.5x"), T("abc"), I(0), I(1)},
      {R(kNaN), R(-0.0), I(0), I(1)},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(show(vdbe::apply_bin(BinKind::And, c.a, c.b)), show(c.and_)) << show(c.a) << " AND " << show(c.b);
    EXPECT_EQ(show(vdbe::apply_bin(BinKind::Or, c.a, c.b)), show(c.or_)) << show(c.a) << " OR " << show(c.b);
  }
}

TEST(ValueOps, TruthAndNot) {
  const struct {
    Value v;
    Value not_;  // Int(0) for a true value, Int(1) for a false one, NULL for NULL
  } cases[] = {
      {N(), N()},
      {I(0), I(1)},
      {I(-1), I(0)},
      {R(-0.0), I(1)},
      {R(kNaN), I(0)},
      {R(1e-300), I(0)},
      {T(""), I(1)},
      {T(" 0.0 "), I(1)},
      {T("0x"), I(1)},
      {T("1x"), I(0)},
      {T("abc"), I(1)},
      {T("nan"), I(0)},
      {T("-0"), I(1)},
      {T("\u00a0 2"), I(0)},
      {B({1}), I(1)},
      {B({}), I(1)},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(show(value_ops::not_(c.v)), show(c.not_)) << show(c.v);
    if (!c.v.is_null()) {
      EXPECT_EQ(value_ops::is_truthy(c.v), c.not_.as_int() == 0) << show(c.v);
    }
  }
}

TEST(ValueOps, Negation) {
  const struct {
    Value v;
    Value want;
  } cases[] = {
      {N(), N()},
      {I(5), I(-5)},
      {I(kMaxInt), I(-kMaxInt)},
      {I(kMinInt), R(kTwo63)},
      {R(0.0), R(-0.0)},
      {R(-2.5), R(2.5)},
      {R(kNaN), R(kNaN)},
      {R(-kInf), R(kInf)},
      {T("3abc"), R(-3.0)},
      {T("abc"), R(-0.0)},
      {B({1}), R(-0.0)},
  };
  for (const auto& c : cases) EXPECT_EQ(show(value_ops::neg(c.v)), show(c.want)) << show(c.v);
  // -(-9223372036854775807 - 1), the way the expression computes it.
  EXPECT_EQ(show(value_ops::neg(value_ops::sub(I(-9223372036854775807), I(1)))), show(R(kTwo63)));
}

TEST(ValueOps, ReadingsOfText) {
  const double none = -12345.0;  // stands for "no whole reading"
  const struct {
    const char* text;
    double prefix;
    double whole;
  } cases[] = {
      {"42", 42.0, 42.0},
      {" 3.5 ", 3.5, 3.5},
      {"12abc", 12.0, none},
      {"-5 apples", -5.0, none},
      {"1.2.3", 1.2, none},
      {".5kg", 0.5, none},
      {"+.5", 0.5, 0.5},
      {"5.", 5.0, 5.0},
      {"00012", 12.0, 12.0},
      {"1e", 1.0, none},
      {"1e+", 1.0, none},
      {"1e5x", 100000.0, none},
      {"1E-2", 0.01, 0.01},
      {"1,5", 1.0, none},
      {"1_000", 1.0, none},
      {"1 2", 1.0, none},
      {"0x1A", 0.0, none},
      {"-", 0.0, none},
      {".", 0.0, none},
      {"-.e1", 0.0, none},
      {"abc", 0.0, none},
      {"", 0.0, none},
      {" \t\n ", 0.0, none},
      {"café", 0.0, none},
      {"12€", 12.0, none},
      {"3€", 3.0, none},
      {"€3", 0.0, none},
      {"\u00a0\u3000 7\u2028", 7.0, 7.0},  // White_Space beyond ASCII
      {"\f7\v", 7.0, 7.0},
      {"\u200b7", 0.0, none},  // zero width space has no White_Space
      {"inf", kInf, kInf},
      {"-Infinity", -kInf, -kInf},
      {"INFINITY and beyond", kInf, none},
      {"infinit", kInf, none},
      {"nanny", kNaN, none},
      {"-nan", kNaN, kNaN},
      {"1e400", kInf, kInf},
      {"-1e400", -kInf, -kInf},
      {"1e-400", 0.0, 0.0},
      {"-1e-400", -0.0, -0.0},
      {"4.9e-324", 4.9e-324, 4.9e-324},
      {"9007199254740993", 9007199254740992.0, 9007199254740992.0},
      {"0.1e1000000000000000000000", kInf, kInf},
      {"17976931348623159e292", kInf, kInf},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(show(R(value_ops::num_from_text(c.text))), show(R(c.prefix))) << '"' << c.text << '"';
    const std::optional<double> whole = value_ops::real_from_text(c.text);
    if (c.whole == none) {
      EXPECT_FALSE(whole.has_value()) << '"' << c.text << '"';
    } else {
      EXPECT_EQ(show(R(whole.value_or(none))), show(R(c.whole))) << '"' << c.text << '"';
    }
    // to_number is the whole reading, 0.0 for none.
    EXPECT_EQ(show(R(vdbe::to_number(T(c.text)))), show(R(c.whole == none ? 0.0 : c.whole)));
  }

  // Long texts: digits far beyond the float's precision, and a long run of
  // zeros after the point before the first significant digit.
  const std::string many_digits = "1" + std::string(400, '0');
  EXPECT_EQ(value_ops::num_from_text(many_digits), kInf);
  EXPECT_EQ(value_ops::num_from_text("0." + std::string(400, '0') + "1x"), 0.0);
  EXPECT_EQ(value_ops::num_from_text("0." + std::string(300, '0') + "1"), 1e-301);
  EXPECT_EQ(value_ops::num_from_text(std::string(5000, '0') + "7.25e0z"), 7.25);
}

// Random short texts over the bytes the literal grammars care about (and a
// few they do not, a multi-byte character among them), seeded.
std::vector<std::string> random_texts(uint32_t seed, const std::vector<std::string>& alphabet, size_t count,
                                      size_t max_length = 12) {
  std::mt19937 rng(seed);
  std::uniform_int_distribution<size_t> length(0, max_length);
  std::uniform_int_distribution<size_t> pick(0, alphabet.size() - 1);
  std::vector<std::string> texts;
  for (size_t n = 0; n < count; ++n) {
    std::string t;
    for (size_t k = length(rng); k > 0; --k) t += alphabet[pick(rng)];
    texts.push_back(t);
  }
  return texts;
}

// The readings as the grammar defines them, the slow way: every prefix that
// ends at a character boundary is matched against the grammar on its own, and
// the longest literal is converted by the C library.
TEST(ValueOps, ReadingsAgreeWithTryingEveryPrefix) {
  const std::regex literal("[+-]?(inf|infinity|nan|([0-9]+(\\.[0-9]*)?|\\.[0-9]+)(e[+-]?[0-9]+)?)",
                           std::regex::icase);
  const std::vector<std::string> alphabet = {"0", "1", "9", ".", "e", "E", "+", "-", "i", "N", "f",
                                             "a", "t", "y", " ", "x", "\u20ac", "\u00a0", "5", "7"};
  for (const std::string& text : random_texts(20261210, alphabet, 20000)) {
    const std::string_view s = unicode::trim_white_space(text);
    std::optional<std::string> longest;
    for (size_t end = 0; end <= s.size(); end += end < s.size() ? utf8::decode(s.substr(end)).length : 1) {
      const std::string prefix(s.substr(0, end));
      if (std::regex_match(prefix, literal)) longest = prefix;
    }
    const double want = longest ? std::strtod(longest->c_str(), nullptr) : 0.0;
    const double got = value_ops::num_from_text(text);
    if (std::isnan(want)) {
      EXPECT_TRUE(std::isnan(got)) << '"' << text << '"';
    } else {
      EXPECT_EQ(show(R(got)), show(R(want))) << '"' << text << '"';
    }
    const bool whole = longest && longest->size() == s.size();
    EXPECT_EQ(value_ops::real_from_text(text).has_value(), whole) << '"' << text << '"';
  }
}

TEST(ValueOps, IntegerReadingAgreesWithTheGrammar) {
  const std::regex literal("[+-]?[0-9]+");
  const std::vector<std::string> alphabet = {"0", "1", "9", "+", "-", " ", "x", "922337203685477580", "7", "8"};
  for (const std::string& text : random_texts(7, alphabet, 20000)) {
    const std::string_view s = unicode::trim_white_space(text);
    std::optional<int64_t> want;
    if (std::regex_match(std::string(s), literal)) {
      const size_t skip = s[0] == '+' ? 1 : 0;
      int64_t v = 0;
      const auto r = std::from_chars(s.data() + skip, s.data() + s.size(), v);
      if (r.ec == std::errc()) want = v;
    }
    EXPECT_EQ(value_ops::int_from_text(text), want) << '"' << text << '"';
  }
}

TEST(ValueOps, IntegerLiterals) {
  const struct {
    const char* text;
    std::optional<int64_t> want;
  } cases[] = {
      {" 42 ", 42},
      {"+7", 7},
      {"-0", 0},
      {"007", 7},
      {"9223372036854775807", kMaxInt},
      {"-9223372036854775808", kMinInt},
      {"9223372036854775808", std::nullopt},
      {"-9223372036854775809", std::nullopt},
      {"99999999999999999999", std::nullopt},
      {"1.5", std::nullopt},
      {"1e3", std::nullopt},
      {"", std::nullopt},
      {"-", std::nullopt},
      {"+", std::nullopt},
      {"- 5", std::nullopt},
      {"5x", std::nullopt},
      {"٣", std::nullopt},  // digits beyond ASCII are no digits
  };
  for (const auto& c : cases) EXPECT_EQ(value_ops::int_from_text(c.text), c.want) << '"' << c.text << '"';
}

TEST(ValueOps, CastRangeChecksBeforeConverting) {
  const struct {
    Value v;
    CastType to;
    Value want;
  } cases[] = {
      {R(3.9), CastType::Integer, I(3)},
      {R(-3.9), CastType::Integer, I(-3)},
      {T("12abc"), CastType::Integer, I(12)},
      {T("1e3"), CastType::Integer, I(1000)},
      {T("abc"), CastType::Integer, I(0)},
      {T("9007199254740993"), CastType::Integer, I(9007199254740992)},
      {I(kMaxInt), CastType::Integer, I(kMaxInt)},
      {I(kMinInt), CastType::Integer, I(kMinInt)},
      {R(1e300), CastType::Integer, I(kMaxInt)},
      {R(9.3e18), CastType::Integer, I(kMaxInt)},
      {R(kTwo63), CastType::Integer, I(kMaxInt)},
      {R(9223372036854774784.0), CastType::Integer, I(9223372036854774784)},  // largest below 2^63
      {R(-kTwo63), CastType::Integer, I(kMinInt)},
      {R(-1e19), CastType::Integer, I(kMinInt)},
      {R(kInf), CastType::Integer, I(kMaxInt)},
      {R(-kInf), CastType::Integer, I(kMinInt)},
      {R(kNaN), CastType::Integer, I(0)},
      {B({0x35}), CastType::Integer, I(0)},
      {N(), CastType::Integer, N()},
      {I(1), CastType::Real, R(1.0)},
      {I(kMaxInt), CastType::Real, R(kTwo63)},
      {T("2.5x"), CastType::Real, R(2.5)},
      {B({0x35}), CastType::Real, R(0.0)},
      {N(), CastType::Real, N()},
      {R(-0.0), CastType::Text, T("-0")},
      {R(100.0), CastType::Text, T("100")},
      {R(kNaN), CastType::Text, T("NaN")},
      {I(kMinInt), CastType::Text, T("-9223372036854775808")},
      {T(" x "), CastType::Text, T(" x ")},
      {B({0x41}), CastType::Text, B({0x41})},
      {N(), CastType::Text, N()},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(show(value_ops::cast_value(c.v, c.to)), show(c.want)) << show(c.v) << " AS " << cast_type_name(c.to);
  }
}

TEST(ValueOps, AffinityConvertsOnlyWholeLiterals) {
  const struct {
    Value v;
    bool real;
    Value want;
  } cases[] = {
      {T(" 42 "), false, I(42)},
      {T("+7"), false, I(7)},
      {T("-0"), false, I(0)},
      {T("-9223372036854775808"), false, I(kMinInt)},
      {T("1.5"), false, T("1.5")},
      {T("1e3"), false, T("1e3")},
      {T(""), false, T("")},
      {T("99999999999999999999"), false, T("99999999999999999999")},
      {T("- 5"), false, T("- 5")},
      {R(1.5), false, R(1.5)},
      {B({0x31}), false, B({0x31})},
      {N(), false, N()},
      {T("42"), true, R(42.0)},
      {T(" 2.5 "), true, R(2.5)},
      {T("inf"), true, R(kInf)},
      {T("nan"), true, R(kNaN)},
      {T(".5"), true, R(0.5)},
      {T("5."), true, R(5.0)},
      {T("1e400"), true, R(kInf)},
      {T("12abc"), true, T("12abc")},
      {T(" "), true, T(" ")},
      {I(3), true, I(3)},
      {N(), true, N()},
  };
  for (const auto& c : cases) {
    Value v = c.v;
    value_ops::apply_affinity(v, c.real);
    EXPECT_EQ(show(v), show(c.want)) << show(c.v) << (c.real ? " real" : " integer");
  }
}

TEST(ValueOps, Like) {
  const struct {
    Value v;
    Value pattern;
    bool negated;
    Value want;
  } cases[] = {
      {T("%abc"), T("%"), false, I(1)},
      {T("a%b"), T("a%"), false, I(1)},
      {T("aXb"), T("a%b%"), false, I(1)},
      {T("ab"), T("a"), false, I(0)},
      {T("a"), T("ab"), false, I(0)},
      {T("a"), T("a%%"), false, I(1)},
      {T("50% off"), T("50%"), false, I(1)},
      {T(""), T(""), false, I(1)},
      {T(""), T("%"), false, I(1)},
      {T(""), T("_"), false, I(0)},
      {T("ABC"), T("a_c"), false, I(1)},
      {T("hello"), T("H%O"), false, I(1)},
      {T("É"), T("é"), false, I(0)},
      {T("é"), T("__"), false, I(1)},
      {T("é"), T("_"), false, I(0)},
      {T("a"), T("%_%_"), false, I(0)},
      {T("ab"), T("%_%_"), false, I(1)},
      {T("a\\b"), T("a\\%"), false, I(1)},  // no escape character
      // The resume point moves on after a failed attempt.
      {T("aaab"), T("%ab"), false, I(1)},
      {T("abcabd"), T("%abd"), false, I(1)},
      {T("mississippi"), T("%iss%ppi"), false, I(1)},
      {T("mississippi"), T("m%iss%x"), false, I(0)},
      {T("abc"), T("%b"), false, I(0)},
      {T("xAyBz"), T("x%y%Z"), false, I(1)},
      {T("ab"), T("%_b"), false, I(1)},
      // Numbers and blobs by their text forms.
      {R(1.5), T("1.5"), false, I(1)},
      {I(10), T("1%"), false, I(1)},
      {R(1e20), T("1000%0"), false, I(1)},
      {T("1"), R(1.0), false, I(1)},
      {B({0x61}), T(""), false, I(1)},
      {B({0x61}), T("a"), false, I(0)},
      {T("abc"), T("abc"), true, I(0)},
      {T("abc"), T("abd"), true, I(1)},
      {N(), T("%"), false, N()},
      {T("x"), N(), true, N()},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(show(value_ops::like_op(c.v, c.pattern, c.negated)), show(c.want))
        << show(c.v) << (c.negated ? " NOT LIKE " : " LIKE ") << show(c.pattern);
  }
}

// LIKE by its definition: "%" matches any run of bytes, "_" one byte, other
// bytes themselves after ASCII folding; tried recursively.
bool like_by_definition(std::string_view t, std::string_view p) {
  if (p.empty()) return t.empty();
  if (p[0] == '%') {
    for (size_t skip = 0; skip <= t.size(); ++skip) {
      if (like_by_definition(t.substr(skip), p.substr(1))) return true;
    }
    return false;
  }
  if (t.empty()) return false;
  if (p[0] != '_' && unicode::ascii_lower(p[0]) != unicode::ascii_lower(t[0])) return false;
  return like_by_definition(t.substr(1), p.substr(1));
}

TEST(ValueOps, LikeAgreesWithItsDefinition) {
  const std::vector<std::string> text_bytes = {"a", "b", "A", "B", "%", "_", "c", "a", "a", "!", "é"};
  const std::vector<std::string> pattern_bytes = {"a", "b", "A", "%", "%", "_", "c"};
  // Texts longer than the patterns, so that a "%" often absorbs long runs.
  const std::vector<std::string> texts = random_texts(11, text_bytes, 3000, 40);
  const std::vector<std::string> patterns = random_texts(12, pattern_bytes, 3000);
  for (size_t k = 0; k < texts.size(); ++k) {
    const bool want = like_by_definition(texts[k], patterns[k]);
    EXPECT_EQ(show(value_ops::like_op(T(texts[k]), T(patterns[k]), false)), show(I(want ? 1 : 0)))
        << '"' << texts[k] << "\" LIKE \"" << patterns[k] << '"';
  }
}

TEST(ValueOps, TextForms) {
  const struct {
    Value v;
    const char* text;
  } cases[] = {
      {R(1e20), "100000000000000000000"},
      {R(1.5e-7), "0.00000015"},
      {R(kTwo63), "9223372036854776000"},
      {R(0.1 + 0.2), "0.30000000000000004"},
      {R(-0.0), "-0"},
      {R(0.0), "0"},
      {R(1.0), "1"},
      {R(0.1), "0.1"},
      {R(2.5), "2.5"},
      {R(-1234.5), "-1234.5"},
      {R(1e16), "10000000000000000"},
      {R(kNaN), "NaN"},
      {R(-kNaN), "NaN"},
      {R(kInf), "inf"},
      {R(-kInf), "-inf"},
      {I(0), "0"},
      {I(-42), "-42"},
      {I(kMinInt), "-9223372036854775808"},
      {T("héllo"), "héllo"},
      {B({0x41}), ""},
      {N(), ""},
  };
  for (const auto& c : cases) EXPECT_EQ(value_ops::text_form(c.v), c.text) << show(c.v);

  // The smallest subnormal spelled out in full.
  EXPECT_EQ(value_ops::text_form(R(5e-324)), "0." + std::string(323, '0') + "5");
}

}  // namespace
}  // namespace vbk
