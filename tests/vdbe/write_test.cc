// Building records and the table writes: appends, deletes, truncation,
// in-place and deferred updates, and the append hint kept across them.

#include <limits>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "vdbe/vm_fixture.h"

namespace vbk::testing {
namespace {

constexpr int64_t kMax = std::numeric_limits<int64_t>::max();

// n appends of (rowid, text) with NewRowid, as an INSERT loop does:
// r0 rowid, r1 text, r2 record.
void append_ops(std::vector<Op>& ops, int n, const std::string& text = "v") {
  for (int i = 0; i < n; ++i) {
    ops.push_back(Op::NewRowid{0, 0});
    ops.push_back(Op::Str{text, 1});
    ops.push_back(Op::MakeRecord{0, 2, 2});
    ops.push_back(Op::Insert{0, 2, 0});
  }
}

// Every row from a rewind, deleted in turn: r0 holds nothing.
void delete_from_ops(std::vector<Op>& ops, int64_t from) {
  const uint32_t at = static_cast<uint32_t>(ops.size());
  ops.push_back(Op::Integer{from, 3});
  ops.push_back(Op::SeekScan{0, 3, to(at + 5)});
  ops.push_back(Op::DeleteCurrent{0});
  ops.push_back(Op::Next{0, to(at + 2)});
  ops.push_back(Op::Goto{to(at + 5)});
}

TEST(VmWrite, NewRowidNeverNamesAStoredRow) {
  struct Case {
    const char* name;
    int appends;
    std::optional<int64_t> delete_from;  // then every row from this rowid on is deleted
    bool truncate;                       // by TruncateFrom instead of a delete scan
    int64_t expected;
  };
  const Case cases[] = {
      {"empty table", 0, std::nullopt, false, 1},
      {"after 1 to 5", 5, std::nullopt, false, 6},
      {"after deleting 4 and 5", 5, 4, false, 4},
      {"after deleting all but 1", 5, 2, false, 2},
      {"after truncating from 3", 5, 3, true, 3},
      {"after deleting every row", 5, 1, false, 1},
  };
  for (const Case& c : cases) {
    VmDb f;
    const uint32_t root = f.table();
    std::vector<Op> ops = {Op::OpenWrite{0, root}};
    append_ops(ops, c.appends);
    if (c.delete_from && c.truncate) {
      ops.push_back(Op::Integer{*c.delete_from, 3});
      ops.push_back(Op::TruncateFrom{0, 3});
    } else if (c.delete_from) {
      delete_from_ops(ops, *c.delete_from);
    }
    ops.push_back(Op::NewRowid{0, 4});
    ops.push_back(Op::ResultRow{4, 1});
    const Outcome o = f.run(program(5, 1, 0, ops));
    ASSERT_EQ(o.error, "") << c.name;
    EXPECT_EQ(o.rows, rows({{I(c.expected)}})) << c.name;
    EXPECT_EQ(o.last_rowid, c.appends) << c.name;
  }
}

// Thousands of appends through the hint, then the hint reset by each kind
// of change that makes it stale: the rows keep their order and the tree
// stays sound, whichever change came between.
TEST(VmWrite, AppendsKeepTheTreeSoundAcrossEveryChange) {
  enum class Between { Nothing, Truncate, DeferredUpdate, InPlaceUpdate, OtherSlotInsert };
  for (Between between : {Between::Nothing, Between::Truncate, Between::DeferredUpdate, Between::InPlaceUpdate,
                          Between::OtherSlotInsert}) {
    SCOPED_TRACE(static_cast<int>(between));
    VmDb f(512);
    const uint32_t root = f.table();
    std::vector<Op> ops = {Op::OpenWrite{0, root}, Op::OpenWrite{1, root}};
    append_ops(ops, 400);
    int64_t expected_rows = 400;
    switch (between) {
      case Between::Nothing:
        break;
      case Between::Truncate:
        // Frees the right-most leaves, the hinted one among them.
        ops.push_back(Op::Integer{100, 3});
        ops.push_back(Op::TruncateFrom{0, 3});
        expected_rows = 99;
        break;
      case Between::DeferredUpdate:
      case Between::InPlaceUpdate: {
        // Rewrites every row, longer (deferred, splitting leaves) or of the
        // same length (in place).
        const uint32_t at = static_cast<uint32_t>(ops.size());
        const std::string text = between == Between::DeferredUpdate ? std::string(40, 'w') : "u";
        ops.push_back(Op::Rewind{0, to(at + 6)});
        ops.push_back(Op::Str{text, 1});
        ops.push_back(Op::MakeUpdatedRecord{0, 0, {true, false}, 2});
        ops.push_back(Op::UpdateCurrent{0, 2});
        ops.push_back(Op::Next{0, to(at + 1)});
        ops.push_back(Op::Goto{to(at + 6)});
        ops.push_back(Op::ApplyDeferred{0});
        break;
      }
      case Between::OtherSlotInsert:
        // Slot 1 appends to the same tree with its own hint.
        for (int i = 0; i < 200; ++i) {
          ops.push_back(Op::NewRowid{1, 0});
          ops.push_back(Op::Str{std::string(30, 'o'), 1});
          ops.push_back(Op::MakeRecord{0, 2, 2});
          ops.push_back(Op::Insert{1, 2, 0});
        }
        expected_rows += 200;
        break;
    }
    append_ops(ops, 300);
    expected_rows += 300;
    const Outcome o = f.run(program(5, 2, 0, ops));
    ASSERT_EQ(o.error, "");
    const std::vector<std::string> stored = f.rows_of(root);  // checks the tree
    ASSERT_EQ(static_cast<int64_t>(stored.size()), expected_rows);
    // Rowids run 1..n without a gap: each NewRowid was one above the last.
    for (int64_t i = 0; i < expected_rows; ++i) {
      ASSERT_EQ(stored[i].substr(0, stored[i].find(':')), std::to_string(i + 1));
    }
  }
}

// A stored rowid is refused before anything is written, whether the hint
// is set or not and whether the record would need overflow pages.
TEST(VmWrite, InsertOfAStoredRowidFailsAndWritesNothing) {
  struct Case {
    const char* name;
    int64_t rowid;
    size_t length;
    bool appends_first;  // the slot's hint is set by earlier inserts
  };
  const Case cases[] = {
      {"without a hint", 3, 5, false},
      {"below the hint", 3, 5, true},
      {"at the hint's last", 5, 5, true},
      {"long record", 2, 3000, false},
      {"long record below the hint", 4, 3000, true},
  };
  for (const Case& c : cases) {
    VmDb f(512);
    const uint32_t root = f.table({{1, {T("one")}}, {2, {T("two")}}, {3, {T("three")}}});
    std::vector<Op> ops = {Op::OpenWrite{0, root}};
    if (c.appends_first) append_ops(ops, 2);  // rowids 4 and 5
    ops.push_back(Op::Integer{c.rowid, 0});
    ops.push_back(Op::Str{std::string(c.length, 'n'), 1});
    ops.push_back(Op::MakeRecord{1, 1, 2});
    ops.push_back(Op::Insert{0, 2, 0});
    const uint32_t pages = f.pager().header().page_count;
    const Outcome o = f.run(program(3, 1, 0, ops));
    EXPECT_EQ(o.error, "constraint violation: UNIQUE constraint failed: rowid " + std::to_string(c.rowid) +
                           " is already stored")
        << c.name;
    EXPECT_EQ(o.changes, c.appends_first ? 2u : 0u) << c.name;
    const std::vector<std::string> stored = f.rows_of(root);
    ASSERT_EQ(stored.size(), c.appends_first ? 5u : 3u) << c.name;
    EXPECT_EQ(stored[2], "3: [Text(\"three\")]") << c.name;
    if (!c.appends_first) {
      EXPECT_EQ(f.pager().header().page_count, pages) << c.name;
    }
  }
}

TEST(VmWrite, NewRowidAfterTheLargestRowidFails) {
  const std::string error =
      "execution error: cannot generate a rowid: the largest rowid 9223372036854775807 is in use";
  {
    // Stored before the run: read from the tree.
    VmDb f;
    const uint32_t root = f.table({{kMax, {I(1)}}});
    const Outcome o = f.run(program(1, 1, 0, {Op::OpenWrite{0, root}, Op::NewRowid{0, 0}}));
    EXPECT_EQ(o.error, error);
  }
  {
    // Inserted by the run: answered from the hint.
    VmDb f;
    const uint32_t root = f.table({{1, {I(1)}}});
    const Outcome o = f.run(program(3, 1, 0,
                                    {Op::OpenWrite{0, root}, Op::Integer{kMax, 0}, Op::MakeRecord{0, 1, 1},
                                     Op::Insert{0, 1, 0}, Op::NewRowid{0, 2}}));
    EXPECT_EQ(o.error, error);
    EXPECT_EQ(o.last_rowid, kMax);
  }
}

// A rewrite that fits replaces the row at once and counts; a longer one
// waits for ApplyDeferred, which writes and counts it.
TEST(VmWrite, UpdatesInPlaceAndDeferred) {
  VmDb f(512);
  std::map<int64_t, std::vector<Value>> start;
  for (int64_t r = 1; r <= 200; ++r) start[r] = {I(r), T(std::string(10, 'a'))};
  struct Case {
    const char* name;
    std::string text;
    uint64_t changes_before_apply;
  };
  const Case cases[] = {{"same length", std::string(10, 'b'), 200},
                        {"shorter", "c", 200},
                        {"longer", std::string(30, 'd'), 0},
                        {"overflowing", std::string(400, 'e'), 0}};
  for (const Case& c : cases) {
    const uint32_t root = f.table(start);
    // r1 new text, r2 record; one run stops before ApplyDeferred, one runs it.
    std::vector<Op> ops = {Op::OpenWrite{0, root}, Op::Rewind{0, to(7)},       Op::Str{c.text, 1},
                           Op::MakeUpdatedRecord{0, 0, {true, false}, 2},       Op::UpdateCurrent{0, 2},
                           Op::Next{0, to(2)},                                  Op::Halt{},
                           Op::ApplyDeferred{0}};
    const Program stop = program(3, 1, 0, ops);
    const Outcome first = f.run(stop);
    ASSERT_EQ(first.error, "") << c.name;
    EXPECT_EQ(first.changes, c.changes_before_apply) << c.name;
    ops[6] = Op::Goto{to(7)};
    const uint32_t root2 = f.table(start);
    ops[0] = Op::OpenWrite{0, root2};
    const Outcome all = f.run(program(3, 1, 0, ops));
    ASSERT_EQ(all.error, "") << c.name;
    EXPECT_EQ(all.changes, 200u) << c.name;
    const std::vector<std::string> stored = f.rows_of(root2);
    ASSERT_EQ(stored.size(), 200u);
    EXPECT_EQ(stored[199], "200: [Int(200), Text(\"" + c.text + "\")]") << c.name;
  }
}

// Deleting through the scanning cursor: every other row goes, the step
// after a delete returns the next row, and the deleted row's values stay
// readable until the next step.
TEST(VmWrite, DeletesDuringAScan) {
  VmDb f(512);
  std::map<int64_t, std::vector<Value>> start;
  for (int64_t r = 1; r <= 500; ++r) start[r] = {I(r)};
  const uint32_t root = f.table(start);
  const Program p = program(
      2, 1, 0,
      {Op::OpenWrite{0, root}, Op::Rewind{0, to(9)}, Op::DeleteCurrent{0}, Op::Rowid{0, 0}, Op::Column{0, 0, 1},
       Op::ResultRow{0, 2}, Op::Next{0, to(8)}, Op::Goto{to(9)}, Op::Next{0, to(2)}});
  const Outcome o = f.run(p);
  ASSERT_EQ(o.error, "");
  EXPECT_EQ(o.changes, 250u);
  ASSERT_EQ(o.rows.size(), 250u);
  EXPECT_EQ(o.rows[1], rows({{I(3), I(3)}})[0]);
  const std::vector<std::string> stored = f.rows_of(root);
  ASSERT_EQ(stored.size(), 250u);
  EXPECT_EQ(stored[0], "2: [Int(2)]");
  EXPECT_EQ(stored[249], "500: [Int(500)]");
}

TEST(VmWrite, TruncateFromCountsTheRowsRemoved) {
  VmDb f;
  std::map<int64_t, std::vector<Value>> start;
  for (int64_t r = 1; r <= 20; ++r) start[r] = {I(r)};
  const uint32_t root = f.table(start);
  const Outcome o =
      f.run(program(1, 1, 0, {Op::OpenWrite{0, root}, Op::Integer{11, 0}, Op::TruncateFrom{0, 0}}));
  ASSERT_EQ(o.error, "");
  EXPECT_EQ(o.changes, 10u);
  EXPECT_EQ(f.rows_of(root).size(), 10u);
}

// MakeRecord reuses its destination and encodes a destination inside its
// own source run as NULL; MakeUpdatedRecord copies kept columns, NULL where
// the stored record is shorter.
TEST(VmWrite, BuildingRecords) {
  VmDb f;
  const uint32_t root = f.table({{1, {I(10), T("keep")}}});
  const Program p = program(
      6, 1, 0,
      {Op::Integer{1, 0}, Op::Str{"x", 1}, Op::MakeRecord{0, 2, 1}, Op::MakeRecord{0, 2, 5}, Op::MakeRecord{0, 2, 5},
       Op::OpenRead{0, root}, Op::Rewind{0, to(99)}, Op::Integer{7, 2}, Op::Integer{8, 3}, Op::Integer{9, 4},
       Op::MakeUpdatedRecord{0, 2, {false, true, true}, 2}, Op::ResultRow{1, 1}, Op::ResultRow{2, 1},
       Op::ResultRow{5, 1}});
  const Outcome o = f.run(p);
  ASSERT_EQ(o.error, "");
  EXPECT_EQ(o.rows, rows({{B(record::encode_record(std::vector<Value>{I(1), N()}))},
                          // register 2 is the destination: taken out, so column 0 reads NULL
                          {B(record::encode_record(std::vector<Value>{N(), T("keep"), N()}))},
                          {B(record::encode_record(std::vector<Value>{I(1), B(record::encode_record(
                                                                                 std::vector<Value>{I(1), N()}))}))}}));
}

// A stored record that does not decode fails the run with Corrupt, from
// Column and from MakeUpdatedRecord (whose destination then holds NULL).
TEST(VmWrite, CorruptStoredRecords) {
  VmDb f;
  const uint32_t root = f.table();
  must(BTree(f.pager(), root).insert(1, Bytes{0x05, 0x01}));
  const std::string error = "corrupt data: record header size exceeds buffer";
  EXPECT_EQ(f.run(program(1, 1, 0, {Op::OpenRead{0, root}, Op::Rewind{0, to(9)}, Op::Column{0, 0, 0}})).error,
            error);
  EXPECT_EQ(f.run(program(2, 1, 0,
                          {Op::OpenRead{0, root}, Op::Rewind{0, to(9)}, Op::Blob{{1}, 1},
                           Op::MakeUpdatedRecord{0, 0, {true}, 1}}))
                .error,
            error);
}

// RowidExistsJump probes without disturbing the slot's row; a key that is
// not an integer falls through without error.
TEST(VmWrite, RowidExistsJump) {
  VmDb f;
  const uint32_t root = f.table({{1, {T("a")}}, {2, {T("b")}}, {5, {T("e")}}});
  struct Case {
    Value key;
    bool jumps;
  };
  const Case cases[] = {{I(5), true}, {I(3), false}, {I(9), false}, {N(), false}, {T("5"), false}, {R(5.0), false}};
  for (const Case& c : cases) {
    const Value binds[] = {c.key};
    const Program p = program(
        3, 1, 0,
        {Op::OpenRead{0, root}, Op::Rewind{0, to(99)}, Op::Bind{0, 0}, Op::Integer{0, 1},
         Op::RowidExistsJump{0, 0, to(6)}, Op::Goto{to(7)}, Op::Integer{1, 1}, Op::Column{0, 0, 2},
         Op::Rowid{0, 0}, Op::ResultRow{0, 3}});
    EXPECT_EQ(f.run(p, binds).rows, rows({{I(1), I(c.jumps ? 1 : 0), T("a")}})) << c.key.debug();
  }
}

TEST(VmWrite, GuardsAndCounters) {
  VmDb f;
  const uint32_t root = f.table();
  const Program p = program(
      3, 1, 0,
      {Op::OpenWrite{0, root}, Op::Integer{0, 0}, Op::NotNullGuard{0, "t.a"}, Op::Str{"", 0},
       Op::NotNullGuard{0, "t.a"}, Op::Integer{-7, 1}, Op::MakeRecord{0, 1, 2}, Op::Insert{0, 2, 1},
       Op::Integer{3, 1}, Op::Insert{0, 2, 1}, Op::Null{0}, Op::NotNullGuard{0, "t.b"}});
  const Outcome o = f.run(p);
  EXPECT_EQ(o.error, "constraint violation: NOT NULL constraint failed: t.b");
  EXPECT_EQ(o.changes, 2u);
  EXPECT_EQ(o.last_rowid, 3);
  // Nothing is undone by the failure.
  EXPECT_EQ(f.rows_of(root), (std::vector<std::string>{"-7: [Text(\"\")]", "3: [Text(\"\")]"}));
}

}  // namespace
}  // namespace vbk::testing
