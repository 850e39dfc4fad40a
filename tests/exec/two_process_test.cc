// Two processes on one database file, each with its own handle, stepping in
// turn through pipes (never through sleeps): the file locks and the
// detection of each other's commits are all they share.

#include <gtest/gtest.h>

#include "exec/database.h"
#include "exec/exec_util.h"
#include "support/crash.h"
#include "support/must.h"
#include "support/temp_dir.h"

namespace vbk {
namespace {

using testing::integrity_problems;
using testing::must;
using testing::Pipe;
using testing::run;

// Child exit codes: 0 success; others name the step that went wrong.
int child_fails(int code) { return code; }

class TwoProcessTest : public ::testing::Test {
 protected:
  // Makes the file with `sql` through a handle that is closed again, so that
  // no descriptor of the parent's is inherited by a child.
  void make(std::string_view sql) {
    Database db = must(Database::open(path_));
    run(db, sql);
  }

  testing::TempDir dir_;
  std::string path_ = dir_.file("shared.db");
};

// Automatic transactions of two processes interleave row by row; each sees
// the other's rows when it takes the next rowid.
TEST_F(TwoProcessTest, InterleavedAutocommitWrites) {
  constexpr int kRounds = 40;
  make("CREATE TABLE t (id INTEGER PRIMARY KEY, who INT, n INT UNIQUE)");
  Pipe to_child, to_parent;
  const pid_t pid = testing::start_child([&] {
    to_child.close_write();
    to_parent.close_read();
    Database db = must(Database::open(path_));
    for (int i = 0; i < kRounds; ++i) {
      if (!to_child.receive()) return child_fails(2);
      const std::string sql = "INSERT INTO t (who, n) VALUES (2, " + std::to_string(2 * i + 1) + ")";
      if (!db.execute(sql)) return child_fails(3);
      to_parent.send();
    }
    return 0;
  });
  to_child.close_read();
  to_parent.close_write();
  Database db = must(Database::open(path_));
  for (int i = 0; i < kRounds; ++i) {
    run(db, "INSERT INTO t (who, n) VALUES (1, " + std::to_string(2 * i) + ")");
    to_child.send();
    ASSERT_TRUE(to_parent.receive());
  }
  const testing::ChildExit exit = testing::wait_child(pid);
  ASSERT_TRUE(exit.exited && exit.code == 0) << exit.describe();
  const std::vector<vdbe::Row> rows = testing::rows(db, "SELECT id, who, n FROM t");
  ASSERT_EQ(rows.size(), size_t{2 * kRounds});
  for (size_t i = 0; i < rows.size(); ++i) {
    EXPECT_EQ(rows[i][0].as_int(), static_cast<int64_t>(i + 1));
    EXPECT_EQ(rows[i][1].as_int(), i % 2 == 0 ? 1 : 2);
    EXPECT_EQ(rows[i][2].as_int(), static_cast<int64_t>(i));
  }
  EXPECT_TRUE(integrity_problems(db).empty());
}

// In journal mode a reader waits for the writer's transaction: the SELECT
// that the child starts while the parent's transaction is open returns
// what the parent committed.
TEST_F(TwoProcessTest, AReaderWaitsForTheWriterInJournalMode) {
  make("CREATE TABLE t (a INT); INSERT INTO t VALUES (1)");
  Pipe opened, go, reading;
  const pid_t pid = testing::start_child([&] {
    opened.close_read();
    go.close_write();
    reading.close_read();
    Database db = must(Database::open(path_));
    opened.send();
    if (!go.receive()) return child_fails(2);
    reading.send();
    Result<std::vector<ExecResult>> r = db.execute("SELECT count(*) FROM t");
    if (!r) return child_fails(3);
    const int64_t count = r->back().as<ExecResult::Rows>().rows.at(0).at(0).as_int();
    return count == 3 ? 0 : child_fails(10 + static_cast<int>(count));
  });
  opened.close_write();
  go.close_read();
  reading.close_write();
  ASSERT_TRUE(opened.receive());
  Database db = must(Database::open(path_));
  run(db, "BEGIN; INSERT INTO t VALUES (2), (3)");
  go.send();
  ASSERT_TRUE(reading.receive());
  run(db, "COMMIT");
  const testing::ChildExit exit = testing::wait_child(pid);
  EXPECT_TRUE(exit.exited && exit.code == 0) << exit.describe();
}

// A handle opened before another's CREATE INDEX maintains the new index
// when it writes afterwards, and honours its uniqueness.
TEST_F(TwoProcessTest, RowsInsertedAfterAnotherHandlesCreateIndexAreIndexed) {
  make("CREATE TABLE t (id INTEGER PRIMARY KEY, a INT, b INT); INSERT INTO t (a, b) VALUES (1, 1), (2, 2)");
  Pipe ready, go;
  const pid_t pid = testing::start_child([&] {
    ready.close_read();
    go.close_write();
    Database db = must(Database::open(path_));
    // Read under the schema of the moment, then wait for the other's index.
    if (!db.execute("SELECT a FROM t")) return child_fails(2);
    ready.send();
    if (!go.receive()) return child_fails(3);
    for (int i = 3; i <= 50; ++i) {
      if (!db.execute("INSERT INTO t (a, b) VALUES (" + std::to_string(i) + ", 0)")) {
        return child_fails(4);
      }
    }
    Result<std::vector<ExecResult>> dup = db.execute("INSERT INTO t (a, b) VALUES (7, 0)");
    if (dup || dup.error().kind() != Error::Kind::Constraint) return child_fails(5);
    if (!integrity_problems(db).empty()) return child_fails(6);
    return 0;
  });
  ready.close_write();
  go.close_read();
  ASSERT_TRUE(ready.receive());
  {
    Database db = must(Database::open(path_));
    run(db, "CREATE UNIQUE INDEX t_a ON t (a); CREATE INDEX t_b ON t (b)");
  }
  go.send();
  const testing::ChildExit exit = testing::wait_child(pid);
  ASSERT_TRUE(exit.exited && exit.code == 0) << exit.describe();
  Database db = must(Database::open(path_));
  EXPECT_TRUE(integrity_problems(db).empty());
  EXPECT_EQ(testing::rows(db, "SELECT a FROM t WHERE a >= 1").size(), 50u);
}

// A prepared statement reads its subquery under the transaction of each run,
// so processes that race to bump a counter through one lose no bump, in
// either journal mode.
TEST_F(TwoProcessTest, APreparedSubqueryReadsUnderEachRunsTransaction) {
  constexpr int kRuns = 150;
  for (const bool wal : {false, true}) {
    SCOPED_TRACE(wal ? "write-ahead log" : "rollback journal");
    path_ = dir_.file(wal ? "counter-wal.db" : "counter.db");
    make(std::string(wal ? "PRAGMA journal_mode = WAL; " : "") +
         "CREATE TABLE c (id INTEGER PRIMARY KEY, n INT); INSERT INTO c VALUES (1, 0)");
    auto bump = [&]() -> int {
      Database db = must(Database::open(path_));
      Result<Prepared> stmt = db.prepare("UPDATE c SET n = (SELECT max(n) FROM c) + 1 WHERE id >= ?");
      if (!stmt) return child_fails(2);
      const Value zero = Value::Int(0);
      for (int i = 0; i < kRuns; ++i) {
        if (!db.execute_prepared(*stmt, std::span(&zero, 1))) return child_fails(3);
      }
      return 0;
    };
    const pid_t pid = testing::start_child(bump);
    EXPECT_EQ(bump(), 0);
    const testing::ChildExit exit = testing::wait_child(pid);
    ASSERT_TRUE(exit.exited && exit.code == 0) << exit.describe();
    Database db = must(Database::open(path_));
    EXPECT_EQ(testing::rows(db, "SELECT n FROM c")[0][0].as_int(), 2 * kRuns);
    EXPECT_TRUE(integrity_problems(db).empty());
  }
}

}  // namespace
}  // namespace vbk
