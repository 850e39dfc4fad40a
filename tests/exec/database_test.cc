#include "exec/database.h"

#include <gtest/gtest.h>

#include "exec/exec_util.h"
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

// A failed commit of an automatic transaction is rolled back: the next
// statement runs in a transaction of its own and commits.
TEST(DatabaseFaultTest, TheStatementAfterAFailedAutomaticCommitCommits) {
  testing::TempDir dir;
  const std::string path = dir.file("db");
  FaultVfs vfs(OsVfs::instance());
  Database db = must(Database::open(path, vfs));
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

// A failed explicit COMMIT is the caller's to retry or roll back; ROLLBACK
// then brings the schema back.
TEST(DatabaseFaultTest, AFailedExplicitCommitKeepsTheTransaction) {
  testing::TempDir dir;
  const std::string path = dir.file("db");
  FaultVfs vfs(OsVfs::instance());
  Database db = must(Database::open(path, vfs));
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

}  // namespace
}  // namespace vbk
