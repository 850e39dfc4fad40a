// Data-changing programs run on a real database: their effects, and that no
// failing statement leaves a half-written row behind (every index agrees
// with its table after each step, inside one transaction).

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/sql_db.h"

namespace vbk {
namespace {

std::string dump(const std::vector<vdbe::Row>& rows) {
  std::string s;
  for (const auto& r : rows) {
    for (const Value& v : r) s += v.debug() + " ";
    s += "\n";
  }
  return s;
}

struct Step {
  const char* sql;
  const char* error;  // nullptr: succeeds; "": fails with any constraint error
  uint64_t changes;
};

// One transaction: failing statements keep the rows written before the
// failing row, and never a part of that row.
TEST(DmlRun, FailingStatementsLeaveNoHalfWrittenRow) {
  testing::SqlDb db;
  db.schema(
      "CREATE TABLE t (id INTEGER PRIMARY KEY, u INT UNIQUE, v TEXT NOT NULL, w TEXT);"
      "CREATE INDEX t_v ON t (v);"
      "CREATE UNIQUE INDEX t_wv ON t (w, v);");
  const std::string grow = "'" + std::string(600, 'g') + "'";
  const std::string grow_then_clash = "UPDATE t SET w = " + grow +
                                      ", u = CASE WHEN rowid = 4 THEN 1 ELSE u END";
  const Step steps[] = {
      {"INSERT INTO t VALUES (1, 1, 'a', 'x'), (2, 2, 'b', 'y')", nullptr, 2},
      {"INSERT INTO t (u, v) VALUES (3, 'c'), (1, 'd')", "UNIQUE constraint failed: t__u__unique", 0},
      {"INSERT INTO t (u, v) VALUES (4, 'e'), (5, NULL)", "NOT NULL constraint failed: v", 0},
      {"INSERT INTO t (id, u, v) VALUES (1, 9, 'z')", "", 0},
      // The second row clashes only in the second UNIQUE index: its table
      // row and its first entries are never written.
      {"INSERT INTO t (u, v, w) VALUES (6, 'f', 'x'), (7, 'a', 'x')", "UNIQUE constraint failed: t_wv", 0},
      {"UPDATE t SET u = u + 10 WHERE u < 3", nullptr, 2},
      // Row 1 takes u = 1, row 2 clashes with it and keeps its entries.
      {"UPDATE t SET u = 1", "UNIQUE constraint failed: t__u__unique", 0},
      // Rows 1 to 3 grow past their place and are queued; row 4 clashes.
      {grow_then_clash.c_str(), "UNIQUE constraint failed: t__u__unique", 0},
      {"UPDATE t SET id = id + 1", "cannot change the rowid through column id", 0},
      {"UPDATE t SET id = NULL WHERE id = 2", "cannot change the rowid through column id", 0},
      {"UPDATE t SET id = id, v = 'q' WHERE id = 2", nullptr, 1},
      {"UPDATE t SET id = '2' WHERE id = 2", nullptr, 1},
      {"UPDATE t SET v = NULL WHERE id = 3", "NOT NULL constraint failed: v", 0},
      {"DELETE FROM t WHERE u > 5", nullptr, 2},
  };
  db.begin();
  for (const Step& s : steps) {
    SCOPED_TRACE(s.sql);
    auto r = db.run(s.sql);
    if (s.error == nullptr) {
      ASSERT_TRUE(r.has_value()) << r.error().display();
      EXPECT_EQ(r->changes, s.changes);
    } else {
      ASSERT_FALSE(r.has_value());
      EXPECT_EQ(r.error().kind(), Error::Kind::Constraint);
      if (*s.error != '\0') {
        EXPECT_EQ(r.error().text(), s.error);
      }
    }
    EXPECT_EQ(db.integrity(), std::vector<std::string>{});
  }
  const char* kFinal =
      "Int(1) Int(1) Text(\"a\") Int(600) \n"
      "Int(3) Int(3) Text(\"c\") Int(600) \n"
      "Int(4) Int(4) Text(\"e\") Null \n";
  EXPECT_EQ(dump(db.must_run("SELECT id, u, v, length(w) FROM t").rows), kFinal);
  db.commit();
  EXPECT_EQ(db.integrity(), std::vector<std::string>{});
  EXPECT_EQ(dump(db.must_run("SELECT id, u, v, length(w) FROM t").rows), kFinal);
}

TEST(DmlRun, InsertIgnoreSkipsWholeRows) {
  testing::SqlDb db;
  db.schema("CREATE TABLE t (id INTEGER PRIMARY KEY, u TEXT UNIQUE, v INT);");
  auto r = db.must_run(
      "INSERT IGNORE INTO t VALUES (1, 'a', 1), (2, 'a', 2), (1, 'b', 3), (3, NULL, 4), "
      "(4, NULL, 5), (5, 'c', 6)");
  EXPECT_EQ(r.changes, 3u);
  EXPECT_EQ(r.last_rowid, 5);
  EXPECT_EQ(dump(db.must_run("SELECT id, u, v FROM t").rows),
            "Int(1) Text(\"a\") Int(1) \nInt(3) Null Int(4) \nInt(5) Text(\"c\") Int(6) \n");
  EXPECT_EQ(db.integrity(), std::vector<std::string>{});
}

TEST(DmlRun, InsertValuesDefaultsAndAffinity) {
  testing::SqlDb db;
  db.schema(
      "CREATE TABLE t (id INTEGER PRIMARY KEY, n INT DEFAULT 7, r REAL, s TEXT DEFAULT 'z');");
  // A Blob default (only a schema row can hold one) is loaded as it is.
  db.create_table("b", {Column{"x", "", false, false, Value::Blob({1, 2})}, Column{"y", "", false, false, {}}},
                  std::nullopt);
  struct Case {
    const char* sql;
    const char* rows;  // of SELECT * afterwards, or the error
  };
  const Case cases[] = {
      {"INSERT INTO t (id, r) VALUES ('12', '1.5')", "Int(12) Int(7) Real(1.5) Text(\"z\") \n"},
      {"INSERT INTO t (n, s) VALUES (' 42 ', NULL)", "Int(13) Int(42) Null Null \n"},
      {"INSERT INTO t (ID, id) VALUES (1, 2)", "Int(2) Int(7) Null Text(\"z\") \n"},
      {"INSERT INTO t (id) VALUES (NULL)", "expected an integer, found Null"},
      {"INSERT INTO t (id) VALUES (12.0)", "expected an integer, found Real(12.0)"},
      {"INSERT INTO b (y) VALUES (1)", "Blob([1, 2]) Int(1) \n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.sql);
    auto r = db.run(c.sql);
    std::string got;
    if (!r) {
      got = r.error().text();
    } else {
      std::string table = std::string(c.sql).find("INTO b") != std::string::npos ? "b" : "t";
      auto rows = db.must_run("SELECT * FROM " + table + " WHERE rowid = " +
                              std::to_string(r->last_rowid));
      got = dump(rows.rows);
    }
    EXPECT_EQ(got, c.rows);
  }
}

TEST(DmlRun, UpdateAndDeleteEffects) {
  testing::SqlDb db;
  db.schema(
      "CREATE TABLE n (id INTEGER PRIMARY KEY, a INT, b INT);"
      "CREATE TABLE x (id INTEGER PRIMARY KEY, a INT, b INT); CREATE INDEX x_a ON x (a);");
  for (const char* t : {"n", "x"}) {
    SCOPED_TRACE(t);
    std::string T = t;
    db.must_run("INSERT INTO " + T + " (a, b) VALUES (1, 10), (2, 20), (3, 30), (4, 40), (5, 50)");
    EXPECT_EQ(db.must_run("UPDATE " + T + " SET a = b, b = a WHERE rowid >= 4").changes, 2u);
    EXPECT_EQ(db.must_run("UPDATE " + T + " SET a = 1, a = 2 WHERE a = 20").changes, 0u);
    EXPECT_EQ(db.must_run("UPDATE " + T + " SET a = '7' WHERE id = 1").changes, 1u);
    EXPECT_EQ(dump(db.must_run("SELECT a, b FROM " + T).rows),
              "Int(7) Int(10) \nInt(2) Int(20) \nInt(3) Int(30) \nInt(40) Int(4) \nInt(50) Int(5) \n");
    EXPECT_EQ(db.must_run("DELETE FROM " + T + " WHERE rowid > 9223372036854775807").changes, 0u);
    EXPECT_EQ(db.must_run("DELETE FROM " + T + " WHERE 3 < rowid").changes, 2u);
    EXPECT_EQ(db.must_run("DELETE FROM " + T + " WHERE a = 2").changes, 1u);
    EXPECT_EQ(dump(db.must_run("SELECT id FROM " + T).rows), "Int(1) \nInt(3) \n");
    EXPECT_EQ(db.must_run("DELETE FROM " + T).changes, 2u);
    EXPECT_EQ(db.must_run("SELECT count(*) FROM " + T).rows[0][0].debug(), "Int(0)");
    EXPECT_EQ(db.integrity(), std::vector<std::string>{});
  }
}

TEST(DmlRun, NamesThatMeanTheRowid) {
  testing::SqlDb db;
  db.schema(
      "CREATE TABLE r (`rowid` INT, a INT); CREATE INDEX r_rowid ON r (`rowid`);"
      "CREATE TABLE `Ärger` (x INT);");
  // The declared column holds 100 - rowid; rowid still means the rowid, for
  // lookups, scan starts and the index choice alike.
  for (int i = 1; i <= 20; ++i) {
    db.must_run("INSERT INTO r VALUES (" + std::to_string(100 - i) + ", " + std::to_string(i) + ")");
  }
  EXPECT_EQ(db.must_run("SELECT a FROM r WHERE rowid > 18").rows.size(), 2u);
  EXPECT_EQ(db.must_run("SELECT a FROM r WHERE rowid < 3").rows.size(), 2u);
  EXPECT_EQ(dump(db.must_run("SELECT a FROM r WHERE rowid = 5").rows), "Int(5) \n");
  EXPECT_EQ(dump(db.must_run("SELECT a FROM r WHERE rowid = 5 AND a > 0").rows), "Int(5) \n");
  db.must_run("INSERT INTO `Ärger` VALUES (1)");
  EXPECT_EQ(dump(db.must_run("SELECT * FROM `Ärger`").rows), "Int(1) \n");
  EXPECT_EQ(dump(db.must_run("SELECT `ärger`.x FROM `Ärger` WHERE ÄRGER.rowid = 1").rows), "Int(1) \n");
}

}  // namespace
}  // namespace vbk
