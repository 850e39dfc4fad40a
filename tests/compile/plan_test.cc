// Plan shapes: the instruction listings of compiled statements.

#include <gtest/gtest.h>

#include <string>

#include "compile/compile.h"
#include "support/must.h"
#include "support/sql_db.h"

namespace vbk {
namespace {

using testing::must;

// t and n share their columns; t has one UNIQUE index, n none.
constexpr const char* kSchema =
    "CREATE TABLE t (id INTEGER PRIMARY KEY, title TEXT NOT NULL, age INT DEFAULT 0);"
    "CREATE UNIQUE INDEX t_title ON t (title);"
    "CREATE TABLE n (id INTEGER PRIMARY KEY, title TEXT NOT NULL, age INT);"
    "CREATE TABLE s (id INTEGER PRIMARY KEY, a INT, b TEXT, c INT);"
    "CREATE INDEX s_a ON s (a);"
    "CREATE INDEX s_bc ON s (b, c);";

class PlanTest : public ::testing::Test {
 protected:
  PlanTest() { db_.schema(kSchema); }

  // The listing and register count, with the root pages written as $t, $n,
  // $s (tables) and $t_title, $s_a, $s_bc (indexes).
  std::string shape(const std::string& sql) {
    auto p = db_.compile(sql);
    if (!p) return "error: " + p.error().display();
    std::string text = p->listing() + "regs " + std::to_string(p->n_regs) + "\n";
    auto name_root = [&](uint32_t root, const std::string& name) {
      std::string from = "root: " + std::to_string(root) + " }";
      std::string to = "root: $" + name + " }";
      for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at)) {
        text.replace(at, from.size(), to);
        at += to.size();
      }
    };
    for (const char* t : {"t", "n", "s"}) name_root(db_.catalog().get(t)->root, t);
    for (const char* i : {"t_title", "s_a", "s_bc"}) name_root(db_.catalog().get_index(i)->root, i);
    return text;
  }

  testing::SqlDb db_;
};

struct ShapeCase {
  const char* sql;
  const char* listing;
};

// The count(*) shortcut and the DELETE and UPDATE programs of the reference
// examples, then the access paths, CASE and SELECT without FROM.
const ShapeCase kReference[] = {
    {"SELECT count(*) FROM t",
     "0: OpenRead { cur: 0, root: $t }\n"
     "1: Count { cur: 0, dest: 0 }\n"
     "2: ResultRow { start: 0, count: 1 }\n"
     "3: Halt\n"
     "regs 1\n"},
    {"DELETE FROM n WHERE id > 10",
     "0: OpenWrite { cur: 0, root: $n }\n"
     "1: Integer { v: 11, dest: 0 }\n"
     "2: TruncateFrom { cur: 0, key_reg: 0 }\n"
     "3: Halt\n"
     "regs 1\n"},
    {"DELETE FROM t",
     "0: OpenWrite { cur: 0, root: $t }\n"
     "1: OpenIndex { cur: 0, root: $t_title }\n"
     "2: Rewind { cur: 0, empty_target: 9 }\n"
     "3: Rowid { cur: 0, dest: 0 }\n"
     "4: Column { cur: 0, col: 1, dest: 1 }\n"
     "5: MakeIndexKey { start: 1, count: 1, rowid_reg: 0, dest: 2 }\n"
     "6: IdxDelete { cur: 0, key_reg: 2 }\n"
     "7: DeleteCurrent { cur: 0 }\n"
     "8: Next { cur: 0, row_target: 3 }\n"
     "9: Halt\n"
     "regs 3\n"},
    {"UPDATE n SET age = 7",
     "0: OpenWrite { cur: 0, root: $n }\n"
     "1: Rewind { cur: 0, empty_target: 10 }\n"
     "2: Rowid { cur: 0, dest: 0 }\n"
     "3: Rowid { cur: 0, dest: 1 }\n"
     "4: Integer { v: 7, dest: 4 }\n"
     "5: Copy { src: 4, dest: 3 }\n"
     "6: Affinity { reg: 3, real: false }\n"
     "7: MakeUpdatedRecord { cur: 0, start: 1, kept: [false, true, false], dest: 5 }\n"
     "8: UpdateCurrent { cur: 0, record_reg: 5 }\n"
     "9: Next { cur: 0, row_target: 2 }\n"
     "10: ApplyDeferred { cur: 0 }\n"
     "11: Halt\n"
     "regs 6\n"},
    {"SELECT a FROM s WHERE id = 3",
     "0: OpenRead { cur: 0, root: $s }\n"
     "1: Integer { v: 3, dest: 1 }\n"
     "2: SeekRowid { cur: 0, key_reg: 1, notfound_target: 6 }\n"
     "3: Column { cur: 0, col: 1, dest: 2 }\n"
     "4: Copy { src: 2, dest: 0 }\n"
     "5: ResultRow { start: 0, count: 1 }\n"
     "6: Halt\n"
     "regs 3\n"},
    // Keys in index column order; the whole WHERE is tested again.
    {"SELECT id FROM s WHERE c = 2 AND b = 'x'",
     "0: OpenRead { cur: 0, root: $s }\n"
     "1: OpenIndex { cur: 0, root: $s_bc }\n"
     "2: Str { v: \"x\", dest: 3 }\n"
     "3: Copy { src: 3, dest: 1 }\n"
     "4: Integer { v: 2, dest: 4 }\n"
     "5: Copy { src: 4, dest: 2 }\n"
     "6: MakeIndexPrefix { start: 1, count: 2, dest: 5 }\n"
     "7: IdxSeek { cur: 0, prefix_reg: 5, notfound_target: 23 }\n"
     "8: IdxPrefixGuard { cur: 0, prefix_reg: 5, fail_target: 23 }\n"
     "9: IdxRowid { cur: 0, dest: 6 }\n"
     "10: SeekRowid { cur: 0, key_reg: 6, notfound_target: 22 }\n"
     "11: Column { cur: 0, col: 3, dest: 7 }\n"
     "12: Integer { v: 2, dest: 8 }\n"
     "13: Bin { op: Eq, a: 7, b: 8, dest: 9 }\n"
     "14: Column { cur: 0, col: 2, dest: 10 }\n"
     "15: Str { v: \"x\", dest: 11 }\n"
     "16: Bin { op: Eq, a: 10, b: 11, dest: 12 }\n"
     "17: Bin { op: And, a: 9, b: 12, dest: 13 }\n"
     "18: IfFalse { reg: 13, target: 22 }\n"
     "19: Rowid { cur: 0, dest: 14 }\n"
     "20: Copy { src: 14, dest: 0 }\n"
     "21: ResultRow { start: 0, count: 1 }\n"
     "22: IdxNext { cur: 0, row_target: 8 }\n"
     "23: Halt\n"
     "regs 15\n"},
    // The lower bound is never padded and the upper bound always is, whatever
    // the operators: the WHERE test decides at the edges.
    {"SELECT id FROM s WHERE a > 5 AND a <= 9",
     "0: OpenRead { cur: 0, root: $s }\n"
     "1: OpenIndex { cur: 0, root: $s_a }\n"
     "2: Integer { v: 5, dest: 2 }\n"
     "3: Copy { src: 2, dest: 1 }\n"
     "4: MakeBoundKey { start: 1, count: 1, pad: false, dest: 3 }\n"
     "5: Integer { v: 9, dest: 5 }\n"
     "6: Copy { src: 5, dest: 4 }\n"
     "7: MakeBoundKey { start: 4, count: 1, pad: true, dest: 6 }\n"
     "8: IdxSeek { cur: 0, prefix_reg: 3, notfound_target: 24 }\n"
     "9: IdxRangeGuard { cur: 0, bound_reg: 6, fail_target: 24 }\n"
     "10: IdxRowid { cur: 0, dest: 7 }\n"
     "11: SeekRowid { cur: 0, key_reg: 7, notfound_target: 23 }\n"
     "12: Column { cur: 0, col: 1, dest: 8 }\n"
     "13: Integer { v: 5, dest: 9 }\n"
     "14: Bin { op: Gt, a: 8, b: 9, dest: 10 }\n"
     "15: Column { cur: 0, col: 1, dest: 11 }\n"
     "16: Integer { v: 9, dest: 12 }\n"
     "17: Bin { op: Le, a: 11, b: 12, dest: 13 }\n"
     "18: Bin { op: And, a: 10, b: 13, dest: 14 }\n"
     "19: IfFalse { reg: 14, target: 23 }\n"
     "20: Rowid { cur: 0, dest: 15 }\n"
     "21: Copy { src: 15, dest: 0 }\n"
     "22: ResultRow { start: 0, count: 1 }\n"
     "23: IdxNext { cur: 0, row_target: 9 }\n"
     "24: Halt\n"
     "regs 16\n"},
    {"SELECT id FROM s WHERE 5 > a",
     "0: OpenRead { cur: 0, root: $s }\n"
     "1: OpenIndex { cur: 0, root: $s_a }\n"
     "2: MakeIndexPrefix { start: 0, count: 0, dest: 1 }\n"
     "3: Integer { v: 5, dest: 3 }\n"
     "4: Copy { src: 3, dest: 2 }\n"
     "5: MakeBoundKey { start: 2, count: 1, pad: true, dest: 4 }\n"
     "6: IdxSeek { cur: 0, prefix_reg: 1, notfound_target: 18 }\n"
     "7: IdxRangeGuard { cur: 0, bound_reg: 4, fail_target: 18 }\n"
     "8: IdxRowid { cur: 0, dest: 5 }\n"
     "9: SeekRowid { cur: 0, key_reg: 5, notfound_target: 17 }\n"
     "10: Integer { v: 5, dest: 6 }\n"
     "11: Column { cur: 0, col: 1, dest: 7 }\n"
     "12: Bin { op: Gt, a: 6, b: 7, dest: 8 }\n"
     "13: IfFalse { reg: 8, target: 17 }\n"
     "14: Rowid { cur: 0, dest: 9 }\n"
     "15: Copy { src: 9, dest: 0 }\n"
     "16: ResultRow { start: 0, count: 1 }\n"
     "17: IdxNext { cur: 0, row_target: 7 }\n"
     "18: Halt\n"
     "regs 10\n"},
    {"SELECT a FROM s WHERE rowid > 10 ORDER BY c DESC",
     "0: OpenRead { cur: 0, root: $s }\n"
     "1: Integer { v: 10, dest: 2 }\n"
     "2: SeekScan { cur: 0, key_reg: 2, empty_target: 13 }\n"
     "3: Rowid { cur: 0, dest: 3 }\n"
     "4: Integer { v: 10, dest: 4 }\n"
     "5: Bin { op: Gt, a: 3, b: 4, dest: 5 }\n"
     "6: IfFalse { reg: 5, target: 12 }\n"
     "7: Column { cur: 0, col: 1, dest: 6 }\n"
     "8: Copy { src: 6, dest: 0 }\n"
     "9: Column { cur: 0, col: 3, dest: 7 }\n"
     "10: Copy { src: 7, dest: 1 }\n"
     "11: ResultRow { start: 0, count: 2 }\n"
     "12: Next { cur: 0, row_target: 3 }\n"
     "13: Halt\n"
     "regs 8\n"},
    // Only an integer literal (or its negation) starts a scan by seeking.
    {"SELECT a FROM s WHERE rowid > 2.5",
     "0: OpenRead { cur: 0, root: $s }\n"
     "1: Rewind { cur: 0, empty_target: 10 }\n"
     "2: Rowid { cur: 0, dest: 1 }\n"
     "3: Real { v: 2.5, dest: 2 }\n"
     "4: Bin { op: Gt, a: 1, b: 2, dest: 3 }\n"
     "5: IfFalse { reg: 3, target: 9 }\n"
     "6: Column { cur: 0, col: 1, dest: 4 }\n"
     "7: Copy { src: 4, dest: 0 }\n"
     "8: ResultRow { start: 0, count: 1 }\n"
     "9: Next { cur: 0, row_target: 2 }\n"
     "10: Halt\n"
     "regs 5\n"},
    {"SELECT CASE a WHEN 1 THEN 'x' ELSE 'y' END FROM s",
     "0: OpenRead { cur: 0, root: $s }\n"
     "1: Rewind { cur: 0, empty_target: 13 }\n"
     "2: Null { dest: 1 }\n"
     "3: Column { cur: 0, col: 1, dest: 2 }\n"
     "4: Integer { v: 1, dest: 3 }\n"
     "5: Bin { op: Eq, a: 2, b: 3, dest: 4 }\n"
     "6: IfFalse { reg: 4, target: 9 }\n"
     "7: Str { v: \"x\", dest: 1 }\n"
     "8: Goto { target: 10 }\n"
     "9: Str { v: \"y\", dest: 1 }\n"
     "10: Copy { src: 1, dest: 0 }\n"
     "11: ResultRow { start: 0, count: 1 }\n"
     "12: Next { cur: 0, row_target: 2 }\n"
     "13: Halt\n"
     "regs 5\n"},
    {"SELECT 1 + 2, -x'00', NOT ?",
     "0: Integer { v: 1, dest: 3 }\n"
     "1: Integer { v: 2, dest: 4 }\n"
     "2: Bin { op: Add, a: 3, b: 4, dest: 5 }\n"
     "3: Copy { src: 5, dest: 0 }\n"
     "4: Blob { v: [0], dest: 6 }\n"
     "5: Un { op: Neg, a: 6, dest: 7 }\n"
     "6: Copy { src: 7, dest: 1 }\n"
     "7: Bind { idx: 0, dest: 8 }\n"
     "8: Un { op: Not, a: 8, dest: 9 }\n"
     "9: Copy { src: 9, dest: 2 }\n"
     "10: ResultRow { start: 0, count: 3 }\n"
     "11: Halt\n"
     "regs 10\n"},
};

TEST_F(PlanTest, ReferenceShapes) {
  for (const ShapeCase& c : kReference) EXPECT_EQ(shape(c.sql), c.listing) << c.sql;
}

// Every constraint of a row is checked before its first write. A plain
// INSERT probes each UNIQUE index and jumps to a failure block after the
// Halt; IGNORE's probe skips the row instead. An UPDATE deletes the old
// entries only after the guards, probes with the new values, and on a hit
// puts the old entries back before failing.
const ShapeCase kNoHalfWrittenRow[] = {
    {"INSERT INTO t (title) VALUES ('a')",
     "0: OpenWrite { cur: 0, root: $t }\n"
     "1: OpenIndex { cur: 0, root: $t_title }\n"
     "2: Null { dest: 0 }\n"
     "3: Integer { v: 0, dest: 2 }\n"
     "4: Str { v: \"a\", dest: 1 }\n"
     "5: Affinity { reg: 0, real: false }\n"
     "6: Affinity { reg: 2, real: false }\n"
     "7: NotNullGuard { reg: 1, column: \"title\" }\n"
     "8: NewRowid { cur: 0, dest: 4 }\n"
     "9: Copy { src: 1, dest: 5 }\n"
     "10: MakeIndexPrefix { start: 5, count: 1, dest: 6 }\n"
     "11: IdxConflictJump { cur: 0, prefix_reg: 6, target: 18, values: 5, stored: 0 }\n"
     "12: MakeRecord { start: 0, count: 3, dest: 3 }\n"
     "13: Insert { cur: 0, record_reg: 3, rowid_reg: 4 }\n"
     "14: Copy { src: 1, dest: 7 }\n"
     "15: MakeIndexKey { start: 7, count: 1, rowid_reg: 4, dest: 8 }\n"
     "16: IdxInsert { cur: 0, key_reg: 8 }\n"
     "17: Halt\n"
     "18: Fail { message: \"UNIQUE constraint failed: t_title\" }\n"
     "regs 9\n"},
    {"INSERT IGNORE INTO t (title) VALUES ('a')",
     "0: OpenWrite { cur: 0, root: $t }\n"
     "1: OpenIndex { cur: 0, root: $t_title }\n"
     "2: Null { dest: 0 }\n"
     "3: Integer { v: 0, dest: 2 }\n"
     "4: Str { v: \"a\", dest: 1 }\n"
     "5: Affinity { reg: 0, real: false }\n"
     "6: Affinity { reg: 2, real: false }\n"
     "7: NotNullGuard { reg: 1, column: \"title\" }\n"
     "8: NewRowid { cur: 0, dest: 4 }\n"
     "9: Copy { src: 1, dest: 5 }\n"
     "10: MakeIndexPrefix { start: 5, count: 1, dest: 6 }\n"
     "11: IdxConflictJump { cur: 0, prefix_reg: 6, target: 17, values: 5, stored: 0 }\n"
     "12: MakeRecord { start: 0, count: 3, dest: 3 }\n"
     "13: Insert { cur: 0, record_reg: 3, rowid_reg: 4 }\n"
     "14: Copy { src: 1, dest: 7 }\n"
     "15: MakeIndexKey { start: 7, count: 1, rowid_reg: 4, dest: 8 }\n"
     "16: IdxInsert { cur: 0, key_reg: 8 }\n"
     "17: Halt\n"
     "regs 9\n"},
    // Two rows reuse the scratch registers and share one failure block; a
    // listed rowid alias is the rowid register itself.
    {"INSERT INTO t VALUES (1, 'a', 2), (5, 'b', 6)",
     "0: OpenWrite { cur: 0, root: $t }\n"
     "1: OpenIndex { cur: 0, root: $t_title }\n"
     "2: Integer { v: 1, dest: 0 }\n"
     "3: Str { v: \"a\", dest: 1 }\n"
     "4: Integer { v: 2, dest: 2 }\n"
     "5: Affinity { reg: 0, real: false }\n"
     "6: Affinity { reg: 2, real: false }\n"
     "7: NotNullGuard { reg: 1, column: \"title\" }\n"
     "8: Copy { src: 1, dest: 4 }\n"
     "9: MakeIndexPrefix { start: 4, count: 1, dest: 5 }\n"
     "10: IdxConflictJump { cur: 0, prefix_reg: 5, target: 31, values: 4, stored: 0 }\n"
     "11: MakeRecord { start: 0, count: 3, dest: 3 }\n"
     "12: Insert { cur: 0, record_reg: 3, rowid_reg: 0 }\n"
     "13: Copy { src: 1, dest: 6 }\n"
     "14: MakeIndexKey { start: 6, count: 1, rowid_reg: 0, dest: 7 }\n"
     "15: IdxInsert { cur: 0, key_reg: 7 }\n"
     "16: Integer { v: 5, dest: 0 }\n"
     "17: Str { v: \"b\", dest: 1 }\n"
     "18: Integer { v: 6, dest: 2 }\n"
     "19: Affinity { reg: 0, real: false }\n"
     "20: Affinity { reg: 2, real: false }\n"
     "21: NotNullGuard { reg: 1, column: \"title\" }\n"
     "22: Copy { src: 1, dest: 4 }\n"
     "23: MakeIndexPrefix { start: 4, count: 1, dest: 5 }\n"
     "24: IdxConflictJump { cur: 0, prefix_reg: 5, target: 31, values: 4, stored: 0 }\n"
     "25: MakeRecord { start: 0, count: 3, dest: 3 }\n"
     "26: Insert { cur: 0, record_reg: 3, rowid_reg: 0 }\n"
     "27: Copy { src: 1, dest: 6 }\n"
     "28: MakeIndexKey { start: 6, count: 1, rowid_reg: 0, dest: 7 }\n"
     "29: IdxInsert { cur: 0, key_reg: 7 }\n"
     "30: Halt\n"
     "31: Fail { message: \"UNIQUE constraint failed: t_title\" }\n"
     "regs 8\n"},
    // Only assigned columns are guarded: title, which the statement leaves
    // alone, keeps what is stored.
    {"UPDATE t SET age = 7",
     "0: OpenWrite { cur: 0, root: $t }\n"
     "1: OpenIndex { cur: 0, root: $t_title }\n"
     "2: Rewind { cur: 0, empty_target: 21 }\n"
     "3: Rowid { cur: 0, dest: 0 }\n"
     "4: Rowid { cur: 0, dest: 1 }\n"
     "5: Column { cur: 0, col: 1, dest: 2 }\n"
     "6: Integer { v: 7, dest: 4 }\n"
     "7: Copy { src: 4, dest: 3 }\n"
     "8: Affinity { reg: 3, real: false }\n"
     "9: Column { cur: 0, col: 1, dest: 5 }\n"
     "10: MakeIndexKey { start: 5, count: 1, rowid_reg: 0, dest: 6 }\n"
     "11: IdxDelete { cur: 0, key_reg: 6 }\n"
     "12: Copy { src: 2, dest: 7 }\n"
     "13: MakeIndexPrefix { start: 7, count: 1, dest: 8 }\n"
     "14: IdxConflictJump { cur: 0, prefix_reg: 8, target: 23, values: 7, stored: 0 }\n"
     "15: MakeRecord { start: 1, count: 3, dest: 9 }\n"
     "16: Copy { src: 2, dest: 10 }\n"
     "17: MakeIndexKey { start: 10, count: 1, rowid_reg: 0, dest: 11 }\n"
     "18: IdxInsert { cur: 0, key_reg: 11 }\n"
     "19: UpdateCurrent { cur: 0, record_reg: 9 }\n"
     "20: Next { cur: 0, row_target: 3 }\n"
     "21: ApplyDeferred { cur: 0 }\n"
     "22: Halt\n"
     "23: IdxInsert { cur: 0, key_reg: 6 }\n"
     "24: Fail { message: \"UNIQUE constraint failed: t_title\" }\n"
     "regs 12\n"},
    // A new value for the rowid alias must equal the rowid: checked with the
    // guards, before anything of the row is written.
    {"UPDATE n SET id = 5",
     "0: OpenWrite { cur: 0, root: $n }\n"
     "1: Rewind { cur: 0, empty_target: 11 }\n"
     "2: Rowid { cur: 0, dest: 0 }\n"
     "3: Integer { v: 5, dest: 4 }\n"
     "4: Copy { src: 4, dest: 1 }\n"
     "5: Affinity { reg: 1, real: false }\n"
     "6: Bin { op: Eq, a: 1, b: 0, dest: 5 }\n"
     "7: IfFalse { reg: 5, target: 13 }\n"
     "8: MakeUpdatedRecord { cur: 0, start: 1, kept: [false, true, true], dest: 6 }\n"
     "9: UpdateCurrent { cur: 0, record_reg: 6 }\n"
     "10: Next { cur: 0, row_target: 2 }\n"
     "11: ApplyDeferred { cur: 0 }\n"
     "12: Halt\n"
     "13: Fail { message: \"cannot change the rowid through column id\" }\n"
     "regs 7\n"},
};

TEST_F(PlanTest, NoRowIsHalfWritten) {
  for (const ShapeCase& c : kNoHalfWrittenRow) EXPECT_EQ(shape(c.sql), c.listing) << c.sql;
}

// A subquery over the statement's own table, at any depth, makes two passes:
// the first holds each row's rowid (and, for UPDATE, its new values) and
// changes nothing; the second finds each held row by its rowid and changes
// it as the one-pass program does. A subquery over another table keeps the
// one-pass program.
const ShapeCase kSelfReads[] = {
    {"DELETE FROM t WHERE (SELECT count(*) FROM t z WHERE z.age = t.age) > 1",
     "0: OpenWrite { cur: 0, root: $t }\n"
     "1: OpenIndex { cur: 0, root: $t_title }\n"
     "2: Rewind { cur: 0, empty_target: 10 }\n"
     "3: ScalarSub { sub: 0, params: [Column(0, 2)], dest: 0 }\n"
     "4: Integer { v: 1, dest: 1 }\n"
     "5: Bin { op: Gt, a: 0, b: 1, dest: 2 }\n"
     "6: IfFalse { reg: 2, target: 9 }\n"
     "7: Rowid { cur: 0, dest: 3 }\n"
     "8: HoldRow { start: 3, count: 1 }\n"
     "9: Next { cur: 0, row_target: 3 }\n"
     "10: TakeHeldRow { dest: 3, count: 1, done_target: 17 }\n"
     "11: SeekRowid { cur: 0, key_reg: 3, notfound_target: 10 }\n"
     "12: Column { cur: 0, col: 1, dest: 4 }\n"
     "13: MakeIndexKey { start: 4, count: 1, rowid_reg: 3, dest: 5 }\n"
     "14: IdxDelete { cur: 0, key_reg: 5 }\n"
     "15: DeleteCurrent { cur: 0 }\n"
     "16: Goto { target: 10 }\n"
     "17: Halt\n"
     "regs 6\n"},
    {"UPDATE n SET age = (SELECT max(z.age) FROM s y, n z WHERE z.id < n.id), title = 'x'",
     "0: OpenWrite { cur: 0, root: $n }\n"
     "1: Rewind { cur: 0, empty_target: 10 }\n"
     "2: Rowid { cur: 0, dest: 0 }\n"
     "3: Copy { src: 0, dest: 1 }\n"
     "4: Str { v: \"x\", dest: 4 }\n"
     "5: Copy { src: 4, dest: 2 }\n"
     "6: ScalarSub { sub: 0, params: [Rowid(0)], dest: 5 }\n"
     "7: Copy { src: 5, dest: 3 }\n"
     "8: HoldRow { start: 1, count: 3 }\n"
     "9: Next { cur: 0, row_target: 2 }\n"
     "10: TakeHeldRow { dest: 1, count: 3, done_target: 20 }\n"
     "11: SeekRowid { cur: 0, key_reg: 1, notfound_target: 10 }\n"
     "12: Rowid { cur: 0, dest: 6 }\n"
     "13: Copy { src: 2, dest: 7 }\n"
     "14: Copy { src: 3, dest: 8 }\n"
     "15: Affinity { reg: 8, real: false }\n"
     "16: NotNullGuard { reg: 7, column: \"title\" }\n"
     "17: MakeUpdatedRecord { cur: 0, start: 6, kept: [false, false, false], dest: 9 }\n"
     "18: UpdateCurrent { cur: 0, record_reg: 9 }\n"
     "19: Goto { target: 10 }\n"
     "20: ApplyDeferred { cur: 0 }\n"
     "21: Halt\n"
     "regs 10\n"},
    {"UPDATE n SET age = (SELECT max(z.age) FROM t z WHERE z.id < n.id)",
     "0: OpenWrite { cur: 0, root: $n }\n"
     "1: Rewind { cur: 0, empty_target: 10 }\n"
     "2: Rowid { cur: 0, dest: 0 }\n"
     "3: Rowid { cur: 0, dest: 1 }\n"
     "4: ScalarSub { sub: 0, params: [Rowid(0)], dest: 4 }\n"
     "5: Copy { src: 4, dest: 3 }\n"
     "6: Affinity { reg: 3, real: false }\n"
     "7: MakeUpdatedRecord { cur: 0, start: 1, kept: [false, true, false], dest: 5 }\n"
     "8: UpdateCurrent { cur: 0, record_reg: 5 }\n"
     "9: Next { cur: 0, row_target: 2 }\n"
     "10: ApplyDeferred { cur: 0 }\n"
     "11: Halt\n"
     "regs 6\n"},
};

TEST_F(PlanTest, SelfReadingStatementsTakeTwoPasses) {
  for (const ShapeCase& c : kSelfReads) EXPECT_EQ(shape(c.sql), c.listing) << c.sql;
}

}  // namespace
}  // namespace vbk
