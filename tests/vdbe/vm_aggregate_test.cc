// Hand-built aggregate programs on the machine: a scan of (key, argument)
// rows feeding the groups, then the walk that emits one row per group.

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "vm_fixture.h"

namespace vbk::vdbe {
namespace {

using namespace vbk::testing;  // I, R, T, B, N, VmFixture

// SELECT [k,] agg1(x), agg2(x), ... FROM t [GROUP BY k] over t(k, x).
// Registers: 0 the row's key, 1 its argument, 2 the group's key, 3.. the
// results.
Program aggregate_program(uint32_t root, const std::vector<AggSpec>& aggs, bool grouped) {
  const auto n = static_cast<uint32_t>(aggs.size());
  const uint32_t key_count = grouped ? 1 : 0;
  const uint32_t rewind_at = 5 + n + 1;
  const uint32_t end = rewind_at + 1 + n + 3;
  std::vector<Op> ops = {
      Op::OpenRead{.cur = 0, .root = root},
      Op::Rewind{.cur = 0, .empty_target = {rewind_at}},
      Op::Column{.cur = 0, .col = 0, .dest = 0},
      Op::Column{.cur = 0, .col = 1, .dest = 1},
      Op::AggStart{.key_start = 0, .key_count = key_count},
  };
  for (uint32_t i = 0; i < n; ++i) ops.push_back(Op::AggStep{.idx = i, .arg_reg = 1});
  ops.push_back(Op::Next{.cur = 0, .row_target = {2}});
  ops.push_back(Op::AggRewind{
      .done_target = {end}, .key_dest = 2, .key_count = key_count, .grouped = grouped});
  for (uint32_t i = 0; i < n; ++i) ops.push_back(Op::AggResult{.idx = i, .dest = 3 + i});
  const uint32_t first = grouped ? 2 : 3;
  ops.push_back(Op::ResultRow{.start = first, .count = 3 + n - first});
  ops.push_back(Op::AggNext{.row_target = rewind_at + 1, .key_dest = 2, .key_count = key_count});
  ops.push_back(Op::Halt{});
  Program p = program_of(std::move(ops), 3 + n, 1, 3 + n - first);
  p.aggs = aggs;
  return p;
}

constexpr AggSpec kCountStar{AggKind::CountStar, false};
constexpr AggSpec kCount{AggKind::Count, false};
constexpr AggSpec kCountDistinct{AggKind::Count, true};
constexpr AggSpec kSum{AggKind::Sum, false};
constexpr AggSpec kAvg{AggKind::Avg, false};
constexpr AggSpec kMin{AggKind::Min, false};
constexpr AggSpec kMax{AggKind::Max, false};
constexpr AggSpec kAny{AggKind::Any, false};

TEST(VmAggregate, HandBuiltPrograms) {
  const int64_t p53 = int64_t{1} << 53;
  const std::vector<AggSpec> all = {kCountStar, kCount, kSum, kAvg, kMin, kMax, kAny};
  const struct {
    const char* name;
    std::vector<std::vector<Value>> rows;  // (k, x)
    std::vector<AggSpec> aggs;
    bool grouped;
    std::string want;
  } cases[] = {
      {"empty input without grouping gives one row", {}, all, false,
       "[Int(0), Int(0), Null, Null, Null, Null, Null]"},
      {"empty input with grouping gives none", {}, all, true, ""},
      {"every kind over one group",
       {{I(1), I(3)}, {I(1), N()}, {I(1), R(1.5)}, {I(1), T("a")}},
       all,
       false,
       "[Int(4), Int(3), Real(4.5), Real(1.5), Real(1.5), Text(\"a\"), Int(3)]"},
      {"groups in key order with their first key value",
       {{T("b"), I(1)}, {N(), I(2)}, {I(2), I(3)}, {T("a"), I(4)}, {R(1.5), I(5)}, {R(2.0), I(6)},
        {N(), I(7)}},
       {kCountStar, kSum},
       true,
       "[Null, Int(2), Int(9)][Real(1.5), Int(1), Int(5)][Int(2), Int(2), Int(9)]"
       "[Text(\"a\"), Int(1), Int(4)][Text(\"b\"), Int(1), Int(1)]"},
      {"a bare column whose first row is NULL",
       {{I(1), N()}, {I(1), I(5)}, {I(2), I(6)}, {I(2), N()}},
       {kAny, kMax},
       true,
       "[Int(1), Null, Int(5)][Int(2), Int(6), Int(6)]"},
      {"integers past 2^53 form two groups",
       {{I(p53 + 1), I(1)}, {I(p53), I(1)}, {I(p53 + 1), I(1)}},
       {kCountStar},
       true,
       "[Int(9007199254740992), Int(1)][Int(9007199254740993), Int(2)]"},
      {"COUNT(DISTINCT) counts integers past 2^53 apart",
       {{N(), I(p53 + 1)}, {N(), I(p53)}, {N(), I(p53 + 1)}, {N(), R(9007199254740992.0)}},
       {kCountDistinct, kCount},
       false,
       "[Int(2), Int(4)]"},
      {"a group met again after others",
       {{I(1), I(1)}, {I(2), I(10)}, {I(1), I(100)}},
       {kSum, kMin},
       true,
       "[Int(1), Int(101), Int(1)][Int(2), Int(10), Int(10)]"},
  };
  for (const auto& c : cases) {
    VmFixture db;
    const uint32_t root = db.table(c.rows);
    const auto rows = db.run(aggregate_program(root, c.aggs, c.grouped));
    ASSERT_TRUE(rows.has_value()) << c.name << ": " << rows.error().display();
    EXPECT_EQ(show_rows(*rows), c.want) << c.name;
  }
}

TEST(VmAggregate, StepWithoutAGroupIsAnInternalFault) {
  VmFixture db;
  Program p = program_of({Op::Integer{.v = 1, .dest = 0}, Op::AggStep{.idx = 0, .arg_reg = 0}}, 1, 0, 0);
  p.aggs = {kCountStar};
  EXPECT_THROW((void)db.run(p), InternalFault);
}

}  // namespace
}  // namespace vbk::vdbe
