// Index instructions: keys, writes, uniqueness, lookups and ranges.

#include <limits>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "vdbe/vm_fixture.h"

namespace vbk::testing {
namespace {

constexpr int64_t kMax = std::numeric_limits<int64_t>::max();

Bytes key(std::vector<Value> values, int64_t rowid) { return keyenc::encode_index_key(values, rowid); }

// IdxInsert of a present key and IdxDelete of a missing one are silent;
// keys are built from registers and the rowid.
TEST(VmIndex, InsertAndDelete) {
  VmDb f;
  const uint32_t idx = f.index({{{I(5)}, 1}});
  const Program p = program(
      4, 0, 1,
      {Op::OpenIndex{0, idx}, Op::Str{"a", 0}, Op::Integer{2, 1}, Op::Integer{7, 2}, Op::MakeIndexKey{0, 2, 2, 3},
       Op::IdxInsert{0, 3}, Op::IdxInsert{0, 3}, Op::Integer{5, 0}, Op::MakeIndexKey{0, 1, 1, 3}, Op::IdxInsert{0, 3},
       Op::Integer{1, 1}, Op::MakeIndexKey{0, 1, 1, 3}, Op::IdxDelete{0, 3}, Op::Integer{9, 1},
       Op::MakeIndexKey{0, 1, 1, 3}, Op::IdxDelete{0, 3}});
  const Outcome o = f.run(p);
  ASSERT_EQ(o.error, "");
  EXPECT_EQ(o.changes, 0u);  // index instructions never count
  EXPECT_EQ(f.keys_of(idx), (std::vector<Bytes>{key({I(5)}, 2), key({T("a"), I(2)}, 7)}));
}

// Keys and bounds read their source registers before writing a destination
// that is one of them; a prefix takes its destination out first, as a
// record does.
TEST(VmIndex, KeysBuiltOverTheirOwnSources) {
  VmDb f;
  const Program p = program(
      4, 0, 0,
      {Op::Integer{1, 0}, Op::Str{"x", 1}, Op::Integer{9, 2}, Op::MakeIndexKey{0, 2, 2, 1}, Op::ResultRow{1, 1},
       Op::Str{"x", 1}, Op::MakeBoundKey{0, 2, true, 0}, Op::ResultRow{0, 1}, Op::Str{"y", 3},
       Op::MakeIndexPrefix{2, 2, 3}, Op::ResultRow{3, 1}});
  Bytes bound = keyenc::encode_key_prefix(std::vector<Value>{I(1), T("x")});
  bound.insert(bound.end(), 8, 0xFF);
  EXPECT_EQ(f.run(p).rows, rows({{B(key({I(1), T("x")}, 9))},
                                 {B(bound)},
                                 {B(keyenc::encode_key_prefix(std::vector<Value>{I(9), N()}))}}));
}

// A unique index refuses a stored entry that collides: equal key bytes and
// equal values. NULLs alike, Int 1 and Real 1.0 alike; integers past 2^53
// that share their key bytes only when they are the same integer, read from
// the stored row. Otherwise the key goes in.
TEST(VmIndex, UniqueInsertAndConflictJump) {
  constexpr int64_t k53 = int64_t{1} << 53;
  struct Case {
    Value stored;
    Value inserted;
    bool conflict;
  };
  const Case cases[] = {{I(1), I(1), true},          {I(1), R(1.0), true},         {N(), N(), true},
                        {T("a"), T("a"), true},      {I(1), I(2), false},          {T("a"), B(Bytes{'a'}), false},
                        {R(0.0), R(-0.0), false},    {T("a"), T("ab"), false},     {I(k53), I(k53 + 1), false},
                        {I(k53 + 1), I(k53), false}, {I(-k53), I(-k53 - 1), false}, {I(k53 + 1), I(k53 + 1), true},
                        {I(k53 + 1), R(0x1p53), true}, {R(0x1p53), I(k53 + 1), true}};
  for (const Case& c : cases) {
    VmDb f;
    const uint32_t root = f.table({{1, {c.stored}}});
    const uint32_t idx = f.index({{{c.stored}, 1}});
    const Value binds[] = {c.inserted};
    // r0 value, r1 rowid 2, r2 key, r3 prefix, r4 := 1 when the conflict jump was taken.
    Program probe = program(
        5, 1, 1,
        {Op::OpenRead{0, root}, Op::OpenIndex{0, idx}, Op::Bind{0, 0}, Op::Integer{2, 1},
         Op::MakeIndexKey{0, 1, 1, 2}, Op::MakeIndexPrefix{0, 1, 3}, Op::Integer{0, 4},
         Op::IdxConflictJump{0, 3, to(9), 0, 0}, Op::Goto{to(10)}, Op::Integer{1, 4}, Op::ResultRow{4, 1},
         Op::IdxInsertUnique{0, 2, 3, "t_u", 0, 0}});
    probe.stored_keys = {{0, {0}}};
    const Outcome o = f.run(probe, binds);
    SCOPED_TRACE(c.stored.debug() + " then " + c.inserted.debug());
    EXPECT_EQ(o.rows, rows({{I(c.conflict ? 1 : 0)}}));
    EXPECT_EQ(o.error, c.conflict ? "constraint violation: UNIQUE constraint failed: t_u" : "");
    EXPECT_EQ(f.keys_of(idx).size(), c.conflict ? 1u : 2u);
  }
}

// A probe that must read the stored row of an entry whose row is missing
// has met a damaged file.
TEST(VmIndex, UniqueProbeOfAnEntryWithoutItsRow) {
  VmDb f;
  const uint32_t root = f.table();
  const uint32_t idx = f.index({{{I((int64_t{1} << 53) + 1)}, 1}});
  Program probe = program(3, 1, 1,
                          {Op::OpenRead{0, root}, Op::OpenIndex{0, idx}, Op::Integer{int64_t{1} << 53, 0},
                           Op::MakeIndexPrefix{0, 1, 1}, Op::IdxConflictJump{0, 1, to(5), 0, 0}});
  probe.stored_keys = {{0, {0}}};
  EXPECT_EQ(f.run(probe).error, "corrupt data: index entry for missing rowid 1");
}

TEST(VmIndex, KeyTooLargeFails) {
  VmDb f(512);
  const uint32_t idx = f.index();
  const Program p = program(3, 0, 1,
                            {Op::OpenIndex{0, idx}, Op::Str{std::string(300, 'k'), 0}, Op::Integer{1, 1},
                             Op::MakeIndexKey{0, 1, 1, 2}, Op::IdxInsert{0, 2}});
  EXPECT_EQ(f.run(p).error, "execution error: index key too large (311 bytes)");
}

// An index on (a) of a table: the lookup shape, prefix seek, guard, index
// rowid and table seek, closed by IdxNext.
TEST(VmIndex, LookupThroughTheIndex) {
  VmDb f(512);
  std::map<int64_t, std::vector<Value>> table;
  std::vector<std::pair<std::vector<Value>, int64_t>> entries;
  for (int64_t r = 1; r <= 600; ++r) {
    table[r] = {I(r % 7), T("row" + std::to_string(r))};
    entries.push_back({{I(r % 7)}, r});
  }
  const uint32_t root = f.table(table);
  const uint32_t idx = f.index(entries);
  struct Case {
    Value a;
    size_t matches;
  };
  const Case cases[] = {{I(3), 86}, {R(3.0), 86}, {I(0), 85}, {I(7), 0}, {T("3"), 0}, {N(), 0}};
  for (const Case& c : cases) {
    const Value binds[] = {c.a};
    // r0 value, r1 prefix, r2 rowid, r3 column 1.
    const Program p = program(
        4, 1, 1,
        {Op::OpenRead{0, root}, Op::OpenIndex{0, idx}, Op::Bind{0, 0}, Op::MakeIndexPrefix{0, 1, 1},
         Op::IdxSeek{0, 1, to(11)}, Op::IdxPrefixGuard{0, 1, to(11)}, Op::IdxRowid{0, 2},
         Op::SeekRowid{0, 2, to(10)}, Op::Column{0, 1, 3}, Op::ResultRow{2, 2}, Op::IdxNext{0, to(5)}, Op::Halt{}});
    const Outcome o = f.run(p, binds);
    ASSERT_EQ(o.error, "");
    ASSERT_EQ(o.rows.size(), c.matches) << c.a.debug();
    if (c.matches > 0) {
      // In key order: equal values by rowid.
      const int64_t first = c.a.kind() == Value::Kind::Int && c.a.as_int() == 0 ? 7 : 3;
      EXPECT_EQ(o.rows[0], rows({{I(first), T("row" + std::to_string(first))}})[0]);
      EXPECT_EQ(o.rows.back(), rows({{I(first + 7 * int64_t(c.matches - 1)),
                                      T("row" + std::to_string(first + 7 * (c.matches - 1)))}})[0]);
    }
  }
}

// Range scans: seek to a lower bound key, guard by an upper bound. An
// inclusive upper bound is padded and reaches the entry of the largest
// rowid; an exclusive one is not padded and stops before the bound's
// values.
TEST(VmIndex, RangeScanBounds) {
  VmDb f;
  const uint32_t idx = f.index({{{I(1)}, 1}, {{I(2)}, 2}, {{I(2)}, 3}, {{I(2)}, kMax}, {{I(3)}, 4}, {{N()}, 5},
                                {{T("t")}, 6}});
  struct Case {
    const char* name;
    std::vector<Value> low;  // empty: from the first entry
    bool low_pad;            // pad the lower bound: exclusive lower bound
    Value high;
    bool high_pad;
    std::vector<int64_t> rowids;
  };
  const Case cases[] = {
      {"2 <= a <= 2", {I(2)}, false, I(2), true, {2, 3, kMax}},
      {"2 <= a < 3", {I(2)}, false, I(3), false, {2, 3, kMax}},
      {"1 < a <= 2", {I(1)}, true, I(2), true, {2, 3, kMax}},
      // A padded lower bound equals the key of its values with the largest
      // rowid, so the seek lands on that entry; the WHERE test that follows
      // every seek in a compiled program drops it.
      {"2 < a <= 3", {I(2)}, true, I(3), true, {kMax, 4}},
      {"a < 2 from the first", {}, false, I(2), false, {5, 1}},
      {"a <= 1.5", {}, false, R(1.5), true, {5, 1}},
      {"3 <= a < 3", {I(3)}, false, I(3), false, {}},
      {"up to a text", {I(3)}, false, T("t"), true, {4, 6}},
  };
  for (const Case& c : cases) {
    std::vector<Value> binds = c.low;
    binds.push_back(c.high);
    const uint32_t nlow = static_cast<uint32_t>(c.low.size());
    // r0.. low values, then the high value; r4 low bound, r5 high bound, r6 rowid.
    std::vector<Op> ops = {Op::OpenIndex{0, idx}};
    for (uint32_t i = 0; i <= nlow; ++i) ops.push_back(Op::Bind{i, i});
    const uint32_t at = static_cast<uint32_t>(ops.size());
    ops.push_back(Op::MakeBoundKey{0, nlow, c.low_pad, 4});
    ops.push_back(Op::MakeBoundKey{nlow, 1, c.high_pad, 5});
    ops.push_back(Op::IdxSeek{0, 4, to(at + 8)});
    ops.push_back(Op::IdxRangeGuard{0, 5, to(at + 8)});
    ops.push_back(Op::IdxRowid{0, 6});
    ops.push_back(Op::ResultRow{6, 1});
    ops.push_back(Op::IdxNext{0, to(at + 3)});
    ops.push_back(Op::Halt{});
    const Outcome o = f.run(program(7, 0, 1, ops), binds);
    ASSERT_EQ(o.error, "") << c.name;
    std::vector<std::string> expected;
    for (int64_t r : c.rowids) expected.push_back(rows({{I(r)}})[0]);
    EXPECT_EQ(o.rows, expected) << c.name;
  }
}

// The guards on their edges: a key equal to the bound goes on, as does a
// key that is a proper prefix of it; past the end both jump.
TEST(VmIndex, GuardEdges) {
  VmDb f;
  const Bytes k = key({I(2)}, 3);
  const uint32_t idx = f.index({{{I(2)}, 3}});
  struct Case {
    const char* name;
    bool range;  // IdxRangeGuard, else IdxPrefixGuard
    Bytes operand;
    bool goes_on;
  };
  Bytes longer = k;
  longer.push_back(0);
  Bytes above = k;
  above.back() += 1;
  Bytes below = k;
  below.back() -= 1;
  const Case cases[] = {
      {"range: equal", true, k, true},
      {"range: key is a prefix of the bound", true, longer, true},
      {"range: bound above", true, above, true},
      {"range: bound below", true, below, false},
      {"range: empty bound", true, {}, false},
      {"prefix: the whole key", false, k, true},
      {"prefix: empty", false, {}, true},
      {"prefix: longer than the key", false, longer, false},
      {"prefix: other bytes", false, below, false},
  };
  for (const Case& c : cases) {
    const Value binds[] = {B(c.operand)};
    const auto guard = [&](uint32_t fail) {
      return c.range ? Op(Op::IdxRangeGuard{0, 0, to(fail)}) : Op(Op::IdxPrefixGuard{0, 0, to(fail)});
    };
    const Program p = program(2, 0, 1,
                              {Op::OpenIndex{0, idx}, Op::Bind{0, 0}, Op::Blob{{}, 1}, Op::IdxSeek{0, 1, to(9)},
                               guard(6), Op::Goto{to(8)}, Op::Integer{0, 1}, Op::Goto{to(9)}, Op::Integer{1, 1},
                               Op::ResultRow{1, 1},
                               // past the end, the same guard jumps whatever the operand
                               Op::IdxNext{0, to(99)}, guard(99), Op::Integer{1, 1}, Op::ResultRow{1, 1}});
    EXPECT_EQ(f.run(p, binds).rows, rows({{I(c.goes_on ? 1 : 0)}})) << c.name;
  }
}

// An empty prefix seeks to the first entry; on an empty index IdxSeek
// jumps.
TEST(VmIndex, SeekOnEmptyAndFromTheStart) {
  VmDb f;
  const uint32_t full = f.index({{{I(9)}, 4}, {{N()}, 8}});
  const uint32_t empty = f.index();
  for (const uint32_t idx : {full, empty}) {
    const Program p = program(2, 0, 1,
                              {Op::OpenIndex{0, idx}, Op::MakeIndexPrefix{0, 0, 0}, Op::IdxSeek{0, 0, to(5)},
                               Op::IdxRowid{0, 1}, Op::ResultRow{1, 1}});
    EXPECT_EQ(f.run(p).rows, idx == full ? rows({{I(8)}}) : rows({}));
  }
}

// A key of fewer than 8 bytes read from an index page is a damaged page:
// IdxRowid passes the Corrupt error on.
TEST(VmIndex, ShortKeyFromAPageIsCorrupt) {
  VmDb f;
  const uint32_t idx = f.index();
  must(IndexBTree(f.pager(), idx).insert(Bytes{0x10, 0x20, 0x30}));
  const Program p = program(2, 0, 1,
                            {Op::OpenIndex{0, idx}, Op::Blob{{}, 0}, Op::IdxSeek{0, 0, to(9)}, Op::IdxRowid{0, 1}});
  EXPECT_EQ(f.run(p).error, "corrupt data: index key shorter than its rowid");
}

}  // namespace
}  // namespace vbk::testing
