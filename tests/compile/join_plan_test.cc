// What the join and aggregate compilers emit: the access chosen for each
// level, index-only and anti-join levels, register order and jump targets of
// whole programs, and which error a statement with several faults reports.

#include <gtest/gtest.h>

#include <span>
#include <string>
#include <vector>

#include "support/must.h"
#include "support/sql_db.h"

namespace vbk {
namespace {

using testing::must;
using vdbe::Op;

class JoinPlanTest : public ::testing::Test {
 protected:
  void SetUp() override {
    db_.schema(
        "CREATE TABLE a (id INTEGER PRIMARY KEY, x INT, y INT, k INT);"
        "CREATE TABLE b (id INTEGER PRIMARY KEY, x INT, y INT, z INT, aid INT);"
        "CREATE INDEX b_yz ON b (y, z);"
        "CREATE INDEX b_y1 ON b (y);"
        "CREATE INDEX b_y2 ON b (y);"
        "CREATE INDEX b_z ON b (z);"
        "CREATE INDEX b_aid ON b (aid);"
        "CREATE TABLE c (id INTEGER PRIMARY KEY, x INT, rowid INT);"
        "CREATE INDEX c_x ON c (x);");
  }

  // The access instructions of a program in order, with the index named for
  // every OpenIndex: "Rewind SeekRowid" or "b_y1 | Rewind IdxSeek".
  std::string shape(const std::string& sql) {
    auto p = db_.compile(sql);
    if (!p) return "error: " + p.error().text();
    std::string opened;
    std::string out;
    for (const Op& op : p->ops) {
      switch (op.kind()) {
        case Op::Kind::OpenIndex:
          for (const auto& [name, index] : db_.catalog().indexes()) {
            if (index.root == op.get<Op::OpenIndex>().root) opened += name + " ";
          }
          break;
        case Op::Kind::Rewind:
        case Op::Kind::SeekRowid:
        case Op::Kind::IdxSeek:
        case Op::Kind::CursorSetRowid:
        case Op::Kind::NullRow:
          if (!out.empty()) out += ' ';
          out += std::string(vdbe::op_kind_name(op.kind()));
          break;
        default: break;
      }
    }
    return opened.empty() ? out : opened + "| " + out;
  }

  struct ShapeCase {
    const char* sql;
    const char* shape;
  };

  void expect_shapes(std::span<const ShapeCase> cases) {
    for (const ShapeCase& c : cases) EXPECT_EQ(shape(c.sql), c.shape) << c.sql;
  }

  testing::SqlDb db_;
};

TEST_F(JoinPlanTest, EachLevelTakesItsAccessFromItsOwnOn) {
  const ShapeCase cases[] = {
      {"SELECT * FROM a, b", "Rewind Rewind"},
      {"SELECT * FROM a JOIN b ON b.id = a.x", "Rewind SeekRowid"},
      {"SELECT * FROM a JOIN b ON a.x = b.rowid", "Rewind SeekRowid"},
      // c declares a column named rowid; the name still means the rowid.
      {"SELECT * FROM a JOIN c ON c.rowid = a.x", "Rewind SeekRowid"},
      // The older of two single-column indexes; never the two-column one.
      {"SELECT * FROM a JOIN b ON a.x = b.y", "b_y1 | Rewind IdxSeek SeekRowid"},
      {"SELECT * FROM a JOIN b AS q ON Q.y = a.x", "b_y1 | Rewind IdxSeek SeekRowid"},
      {"SELECT * FROM a JOIN b ON b.y = b.z", "Rewind Rewind"},
      {"SELECT * FROM a JOIN b ON b.y = b.z + a.x", "Rewind Rewind"},
      {"SELECT * FROM a JOIN b ON a.x = b.x AND b.z = 1", "b_z | Rewind IdxSeek SeekRowid"},
      {"SELECT * FROM a JOIN b ON b.z > a.x", "Rewind Rewind"},
      // WHERE never chooses an access, not even for level 0.
      {"SELECT * FROM a JOIN b ON b.z = a.x WHERE a.id = 5 AND b.id = 2",
       "b_z | Rewind IdxSeek SeekRowid"},
      {"SELECT * FROM a LEFT JOIN b ON b.aid = a.id", "b_aid | Rewind IdxSeek SeekRowid NullRow"},
      {"SELECT * FROM b RIGHT JOIN a ON b.aid = a.id", "b_aid | Rewind IdxSeek SeekRowid NullRow"},
      {"SELECT * FROM a JOIN b ON b.aid = a.id JOIN c ON c.x = b.x",
       "b_aid c_x | Rewind IdxSeek SeekRowid IdxSeek SeekRowid"},
      // Index-only levels of aggregate queries.
      {"SELECT count(*) FROM a JOIN b ON b.z = a.y", "b_z | Rewind IdxSeek CursorSetRowid SeekRowid"},
      {"SELECT count(b.rowid), count(b.id) FROM a JOIN b ON b.z = a.y",
       "b_z | Rewind IdxSeek CursorSetRowid SeekRowid"},
      {"SELECT count(b.x) FROM a JOIN b ON b.z = a.y", "b_z | Rewind IdxSeek SeekRowid"},
      {"SELECT count(*) FROM a JOIN b ON b.z = a.y WHERE b.x > 1", "b_z | Rewind IdxSeek SeekRowid"},
      {"SELECT count(*) FROM a JOIN b ON b.z = a.y ORDER BY b.x", "b_z | Rewind IdxSeek SeekRowid"},
      {"SELECT count(*) FROM a JOIN b ON b.z = a.y AND a.k = 1", "b_z | Rewind IdxSeek SeekRowid"},
      {"SELECT b.*, count(*) FROM a JOIN b ON b.z = a.y", "b_z | Rewind IdxSeek SeekRowid"},
      {"SELECT a.*, count(*) FROM a JOIN b ON b.z = a.y",
       "b_z | Rewind IdxSeek CursorSetRowid SeekRowid"},
      {"SELECT count(*) FROM a JOIN b ON b.z = a.y WHERE (SELECT 1) = 1",
       "b_z | Rewind IdxSeek SeekRowid"},
      {"SELECT count(*) FROM a LEFT JOIN b ON b.z = a.y",
       "b_z | Rewind IdxSeek CursorSetRowid SeekRowid NullRow"},
      // Plain joins have no index-only levels.
      {"SELECT a.id FROM a JOIN b ON b.z = a.y", "b_z | Rewind IdxSeek SeekRowid"},
  };
  expect_shapes(cases);
}

// A side that reads the level's own row, however deep inside it, is no key:
// it has no value before the level has a row. Inside a subquery only a name
// qualified by the level, and taken by no table of the subquery or of a
// SELECT between them, reads the level.
TEST_F(JoinPlanTest, KeyThatReadsItsOwnLevelLeavesItToOtherPairs) {
  const ShapeCase cases[] = {
      {"SELECT * FROM a JOIN b ON b.z = (SELECT b.x)", "Rewind Rewind"},
      {"SELECT * FROM a JOIN b ON (SELECT b.x) = b.id", "Rewind Rewind"},
      {"SELECT * FROM a LEFT JOIN b ON b.aid = (SELECT b.x)", "Rewind Rewind NullRow"},
      {"SELECT * FROM a JOIN b AS q ON q.z = (SELECT Q.x FROM c)", "Rewind Rewind"},
      {"SELECT * FROM a JOIN b ON b.z = (SELECT max(b.x) FROM c)", "Rewind Rewind"},
      {"SELECT * FROM a JOIN b ON b.id = (SELECT (SELECT b.x FROM c) FROM c)", "Rewind Rewind"},
      {"SELECT count(*) FROM a JOIN b ON b.z = (SELECT count(*) FROM a y WHERE y.k <= b.x)",
       "Rewind Rewind"},
      // The next pair decides.
      {"SELECT * FROM a JOIN b ON b.z = (SELECT b.x) AND b.aid = a.id",
       "b_aid | Rewind IdxSeek SeekRowid"},
      // Keys that read only a: b inside is the subquery's own table, an
      // unqualified name is never the level's, and a middle SELECT's b
      // hides the level from the SELECT inside it.
      {"SELECT * FROM a JOIN b ON b.id = (SELECT max(b.id) FROM b WHERE b.z = a.k)",
       "Rewind SeekRowid"},
      {"SELECT * FROM a JOIN b ON b.z = (SELECT max(x) FROM c WHERE c.id = a.k)",
       "b_z | Rewind IdxSeek SeekRowid"},
      {"SELECT * FROM a JOIN b ON b.z = (SELECT (SELECT b.x FROM c WHERE c.id = a.k) FROM b)",
       "b_z | Rewind IdxSeek SeekRowid"},
      {"SELECT count(*) FROM a JOIN b ON b.z = (SELECT max(b.id) FROM b WHERE b.y = a.k)",
       "b_z | Rewind IdxSeek CursorSetRowid SeekRowid"},
  };
  expect_shapes(cases);
}

// The whole program of a LEFT join: the flag register after the result
// block, the ON test at its level, WHERE innermost, the NULL-row handler.
TEST_F(JoinPlanTest, LeftJoinProgram) {
  vdbe::Program p =
      must(db_.compile("SELECT a.id, b.z FROM a LEFT JOIN b ON b.id = a.x WHERE b.z IS NULL"));
  EXPECT_EQ(p.listing(),
            "0: OpenRead { cur: 0, root: 3 }\n"
            "1: OpenRead { cur: 1, root: 4 }\n"
            "2: Rewind { cur: 0, empty_target: 24 }\n"
            "3: Integer { v: 0, dest: 2 }\n"
            "4: Column { cur: 0, col: 1, dest: 3 }\n"
            "5: SeekRowid { cur: 1, key_reg: 3, notfound_target: 19 }\n"
            "6: Rowid { cur: 1, dest: 4 }\n"
            "7: Column { cur: 0, col: 1, dest: 5 }\n"
            "8: Bin { op: Eq, a: 4, b: 5, dest: 6 }\n"
            "9: IfFalse { reg: 6, target: 19 }\n"
            "10: Integer { v: 1, dest: 2 }\n"
            "11: Column { cur: 1, col: 3, dest: 7 }\n"
            "12: IsNull { a: 7, dest: 8, negated: false }\n"
            "13: IfFalse { reg: 8, target: 19 }\n"
            "14: Rowid { cur: 0, dest: 9 }\n"
            "15: Copy { src: 9, dest: 0 }\n"
            "16: Column { cur: 1, col: 3, dest: 10 }\n"
            "17: Copy { src: 10, dest: 1 }\n"
            "18: ResultRow { start: 0, count: 2 }\n"
            "19: IfTrue { reg: 2, target: 23 }\n"
            "20: Integer { v: 1, dest: 2 }\n"
            "21: NullRow { cur: 1 }\n"
            "22: Goto { target: 11 }\n"
            "23: Next { cur: 0, row_target: 3 }\n"
            "24: Halt\n");
}

TEST_F(JoinPlanTest, AggregateProgram) {
  vdbe::Program p = must(db_.compile(
      "SELECT a.k, count(*), sum(b.z) FROM a LEFT JOIN b ON b.aid = a.id "
      "WHERE a.y = 1 AND b.x > 0 GROUP BY a.k HAVING count(*) > 1 ORDER BY sum(b.z) DESC"));
  // K = 0, A = 1..2, R = 3..6, S = 7, P = 8..9, the flag 10. a.y = 1 is
  // tested at level 0; b.x > 0 reads the LEFT level, so it waits for the
  // NULL row.
  EXPECT_EQ(p.listing(),
            "0: OpenRead { cur: 0, root: 3 }\n"
            "1: OpenRead { cur: 1, root: 4 }\n"
            "2: OpenIndex { cur: 0, root: 9 }\n"
            "3: Rewind { cur: 0, empty_target: 38 }\n"
            "4: Column { cur: 0, col: 2, dest: 11 }\n"
            "5: Integer { v: 1, dest: 12 }\n"
            "6: Bin { op: Eq, a: 11, b: 12, dest: 13 }\n"
            "7: IfFalse { reg: 13, target: 37 }\n"
            "8: Integer { v: 0, dest: 10 }\n"
            "9: Rowid { cur: 0, dest: 14 }\n"
            "10: MakeIndexPrefix { start: 14, count: 1, dest: 15 }\n"
            "11: IdxSeek { cur: 0, prefix_reg: 15, notfound_target: 33 }\n"
            "12: IdxPrefixGuard { cur: 0, prefix_reg: 15, fail_target: 33 }\n"
            "13: IdxRowid { cur: 0, dest: 16 }\n"
            "14: SeekRowid { cur: 1, key_reg: 16, notfound_target: 32 }\n"
            "15: Column { cur: 1, col: 4, dest: 17 }\n"
            "16: Rowid { cur: 0, dest: 18 }\n"
            "17: Bin { op: Eq, a: 17, b: 18, dest: 19 }\n"
            "18: IfFalse { reg: 19, target: 32 }\n"
            "19: Integer { v: 1, dest: 10 }\n"
            "20: Column { cur: 1, col: 1, dest: 20 }\n"
            "21: Integer { v: 0, dest: 21 }\n"
            "22: Bin { op: Gt, a: 20, b: 21, dest: 22 }\n"
            "23: IfFalse { reg: 22, target: 32 }\n"
            "24: Column { cur: 0, col: 3, dest: 23 }\n"
            "25: Copy { src: 23, dest: 7 }\n"
            "26: Null { dest: 8 }\n"
            "27: Column { cur: 1, col: 3, dest: 24 }\n"
            "28: Copy { src: 24, dest: 9 }\n"
            "29: AggStart { key_start: 7, key_count: 1 }\n"
            "30: AggStep { idx: 0, arg_reg: 8 }\n"
            "31: AggStep { idx: 1, arg_reg: 9 }\n"
            "32: IdxNext { cur: 0, row_target: 12 }\n"
            "33: IfTrue { reg: 10, target: 37 }\n"
            "34: Integer { v: 1, dest: 10 }\n"
            "35: NullRow { cur: 1 }\n"
            "36: Goto { target: 20 }\n"
            "37: Next { cur: 0, row_target: 4 }\n"
            "38: AggRewind { done_target: 50, key_dest: 0, key_count: 1, grouped: true }\n"
            "39: AggResult { idx: 0, dest: 1 }\n"
            "40: AggResult { idx: 1, dest: 2 }\n"
            "41: Integer { v: 1, dest: 25 }\n"
            "42: Bin { op: Gt, a: 1, b: 25, dest: 26 }\n"
            "43: IfFalse { reg: 26, target: 49 }\n"
            "44: Copy { src: 0, dest: 3 }\n"
            "45: Copy { src: 1, dest: 4 }\n"
            "46: Copy { src: 2, dest: 5 }\n"
            "47: Copy { src: 2, dest: 6 }\n"
            "48: ResultRow { start: 3, count: 4 }\n"
            "49: AggNext { row_target: 39, key_dest: 0, key_count: 1 }\n"
            "50: Halt\n");
  EXPECT_EQ(p.aggs.size(), 2u);
  EXPECT_EQ(p.width, 3u);
  EXPECT_EQ(p.order_desc, std::vector<bool>{true});
}

// With b the last level, LEFT joined, and WHERE demanding its rowid be
// NULL, the first row that passes the ON leaves the level.
TEST_F(JoinPlanTest, AntiJoinExit) {
  auto gotos = [&](const std::string& sql) {
    vdbe::Program p = must(db_.compile(sql));
    int n = 0;
    for (const Op& op : p.ops) n += op.kind() == Op::Kind::Goto ? 1 : 0;
    return n;
  };
  // The NULL-row handler has one Goto; the anti-join adds one.
  EXPECT_EQ(gotos("SELECT count(*) FROM a LEFT JOIN b ON b.x = a.x WHERE b.rowid IS NULL"), 2);
  EXPECT_EQ(gotos("SELECT count(*) FROM a LEFT JOIN b ON b.x = a.x WHERE B.ID IS NULL"), 2);
  EXPECT_EQ(gotos("SELECT count(*) FROM a LEFT JOIN b ON b.x = a.x WHERE b.x IS NULL"), 1);
  EXPECT_EQ(gotos("SELECT count(*) FROM a LEFT JOIN b ON b.x = a.x WHERE b.rowid + 0 IS NULL"),
            1);
  EXPECT_EQ(gotos("SELECT count(*) FROM a JOIN b ON b.x = a.x WHERE b.rowid IS NULL"), 0);
  EXPECT_EQ(gotos("SELECT count(*) FROM a LEFT JOIN b ON b.x = a.x JOIN c ON c.x = a.x AND c.id > 0 "
                  "WHERE b.rowid IS NULL"),
            1);
  EXPECT_EQ(gotos("SELECT a.id FROM a LEFT JOIN b ON b.x = a.x WHERE b.rowid IS NULL"), 1);
}

// Left-deep chains of any length are walked without recursion by the join
// planner, the WHERE placement, the aggregate rewrites and the subquery
// rewrite.
TEST_F(JoinPlanTest, LongChains) {
  const int kLong = 50000;
  std::string ors = "b.x = a.x";
  std::string sums = "count(*)";
  std::string outer_refs = "u.x = a.x";
  for (int i = 0; i < kLong; ++i) {
    ors += " OR b.x = a.x";
    sums += " + a.k";
    outer_refs += " OR u.x = a.x";
  }
  const std::string sqls[] = {
      "SELECT a.id FROM a JOIN b ON " + ors,
      "SELECT count(*) FROM a JOIN b ON b.z = a.y WHERE " + ors,
      "SELECT " + sums + " FROM a GROUP BY a.k",
      "SELECT " + sums + " FROM a",
      "SELECT a.k, count(*) FROM a GROUP BY a.k HAVING " + sums + " > 0",
      "SELECT (SELECT count(*) FROM b AS u WHERE " + outer_refs + ") FROM a",
  };
  for (const std::string& sql : sqls) {
    auto p = db_.compile(sql);
    EXPECT_TRUE(p.has_value()) << sql.substr(0, 60) << ": " << (p ? "" : p.error().text());
  }
  vdbe::Program p = must(db_.compile(sqls[5]));
  ASSERT_EQ(p.subprograms.size(), 1u);
}

TEST_F(JoinPlanTest, FirstErrorWins) {
  struct Case {
    const char* sql;
    const char* error;
  };
  const Case cases[] = {
      // Aggregate queries, in the order their parts are examined.
      {"SELECT count(*)", "aggregate query needs a FROM clause"},
      {"SELECT x.*, count(*) FROM nope, a", "no such table: nope"},
      {"SELECT x.*, count(nope) FROM a", "unknown table in x.*"},
      {"SELECT a.*, count(*) FROM a AS x", "unknown table in a.*"},
      {"SELECT X.*, count(*) FROM a AS x", "none"},
      {"SELECT count(nope1) FROM a JOIN b ON nope2 = 1 WHERE nope3 = 1", "no such column: nope3"},
      {"SELECT count(nope1) FROM a JOIN b ON b.nope2 = 1 WHERE a.x = 1", "no such column: nope2"},
      {"SELECT count(nope1) FROM a GROUP BY nope2", "no such column: nope2"},
      {"SELECT sum(nope1), CASE WHEN k THEN 1 END FROM a GROUP BY x HAVING CASE WHEN y THEN 1 END",
       "no such column: nope1"},
      {"SELECT CASE WHEN k THEN 1 END, count(*) FROM a GROUP BY x HAVING CASE WHEN y THEN 1 END",
       "column \"y\" must appear in GROUP BY or an aggregate"},
      {"SELECT CASE WHEN a.k THEN 1 END, count(*) FROM a ORDER BY CASE WHEN y THEN 1 END",
       "column \"k\" must appear in GROUP BY or an aggregate"},
      {"SELECT CASE WHEN k THEN 1 END, count(*) FROM a GROUP BY k", "none"},
      {"SELECT count(*) FROM a ORDER BY CASE WHEN y THEN 1 END LIMIT 'x'",
       "column \"y\" must appear in GROUP BY or an aggregate"},
      {"SELECT count(*) FROM a LIMIT 'x'", "LIMIT must be a constant integer"},
      {"SELECT count(*) FROM a LIMIT 1 OFFSET 'x'", "LIMIT must be a constant integer"},
      {"SELECT sum(count(*)) FROM a", "aggregate functions are not allowed here"},
      {"SELECT CASE WHEN count(*) > 1 THEN 'many' END FROM a",
       "aggregate functions are not allowed here"},
      {"SELECT count(*) AS n FROM a GROUP BY x ORDER BY n", "no such column: n"},
      {"SELECT count(*) AS n FROM a GROUP BY x ORDER BY count(*) DESC", "none"},
      {"SELECT nosuch(x), count(*) FROM a GROUP BY x", "unknown function NOSUCH"},
      {"SELECT (SELECT b.x FROM b WHERE b.id = a.x), count(*) FROM a",
       "subquery/IN not supported in this position"},
      {"SELECT count(*) FROM a GROUP BY x HAVING x IN (1, 2)",
       "subquery/IN not supported in this position"},
      {"SELECT count(*) FROM a WHERE (SELECT b.x FROM b WHERE b.id = a.x) > 1", "none"},
      {"SELECT max(x) LIKE 'a%', CASE WHEN sum(x) > 10 THEN 'big' END FROM a", "none"},
      {"SELECT * FROM a GROUP BY x", "none"},
      // Joins: an ON condition may only read its own level and those outside
      // it, after names resolve as usual.
      {"SELECT a.id FROM a JOIN b ON b.x = c.x JOIN c ON c.x = a.x",
       "ON condition refers to a table joined after it: c"},
      {"SELECT a.id FROM a JOIN b ON b.id = C2.x JOIN c AS c2 ON c2.x = a.x",
       "ON condition refers to a table joined after it: c2"},
      {"SELECT a.id FROM a LEFT JOIN b ON b.x = a.x AND c.id > 0 JOIN c ON c.x = a.x",
       "ON condition refers to a table joined after it: c"},
      {"SELECT a.id FROM a JOIN b ON b.x = (SELECT count(*) FROM a AS q WHERE q.k = c.x) "
       "JOIN c ON 1",
       "ON condition refers to a table joined after it: c"},
      {"SELECT count(*) FROM a JOIN b ON b.z = c.x JOIN c ON c.x = a.x",
       "ON condition refers to a table joined after it: c"},
      {"SELECT a.id FROM a JOIN b ON id = c.x JOIN c ON 1", "ambiguous column: id"},
      {"SELECT a.id FROM a JOIN b ON rowid = 1", "ambiguous rowid; qualify it with a table"},
      {"SELECT a.id FROM a JOIN b ON b.x = a.x JOIN c ON c.x = b.x", "none"},
  };
  for (const Case& c : cases) {
    auto p = db_.compile(c.sql);
    EXPECT_EQ(p ? "none" : p.error().text(), c.error) << c.sql;
    if (!p) {
      EXPECT_EQ(p.error().kind(), Error::Kind::Exec) << c.sql;
    }
  }
}

}  // namespace
}  // namespace vbk
