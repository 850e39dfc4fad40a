#pragma once

// The operator and function kinds that instructions carry as operands, and the
// aggregate slot description. Each kind's number is fixed: the compiler passes
// a syntax-tree operator's number straight through as a BinKind.

#include <cstdint>
#include <optional>
#include <string_view>

namespace vbk::vdbe {

// The operator of Op::Bin, numbered as the syntax tree's BinaryOp.
enum class BinKind : uint8_t { Add, Sub, Mul, Div, Mod, Eq, Ne, Lt, Le, Gt, Ge, And, Or };

// The operator of Op::Un. The syntax tree's UnaryOp numbers these the other
// way round; the compiler maps them.
enum class UnKind : uint8_t { Not, Neg };

// The function of Op::Func.
enum class ScalarKind : uint8_t {
  Abs,
  Length,
  Upper,
  Lower,
  Coalesce,
  Typeof,
  Substr,
  Round,
  Replace,
  Trim,
  Ltrim,
  Rtrim,
  Ifnull,
  Nullif,
  Concat,
  Year,
  Month,
  Day,
  Hour,
  Minute,
  Second,
  Week,
  DayOfWeek,
  DayOfYear,
};

// The aggregate kinds of an aggregate slot. Any has no SQL name: the compiler
// makes it for a bare column of an aggregate query (the group's first value).
enum class AggKind : uint8_t { CountStar, Count, Sum, Avg, Min, Max, Any };

// One aggregate slot of a program: every group gets one accumulator per slot.
struct AggSpec {
  AggKind kind = AggKind::CountStar;
  bool distinct = false;

  friend bool operator==(const AggSpec&, const AggSpec&) = default;
};

// Kind names, as debug texts print them ("Lt", "Neg", "DayOfWeek", "CountStar").
std::string_view bin_kind_name(BinKind k);
std::string_view un_kind_name(UnKind k);
std::string_view scalar_kind_name(ScalarKind k);
std::string_view agg_kind_name(AggKind k);

// The function a SQL name calls, or none. `name` is compared byte for byte
// with the upper-case names (the parser stores function names upper-cased).
std::optional<ScalarKind> scalar_kind_from_name(std::string_view name);

}  // namespace vbk::vdbe
