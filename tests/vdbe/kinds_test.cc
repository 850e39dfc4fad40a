#include "vdbe/kinds.h"

#include <string_view>

#include <gtest/gtest.h>

#include "sql/ast.h"

namespace vbk::vdbe {
namespace {

// The compiler passes a syntax-tree operator's number straight through.
static_assert(static_cast<int>(BinKind::Add) == static_cast<int>(BinaryOp::Add));
static_assert(static_cast<int>(BinKind::Mod) == static_cast<int>(BinaryOp::Mod));
static_assert(static_cast<int>(BinKind::Ge) == static_cast<int>(BinaryOp::Ge));
static_assert(static_cast<int>(BinKind::Or) == static_cast<int>(BinaryOp::Or));

TEST(Kinds, EverySqlNameCallsItsFunction) {
  const struct {
    std::string_view name;
    ScalarKind kind;
  } names[] = {
      {"ABS", ScalarKind::Abs},          {"LENGTH", ScalarKind::Length},
      {"CHAR_LENGTH", ScalarKind::Length}, {"CHARACTER_LENGTH", ScalarKind::Length},
      {"UPPER", ScalarKind::Upper},      {"UCASE", ScalarKind::Upper},
      {"LOWER", ScalarKind::Lower},      {"LCASE", ScalarKind::Lower},
      {"COALESCE", ScalarKind::Coalesce}, {"TYPEOF", ScalarKind::Typeof},
      {"SUBSTR", ScalarKind::Substr},    {"SUBSTRING", ScalarKind::Substr},
      {"ROUND", ScalarKind::Round},      {"REPLACE", ScalarKind::Replace},
      {"TRIM", ScalarKind::Trim},        {"LTRIM", ScalarKind::Ltrim},
      {"RTRIM", ScalarKind::Rtrim},      {"IFNULL", ScalarKind::Ifnull},
      {"NULLIF", ScalarKind::Nullif},    {"CONCAT", ScalarKind::Concat},
      {"YEAR", ScalarKind::Year},        {"MONTH", ScalarKind::Month},
      {"DAY", ScalarKind::Day},          {"DAYOFMONTH", ScalarKind::Day},
      {"HOUR", ScalarKind::Hour},        {"MINUTE", ScalarKind::Minute},
      {"SECOND", ScalarKind::Second},    {"WEEK", ScalarKind::Week},
      {"WEEKOFYEAR", ScalarKind::Week},  {"DAYOFWEEK", ScalarKind::DayOfWeek},
      {"DAYOFYEAR", ScalarKind::DayOfYear},
  };
  for (const auto& n : names) EXPECT_EQ(scalar_kind_from_name(n.name), n.kind) << n.name;
  // Exact upper-case bytes only; aggregates are no scalar functions.
  for (std::string_view other : {"abs", "Abs", "ABS ", "", "COUNT", "SUM", "NOW", "SUBST"}) {
    EXPECT_EQ(scalar_kind_from_name(other), std::nullopt) << other;
  }
}

TEST(Kinds, DebugNames) {
  EXPECT_EQ(bin_kind_name(BinKind::Lt), "Lt");
  EXPECT_EQ(bin_kind_name(BinKind::Or), "Or");
  EXPECT_EQ(un_kind_name(UnKind::Not), "Not");
  EXPECT_EQ(un_kind_name(UnKind::Neg), "Neg");
  EXPECT_EQ(scalar_kind_name(ScalarKind::Abs), "Abs");
  EXPECT_EQ(scalar_kind_name(ScalarKind::DayOfWeek), "DayOfWeek");
  EXPECT_EQ(scalar_kind_name(ScalarKind::DayOfYear), "DayOfYear");
}

}  // namespace
}  // namespace vbk::vdbe
