// Pragmas where a SQL case cannot reach: an index damaged through its
// B-tree, a rebuild that meets a duplicate key, and the journal-mode switch
// and checkpoint of one process while another holds a write transaction.

#include <gtest/gtest.h>

#include "btree/btree.h"
#include "btree/index.h"
#include "btree/keyenc.h"
#include "exec/database.h"
#include "exec/exec_util.h"
#include "record/record.h"
#include "support/crash.h"
#include "support/fault_vfs.h"
#include "support/must.h"
#include "support/temp_dir.h"

namespace vbk {
namespace {

using testing::must;
using testing::Pipe;
using testing::run;

// The rows of a script's last result as texts (debug form).
std::vector<std::string> texts(Database& db, std::string_view sql) {
  std::vector<std::string> out;
  for (const vdbe::Row& row : testing::rows(db, sql)) {
    std::string line;
    for (const Value& v : row) line += (line.empty() ? "" : " | ") + v.debug();
    out.push_back(line);
  }
  return out;
}

class PragmaTest : public ::testing::Test {
 protected:
  // Runs `change` on the file's pages in a transaction of its own, past the
  // engine (as damage or an older writer would).
  template <typename F>
  void behind_the_engine(F change) {
    Pager& pager = db_.pager();
    must(pager.begin());
    change(pager, db_.catalog());
    must(pager.commit());
  }

  testing::TempDir dir_;
  std::string path_ = dir_.file("p.db");
  Database db_ = must(Database::open(path_));
};

// Damage made through the index B-tree shows as the catalog's problem rows;
// rebuilding the table's indexes mends it.
TEST_F(PragmaTest, IntegrityCheckReportsADamagedIndexAndReindexMendsIt) {
  run(db_, "CREATE TABLE t (id INTEGER PRIMARY KEY, a INT, b TEXT); CREATE INDEX t_a ON t (a); "
           "INSERT INTO t (a, b) VALUES (10, 'x'), (20, 'y'), (30, 'z')");
  EXPECT_EQ(texts(db_, "PRAGMA integrity_check"), std::vector<std::string>{"Text(\"ok\")"});
  behind_the_engine([](Pager& pager, const Catalog& catalog) {
    const IndexBTree index(pager, catalog.get_index("t_a")->root);
    // An entry for a row that does not exist, and one whose value is not
    // the row's.
    must(index.insert(keyenc::encode_index_key(std::vector<Value>{Value::Int(40)}, 99)));
    must(index.insert(keyenc::encode_index_key(std::vector<Value>{Value::Int(77)}, 2)));
  });
  EXPECT_EQ(texts(db_, "PRAGMA integrity_check"),
            (std::vector<std::string>{
                "Text(\"index t_a: orphaned entry for missing rowid 99\")",
                "Text(\"index t_a: stale entry for rowid 2\")",
                "Text(\"index t_a: 5 entries but table t has 3 rows\")",
            }));
  // Inside a transaction the check reads without a lock of its own.
  EXPECT_EQ(run(db_, "BEGIN; PRAGMA integrity_check; ROLLBACK")[1]
                .as<ExecResult::Rows>()
                .rows.size(),
            3u);
  EXPECT_EQ(texts(db_, "PRAGMA reindex = t"),
            std::vector<std::string>{"Text(\"rebuilt 1 index(es)\")"});
  EXPECT_EQ(texts(db_, "PRAGMA integrity_check"), std::vector<std::string>{"Text(\"ok\")"});
  EXPECT_EQ(texts(db_, "SELECT id FROM t WHERE a = 20"), std::vector<std::string>{"Int(2)"});
  EXPECT_TRUE(texts(db_, "SELECT id FROM t WHERE a = 77").empty());
}

// A duplicate key met while rebuilding a unique index fails the pragma.
// Outside a transaction everything it rebuilt is rolled back, inside one
// the transaction goes on with the indexes rebuilt before the failure; in
// both the schema in memory equals what a reopen reads.
TEST_F(PragmaTest, AReindexThatMeetsADuplicateLeavesTheCatalogAsTheFileHasIt) {
  run(db_, "CREATE TABLE t (id INTEGER PRIMARY KEY, a INT, b TEXT); CREATE INDEX t_b ON t (b); "
           "CREATE UNIQUE INDEX t_a ON t (a); INSERT INTO t (a, b) VALUES (1, 'x'), (2, 'y')");
  // A row stored past the indexes, whose a repeats row 1's.
  behind_the_engine([](Pager& pager, const Catalog& catalog) {
    const std::vector<Value> row{Value::Int(3), Value::Int(1), Value::Text("w")};
    must(BTree(pager, catalog.get("t")->root).insert(3, record::encode_record(row)));
  });
  const std::string before = testing::schema_text(db_.catalog());
  const char* const kDuplicate =
      "constraint violation: UNIQUE constraint failed: duplicate value rebuilding t_a";
  for (const char* sql : {"PRAGMA reindex = t", "PRAGMA reindex"}) {
    EXPECT_EQ(testing::run_error(db_, sql), kDuplicate) << sql;
    EXPECT_EQ(testing::schema_text(db_.catalog()), before) << sql;
    EXPECT_EQ(testing::schema_text(must(Database::open(path_)).catalog()), before) << sql;
    EXPECT_FALSE(db_.pager().in_tx());
  }

  run(db_, "BEGIN");
  EXPECT_EQ(testing::run_error(db_, "PRAGMA reindex = t"), kDuplicate);
  ASSERT_TRUE(db_.in_explicit_tx());
  // t_b was rebuilt before t_a failed: its new root is in the schema table
  // and in memory alike.
  const uint32_t new_b_root = db_.catalog().get_index("t_b")->root;
  Catalog as_the_file_has_it = db_.catalog();
  must(as_the_file_has_it.reload_locked(db_.pager()));
  EXPECT_EQ(testing::schema_text(db_.catalog()), testing::schema_text(as_the_file_has_it));
  EXPECT_NE(testing::schema_text(db_.catalog()), before);
  run(db_, "INSERT INTO t (a, b) VALUES (4, 'y'); COMMIT");
  const std::string committed = testing::schema_text(db_.catalog());
  {
    Database reopened = must(Database::open(path_));
    EXPECT_EQ(testing::schema_text(reopened.catalog()), committed);
    EXPECT_EQ(reopened.catalog().get_index("t_b")->root, new_b_root);
    EXPECT_EQ(texts(reopened, "SELECT id FROM t WHERE b = 'y' ORDER BY id"),
              (std::vector<std::string>{"Int(2)", "Int(4)"}));
  }
}

// An I/O error while reindex rebuilds (a read of a page that the cache does
// not hold) may leave pages half-written: outside a transaction the
// automatic one is rolled back, inside BEGIN the whole transaction is; in
// both the schema in memory is the file's and the indexes agree with it.
TEST(PragmaFaultTest, AnIoErrorInReindexRollsBackAndLeavesTheCatalogAsTheFileHasIt) {
  for (const bool in_begin : {false, true}) {
    for (uint64_t at = 1;; ++at) {
      SCOPED_TRACE(::testing::Message() << (in_begin ? "inside BEGIN" : "outside") << ", read " << at);
      testing::TempDir dir;
      const std::string path = dir.file("db");
      {
        Database db = must(Database::open(path));
        std::string sql = "CREATE TABLE t (id INTEGER PRIMARY KEY, a INT UNIQUE, b TEXT); "
                          "CREATE INDEX t_b ON t (b); BEGIN;";
        for (int i = 0; i < 200; ++i) {
          sql += "INSERT INTO t (a, b) VALUES (" + std::to_string(i) + ", '" +
                 std::string(30, static_cast<char>('a' + i % 26)) + "');";
        }
        run(db, sql + "COMMIT");
      }
      // A fresh handle reads every page from the file.
      testing::FaultVfs vfs(OsVfs::instance());
      Database db = must(Database::open(path, vfs));
      if (in_begin) run(db, "BEGIN; INSERT INTO t (a, b) VALUES (-1, 'pending')");
      vfs.arm(testing::FaultPlan::fail(at).on(testing::FsOp::Read));
      Result<std::vector<ExecResult>> r = db.execute("PRAGMA reindex");
      const bool fired = vfs.fired();
      vfs.disarm();
      if (!fired) {
        ASSERT_TRUE(r) << r.error().display();

        EXPECT_GT(at, 1u);  // at least one read failed
        break;
      }
      ASSERT_FALSE(r);
      EXPECT_EQ(r.error().kind(), Error::Kind::Io);
      EXPECT_FALSE(db.pager().in_tx());
      EXPECT_FALSE(db.in_explicit_tx());
      Database reopened = must(Database::open(path));
      EXPECT_EQ(testing::schema_text(db.catalog()), testing::schema_text(reopened.catalog()));
      EXPECT_TRUE(texts(db, "SELECT id FROM t WHERE a = -1").empty());
      EXPECT_EQ(texts(db, "SELECT id FROM t WHERE a = 150"), std::vector<std::string>{"Int(151)"});
      EXPECT_EQ(texts(reopened, "PRAGMA integrity_check"), std::vector<std::string>{"Text(\"ok\")"});
    }
  }
}

// A journal-mode switch or a checkpoint in one process waits for another
// process's open write transaction instead of running under it: the other's
// COMMIT is kept, and the indexes agree with the tables.
TEST(PragmaProcessTest, SwitchAndCheckpointWaitForAnotherHandlesTransaction) {
  struct Case {
    const char* name;
    const char* setup;   // run first, on a handle closed before the fork
    const char* pragma;  // run by the child while the parent's BEGIN is open
    const char* mode_after;
  };
  const Case cases[] = {
      {"switch to the log", "CREATE TABLE t (id INTEGER PRIMARY KEY, a INT UNIQUE)",
       "PRAGMA journal_mode = wal", "wal"},
      {"checkpoint",
       "PRAGMA journal_mode = wal; CREATE TABLE t (id INTEGER PRIMARY KEY, a INT UNIQUE); "
       "INSERT INTO t (a) VALUES (-1), (-2)",
       "PRAGMA wal_checkpoint", "wal"},
      {"switch back", "PRAGMA journal_mode = wal; CREATE TABLE t (id INTEGER PRIMARY KEY, a INT UNIQUE)",
       "PRAGMA journal_mode = delete", "delete"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    testing::TempDir dir;
    const std::string path = dir.file("shared.db");
    {
      Database db = must(Database::open(path));
      run(db, c.setup);
    }
    Pipe opened, go, issuing;
    const pid_t pid = testing::start_child([&] {
      opened.close_read();
      go.close_write();
      issuing.close_read();
      Database db = must(Database::open(path));
      opened.send();
      if (!go.receive()) return 2;
      issuing.send();
      if (!db.execute(c.pragma)) return 3;
      // The parent's rows are there, and this handle can write after them.
      if (!db.execute("INSERT INTO t (a) VALUES (100)")) return 4;
      if (!testing::integrity_problems(db).empty()) return 5;
      return 0;
    });
    opened.close_write();
    go.close_read();
    issuing.close_write();
    ASSERT_TRUE(opened.receive());
    Database db = must(Database::open(path));
    run(db, "BEGIN; INSERT INTO t (a) VALUES (1), (2), (3)");
    go.send();
    ASSERT_TRUE(issuing.receive());
    run(db, "INSERT INTO t (a) VALUES (4); COMMIT");
    const testing::ChildExit exit = testing::wait_child(pid);
    ASSERT_TRUE(exit.exited && exit.code == 0) << exit.describe();

    // This handle follows the file's mode and sees the child's row.
    EXPECT_EQ(texts(db, "PRAGMA journal_mode"),
              std::vector<std::string>{std::string("Text(\"") + c.mode_after + "\")"});
    run(db, "INSERT INTO t (a) VALUES (5)");
    Database reopened = must(Database::open(path));
    EXPECT_EQ(texts(reopened, "SELECT a FROM t WHERE a > 0 ORDER BY a"),
              (std::vector<std::string>{"Int(1)", "Int(2)", "Int(3)", "Int(4)", "Int(5)",
                                        "Int(100)"}));
    EXPECT_EQ(texts(reopened, "PRAGMA integrity_check"), std::vector<std::string>{"Text(\"ok\")"});
  }
}

}  // namespace
}  // namespace vbk
