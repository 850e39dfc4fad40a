// The run loop, registers, literals, table cursors and output.

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "vdbe/vm_fixture.h"

namespace vbk::testing {
namespace {

using vdbe::BinKind;

// The scan shape the compiler emits, over tables of several leaves, one
// empty table and rows of fewer columns than the program reads.
TEST(VmRun, FullScanReadsEveryRowInRowidOrder) {
  VmDb f(512);
  std::map<int64_t, std::vector<Value>> many;
  for (int64_t r = 1; r <= 600; ++r) many[r * 3] = {I(r), T(std::string(r % 40, 'x'))};
  const uint32_t big = f.table(many);
  const uint32_t short_rows = f.table({{5, {I(1)}}, {-2, {}}, {9, {I(2), T("b"), I(3)}}});
  const uint32_t empty = f.table();
  const auto scan = [](uint32_t root) {
    return program(2, 1, 0,
                   {Op::OpenRead{0, root}, Op::Rewind{0, to(6)}, Op::Column{0, 0, 0}, Op::Column{0, 1, 1},
                    Op::ResultRow{0, 2}, Op::Next{0, to(2)}, Op::Halt{}});
  };

  const Outcome all = f.run(scan(big));
  ASSERT_EQ(all.error, "");
  ASSERT_EQ(all.rows.size(), 600u);
  EXPECT_EQ(all.rows[0], rows({{I(1), T("x")}})[0]);
  EXPECT_EQ(all.rows[599], rows({{I(600), T(std::string(0, 'x'))}})[0]);

  EXPECT_EQ(f.run(scan(short_rows)).rows, rows({{N(), N()}, {I(1), N()}, {I(2), T("b")}}));
  EXPECT_EQ(f.run(scan(empty)).rows, rows({}));
}

// An empty table: Rewind jumps; the slot then has no row, so Column reads
// NULL and Next falls through.
TEST(VmRun, EmptyTableLeavesTheSlotWithoutARow) {
  VmDb f;
  const uint32_t root = f.table();
  const Program p = program(2, 1, 0,
                            {Op::OpenRead{0, root}, Op::Rewind{0, to(2)}, Op::Column{0, 0, 0},
                             Op::Next{0, to(5)}, Op::ResultRow{0, 1}, Op::Halt{}});
  EXPECT_EQ(f.run(p).rows, rows({{N()}}));
}

TEST(VmRun, EndsAtHaltAtTheEndOrAtAJumpPastIt) {
  VmDb f;
  struct Case {
    const char* name;
    Program p;
    std::vector<std::string> rows;
  };
  const Case cases[] = {
      {"no instructions", program(0, 0, 0, {}), {}},
      {"no registers still get one", program(0, 0, 0, {Op::Integer{7, 0}, Op::ResultRow{0, 1}}), rows({{I(7)}})},
      {"an empty row", program(1, 0, 0, {Op::ResultRow{0, 0}}), rows({{}})},
      {"halt stops", program(1, 0, 0, {Op::Halt{}, Op::ResultRow{0, 1}}), {}},
      {"jump to the end", program(1, 0, 0, {Op::Goto{to(2)}, Op::ResultRow{0, 1}}), {}},
      {"jump beyond the end", program(1, 0, 0, {Op::Goto{to(99)}, Op::ResultRow{0, 1}}), {}},
  };
  for (const Case& c : cases) {
    const Outcome o = f.run(c.p);
    EXPECT_EQ(o.error, "") << c.name;
    EXPECT_EQ(o.rows, c.rows) << c.name;
  }
}

// Literals are copies; a register overwritten by another kind or reused by
// the same kind holds exactly the new value.
TEST(VmRun, LiteralsAndCopies) {
  VmDb f;
  const Value binds[] = {T("bound"), I(-3)};
  const Program p = program(
      6, 0, 0,
      {Op::Str{"a long text that needs a heap buffer", 0}, Op::Str{"b", 0}, Op::Integer{-9, 1},
       Op::Real{0.5, 2}, Op::Blob{{1, 2, 3}, 3}, Op::Blob{{9}, 3}, Op::Str{"t", 4}, Op::Null{4},
       Op::Copy{0, 5}, Op::Copy{5, 5}, Op::ResultRow{0, 6}, Op::Copy{3, 0}, Op::Integer{1, 3},
       Op::Bind{0, 1}, Op::Bind{2, 2}, Op::Param{0, 4}, Op::Copy{1, 3}, Op::ResultRow{0, 5}});
  EXPECT_EQ(f.run(p, binds).rows, rows({{T("b"), I(-9), R(0.5), B({9}), N(), T("b")},
                                       {B({9}), T("bound"), N(), T("bound"), N()}}));
}

TEST(VmRun, IfFalseAndIfTrueFollowTruth) {
  VmDb f;
  struct Case {
    Value v;
    bool truth;
  };
  const Case cases[] = {{I(1), true},   {I(0), false},  {N(), false},
                        {R(-0.0), false}, {R(0.25), true}, {B({1}), false}};
  for (const Case& c : cases) {
    const Value binds[] = {c.v};
    // r1 := 1 when IfFalse fell through, r2 := 1 when IfTrue jumped.
    const Program p = program(3, 0, 0,
                              {Op::Bind{0, 0}, Op::Integer{0, 1}, Op::Integer{0, 2}, Op::IfFalse{0, to(5)},
                               Op::Integer{1, 1}, Op::IfTrue{0, to(7)}, Op::Goto{to(8)}, Op::Integer{1, 2},
                               Op::ResultRow{1, 2}});
    const int64_t t = c.truth ? 1 : 0;
    EXPECT_EQ(f.run(p, binds).rows, rows({{I(t), I(t)}})) << c.v.debug();
  }
}

// The seek key of SeekRowid: integers; whole reals, saturating only at
// exactly 2^63; texts that are integer literals after trimming.
TEST(VmRun, SeekRowidKeys) {
  VmDb f;
  constexpr int64_t kMax = std::numeric_limits<int64_t>::max();
  constexpr int64_t kMin = std::numeric_limits<int64_t>::min();
  const uint32_t root = f.table({{41, {T("41")}}, {42, {T("42")}}, {43, {T("43")}}, {kMax, {T("max")}},
                                 {kMin, {T("min")}}});
  struct Case {
    Value key;
    std::optional<int64_t> found;
  };
  const double two63 = 9223372036854775808.0;
  const Case cases[] = {
      {I(42), 42},
      {I(44), std::nullopt},
      {T(" 42 "), 42},
      {T("+42"), 42},
      {T("\t-0\n"), std::nullopt},
      {T("\xC2\xA0" "42\xE3\x80\x80"), 42},  // Unicode white space around
      {T("4 2"), std::nullopt},
      {T(""), std::nullopt},
      {T("+"), std::nullopt},
      {T("0x2A"), std::nullopt},
      {T("42.0"), std::nullopt},
      {T("9223372036854775807"), kMax},
      {T("9223372036854775808"), std::nullopt},
      {R(42.0), 42},
      {R(42.5), std::nullopt},
      {R(std::nan("")), std::nullopt},
      {R(two63), kMax},
      {R(-two63), kMin},
      {R(1e19), std::nullopt},
      {R(-1e19), std::nullopt},
      {R(std::numeric_limits<double>::infinity()), std::nullopt},
      {R(-std::numeric_limits<double>::infinity()), std::nullopt},
      {N(), std::nullopt},
      {B({42}), std::nullopt},
  };
  for (const Case& c : cases) {
    const Value binds[] = {c.key};
    const Program p = program(2, 1, 0,
                              {Op::OpenRead{0, root}, Op::Bind{0, 0}, Op::SeekRowid{0, 0, to(6)}, Op::Rowid{0, 1},
                               Op::ResultRow{1, 1}, Op::Halt{}, Op::Column{0, 0, 1}, Op::ResultRow{1, 1}});
    const Outcome o = f.run(p, binds);
    ASSERT_EQ(o.error, "") << c.key.debug();
    // Not found: the slot has no current row, so Column reads NULL.
    EXPECT_EQ(o.rows, c.found ? rows({{I(*c.found)}}) : rows({{N()}})) << "key " << c.key.debug();
  }
}

// A key that names no rowid leaves the B-tree cursor where it stood; a
// missing rowid between two rows leaves the slot without a row.
TEST(VmRun, SeekRowidWithoutAKeyDoesNotMoveTheCursor) {
  VmDb f;
  const uint32_t root = f.table({{1, {T("a")}}, {2, {T("b")}}, {5, {T("e")}}});
  const Value binds[] = {T("nope"), I(3)};
  const Program p = program(
      3, 1, 0,
      {Op::OpenRead{0, root}, Op::Rewind{0, to(99)}, Op::Bind{0, 0}, Op::SeekRowid{0, 0, to(4)},
       Op::Column{0, 0, 1}, Op::Next{0, to(6)}, Op::Column{0, 0, 2}, Op::ResultRow{1, 2},
       // Rowid 3 is missing: not found, and the slot has no current row.
       Op::Bind{1, 0}, Op::SeekRowid{0, 0, to(10)}, Op::Column{0, 0, 1}, Op::ResultRow{1, 1}});
  EXPECT_EQ(f.run(p, binds).rows, rows({{N(), T("b")}, {N()}}));
}

TEST(VmRun, SeekScanStartsAtTheFirstRowAtOrAboveTheKey) {
  VmDb f(512);
  std::map<int64_t, std::vector<Value>> rows_in;
  for (int64_t r = 10; r <= 3000; r += 10) rows_in[r] = {I(r)};
  const uint32_t root = f.table(rows_in);
  struct Case {
    int64_t key;
    std::vector<std::string> out;
  };
  const Case cases[] = {{15, rows({{I(20)}, {I(30)}})},
                        {2990, rows({{I(2990)}, {I(3000)}})},
                        {-5, rows({{I(10)}, {I(20)}})},
                        {3001, rows({{I(-1)}})}};
  for (const Case& c : cases) {
    const Value binds[] = {I(c.key)};
    // Two rows from the key on, or -1 when there is none.
    const Program p = program(2, 1, 0,
                              {Op::OpenRead{0, root}, Op::Bind{0, 0}, Op::SeekScan{0, 0, to(10)}, Op::Rowid{0, 1},
                               Op::ResultRow{1, 1}, Op::Next{0, to(7)}, Op::Halt{}, Op::Rowid{0, 1},
                               Op::ResultRow{1, 1}, Op::Halt{}, Op::Integer{-1, 1}, Op::ResultRow{1, 1}});
    const Outcome o = f.run(p, binds);
    ASSERT_EQ(o.error, "");
    EXPECT_EQ(o.rows, c.out) << c.key;
  }
}

// The null row: Rowid and Column read NULL; SeekScan keeps the flag; Next
// clears it and falls through without stepping; CursorSetRowid and Rewind
// clear it.
TEST(VmRun, NullRowFlag) {
  VmDb f;
  const uint32_t root = f.table({{1, {T("a")}}, {2, {T("b")}}, {3, {T("c")}}});
  const Value binds[] = {I(2)};
  const Program p = program(
      3, 1, 0,
      {Op::OpenRead{0, root}, Op::Rewind{0, to(99)}, Op::NullRow{0}, Op::Rowid{0, 0}, Op::Column{0, 0, 1},
       Op::ResultRow{0, 2},
       // SeekScan moves the cursor to row 2 but the row still reads NULL.
       Op::Bind{0, 2}, Op::SeekScan{0, 2, to(99)}, Op::Rowid{0, 0}, Op::Column{0, 0, 1}, Op::ResultRow{0, 2},
       // Next clears the flag and falls through: the row is row 2 again.
       Op::Next{0, to(99)}, Op::Rowid{0, 0}, Op::Column{0, 0, 1}, Op::ResultRow{0, 2},
       // CursorSetRowid clears it too; the record buffer is row 2's.
       Op::NullRow{0}, Op::Integer{7, 2}, Op::CursorSetRowid{0, 2}, Op::Rowid{0, 0}, Op::Column{0, 0, 1},
       Op::ResultRow{0, 2}});
  EXPECT_EQ(f.run(p, binds).rows,
            rows({{N(), N()}, {N(), N()}, {I(2), T("b")}, {I(7), T("b")}}));
}

// A LEFT JOIN of t1 and t2 on t1.a = t2.b: unmatched rows of t1 get the
// null row of t2, whose Next then clears the flag and leaves the level.
TEST(VmRun, LeftJoinNullRowPattern) {
  VmDb f(512);
  const uint32_t t1 = f.table({{1, {I(1)}}, {2, {I(2)}}, {3, {I(3)}}});
  std::map<int64_t, std::vector<Value>> inner = {{10, {I(1), T("a")}}, {11, {I(3), T("c")}}, {12, {I(1), T("b")}}};
  for (int64_t r = 100; r < 400; ++r) inner[r] = {I(99), T("filler")};  // several leaves
  const uint32_t t2 = f.table(inner);
  const uint32_t t2_empty = f.table();
  const auto join = [&](uint32_t right) {
    return program(5, 2, 0,
                   {Op::OpenRead{0, t1}, Op::OpenRead{1, right}, Op::Rewind{0, to(18)}, Op::Column{0, 0, 0},
                    Op::Integer{0, 4}, Op::Rewind{1, to(13)}, Op::Column{1, 0, 2},
                    Op::Bin{BinKind::Eq, 0, 2, 3}, Op::IfFalse{3, to(12)}, Op::Integer{1, 4}, Op::Column{1, 1, 1},
                    Op::ResultRow{0, 2}, Op::Next{1, to(6)}, Op::IfTrue{4, to(17)}, Op::Integer{1, 4},
                    Op::NullRow{1}, Op::Goto{to(10)}, Op::Next{0, to(3)}, Op::Halt{}});
  };
  EXPECT_EQ(f.run(join(t2)).rows, rows({{I(1), T("a")}, {I(1), T("b")}, {I(2), N()}, {I(3), T("c")}}));
  EXPECT_EQ(f.run(join(t2_empty)).rows, rows({{I(1), N()}, {I(2), N()}, {I(3), N()}}));
}

TEST(VmRun, CountAndCursorSetRowid) {
  VmDb f(512);
  std::map<int64_t, std::vector<Value>> many;
  for (int64_t r = 1; r <= 1000; ++r) many[r] = {T(std::string(30, 'c'))};
  const uint32_t big = f.table(many);
  const uint32_t empty = f.table();
  const Program p = program(3, 2, 0,
                            {Op::OpenRead{0, big}, Op::OpenWrite{1, empty}, Op::Count{0, 0}, Op::Count{1, 1},
                             Op::Integer{-5, 2}, Op::CursorSetRowid{1, 2}, Op::Rowid{1, 2}, Op::ResultRow{0, 3}});
  EXPECT_EQ(f.run(p).rows, rows({{I(1000), I(0), I(-5)}}));
}

// A register check comes before the slot: these fail with the Error even
// on a closed slot.
TEST(VmRun, OperandChecksComeBeforeTheSlotWithExactTexts) {
  VmDb f;
  struct Case {
    Op op;
    std::vector<Value> regs;  // registers 0, 1, 2
    const char* error;
  };
  const std::string not_int = "execution error: expected an integer, found ";
  const std::string not_blob = "execution error: expected a record blob";
  const Case cases[] = {
      {Op::CursorSetRowid{0, 0}, {T("5")}, "execution error: expected an integer, found Text(\"5\")"},
      {Op::SeekScan{0, 0, to(9)}, {N()}, "execution error: expected an integer, found Null"},
      {Op::SeekScan{0, 0, to(9)}, {R(1.5)}, "execution error: expected an integer, found Real(1.5)"},
      {Op::Insert{0, 1, 0}, {T("7"), B({1})}, "execution error: expected an integer, found Text(\"7\")"},
      {Op::Insert{0, 1, 0}, {I(7), T("rec")}, "execution error: expected a record blob"},
      {Op::Insert{0, 1, 0}, {R(7.0), T("rec")}, "execution error: expected an integer, found Real(7.0)"},
      {Op::TruncateFrom{0, 0}, {R(1.5)}, "execution error: expected an integer, found Real(1.5)"},
      {Op::UpdateCurrent{0, 0}, {N()}, "execution error: expected a record blob"},
      {Op::MakeIndexKey{1, 2, 0, 2}, {N(), I(1), I(2)}, "execution error: expected an integer, found Null"},
      {Op::IdxInsert{0, 0}, {I(1)}, "execution error: expected a record blob"},
      {Op::IdxInsertUnique{0, 0, 1, "ix"}, {B({1}), T("p")}, "execution error: expected a record blob"},
      {Op::IdxInsertUnique{0, 0, 1, "ix"}, {T("k"), B({})}, "execution error: expected a record blob"},
      {Op::IdxConflictJump{0, 0, to(9)}, {N()}, "execution error: expected a record blob"},
      {Op::IdxDelete{0, 0}, {T("k")}, "execution error: expected a record blob"},
      {Op::IdxSeek{0, 0, to(9)}, {I(0)}, "execution error: expected a record blob"},
      {Op::IdxPrefixGuard{0, 0, to(9)}, {N()}, "execution error: expected a record blob"},
      {Op::IdxRangeGuard{0, 0, to(9)}, {R(2.0)}, "execution error: expected a record blob"},
      {Op::NotNullGuard{0, "t.a"}, {N()}, "constraint violation: NOT NULL constraint failed: t.a"},
      {Op::Fail{"UNIQUE constraint failed: t.k"}, {}, "constraint violation: UNIQUE constraint failed: t.k"},
  };
  for (const Case& c : cases) {
    std::vector<Op> ops;
    for (uint32_t r = 0; r < c.regs.size(); ++r) ops.push_back(Op::Bind{r, r});
    ops.push_back(c.op);
    const Outcome o = f.run(program(3, 1, 1, ops), c.regs);
    EXPECT_EQ(o.error, c.error) << c.op.debug();
  }
}

// Broken invariants of a program are internal faults, not Errors.
TEST(VmRun, BrokenProgramsAreInternalFaults) {
  VmDb f;
  const uint32_t root = f.table({{1, {I(1)}}});
  const uint32_t two = f.table({{1, {I(1)}}, {2, {I(2)}}});
  const uint32_t idx = f.index({{{I(1)}, 1}});
  struct Case {
    const char* name;
    Program p;
  };
  const Case cases[] = {
      {"register outside the file", program(2, 0, 0, {Op::Integer{1, 2}})},
      {"register run past the end", program(2, 0, 0, {Op::ResultRow{1, 2}})},
      {"closed table slot", program(1, 1, 0, {Op::Rewind{0, to(1)}})},
      {"table slot outside the count", program(1, 1, 0, {Op::OpenRead{1, root}})},
      {"closed index slot", program(1, 0, 1, {Op::IdxNext{0, to(1)}})},
      {"index slot outside the count", program(1, 0, 1, {Op::OpenIndex{1, idx}})},
      {"rowid without a row", program(1, 1, 0, {Op::OpenRead{0, root}, Op::Rowid{0, 0}})},
      {"index rowid before any key", program(1, 0, 1, {Op::OpenIndex{0, idx}, Op::IdxRowid{0, 0}})},
      {"update without a row", program(1, 1, 0, {Op::OpenWrite{0, root}, Op::Blob{{1, 0}, 0}, Op::UpdateCurrent{0, 0}})},
      {"delete before any step", program(1, 1, 0, {Op::OpenWrite{0, root}, Op::DeleteCurrent{0}})},
      // The B-tree cursor is not on the slot's current row: deleting or
      // rewriting the row it is on instead would lose data or break the
      // leaf's order.
      {"delete twice without a step",
       program(1, 1, 0, {Op::OpenWrite{0, root}, Op::Rewind{0, to(9)}, Op::DeleteCurrent{0}, Op::DeleteCurrent{0}})},
      {"delete after a probe",
       program(1, 1, 0,
               {Op::OpenWrite{0, two}, Op::Rewind{0, to(9)}, Op::Integer{2, 0}, Op::RowidExistsJump{0, 0, to(4)},
                Op::DeleteCurrent{0}})},
      {"update after a probe",
       program(1, 1, 0,
               {Op::OpenWrite{0, two}, Op::Rewind{0, to(9)}, Op::Integer{2, 0}, Op::RowidExistsJump{0, 0, to(4)},
                Op::Blob{{1, 0}, 0}, Op::UpdateCurrent{0, 0}})},
      {"update after CursorSetRowid",
       program(1, 1, 0,
               {Op::OpenWrite{0, two}, Op::Rewind{0, to(9)}, Op::Integer{2, 0}, Op::CursorSetRowid{0, 0},
                Op::Blob{{1, 0}, 0}, Op::UpdateCurrent{0, 0}})},
      {"aggregate step without a group", program(1, 0, 0, {Op::AggStep{0, 0}})},
      {"sub-program outside the list", program(1, 0, 0, {Op::ScalarSub{0, {}, 0}})},
  };
  for (const Case& c : cases) {
    vdbe::Vm vm(f.pager(), {});
    EXPECT_THROW((void)vm.run(c.p), InternalFault) << c.name;
  }
  EXPECT_EQ(f.rows_of(two).size(), 2u);
}

}  // namespace
}  // namespace vbk::testing
