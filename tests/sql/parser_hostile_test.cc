// Hostile and generated SQL: deep nesting is refused with a parse error at the
// token that goes past the limit, long operator chains parse (and their trees
// copy, compare and die) without recursion, and mutated statements give a
// tree or a parse error, never a crash.

#include <cstdint>
#include <random>
#include <string>

#include <gtest/gtest.h>

#include "sql/parser.h"

namespace vbk {
namespace {

std::string repeat(std::string_view s, size_t n) {
  std::string out;
  out.reserve(s.size() * n);
  for (size_t i = 0; i < n; ++i) out += s;
  return out;
}

std::string error_of(const std::string& sql) {
  auto r = parser::parse(sql);
  if (r) return "ok";
  return std::to_string(r.error().pos()) + ": " + r.error().msg();
}

TEST(ParserHostile, DeepNestingIsRefusedAtTheLimit) {
  constexpr size_t kHostile = 100'000;
  const size_t limit = parser::kMaxNestingDepth;
  // Each case: an opening part repeated n times, the innermost operand, a
  // closing part repeated n times, with the first repetition at byte 7. The
  // result column is one level; each repetition costs one more (two for
  // "1 + (", a right operand and a parenthesis). Past the limit the parse
  // fails at repetition `fail_rep` (0-based; the innermost operand when
  // there are no more), `fail_offset` bytes into it: the first token of the
  // operand that goes too deep, or the SELECT of the subquery that does.
  struct Case {
    std::string_view open;
    std::string_view inner;
    std::string_view close;
    size_t deepest_accepted;
    size_t fail_rep;
    size_t fail_offset;
    const char* message;
  };
  const Case cases[] = {
      {"(", "1", ")", limit - 1, limit, 0, "expression nested too deeply"},
      {"NOT ", "1", "", limit - 1, limit, 0, "expression nested too deeply"},
      {"- ", "1", "", limit - 1, limit, 0, "expression nested too deeply"},
      {"1 + (", "1", ")", (limit - 1) / 2, limit / 2, 0, "expression nested too deeply"},
      {"f(", "1", ")", limit - 1, limit, 0, "expression nested too deeply"},
      {"CASE WHEN ", "1", " THEN 1 END", limit - 1, limit, 0, "expression nested too deeply"},
      {"CAST(", "1", " AS INT)", limit - 1, limit, 0, "expression nested too deeply"},
      {"(SELECT ", "1", ")", limit - 1, limit - 1, 1, "subqueries nested too deeply"},
      {"1 IN (SELECT ", "1", ")", limit - 1, limit - 1, 6, "subqueries nested too deeply"},
      {"(SELECT 1 FROM t WHERE ", "1", ")", limit - 1, limit - 1, 1,
       "subqueries nested too deeply"},
      {"(SELECT 1 FROM t JOIN u ON ", "1", ")", limit - 1, limit - 1, 1,
       "subqueries nested too deeply"},
      {"(SELECT 1 LIMIT ", "1", ")", limit - 1, limit - 1, 1, "subqueries nested too deeply"},
      {"(SELECT 1 UNION SELECT ", "1", ")", limit - 1, limit - 1, 1,
       "subqueries nested too deeply"},
  };
  for (const Case& c : cases) {
    auto text = [&](size_t n) {
      return "SELECT " + repeat(c.open, n) + std::string(c.inner) + repeat(c.close, n);
    };
    // The deepest nesting accepted is also the deepest recursion that the
    // parser, the tree's copy, comparison and destructor ever see.
    auto deepest = parser::parse(text(c.deepest_accepted));
    ASSERT_TRUE(deepest.has_value()) << c.open << ": " << deepest.error().display();
    auto copy = *deepest;
    EXPECT_TRUE(copy[0].as<Statement::Select>().select ==
                (*deepest)[0].as<Statement::Select>().select);

    std::string expected = std::to_string(7 + c.fail_rep * c.open.size() + c.fail_offset) + ": " +
                           c.message;
    EXPECT_EQ(error_of(text(c.deepest_accepted + 1)), expected) << c.open;
    // Hostile depths of the three basic forms fail the same way.
    if (c.open == "(" || c.open == "NOT " || c.open == "(SELECT ") {
      EXPECT_EQ(error_of(text(kHostile)), expected) << c.open;
    }
  }
}

TEST(ParserHostile, MillionTermOrChainParses) {
  constexpr size_t kTerms = 1'000'000;
  std::string sql = "SELECT " + repeat("1 OR ", kTerms - 1) + "1";
  auto r = parser::parse(sql);
  ASSERT_TRUE(r.has_value()) << r.error().display();
  const Expr& where = (*r)[0].as<Statement::Select>().select.items[0].expr;
  size_t depth = 0;
  for (const Expr* e = &where; e->chain_link() != nullptr; e = e->chain_link()->get()) ++depth;
  EXPECT_EQ(depth, kTerms - 1);
  Expr copy = where;
  EXPECT_TRUE(copy == where);
  r = parser::parse("SELECT 1");  // destroys the chain
  EXPECT_TRUE(r.has_value());
}

TEST(ParserHostile, LongPostfixChainsParse) {
  // IS NULL, IN and LIKE grow their chains in the same loop as the binary
  // operators.
  for (std::string_view link : {" IS NULL", " IN (1)", " LIKE 'x'", " NOT IN (SELECT 1)"}) {
    auto r = parser::parse("SELECT a" + repeat(link, 20'000));
    ASSERT_TRUE(r.has_value()) << link << ": " << r.error().display();
    Expr copy = (*r)[0].as<Statement::Select>().select.items[0].expr;
    EXPECT_TRUE(copy == (*r)[0].as<Statement::Select>().select.items[0].expr);
  }
}

TEST(ParserHostile, MutatedStatementsGiveATreeOrAParseError) {
  const std::string_view seeds[] = {
      "SELECT a, COUNT(*) AS n FROM t LEFT JOIN u ON t.id = u.id WHERE a > ? AND b LIKE 'x%' "
      "GROUP BY a HAVING COUNT(*) > 1 ORDER BY n DESC LIMIT 5, 10",
      "SELECT DISTINCT SQL_CALC_FOUND_ROWS t.*, CASE x WHEN 1 THEN 'a' ELSE 'b' END FROM t "
      "RIGHT JOIN u ON 1 UNION ALL SELECT 1, 2 ORDER BY 1",
      "INSERT IGNORE INTO t (a, b) VALUES (1, -2.5e3), (X'0aff', NULL) ; "
      "REPLACE INTO t SELECT * FROM u",
      "INSERT INTO t VALUES (1) ON DUPLICATE KEY UPDATE a = VALUES(a) + 1",
      "CREATE TABLE IF NOT EXISTS `t` (id INT(11) UNSIGNED NOT NULL AUTO_INCREMENT, name "
      "VARCHAR(255) DEFAULT 'x' COMMENT 'c', PRIMARY KEY (id), UNIQUE KEY u (name(10) DESC), "
      "FOREIGN KEY (id) REFERENCES p (id)) ENGINE=InnoDB",
      "UPDATE t SET a = CAST(b AS DECIMAL(10, 2)), c = (SELECT MAX(x) FROM v) "
      "WHERE d NOT IN (1, 2)",
      "DELETE FROM t WHERE a IS NOT NULL; BEGIN; COMMIT WORK; PRAGMA journal_mode = wal",
      "ALTER TABLE t ADD COLUMN c TEXT DEFAULT -1; DROP INDEX IF EXISTS i; "
      "CREATE UNIQUE INDEX i ON t (a, b)",
  };
  const char kAlphabet[] = "()',;.*+-/%=<>!?`\"xX0e9 aSELECTFROMNOTINCASEWHEN\n";
  std::mt19937 rng(20261210);
  constexpr int kRounds = 20000;
  int parsed = 0;
  for (int round = 0; round < kRounds; ++round) {
    std::string sql(seeds[rng() % std::size(seeds)]);
    int edits = 1 + static_cast<int>(rng() % 4);
    for (int e = 0; e < edits && !sql.empty(); ++e) {
      size_t at = rng() % sql.size();
      switch (rng() % 5) {
        case 0: sql[at] = kAlphabet[rng() % (sizeof kAlphabet - 1)]; break;
        case 1: sql.erase(at, 1 + rng() % 8); break;
        case 2: sql.insert(at, 1, kAlphabet[rng() % (sizeof kAlphabet - 1)]); break;
        case 3: sql.resize(at); break;
        default: sql[at] = static_cast<char>(rng() % 256); break;
      }
    }
    auto r = parser::parse(sql);
    parsed += r.has_value();
    if (!r) {
      ASSERT_TRUE(r.error().is(Error::Kind::Parse)) << "round " << round << ": " << sql;
      ASSERT_LE(r.error().pos(), sql.size()) << "round " << round << ": " << sql;
    }
  }
  // The mutations must leave a fair share of texts valid, or the loop would
  // only ever test the first few tokens.
  EXPECT_GT(parsed, kRounds / 20);
  EXPECT_LT(parsed, kRounds - kRounds / 20);
}

}  // namespace
}  // namespace vbk
