#include "exec/database.h"

#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "exec/exec_util.h"
#include "support/must.h"
#include "support/temp_dir.h"

namespace vbk {
namespace {

using testing::integrity_problems;
using testing::must;
using testing::rows;
using testing::run;
using testing::run_error;

using Rows = std::vector<std::pair<int64_t, int64_t>>;

Rows rows_of_t(Database& db) {
  Rows out;
  for (const vdbe::Row& r : rows(db, "SELECT id, n FROM t ORDER BY id")) out.emplace_back(r[0].as_int(), r[1].as_int());
  return out;
}

// ON DUPLICATE KEY UPDATE checks its assignments as they would compile
// before any row is written: each bad one fails the statement alike whether
// or not a row collides (row 1 does, row 7 does not), from VALUES or from
// SELECT, and inside BEGIN the transaction goes on with its earlier work.
class DuplicateKeyUpdateTest : public ::testing::TestWithParam<bool> {};

TEST_P(DuplicateKeyUpdateTest, ABadAssignmentFailsBeforeAnyRowIsWritten) {
  struct Bad {
    const char* assignment;
    const char* error;
  };
  const Bad bad[] = {
      {"nope = 1", "execution error: no such column: nope"},
      {"n = nope", "execution error: no such column: nope"},
      {"n = zz.n", "execution error: no such table: zz"},
      {"n = nosuch(n)", "execution error: unknown function NOSUCH"},
      {"n = max(n)", "execution error: aggregate functions are not allowed here"},
      {"n = count(*)", "execution error: aggregate functions are not allowed here"},
      {"n = (SELECT nope FROM t)", "execution error: no such column: nope"},
      {"n = 1 IN (SELECT nope FROM t)", "execution error: IN(...) must be folded before compilation"},
      {"n = CASE WHEN VALUES(n) > 0 THEN 1 END", "execution error: unknown function VALUES"},
      {"n = VALUES(n) IS NULL", "execution error: unknown function VALUES"},
      {"n = VALUES(n) LIKE '5'", "execution error: unknown function VALUES"},
      {"n = (SELECT VALUES(n))", "execution error: unknown function VALUES"},
      {"n = 1, n = nope", "execution error: no such column: nope"},
  };
  const char* const sources[] = {"VALUES (1, 5)", "VALUES (7, 5)", "VALUES (7, 5), (1, 5)",
                                 "SELECT 1, 5", "SELECT 7, 5"};
  testing::TempDir dir;
  const std::string path = dir.file("t.db");
  {
    Database db = must(Database::open(path));
    if (GetParam()) run(db, "PRAGMA journal_mode = WAL");
    run(db, "CREATE TABLE t (id INTEGER PRIMARY KEY, n INT); INSERT INTO t VALUES (1, 1)");
    for (const Bad& b : bad) {
      for (const char* source : sources) {
        const std::string sql = std::string("INSERT INTO t ") + source + " ON DUPLICATE KEY UPDATE " + b.assignment;
        EXPECT_EQ(run_error(db, sql), b.error) << sql;
        EXPECT_EQ(rows_of_t(db), Rows({{1, 1}})) << sql;

        run(db, "BEGIN; INSERT INTO t VALUES (2, 2)");
        EXPECT_EQ(run_error(db, sql), b.error) << sql << " inside BEGIN";
        Result<std::vector<ExecResult>> commit = db.execute("COMMIT");
        EXPECT_TRUE(commit.has_value()) << sql << ": the transaction was rolled back";
        EXPECT_EQ(rows_of_t(db), Rows({{1, 1}, {2, 2}})) << sql << " inside BEGIN";
        run(db, "DELETE FROM t WHERE id = 2");
      }
    }
    // A good assignment still runs.
    run(db, "INSERT INTO t VALUES (1, 5), (7, 5) ON DUPLICATE KEY UPDATE n = n + VALUES(n)");
    EXPECT_EQ(integrity_problems(db), std::vector<std::string>{});
  }
  Database reopened = must(Database::open(path));
  EXPECT_EQ(rows_of_t(reopened), Rows({{1, 6}, {7, 5}}));
}

INSTANTIATE_TEST_SUITE_P(JournalModes, DuplicateKeyUpdateTest, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& info) {
                           return info.param ? std::string("WriteAheadLog") : std::string("RollbackJournal");
                         });

}  // namespace
}  // namespace vbk
