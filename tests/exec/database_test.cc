#include "exec/database.h"

#include <gtest/gtest.h>

#include "exec/dispatch.h"
#include "exec/exec_util.h"
#include "sql/parser.h"
#include "support/fault_vfs.h"
#include "support/must.h"
#include "support/temp_dir.h"
#include "vfs/os.h"

namespace vbk {
namespace {

using testing::FaultPlan;
using testing::FaultVfs;
using testing::FsOp;
using testing::integrity_problems;
using testing::must;
using testing::run;
using testing::schema_text;

// Every file operation but unlocking (a failed unlock keeps the lock, which
// would hold the checking handle off for ever).
constexpr FsOp kFailingOps[] = {FsOp::Open,  FsOp::Read,    FsOp::Write, FsOp::Size,
                                FsOp::Sync,  FsOp::SyncDir, FsOp::Lock,  FsOp::Truncate,
                                FsOp::Delete, FsOp::Exists};

// A schema statement that fails at any file operation, its commit included,
// leaves the handle outside any transaction, with the schema in memory equal
// to what a fresh handle reads from the file; the file passes the integrity
// check, and both handles go on working (no lock stays behind).
TEST(DatabaseFaultTest, AFailedSchemaStatementLeavesMemoryEqualToTheFile) {
  const char* statements[] = {
      "CREATE TABLE t (a INT UNIQUE, b TEXT, KEY (b))",
      "ALTER TABLE base ADD COLUMN c INT UNIQUE",
      "DROP TABLE base",
      "CREATE UNIQUE INDEX base_a ON base (a)",
  };
  for (const char* stmt : statements) {
    for (FsOp op : kFailingOps) {
      for (uint64_t at = 1;; ++at) {
        SCOPED_TRACE(::testing::Message() << stmt << " op " << static_cast<int>(op) << " at " << at);
        testing::TempDir dir;
        const std::string path = dir.file("db");
        FaultVfs vfs(OsVfs::instance());
        Database db = must(Database::open(path, vfs));
        run(db, "CREATE TABLE base (a INT, b TEXT); CREATE INDEX base_b ON base (b)");
        vfs.arm(FaultPlan::fail(at).on(op));
        const bool ok = db.execute(stmt).has_value();
        const bool fired = vfs.fired();
        vfs.disarm();
        EXPECT_TRUE(ok || fired);
        EXPECT_FALSE(db.pager().in_tx());
        Database fresh = must(Database::open(path));
        EXPECT_EQ(schema_text(db.catalog()), schema_text(fresh.catalog()));
        EXPECT_TRUE(integrity_problems(fresh).empty());
        run(fresh, "CREATE TABLE by_fresh (a INT)");
        run(db, "CREATE TABLE by_first (a INT); DROP TABLE IF EXISTS by_fresh");
        if (!fired) break;
      }
    }
  }
}

// One handle on a new file, over the fault-injecting file layer.
class FaultyHandleTest : public ::testing::Test {
 protected:
  testing::TempDir dir;
  const std::string path = dir.file("db");
  FaultVfs vfs{OsVfs::instance()};
  Database db = must(Database::open(path, vfs));
};

// A failed commit of an automatic transaction is rolled back: the next
// statement runs in a transaction of its own and commits.
TEST_F(FaultyHandleTest, TheStatementAfterAFailedAutomaticCommitCommits) {
  vfs.arm(FaultPlan::fail(1).on(FsOp::Sync));
  Result<std::vector<ExecResult>> failed = db.execute("CREATE TABLE lost (a INT)");
  vfs.disarm();
  ASSERT_FALSE(failed);
  EXPECT_EQ(failed.error().kind(), Error::Kind::Io);
  EXPECT_FALSE(db.pager().in_tx());
  EXPECT_EQ(db.catalog().get("lost"), nullptr);
  run(db, "CREATE TABLE kept (a INT)");
  Database fresh = must(Database::open(path));
  EXPECT_NE(fresh.catalog().get("kept"), nullptr);
  EXPECT_EQ(fresh.catalog().get("lost"), nullptr);
}

// Another handle replaced the schema, and this handle's reading of it fails
// at some file read: the next statement, with the file readable again, still
// reads the schema, so that the new table is seen and nothing is written
// into the old table's pages.
TEST_F(FaultyHandleTest, AFailedReadingOfAnotherHandlesSchemaIsTriedAgain) {
  bool fired = true;
  for (uint64_t at = 1; fired; ++at) {
    SCOPED_TRACE(at);
    const std::string file = dir.file("replaced" + std::to_string(at));
    Database mine = must(Database::open(file, vfs));
    run(mine, "CREATE TABLE t (a INT)");
    {
      Database other = must(Database::open(file));
      run(other, "DROP TABLE t; CREATE TABLE u (b INT); INSERT INTO u VALUES (1)");
    }
    vfs.arm(FaultPlan::fail(at).on(FsOp::Read));
    (void)mine.execute("SELECT * FROM t");
    fired = vfs.fired();
    vfs.disarm();
    EXPECT_EQ(testing::rows(mine, "SELECT b FROM u").size(), 1u);
    Result<std::vector<ExecResult>> insert = mine.execute("INSERT INTO t VALUES (2)");
    ASSERT_FALSE(insert);
    EXPECT_EQ(insert.error().display(), "execution error: no such table: t");
    EXPECT_TRUE(integrity_problems(mine).empty());
  }
}

// A failed explicit COMMIT is the caller's to retry or roll back; ROLLBACK
// then brings the schema back.
TEST_F(FaultyHandleTest, AFailedExplicitCommitKeepsTheTransaction) {
  run(db, "BEGIN; CREATE TABLE t (a INT)");
  vfs.arm(FaultPlan::fail(1).on(FsOp::Sync));
  EXPECT_FALSE(db.execute("COMMIT"));
  vfs.disarm();
  EXPECT_TRUE(db.pager().in_tx());
  EXPECT_TRUE(db.in_explicit_tx());
  run(db, "ROLLBACK");
  EXPECT_EQ(db.catalog().get("t"), nullptr);
  Database fresh = must(Database::open(path));
  EXPECT_EQ(schema_text(db.catalog()), schema_text(fresh.catalog()));
}

// The rows of every table, in rowid order, as one comparable text.
std::string contents(Database& db, std::initializer_list<const char*> tables) {
  std::string out;
  for (const char* t : tables) {
    for (const vdbe::Row& row : testing::rows(db, std::string("SELECT * FROM ") + t)) {
      for (const Value& v : row) out += v.debug() + " ";
      out += "\n";
    }
  }
  return out;
}

// An I/O error in the middle of a statement inside BEGIN (here a read of a
// page that the cache does not hold) may leave rows without their index
// entries: the transaction is rolled back whole, COMMIT then has nothing to
// commit, and the file holds the state before BEGIN.
TEST(DatabaseFaultTest, AnIoErrorMidStatementInsideBeginRollsTheTransactionBack) {
  const char* statements[] = {
      "UPDATE t SET a = a + 1000, b = upper(b) WHERE id % 3 = 0",
      "INSERT INTO t (a, b) VALUES (5000, 'p'), (5001, 'q'), (5002, 'r')",
      "DELETE FROM t WHERE id > 100",
  };
  for (const char* stmt : statements) {
    for (uint64_t at = 1;; ++at) {
      SCOPED_TRACE(::testing::Message() << stmt << " read " << at);
      testing::TempDir dir;
      const std::string path = dir.file("db");
      std::string before;
      {
        Database db = must(Database::open(path));
        run(db, "CREATE TABLE t (id INTEGER PRIMARY KEY, a INT UNIQUE, b TEXT); CREATE INDEX t_b ON t (b)");
        Prepared ins = must(db.prepare("INSERT INTO t (a, b) VALUES (?, ?)"));
        run(db, "BEGIN");
        for (int i = 0; i < 300; ++i) {
          const Value values[] = {Value::Int(i), Value::Text(std::string(40, static_cast<char>('a' + i % 26)))};
          must(db.execute_prepared(ins, values));
        }
        run(db, "COMMIT");
        before = contents(db, {"t"});
      }
      // A fresh handle reads every table page from the file.
      FaultVfs vfs(OsVfs::instance());
      Database db = must(Database::open(path, vfs));
      run(db, "BEGIN; INSERT INTO t (a, b) VALUES (-1, 'first')");
      vfs.arm(FaultPlan::fail(at).on(FsOp::Read));
      Result<std::vector<ExecResult>> r = db.execute(stmt);
      const bool fired = vfs.fired();
      vfs.disarm();
      if (!fired) {
        ASSERT_TRUE(r) << r.error().display();
        run(db, "ROLLBACK");
        break;
      }
      ASSERT_FALSE(r);
      EXPECT_EQ(r.error().kind(), Error::Kind::Io);
      EXPECT_FALSE(db.pager().in_tx());
      EXPECT_FALSE(db.in_explicit_tx());
      EXPECT_EQ(testing::run_error(db, "COMMIT"), "transaction error: no active transaction to commit");
      EXPECT_EQ(contents(db, {"t"}), before);
      Database fresh = must(Database::open(path));
      EXPECT_EQ(contents(fresh, {"t"}), before);
      EXPECT_TRUE(integrity_problems(fresh).empty());
    }
  }
}

// A prepared statement's automatic commit that fails is rolled back too:
// the handle is outside any transaction, the row is gone, and the next run
// commits in a transaction of its own.
TEST_F(FaultyHandleTest, AFailedCommitOfAPreparedRunIsRolledBack) {
  run(db, "CREATE TABLE t (a INT)");
  Prepared ins = must(db.prepare("INSERT INTO t VALUES (?)"));
  const Value one[] = {Value::Int(1)};
  const Value two[] = {Value::Int(2)};
  vfs.arm(FaultPlan::fail(1).on(FsOp::Sync));
  Result<ExecResult> failed = db.execute_prepared(ins, one);
  vfs.disarm();
  ASSERT_FALSE(failed);
  EXPECT_EQ(failed.error().kind(), Error::Kind::Io);
  EXPECT_FALSE(db.pager().in_tx());
  EXPECT_EQ(must(db.execute_prepared_dml(ins, two)), 1u);
  Database fresh = must(Database::open(path));
  EXPECT_EQ(contents(fresh, {"t"}), "Int(2) \n");
}

// Subqueries nested as deep as the parser allows fold level by level (each
// level runs its own subquery first) within the stack, sanitizers included.
TEST(DatabaseTest, SubqueriesNestedToTheParsersBoundRun) {
  testing::TempDir dir;
  Database db = must(Database::open(dir.file("db")));
  auto nested = [](int depth) {
    std::string sql = "SELECT ";
    for (int i = 0; i < depth; ++i) sql += "(SELECT ";
    sql += "1";
    for (int i = 0; i < depth; ++i) sql += ")";
    return sql;
  };
  int depth = parser::kMaxNestingDepth;
  while (depth > 0 && !parser::parse(nested(depth))) --depth;
  ASSERT_GT(depth, parser::kMaxNestingDepth / 4);
  const std::vector<vdbe::Row> result = testing::rows(db, nested(depth));
  ASSERT_EQ(result.size(), 1u);
  EXPECT_EQ(result[0][0].debug(), "Int(1)");
  EXPECT_FALSE(db.execute(nested(depth + 1)));
  Prepared prepared = must(db.prepare(nested(depth)));
  run(db, "CREATE TABLE t (a INT)");  // the next run compiles it again
  const ExecResult again = must(db.execute_prepared(prepared, {}));
  EXPECT_EQ(again.as<ExecResult::Rows>().rows.at(0).at(0).debug(), "Int(1)");
}

// An IN list of a hundred thousand values becomes a chain as long, which
// every stage walks without recursion: in a SELECT, an UPDATE and a DELETE.
TEST(DatabaseTest, AHundredThousandValueInListRuns) {
  testing::TempDir dir;
  Database db = must(Database::open(dir.file("db")));
  run(db, "CREATE TABLE t (id INTEGER PRIMARY KEY, a INT); INSERT INTO t (a) VALUES (5), (150000), (99999), (-1)");
  std::string list;
  for (int i = 0; i < 100000; ++i) list += (i ? "," : "") + std::to_string(i);
  const std::vector<vdbe::Row> found = testing::rows(db, "SELECT id FROM t WHERE a IN (" + list + ")");
  ASSERT_EQ(found.size(), 2u);
  EXPECT_EQ(found[0][0].as_int(), 1);
  EXPECT_EQ(found[1][0].as_int(), 3);
  EXPECT_EQ(run(db, "UPDATE t SET a = 0 WHERE a NOT IN (" + list + ")")[0].as<ExecResult::Affected>().count, 2u);
  EXPECT_EQ(run(db, "DELETE FROM t WHERE a IN (" + list + ")")[0].as<ExecResult::Affected>().count, 4u);
}

TEST(DatabaseTest, ScriptsReturnOneResultPerStatementOrTheFirstError) {
  testing::TempDir dir;
  Database db = must(Database::open(dir.file("db")));
  EXPECT_TRUE(run(db, "").empty());
  EXPECT_TRUE(run(db, ";;").empty());
  EXPECT_EQ(run(db, "CREATE TABLE a (x INT); CREATE TABLE b (x INT)").size(), 2u);
  // The parse error runs nothing; the failing statement ends the script but
  // the statements before it keep their effect.
  EXPECT_EQ(testing::run_error(db, "CREATE TABLE c (x INT); CREATE TABLE"),
            "parse error at byte 36: expected identifier, found Eof");
  EXPECT_EQ(db.catalog().get("c"), nullptr);
  EXPECT_EQ(testing::run_error(db, "CREATE TABLE c (x INT); CREATE TABLE a (y INT); CREATE TABLE d (x INT)"),
            "schema error: table \"a\" already exists");
  EXPECT_NE(db.catalog().get("c"), nullptr);
  EXPECT_EQ(db.catalog().get("d"), nullptr);
}

// CREATE TABLE refuses two columns of one name, but the catalog stores any
// list: a file that holds such a table opens, writes and reads as it did
// before the refusal existed, each name reading the first column of that
// name (`*` included).
TEST(DatabaseTest, AStoredTableWithTwoColumnsOfOneNameStillOpensAndReads) {
  testing::TempDir dir;
  const std::string path = dir.file("db");
  {
    Pager pager = must(Pager::create(OsVfs::instance(), path, 4096));
    Catalog catalog = must(Catalog::open(pager));
    must(pager.begin());
    std::vector<Column> columns = {{"id", "INTEGER", true, false, {}},
                                   {"c", "INT", false, false, {}},
                                   {"c", "TEXT", false, false, {}},
                                   {"C", "REAL", false, false, {}}};
    must(catalog.create_table(pager, "w", std::move(columns), 0));
    must(catalog.create_index(pager, "w_c", "w", {"C"}, false));
    must(pager.commit());
  }
  auto row_text = [](Database& db, std::string_view sql) {
    std::string text;
    for (const vdbe::Row& row : testing::rows(db, sql)) {
      for (const Value& v : row) text += v.debug() + " ";
      text += "/ ";
    }
    return text;
  };
  for (int round = 0; round < 2; ++round) {
    SCOPED_TRACE(round == 0 ? "first open" : "reopened");
    Database db = must(Database::open(path));
    const TableDef* w = db.catalog().get("w");
    ASSERT_NE(w, nullptr);
    EXPECT_EQ(w->columns.size(), 4u);
    if (round == 0) run(db, "INSERT INTO w VALUES (5, 1, 'two', 3.5)");
    EXPECT_EQ(row_text(db, "SELECT * FROM w"), "Int(5) Int(1) Int(1) Int(1) / ");
    EXPECT_EQ(row_text(db, "SELECT id, C FROM w WHERE c = 1"), "Int(5) Int(1) / ");
    EXPECT_TRUE(integrity_problems(db).empty());
    EXPECT_EQ(testing::run_error(db, "CREATE TABLE w2 (c INT, C INT)"),
              "schema error: duplicate column name: C");
  }
}

TEST(DatabaseTest, PrepareRefusesWhatItCannotRun) {
  testing::TempDir dir;
  Database db = must(Database::open(dir.file("db")));
  struct Case {
    const char* sql;
    const char* error;
  };
  const Case cases[] = {
      {"", "execution error: prepare expects exactly one statement"},
      {";", "execution error: prepare expects exactly one statement"},
      {"SELECT 1; SELECT 2", "execution error: prepare expects exactly one statement"},
      {"BEGIN", "execution error: only SELECT/INSERT/UPDATE/DELETE can be prepared"},
      {"CREATE TABLE t (a INT)", "execution error: only SELECT/INSERT/UPDATE/DELETE can be prepared"},
      {"PRAGMA journal_mode", "execution error: only SELECT/INSERT/UPDATE/DELETE can be prepared"},
      {"SELECT 1 UNION SELECT 2", "execution error: UNION queries cannot be prepared"},
      {"REPLACE INTO t VALUES (1)",
       "execution error: only plain INSERT \u2026 VALUES can be prepared (not REPLACE / ON "
       "DUPLICATE / INSERT\u2026SELECT)"},
      {"INSERT INTO t SELECT 1",
       "execution error: only plain INSERT \u2026 VALUES can be prepared (not REPLACE / ON "
       "DUPLICATE / INSERT\u2026SELECT)"},
      {"INSERT INTO t VALUES (1) ON DUPLICATE KEY UPDATE a = 2",
       "execution error: only plain INSERT \u2026 VALUES can be prepared (not REPLACE / ON "
       "DUPLICATE / INSERT\u2026SELECT)"},
  };
  for (const Case& c : cases) {
    Result<Prepared> p = db.prepare(c.sql);
    ASSERT_FALSE(p) << c.sql;
    EXPECT_EQ(p.error().display(), c.error) << c.sql;
  }
}

// A subquery without correlation is folded to its value before the
// statement is compiled, so it reads the table as it was and leaves the
// program of the statement with that value written in: one pass.
TEST(DatabaseTest, AnUncorrelatedSubqueryOverTheOwnTableKeepsOnePass) {
  testing::TempDir dir;
  Database db = must(Database::open(dir.file("db")));
  run(db, "CREATE TABLE t (id INTEGER PRIMARY KEY, v INT); CREATE INDEX t_v ON t (v);"
          "INSERT INTO t VALUES (1, 5), (2, 9), (3, 9)");
  auto program = [&](std::string_view sql) {
    std::vector<Statement> stmts = must(parser::parse(sql));
    const Statement folded = must(db.fold_subqueries(std::move(stmts.at(0))));
    return must(exec::compile_statement(folded, db.catalog())).listing();
  };
  const char* pairs[][2] = {
      {"DELETE FROM t WHERE v = (SELECT max(v) FROM t)", "DELETE FROM t WHERE v = 9"},
      {"UPDATE t SET v = (SELECT max(v) FROM t) + 1 WHERE v < (SELECT max(v) FROM t)",
       "UPDATE t SET v = 9 + 1 WHERE v < 9"},
  };
  for (const auto& [folded, written] : pairs) EXPECT_EQ(program(folded), program(written)) << folded;
}

// In log mode a counter that keeps changing one row, beside a handle that
// reads it now and then and at times holds its read lock across dozens of
// commits: the log passes the threshold while the read lasts, is
// checkpointed after it, and never reaches the ceiling; the reader, a
// reopened handle and the integrity check all agree on the count.
TEST(DatabaseTest, ACounterBesideAReaderInLogModeStaysRight) {
  testing::TempDir dir;
  const std::string path = dir.file("counter.db");
  Database writer = must(Database::open(path));
  run(writer, "PRAGMA journal_mode = wal; CREATE TABLE c (id INTEGER PRIMARY KEY, n INT); "
              "INSERT INTO c VALUES (1, 0)");
  constexpr size_t kThreshold = 10;  // the ceiling: 100 frames
  writer.pager().set_checkpoint_threshold(kThreshold);
  Database reader = must(Database::open(path));
  const uint64_t frame = writer.pager().page_size() + 8;
  auto count = [](Database& db) { return testing::rows(db, "SELECT n FROM c")[0][0].as_int(); };
  uint64_t largest = 0;
  for (int i = 1; i <= 600; ++i) {
    if (i % 100 == 1) must(reader.pager().read_lock());  // held for 40 commits of two frames
    if (i % 100 == 41) must(reader.pager().read_unlock());
    run(writer, "UPDATE c SET n = n + 1 WHERE id = 1");
    largest = std::max<uint64_t>(largest, OsVfs::instance().open(path + "-wal", false).value()->size().value());
    if (i % 100 == 41) {
      EXPECT_GT(largest, kThreshold * frame) << "the commits gave way to the reader";
    }
    if (i % 100 == 50) {
      EXPECT_EQ(count(reader), i);
    }
  }
  EXPECT_LT(largest, 10 * kThreshold * frame);
  EXPECT_EQ(count(reader), 600);
  Database reopened = must(Database::open(path));
  EXPECT_EQ(count(reopened), 600);
  EXPECT_TRUE(integrity_problems(reopened).empty());
}

// An index build that fails late, on a key too long or on a duplicate,
// has written pages by then. Outside BEGIN its transaction rolls back and
// the file is as before; inside BEGIN the transaction goes on, no index and
// no row is changed, and at COMMIT the pages the build wrote stay in the
// file, unreachable and off the free list.
TEST(DatabaseTest, AFailedIndexBuildInsideBeginLeavesItsPagesUnreachable) {
  std::string long_rows = "INSERT INTO t VALUES ";
  for (int i = 0; i < 100; ++i) long_rows += "('" + std::to_string(1000 + i) + std::string(1496, 'x') + "'), ";
  long_rows += "('" + std::string(3000, 'y') + "')";
  std::string duplicate_last = "INSERT INTO t VALUES ";
  for (int i = 0; i < 3000; ++i) duplicate_last += "(" + std::to_string(i) + "), ";
  duplicate_last += "(5)";
  struct Case {
    const char* column;
    std::string rows;
    const char* build;
    const char* error;
    uint32_t at_least;  // pages the build writes before it fails
  };
  const Case cases[] = {
      {"TEXT", long_rows, "CREATE INDEX t_a ON t (a)",
       "execution error: index key too large (3011 bytes)", 40},
      {"INT", duplicate_last, "CREATE UNIQUE INDEX t_a ON t (a)",
       "constraint violation: UNIQUE constraint failed: duplicate value in t_a", 10},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.build);
    testing::TempDir dir;
    const std::string path = dir.file("db");
    Database db = must(Database::open(path));
    run(db, std::string("CREATE TABLE t (a ") + c.column + "); CREATE TABLE p (x INT)");
    run(db, c.rows);
    const std::string before = schema_text(db.catalog());
    const DbHeader committed = db.pager().header();

    EXPECT_EQ(testing::run_error(db, c.build), c.error);
    EXPECT_EQ(db.pager().header().page_count, committed.page_count);

    run(db, "BEGIN; INSERT INTO p VALUES (1)");
    EXPECT_EQ(testing::run_error(db, c.build), c.error);
    EXPECT_TRUE(db.pager().in_tx());
    run(db, "INSERT INTO p VALUES (2); COMMIT");
    EXPECT_GE(db.pager().header().page_count, committed.page_count + c.at_least);
    EXPECT_EQ(db.pager().header().freelist_count, committed.freelist_count);

    Database fresh = must(Database::open(path));
    EXPECT_EQ(schema_text(fresh.catalog()), before);
    EXPECT_EQ(testing::rows(fresh, "SELECT count(*) FROM p")[0][0].as_int(), 2);
    EXPECT_TRUE(integrity_problems(fresh).empty());
  }
}

}  // namespace
}  // namespace vbk
