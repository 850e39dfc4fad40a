// Hand-built correlated sub-programs on the machine: the cache of results per
// parameter values, the values a child receives, the finishing of its rows and
// the bound on nesting.

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "vdbe/limits.h"
#include "vm_fixture.h"

namespace vbk::vdbe {
namespace {

using namespace vbk::testing;  // I, R, T, B, N, VmFixture

// SELECT a, (sub-program 0 with `params`) FROM t: each output row is the
// row's a and the sub-program's value.
Program scan_with_sub(uint32_t t_root, std::vector<ParamSrc> params, Program sub) {
  Program p = program_of(
      {
          Op::OpenRead{.cur = 0, .root = t_root},
          Op::Rewind{.cur = 0, .empty_target = {6}},
          Op::Column{.cur = 0, .col = 0, .dest = 0},
          Op::ScalarSub{.sub = 0, .params = std::move(params), .dest = 1},
          Op::ResultRow{.start = 0, .count = 2},
          Op::Next{.cur = 0, .row_target = {2}},
          Op::Halt{},
      },
      2, 1, 2);
  p.subprograms.push_back(std::move(sub));
  return p;
}

// A sub-program that records each of its runs as a row of the log table
// (holding parameter 0) and gives the number of rows the log then holds, or
// no row at all.
Program logging_sub(uint32_t log_root, bool gives_a_row) {
  return program_of(
      {
          Op::OpenWrite{.cur = 0, .root = log_root},
          Op::NewRowid{.cur = 0, .dest = 0},
          Op::Param{.idx = 0, .dest = 1},
          Op::MakeRecord{.start = 1, .count = 1, .dest = 2},
          Op::Insert{.cur = 0, .record_reg = 2, .rowid_reg = 0},
          gives_a_row ? Op(Op::Count{.cur = 0, .dest = 3}) : Op(Op::Halt{}),
          Op::ResultRow{.start = 3, .count = 1},
      },
      4, 1, 1);
}

TEST(VmSubprogram, RunsOncePerDistinctParameterKey) {
  const int64_t p53 = int64_t{1} << 53;
  const struct {
    const char* name;
    std::vector<Value> keys;  // t.a, in scan order
    bool gives_a_row;
    std::string want;
    uint64_t runs;
  } cases[] = {
      {"keys 1, 2, 1", {I(1), I(2), I(1)}, true,
       "[Int(1), Int(1)][Int(2), Int(2)][Int(1), Int(1)]", 2},
      {"no row gives a cached NULL", {I(5), I(5)}, false, "[Int(5), Null][Int(5), Null]", 1},
      {"1 and 1.0 do not share an entry", {I(1), R(1.0)}, true, "[Int(1), Int(1)][Real(1.0), Int(2)]", 2},
      {"NULLs share an entry", {N(), N()}, true, "[Null, Int(1)][Null, Int(1)]", 1},
      {"0.0 and -0.0 do not", {R(0.0), R(-0.0)}, true, "[Real(0.0), Int(1)][Real(-0.0), Int(2)]", 2},
      {"a text and a blob of one byte string do not",
       {T("a"), B({0x61})},
       true,
       "[Text(\"a\"), Int(1)][Blob([97]), Int(2)]",
       2},
      {"integers past 2^53 keep their own entries, apart from the real they round to",
       {I(p53 + 1), I(p53), I(p53 + 1), R(9007199254740992.0)},
       true,
       "[Int(9007199254740993), Int(1)][Int(9007199254740992), Int(2)]"
       "[Int(9007199254740993), Int(1)][Real(9007199254740992.0), Int(3)]",
       3},
      {"texts of several parameters keep their bounds", {T("ab"), T("a")}, true,
       "[Text(\"ab\"), Int(1)][Text(\"a\"), Int(2)]", 2},
  };
  for (const auto& c : cases) {
    VmFixture db;
    std::vector<std::vector<Value>> t_rows;
    for (const Value& k : c.keys) t_rows.push_back({k});
    const uint32_t t_root = db.table(t_rows);
    const uint32_t log_root = db.table({});
    const Program p = scan_with_sub(t_root, {ParamSrc::Column(0, 0)}, logging_sub(log_root, c.gives_a_row));
    const auto rows = db.run(p);
    ASSERT_TRUE(rows.has_value()) << c.name << ": " << rows.error().display();
    EXPECT_EQ(show_rows(*rows), c.want) << c.name;
    EXPECT_EQ(db.count(log_root), c.runs) << c.name;
  }
}

// The child's value is parameter 0.
Program echo_sub() {
  return program_of({Op::Param{.idx = 0, .dest = 0}, Op::ResultRow{.start = 0, .count = 1}}, 1, 0, 1);
}

TEST(VmSubprogram, ParametersOfANullRowAreNull) {
  VmFixture db;
  const uint32_t t_root = db.table({{I(42)}});
  Program p = program_of(
      {
          Op::OpenRead{.cur = 0, .root = t_root},
          Op::Rewind{.cur = 0, .empty_target = {7}},
          Op::ScalarSub{.sub = 0, .params = {ParamSrc::Column(0, 0)}, .dest = 0},
          Op::ScalarSub{.sub = 0, .params = {ParamSrc::Rowid(0)}, .dest = 1},
          Op::NullRow{.cur = 0},
          Op::ScalarSub{.sub = 0, .params = {ParamSrc::Column(0, 0)}, .dest = 2},
          Op::ScalarSub{.sub = 0, .params = {ParamSrc::Rowid(0)}, .dest = 3},
          Op::ResultRow{.start = 0, .count = 4},
      },
      4, 1, 4);
  p.subprograms.push_back(echo_sub());
  const auto rows = db.run(p);
  ASSERT_TRUE(rows.has_value()) << rows.error().display();
  EXPECT_EQ(show_rows(*rows), "[Int(42), Int(1), Null, Null]");
}

TEST(VmSubprogram, ChildErrorEndsTheRunUnchanged) {
  VmFixture db;
  const uint32_t t_root = db.table({{I(1)}});
  const Program p =
      scan_with_sub(t_root, {ParamSrc::Column(0, 0)}, program_of({Op::Fail{.message = "boom"}}, 1, 0, 1));
  const auto rows = db.run(p);
  ASSERT_FALSE(rows.has_value());
  EXPECT_TRUE(rows.error().is(Error::Kind::Constraint));
  EXPECT_EQ(rows.error().text(), "boom");
}

TEST(VmSubprogram, ChildReadsTheStatementsBindValues) {
  VmFixture db;
  const uint32_t t_root = db.table({{I(1)}, {I(2)}});
  // The child's value: parameter 0 plus the statement's second `?`.
  const Program child = program_of(
      {
          Op::Param{.idx = 0, .dest = 0},
          Op::Bind{.idx = 1, .dest = 1},
          Op::Bin{.op = BinKind::Add, .a = 0, .b = 1, .dest = 2},
          Op::ResultRow{.start = 2, .count = 1},
      },
      3, 0, 1);
  const std::vector<Value> binds = {T("unused"), I(100)};
  const auto rows = db.run(scan_with_sub(t_root, {ParamSrc::Column(0, 0)}, child), binds);
  ASSERT_TRUE(rows.has_value()) << rows.error().display();
  EXPECT_EQ(show_rows(*rows), "[Int(1), Int(101)][Int(2), Int(102)]");
}

TEST(VmSubprogram, ChildRowsAreFinishedBeforeTheFirstValueIsTaken) {
  const struct {
    const char* name;
    std::vector<bool> order_desc;
    bool distinct;
    std::optional<int64_t> offset, limit;
    const char* want;
  } cases[] = {
      {"scan order", {}, false, std::nullopt, std::nullopt, "Int(3)"},
      {"ORDER BY v DESC LIMIT 1", {true}, false, std::nullopt, 1, "Int(9)"},
      {"ORDER BY v", {false}, false, std::nullopt, std::nullopt, "Int(1)"},
      {"LIMIT 0", {false}, false, std::nullopt, 0, "Null"},
      {"negative LIMIT", {}, false, std::nullopt, -1, "Null"},
      {"ORDER BY v OFFSET 1", {false}, false, 1, std::nullopt, "Int(3)"},
      {"DISTINCT ORDER BY v DESC OFFSET 1", {true}, true, 1, std::nullopt, "Int(4)"},
      {"OFFSET past the rows", {}, false, 5, std::nullopt, "Null"},
  };
  for (const auto& c : cases) {
    VmFixture db;
    const uint32_t u_root = db.table({{I(3)}, {I(9)}, {I(4)}, {I(9)}, {I(1)}});
    // SELECT v FROM u, with v also as the ORDER BY key behind it.
    Program child = program_of(
        {
            Op::OpenRead{.cur = 0, .root = u_root},
            Op::Rewind{.cur = 0, .empty_target = {6}},
            Op::Column{.cur = 0, .col = 0, .dest = 0},
            Op::Column{.cur = 0, .col = 0, .dest = 1},
            Op::ResultRow{.start = 0, .count = 2},
            Op::Next{.cur = 0, .row_target = {2}},
        },
        2, 1, 1);
    child.order_desc = c.order_desc;
    child.distinct = c.distinct;
    child.offset = c.offset;
    child.limit = c.limit;
    Program p = program_of(
        {Op::ScalarSub{.sub = 0, .params = {}, .dest = 0}, Op::ResultRow{.start = 0, .count = 1}}, 1, 0, 1);
    p.subprograms.push_back(std::move(child));
    const auto rows = db.run(p);
    ASSERT_TRUE(rows.has_value()) << c.name << ": " << rows.error().display();
    EXPECT_EQ(show_rows(*rows), std::string("[") + c.want + "]") << c.name;
  }
}

// A statement whose sub-programs nest `levels` deep: each level hands its
// parameter 0 down, and the innermost gives it plus the statement's `?`.
Program nested(uint32_t t_root, uint32_t levels) {
  Program inner = program_of(
      {
          Op::Param{.idx = 0, .dest = 0},
          Op::Bind{.idx = 0, .dest = 1},
          Op::Bin{.op = BinKind::Add, .a = 0, .b = 1, .dest = 2},
          Op::ResultRow{.start = 2, .count = 1},
      },
      3, 0, 1);
  for (uint32_t level = levels - 1; level >= 1; --level) {
    Program outer = program_of({Op::ScalarSub{.sub = 0, .params = {ParamSrc::Param(0)}, .dest = 0},
                                Op::ResultRow{.start = 0, .count = 1}},
                               1, 0, 1);
    outer.subprograms.push_back(std::move(inner));
    inner = std::move(outer);
  }
  return scan_with_sub(t_root, {ParamSrc::Column(0, 0)}, std::move(inner));
}

TEST(VmSubprogram, NestingIsBounded) {
  VmFixture db;
  const uint32_t t_root = db.table({{I(7)}});
  const std::vector<Value> binds = {I(100)};

  const auto deepest = db.run(nested(t_root, kMaxSubprogramDepth), binds);
  ASSERT_TRUE(deepest.has_value()) << deepest.error().display();
  EXPECT_EQ(show_rows(*deepest), "[Int(7), Int(107)]");

  const auto too_deep = db.run(nested(t_root, kMaxSubprogramDepth + 1), binds);
  ASSERT_FALSE(too_deep.has_value());
  EXPECT_TRUE(too_deep.error().is(Error::Kind::Exec));
  EXPECT_EQ(too_deep.error().text(), kSubprogramDepthMessage);
}

TEST(VmSubprogram, SubprogramOutOfRangeIsAnInternalFault) {
  VmFixture db;
  const Program p = program_of({Op::ScalarSub{.sub = 0, .params = {}, .dest = 0}}, 1, 0, 1);
  EXPECT_THROW((void)db.run(p), InternalFault);
}

}  // namespace
}  // namespace vbk::vdbe
