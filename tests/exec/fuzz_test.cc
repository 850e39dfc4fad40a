// Seeded, size-bounded loops that drive the whole engine with hostile input:
// database files damaged byte by byte, and random statements built from the
// grammar's pieces. Every outcome must be an Error or a result: never an
// internal fault, a crash, an out-of-bounds access (the sanitizers watch)
// or a hang.
//
// The loops are small by default so that the suite stays quick; the
// environment variable VBK_SOAK=N runs each N times longer.

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "exec/database.h"
#include "exec/exec_util.h"
#include "sql/parser.h"
#include "support/must.h"
#include "support/temp_dir.h"

namespace vbk {
namespace {

using testing::must;

int soak_factor() {
  const char* v = std::getenv("VBK_SOAK");
  const int n = v != nullptr ? std::atoi(v) : 1;
  return n > 1 ? n : 1;
}

// Runs `sql`, which may fail in any ordinary way; an internal fault (or any
// other exception) fails the test with the seed that made it.
void survive(Database& db, const std::string& sql, uint64_t seed) {
  try {
    (void)db.execute(sql);
  } catch (const std::exception& e) {
    ADD_FAILURE() << "seed " << seed << ": " << sql << "\n  threw: " << e.what();
  }
}

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void write_file(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

// A file made by SQL with several tables, indexes (unique and not, on text
// and numbers) and rows that spill onto overflow pages.
std::string build_database(const std::string& path) {
  {
    Database db = must(Database::open(path));
    std::string sql =
        "CREATE TABLE t (id INTEGER PRIMARY KEY, a INT, b TEXT UNIQUE, c REAL);"
        "CREATE INDEX t_a ON t (a);"
        "CREATE TABLE big (k TEXT, v BLOB, w TEXT); CREATE INDEX big_k ON big (k);"
        "BEGIN;";
    for (int i = 0; i < 300; ++i) {
      sql += "INSERT INTO t (a, b, c) VALUES (" + std::to_string(i % 17) + ", 'b" +
             std::to_string(i) + "', " + std::to_string(i) + ".5);";
    }
    for (int i = 0; i < 6; ++i) {
      sql += "INSERT INTO big VALUES ('" + std::string(1 + i, static_cast<char>('a' + i)) + "', x'" +
             std::string(9000, "0123456789abcdef"[i]) + "', '" +
             std::string(300 + 2000 * i, static_cast<char>('a' + i)) + "');";
    }
    sql += "COMMIT";
    testing::run(db, sql);
  }
  return read_file(path);
}

const char* const kDamagedFileStatements[] = {
    "SELECT * FROM t",
    "SELECT id, b FROM t WHERE a = 5 ORDER BY c DESC LIMIT 3",
    "SELECT id FROM t WHERE b = 'b17'",
    "SELECT k, length(v), substr(w, 100, 3) FROM big WHERE k > 'b'",
    "SELECT a, count(*), sum(c) FROM t GROUP BY a",
    "SELECT count(*) FROM big",
    "UPDATE t SET a = a + 1, b = b || 'x' WHERE id % 7 = 0",
    "UPDATE big SET v = x'00' WHERE k LIKE 'c%'",
    "DELETE FROM t WHERE a = 3",
    "DELETE FROM big WHERE length(w) > 3000",
    "INSERT INTO t (a, b, c) VALUES (1, 'new', 2.5), (2, 'b5', 1)",
    "INSERT INTO big SELECT upper(k), v, w FROM big",
    "PRAGMA integrity_check",
    "PRAGMA reindex",
};

TEST(FuzzTest, DamagedFilesGiveErrorsOrResults) {
  testing::TempDir dir;
  const std::string original = build_database(dir.file("original.db"));
  const int iterations = 60 * soak_factor();
  for (int i = 0; i < iterations; ++i) {
    const uint64_t seed = 0x5eed0000u + static_cast<uint64_t>(i);
    std::mt19937_64 rng(seed);
    std::string bytes = original;
    // Flip a few bytes anywhere past the header's first fields, or cut the
    // file short, or both.
    const int flips = 1 + static_cast<int>(rng() % 12);
    for (int f = 0; f < flips; ++f) {
      const size_t at = 16 + rng() % (bytes.size() - 16);
      bytes[at] = static_cast<char>(rng() % 4 == 0 ? 0xff : bytes[at] ^ (1u << (rng() % 8)));
    }
    if (rng() % 5 == 0) bytes.resize(bytes.size() / 2 + rng() % (bytes.size() / 2));
    const std::string path = dir.file("damaged" + std::to_string(i) + ".db");
    write_file(path, bytes);
    try {
      Result<Database> db = Database::open(path);
      if (!db) continue;
      for (const char* sql : kDamagedFileStatements) survive(*db, sql, seed);
    } catch (const std::exception& e) {
      ADD_FAILURE() << "seed " << seed << ": open threw: " << e.what();
    }
    if (::testing::Test::HasFailure()) return;
  }
}

// Random statements over a small schema, built from the grammar's pieces
// with a bounded depth.
class StatementMaker {
 public:
  explicit StatementMaker(uint64_t seed) : rng_(seed) {}

  std::string statement() {
    switch (pick(14)) {
      case 0:
      case 1:
      case 2:
        return select(0);
      case 3:
        return select(0, false) + union_tail();
      case 4:
        return "INSERT " + pick_of({"", "IGNORE "}) + "INTO t (a, b, c) VALUES (" + expr(1) +
               ", " + expr(1) + ", " + expr(1) + ")" + pick_of({"", ", (1, 'q', 2)"});
      case 5:
        if (pick(2) == 0) {
          return pick_of({"REPLACE INTO t (id, a, b) ", "INSERT INTO t (id, a, b) "}) +
                 pick_of({"SELECT x, x, y FROM u", "SELECT x, x, y FROM u" + union_tail()});
        }
        if (pick(2) == 0) {
          return "REPLACE INTO t (id, a, b) VALUES (" + expr(1) + ", " + expr(1) + ", " + expr(1) +
                 ")";
        }
        return "INSERT INTO t (id, a, b) VALUES (" + expr(1) + ", " + expr(1) + ", " + expr(1) +
               ") ON DUPLICATE KEY UPDATE a = " + expr(1) + ", b = VALUES(b)";
      case 6:
        return "UPDATE " + table() + " SET " + pick_of({"a", "x", "c"}) + " = " + expr(2) +
               maybe(" WHERE " + expr(2));
      case 7:
        return "DELETE FROM " + table() + maybe(" WHERE " + expr(2));
      case 8:
        return "INSERT INTO u " + select(1);
      case 9:
        return pick_of({"BEGIN", "COMMIT", "ROLLBACK", "BEGIN; INSERT INTO u VALUES (1, 'x')"});
      case 10:
        return pick_of({"CREATE INDEX IF NOT EXISTS u_x ON u (x)", "DROP INDEX IF EXISTS u_x",
                        "CREATE UNIQUE INDEX u_y ON u (y)", "DROP INDEX u_y",
                        "ALTER TABLE u ADD COLUMN z" + std::to_string(pick(3)) + " INT",
                        "CREATE TABLE IF NOT EXISTS v (p INT PRIMARY KEY, q TEXT)"});
      case 11:
        return "PRAGMA " + pick_of({"integrity_check", "reindex", "reindex = t", "synchronous = 1",
                                    "journal_mode", "wal_checkpoint", "journal_mode = wal",
                                    "journal_mode = delete", "foo"});
      case 12:
        return "SELECT " + expr(3);
      default:
        return "SELECT * FROM t WHERE " + expr(2) + " ORDER BY " + expr(1) + maybe(" DESC") +
               " LIMIT " + expr(0) + maybe(" OFFSET " + expr(0));
    }
  }

 private:
  size_t pick(size_t n) { return rng_() % n; }
  std::string pick_of(std::initializer_list<std::string> options) {
    return *(options.begin() + pick(options.size()));
  }
  std::string maybe(const std::string& s) { return pick(2) == 0 ? s : ""; }
  std::string table() { return pick_of({"t", "u", "t", "missing"}); }

  std::string literal() {
    return pick_of({"0", "1", "-1", "9223372036854775807", "(-9223372036854775807 - 1)",
                    "1e308", "-0.0", "2.5", "'abc'", "' 12 '", "''", "'%'", "x'00ff'", "x''",
                    "NULL", "?", "(0.0 / 0)"});
  }

  std::string column() {
    return pick_of({"id", "a", "b", "c", "x", "y", "t.a", "u.x", "rowid", "nope"});
  }

  std::string expr(int depth) {
    if (depth <= 0) return pick(3) == 0 ? column() : literal();
    const int d = depth - 1;
    switch (pick(12)) {
      case 0:
        return literal();
      case 1:
        return column();
      case 2:
        return "(" + expr(d) + " " +
               pick_of({"+", "-", "*", "/", "%", "=", "<>", "<", ">=", "AND", "OR"}) + " " +
               expr(d) + ")";
      case 3:
        return pick_of({"-", "NOT "}) + "(" + expr(d) + ")";
      case 4:
        return pick_of({"abs", "lower", "upper", "length", "ifnull", "coalesce", "substr", "trim",
                        "round", "typeof", "replace", "instr", "hex", "nullif",
                        "random_name"}) +
               "(" + expr(d) + pick_of({"", ", " + expr(d), ", " + expr(d) + ", " + expr(d)}) +
               ")";
      case 5:
        return "CAST(" + expr(d) + " AS " + pick_of({"INTEGER", "REAL", "TEXT", "BLOB"}) + ")";
      case 6:
        return "CASE " + maybe(expr(d) + " ") + "WHEN " + expr(d) + " THEN " + expr(d) +
               maybe(" ELSE " + expr(d)) + " END";
      case 7:
        return expr(d) + maybe(" NOT") + " LIKE " + expr(d);
      case 8:
        return expr(d) + maybe(" NOT") + " IN (" + expr(d) + ", " + expr(d) + ")";
      case 9:
        return "(" + select(d + 1) + ")";
      case 10:
        return expr(d) + maybe(" NOT") + " IN (" + select(d + 1) + ")";
      default:
        return expr(d) + " IS " + maybe("NOT ") + "NULL";
    }
  }

  // `tail`: the SELECT may end with ORDER BY and LIMIT (not when a UNION
  // member follows it).
  std::string select(int nested, bool tail = true) {
    if (nested > 2) return "SELECT 1";
    const int d = 1;
    std::string s = "SELECT " + maybe("DISTINCT ");
    if (pick(3) == 0) {
      s += pick_of({"count(*)", "sum(a)", "max(b)", "avg(c)", "count(DISTINCT a)", "min(x)"}) +
           ", " + expr(d);
    } else {
      s += pick_of({"*", expr(d), expr(d) + " AS e, " + expr(d)});
    }
    switch (pick(5)) {
      case 0:
        break;
      case 1:
        s += " FROM t";
        break;
      case 2:
        s += " FROM u";
        break;
      case 3:
        s += " FROM t " + pick_of({"JOIN", "LEFT JOIN", "CROSS JOIN"}) + " u ON " + expr(d);
        break;
      default:
        s += " FROM t AS q, u";
        break;
    }
    s += maybe(" WHERE " + expr(d));
    if (pick(4) == 0) s += " GROUP BY " + expr(0) + maybe(" HAVING " + expr(d));
    if (tail && pick(3) == 0) s += " ORDER BY " + pick_of({"1", expr(0), "2 DESC"});
    if (tail && pick(3) == 0) s += " LIMIT " + expr(0) + maybe(" OFFSET " + expr(0));
    return s;
  }

  std::string union_tail() {
    std::string s = pick_of({" UNION ", " UNION ALL "}) + select(1, false);
    if (pick(3) == 0) s += pick_of({" UNION ", " UNION ALL "}) + select(1, false);
    if (pick(2) == 0) s += " ORDER BY " + pick_of({"1", "a", "2", "e", "x + 1"});
    if (pick(2) == 0) s += " LIMIT " + expr(0) + maybe(" OFFSET " + expr(0));
    return s;
  }

  std::mt19937_64 rng_;
};

TEST(FuzzTest, RandomStatementsGiveErrorsOrResults) {
  testing::TempDir dir;
  Database db = must(Database::open(dir.file("random.db")));
  testing::run(db,
               "CREATE TABLE t (id INTEGER PRIMARY KEY, a INT, b TEXT UNIQUE, c REAL);"
               "CREATE INDEX t_a ON t (a); CREATE TABLE u (x INT, y TEXT);"
               "INSERT INTO t (a, b, c) VALUES (1, 'one', 1.5), (2, 'two', NULL), (NULL, 'x', -3);"
               "INSERT INTO u VALUES (1, 'one'), (5, NULL), (NULL, 'q')");
  const int iterations = 1500 * soak_factor();
  for (int i = 0; i < iterations; ++i) {
    const uint64_t seed = 0xface0000u + static_cast<uint64_t>(i);
    StatementMaker maker(seed);
    const std::string sql = maker.statement();
    survive(db, sql, seed);
    if (::testing::Test::HasFailure()) return;
  }
  // Whatever ran, the indexes agree with their tables: a ROLLBACK, if a
  // BEGIN is still open, ends it.
  (void)db.execute("ROLLBACK");
  EXPECT_TRUE(testing::integrity_problems(db).empty());
}

// A subquery level with UNION members takes more stack to fold than a plain
// one. Levels of either kind, mixed in any way, nest as far as the parser's
// bound allows plain levels to; beyond that the statement fails instead of
// overflowing the stack (with the sanitizers' larger frames too).
TEST(FuzzTest, MixedSubqueryNestingIsBoundedByItsStack) {
  testing::TempDir dir;
  Database db = must(Database::open(dir.file("nested.db")));
  auto nested = [](int unions, int plain) {
    std::string sql = "SELECT ";
    for (int i = 0; i < unions; ++i) sql += "(SELECT 0 UNION SELECT ";
    for (int i = 0; i < plain; ++i) sql += "(SELECT ";
    sql += "1";
    for (int i = 0; i < plain; ++i) sql += ")";
    for (int i = 0; i < unions; ++i) sql += " ORDER BY 1 DESC)";
    return sql;
  };
  struct Case {
    int unions, plain;
    bool runs;
  };
  // Costs: 5 per plain level, 8 per UNION level, at most 5000.
  const Case cases[] = {
      {625, 0, true},  {626, 0, false}, {200, 680, true},
      {200, 681, false}, {1, 0, true},   {400, 599, false},
  };
  for (const Case& c : cases) {
    const std::string sql = nested(c.unions, c.plain);
    ASSERT_TRUE(parser::parse(sql)) << c.unions << " " << c.plain;
    Result<std::vector<ExecResult>> r = db.execute(sql);
    if (c.runs) {
      ASSERT_TRUE(r) << c.unions << " " << c.plain << ": " << r.error().display();
      EXPECT_EQ(r->back().as<ExecResult::Rows>().rows.at(0).at(0).debug(), "Int(1)");
    } else {
      ASSERT_FALSE(r) << c.unions << " " << c.plain;
      EXPECT_EQ(r.error().display(), "execution error: subqueries nested too deeply");
    }
  }
}

}  // namespace
}  // namespace vbk
