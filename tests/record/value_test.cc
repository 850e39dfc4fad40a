#include "record/value.h"

#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "record/compare.h"

namespace vbk {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr int64_t kMin = std::numeric_limits<int64_t>::min();

TEST(Value, DebugText) {
  const struct {
    Value v;
    const char* text;
  } cases[] = {
      {Value::Null(), "Null"},
      {Value(), "Null"},
      {Value::Int(0), "Int(0)"},
      {Value::Int(-1), "Int(-1)"},
      {Value::Int(-7), "Int(-7)"},
      {Value::Int(kMin), "Int(-9223372036854775808)"},
      {Value::Real(1.0), "Real(1.0)"},
      {Value::Real(0.1), "Real(0.1)"},
      {Value::Real(1e-5), "Real(1e-5)"},
      {Value::Real(12345.678), "Real(12345.678)"},
      {Value::Real(1e16), "Real(1e16)"},
      {Value::Real(-0.0), "Real(-0.0)"},
      {Value::Real(kNaN), "Real(NaN)"},
      {Value::Real(-kInf), "Real(-inf)"},
      {Value::Text(""), "Text(\"\")"},
      {Value::Text("x"), "Text(\"x\")"},
      {Value::Text("a\tb\"c'"), "Text(\"a\\tb\\\"c'\")"},
      {Value::Text("e\xCC\x81"), "Text(\"e\\u{301}\")"},
      {Value::Blob({}), "Blob([])"},
      {Value::Blob({0, 255}), "Blob([0, 255])"},
      {Value::Blob({1, 2}), "Blob([1, 2])"},
  };
  for (const auto& c : cases) EXPECT_EQ(c.v.debug(), c.text);
}

TEST(Value, KindsFollowTheVariantOrder) {
  EXPECT_EQ(Value::Null().kind(), Value::Kind::Null);
  EXPECT_EQ(Value::Int(3).kind(), Value::Kind::Int);
  EXPECT_EQ(Value::Real(3).kind(), Value::Kind::Real);
  EXPECT_EQ(Value::Text("3").kind(), Value::Kind::Text);
  EXPECT_EQ(Value::Blob({3}).kind(), Value::Kind::Blob);
  EXPECT_EQ(static_cast<int>(Value::Kind::Blob), 4);
  static_assert(std::is_nothrow_move_constructible_v<Value>);
  static_assert(std::is_nothrow_move_assignable_v<Value>);
}

TEST(Value, CopiesAreDeep) {
  Value text = Value::Text("hello");
  Value blob = Value::Blob({1, 2, 3});
  const Value text_copy = text;
  const Value blob_copy = blob;
  text.as_text()[0] = 'j';
  blob.as_blob()[0] = 9;
  EXPECT_EQ(text_copy.debug(), "Text(\"hello\")");
  EXPECT_EQ(blob_copy.debug(), "Blob([1, 2, 3])");
  text = Value::Null();  // releases the source
  blob = Value::Int(1);
  EXPECT_EQ(text_copy.as_text(), "hello");
  EXPECT_EQ(blob_copy.as_blob(), (Bytes{1, 2, 3}));

  const Value empty = Value::Blob({});
  const Value empty_copy = empty;
  EXPECT_EQ(empty_copy.as_blob().capacity(), 0u);  // copied without allocating
}

TEST(Compare, Table) {
  using std::weak_ordering;
  const weak_ordering kLess = weak_ordering::less;
  const weak_ordering kEq = weak_ordering::equivalent;
  const weak_ordering kGreater = weak_ordering::greater;
  const int64_t p53 = int64_t{1} << 53;
  const struct {
    Value a, b;
    weak_ordering want;
  } cases[] = {
      // Ranks decide first, NaN or not.
      {Value::Null(), Value::Null(), kEq},
      {Value::Null(), Value::Int(kMin), kLess},
      {Value::Real(kNaN), Value::Null(), kGreater},
      {Value::Real(kInf), Value::Text(""), kLess},
      {Value::Text(""), Value::Blob({}), kLess},
      {Value::Blob({}), Value::Text("zzz"), kGreater},
      // Numbers.
      {Value::Int(1), Value::Real(1.0), kEq},
      {Value::Int(2), Value::Real(1.5), kGreater},
      {Value::Real(-0.0), Value::Real(0.0), kEq},
      {Value::Int(0), Value::Real(-0.0), kEq},
      {Value::Int(-3), Value::Int(2), kLess},
      {Value::Int(kMin), Value::Int(std::numeric_limits<int64_t>::max()), kLess},
      {Value::Real(-kInf), Value::Int(kMin), kLess},
      {Value::Real(kNaN), Value::Int(5), kEq},
      {Value::Int(5), Value::Real(kNaN), kEq},
      {Value::Real(kNaN), Value::Real(kNaN), kEq},
      {Value::Real(kNaN), Value::Real(-kInf), kEq},
      // Past 2^53 Ints compare exactly, but against Reals they round.
      {Value::Int(p53 + 1), Value::Real(static_cast<double>(p53)), kEq},
      {Value::Int(p53 + 1), Value::Int(p53), kGreater},
      {Value::Real(static_cast<double>(p53)), Value::Int(p53 + 1), kEq},
      // Bytes, unsigned, prefix first, no folding.
      {Value::Text("ab"), Value::Text("abc"), kLess},
      {Value::Text("b"), Value::Text("abc"), kGreater},
      {Value::Text("Z"), Value::Text("a"), kLess},
      {Value::Text("\xC3\xA9"), Value::Text("z"), kGreater},
      {Value::Text(std::string("a\0", 2)), Value::Text("a"), kGreater},
      {Value::Text("same"), Value::Text("same"), kEq},
      {Value::Blob({255}), Value::Blob({0, 0}), kGreater},
      {Value::Blob({}), Value::Blob({0}), kLess},
      {Value::Blob({1, 2}), Value::Blob({1, 2}), kEq},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(compare::cmp_value(c.a, c.b), c.want) << c.a.debug() << " vs " << c.b.debug();
  }
}

}  // namespace
}  // namespace vbk
