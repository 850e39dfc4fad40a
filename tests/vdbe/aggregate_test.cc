#include "vdbe/aggregate.h"

#include <cstdint>
#include <limits>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "error.h"
#include "support/values.h"

namespace vbk::vdbe {
namespace {

constexpr int64_t kMax = std::numeric_limits<int64_t>::max();
const double kNaN = std::numeric_limits<double>::quiet_NaN();

using namespace vbk::testing;  // I, R, T, B, N

struct AccCase {
  AggKind kind;
  bool distinct;
  std::vector<Value> input;
  Value want;
};

// Each case feeds its values in order and compares the result's debug text,
// which shows the kind (Int(6) is not Real(6.0)).
TEST(AggAcc, ResultsOfEveryKind) {
  const int64_t p53 = int64_t{1} << 53;
  const AccCase cases[] = {
      // Empty input.
      {AggKind::CountStar, false, {}, I(0)},
      {AggKind::Count, false, {}, I(0)},
      {AggKind::Sum, false, {}, N()},
      {AggKind::Avg, false, {}, N()},
      {AggKind::Min, false, {}, N()},
      {AggKind::Max, false, {}, N()},
      {AggKind::Any, false, {}, N()},
      // Counting.
      {AggKind::CountStar, false, {I(1), N(), N()}, I(3)},
      {AggKind::Count, false, {I(1), N(), T("")}, I(2)},
      // SUM's typing.
      {AggKind::Sum, false, {I(1), I(2), I(3)}, I(6)},
      {AggKind::Sum, false, {I(1), R(2.5)}, R(3.5)},
      {AggKind::Sum, false, {I(1), T("2")}, R(3.0)},
      {AggKind::Sum, false, {I(1), T("2x")}, R(1.0)},
      {AggKind::Sum, false, {I(1), T(" 2.5e1 ")}, R(26.0)},
      {AggKind::Sum, false, {I(1), B({0x35})}, R(1.0)},
      {AggKind::Sum, false, {I(kMax), I(1)}, R(9223372036854775808.0)},
      {AggKind::Sum, false, {I(kMax), I(1), I(-1)}, I(kMax)},
      {AggKind::Sum, false, {I(kMax), I(kMax), I(-kMax), I(-kMax), I(-1)}, I(-1)},
      {AggKind::Sum, false, {I(p53), I(1), I(1)}, I(p53 + 2)},
      {AggKind::Sum, false, {N(), N()}, N()},
      {AggKind::Sum, false, {N(), I(4)}, I(4)},
      // AVG is always a Real; a blob or unreadable text counts as 0.0.
      {AggKind::Avg, false, {I(1), I(2)}, R(1.5)},
      {AggKind::Avg, false, {I(1), B({0x00})}, R(0.5)},
      {AggKind::Avg, false, {I(1), T("3"), N()}, R(2.0)},
      {AggKind::Avg, false, {T("abc")}, R(0.0)},
      // MIN and MAX by the value order; ties keep the earlier value.
      {AggKind::Min, false, {I(1), R(1.0)}, I(1)},
      {AggKind::Min, false, {R(1.0), I(1)}, R(1.0)},
      {AggKind::Max, false, {R(1.0), I(1)}, R(1.0)},
      {AggKind::Min, false, {T("b"), T("a"), I(3)}, I(3)},
      {AggKind::Max, false, {I(3), B({0x00}), T("z")}, B({0x00})},
      {AggKind::Min, false, {I(9), T("10")}, I(9)},
      {AggKind::Max, false, {I(9), T("10")}, T("10")},
      {AggKind::Min, false, {N(), I(2), N()}, I(2)},
      {AggKind::Max, false, {N(), N()}, N()},
      {AggKind::Max, false, {I(p53), I(p53 + 1), R(9007199254740992.0)}, I(p53 + 1)},
      {AggKind::Min, false, {I(2), R(kNaN), I(1)}, I(1)},
      // The bare column keeps the first value, NULL included.
      {AggKind::Any, false, {N(), I(5)}, N()},
      {AggKind::Any, false, {I(5), N(), I(6)}, I(5)},
      // DISTINCT: NULLs are skipped, the first of equal values counts.
      {AggKind::Count, true, {I(1), R(1.0), N(), I(2)}, I(2)},
      {AggKind::Sum, true, {I(1), R(1.0), I(2)}, I(3)},
      {AggKind::Sum, true, {R(1.0), I(1), I(2)}, R(3.0)},
      {AggKind::Count, true, {T("a"), B({0x61}), T("a")}, I(2)},
      {AggKind::Count, true, {R(0.0), R(-0.0)}, I(2)},
      {AggKind::Count, true, {I(p53 + 1), I(p53), I(p53 + 1), R(9007199254740992.0)}, I(2)},
      {AggKind::Avg, true, {I(2), I(2), I(4)}, R(3.0)},
  };
  for (const AccCase& c : cases) {
    AggAcc acc = AggAcc::new_({.kind = c.kind, .distinct = c.distinct});
    std::string fed;
    for (const Value& v : c.input) {
      acc.step(v);
      v.append_debug(fed += ' ');
    }
    const std::string label =
        std::string(agg_kind_name(c.kind)) + (c.distinct ? " DISTINCT" : "") + " over" + fed;
    EXPECT_EQ(acc.finalize().debug(), c.want.debug()) << label;
    // Finalising leaves the accumulator as it was.
    EXPECT_EQ(acc.finalize().debug(), c.want.debug()) << label;
  }
}

TEST(AggAcc, StepsAfterFinalizeGoOnFromTheSameState) {
  AggAcc acc = AggAcc::new_({.kind = AggKind::Sum, .distinct = false});
  acc.step(I(2));
  EXPECT_EQ(acc.finalize().debug(), "Int(2)");
  acc.step(I(3));
  EXPECT_EQ(acc.finalize().debug(), "Int(5)");
}

// Feeds rows of (key, argument) to a table with one COUNT(*) and one SUM slot
// and returns its groups in walk order as "key:count:sum" texts.
std::string walk_groups(const std::vector<std::pair<Value, Value>>& rows, bool grouped) {
  const std::vector<AggSpec> aggs = {{AggKind::CountStar, false}, {AggKind::Sum, false}};
  GroupTable t;
  for (const auto& [key, arg] : rows) {
    if (grouped) t.start(std::span(&key, 1), aggs);
    else t.start({}, aggs);
    t.selected_acc(0).step(arg);
    t.selected_acc(1).step(arg);
  }
  std::string out;
  if (!t.rewind(grouped, aggs)) return "none";
  do {
    if (!out.empty()) out += ' ';
    t.key_value(0).append_debug(out);
    out += ':';
    t.current_acc(0).finalize().append_debug(out);
    out += ':';
    t.current_acc(1).finalize().append_debug(out);
  } while (t.next());
  return out;
}

TEST(GroupTable, GroupsAndTheirOrder) {
  const int64_t p53 = int64_t{1} << 53;
  const struct {
    const char* name;
    bool grouped;
    std::vector<std::pair<Value, Value>> rows;
    std::string want;
  } cases[] = {
      {"empty input without grouping has one group", false, {}, "Null:Int(0):Null"},
      {"empty input with grouping has none", true, {}, "none"},
      {"one group without grouping", false, {{I(5), I(1)}, {I(6), I(2)}}, "Null:Int(2):Int(3)"},
      {"walk in key order",
       true,
       {{T("b"), I(1)}, {N(), I(2)}, {I(2), I(3)}, {T("a"), I(4)}, {R(1.5), I(5)}},
       "Null:Int(1):Int(2) Real(1.5):Int(1):Int(5) Int(2):Int(1):Int(3) "
       "Text(\"a\"):Int(1):Int(4) Text(\"b\"):Int(1):Int(1)"},
      {"rows coming back to an earlier group",
       true,
       {{I(1), I(1)}, {I(2), I(10)}, {I(1), I(100)}, {I(1), I(1000)}, {I(2), N()}},
       "Int(1):Int(3):Int(1101) Int(2):Int(2):Int(10)"},
      {"1 and 1.0 share a group keyed by the first",
       true,
       {{R(1.0), I(1)}, {I(1), I(2)}},
       "Real(1.0):Int(2):Int(3)"},
      {"integers past 2^53 keep their own groups",
       true,
       {{I(p53 + 1), I(1)}, {I(p53), I(2)}, {I(p53 + 1), I(4)}, {R(9007199254740992.0), I(8)}},
       "Int(9007199254740992):Int(2):Int(10) Int(9007199254740993):Int(2):Int(5)"},
      {"0.0 and -0.0 differ, NULLs match",
       true,
       {{R(0.0), I(1)}, {R(-0.0), I(2)}, {N(), I(3)}, {N(), I(4)}},
       "Null:Int(2):Int(7) Real(-0.0):Int(1):Int(2) Real(0.0):Int(1):Int(1)"},
      {"a text never matches a blob",
       true,
       {{B({0x61}), I(1)}, {T("a"), I(2)}},
       "Text(\"a\"):Int(1):Int(2) Blob([97]):Int(1):Int(1)"},
  };
  for (const auto& c : cases) EXPECT_EQ(walk_groups(c.rows, c.grouped), c.want) << c.name;
}

TEST(GroupTable, KeyValuesTheGroupLacksAreNull) {
  const std::vector<AggSpec> aggs = {{AggKind::CountStar, false}};
  GroupTable t;
  ASSERT_TRUE(t.rewind(false, aggs));
  EXPECT_TRUE(t.key_value(0).is_null());
  EXPECT_TRUE(t.key_value(3).is_null());
  EXPECT_EQ(t.current_acc(0).finalize().debug(), "Int(0)");
  EXPECT_FALSE(t.next());
}

TEST(GroupTable, CallsOutOfOrderAreInternalFaults) {
  const std::vector<AggSpec> aggs = {{AggKind::CountStar, false}};
  const Value k = I(1);
  {
    GroupTable t;
    EXPECT_THROW(t.selected_acc(0), InternalFault);
    t.start(std::span(&k, 1), aggs);
    EXPECT_THROW(t.selected_acc(1), InternalFault);
  }
  {
    GroupTable t;
    ASSERT_FALSE(t.rewind(true, aggs));
    EXPECT_THROW(t.current_acc(0), InternalFault);
    EXPECT_THROW(t.next(), InternalFault);
  }
  {
    GroupTable t;
    t.start(std::span(&k, 1), aggs);
    ASSERT_TRUE(t.rewind(true, aggs));
    EXPECT_THROW(t.selected_acc(0), InternalFault);
    EXPECT_FALSE(t.next());
    EXPECT_THROW(t.current_acc(0), InternalFault);
  }
}

}  // namespace
}  // namespace vbk::vdbe
