#include "exec/folding.h"

#include <gtest/gtest.h>

#include "exec/database.h"
#include "exec/exec_util.h"
#include "sql/parser.h"
#include "support/must.h"
#include "support/temp_dir.h"

namespace vbk {
namespace {

using testing::must;

Statement parse_one(std::string_view sql) {
  std::vector<Statement> stmts = must(parser::parse(sql));
  if (stmts.size() != 1) throw std::runtime_error("expected one statement");
  return std::move(stmts[0]);
}

class FoldingTest : public ::testing::Test {
 protected:
  testing::TempDir dir_;
  Database db_ = must(Database::open(dir_.file("f.db")));
};

TEST(StmtHasSubqueryTest, FollowsEveryPlaceAnExpressionCanHide) {
  struct Case {
    const char* sql;
    bool folded;
  };
  const Case cases[] = {
      {"SELECT 1", true},
      {"INSERT INTO t VALUES (1, 'a')", false},
      {"INSERT INTO t SELECT * FROM u", true},
      {"INSERT INTO t VALUES (1), ((SELECT 1))", true},
      {"INSERT INTO t VALUES (1) ON DUPLICATE KEY UPDATE a = (SELECT 2)", true},
      {"INSERT INTO t VALUES (1) ON DUPLICATE KEY UPDATE a = 2", false},
      {"UPDATE t SET a = 1 WHERE b IN (1, 2)", true},
      {"UPDATE t SET a = (SELECT 1)", true},
      {"UPDATE t SET a = -b, c = CAST(d AS TEXT) WHERE b = 2 AND c IS NULL", false},
      {"DELETE FROM t WHERE a = 1 OR b NOT IN (SELECT 1)", true},
      {"DELETE FROM t WHERE a = 1 OR b = 2 OR c = 3", false},
      {"DELETE FROM t WHERE CASE a WHEN 1 THEN 2 ELSE (SELECT 1) END", true},
      {"DELETE FROM t WHERE lower(a LIKE (SELECT 'x'))", true},
      {"DELETE FROM t WHERE (b IN (1)) IS NULL", true},
      {"DELETE FROM t", false},
      {"CREATE TABLE t (a INT)", false},
      {"BEGIN", false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(exec::stmt_has_subquery(parse_one(c.sql)), c.folded) << c.sql;
  }
}

// A prepared statement is folded again at each run when it holds a scalar
// or IN subquery anywhere; IN lists of values alone keep one compile.
TEST(HoldsSubqueryTest, ScalarAndInSubqueriesCountAtAnyDepthInListsDoNot) {
  struct Case {
    const char* sql;
    bool holds;
  };
  const Case cases[] = {
      {"SELECT ? IN (SELECT a FROM t)", true},
      {"SELECT a IN (?, ?) FROM t WHERE b = ?", false},
      {"SELECT a FROM t WHERE a IN (SELECT b FROM u WHERE c = ?)", true},
      {"SELECT (SELECT 1)", true},
      {"SELECT a FROM t WHERE a IN (1, (SELECT max(b) FROM u))", true},
      {"SELECT a FROM t WHERE CASE WHEN b THEN lower((SELECT c FROM u)) END", true},
      {"SELECT a FROM t UNION SELECT b FROM u WHERE b NOT IN (SELECT c FROM v)", true},
      {"SELECT a FROM t ORDER BY a LIMIT (SELECT 2)", true},
      {"SELECT t.a, u.b FROM t JOIN u ON u.b = (SELECT 1)", true},
      {"UPDATE t SET a = (SELECT max(b) + ? FROM u)", true},
      {"UPDATE t SET a = 1 WHERE b NOT IN (1, 2, ?)", false},
      {"INSERT INTO t VALUES (?, (SELECT count(*) FROM t))", true},
      {"INSERT INTO t VALUES (?, ?)", false},
      {"DELETE FROM t WHERE a = ? AND b IN (SELECT c FROM u WHERE u.c = t.b)", true},
      {"DELETE FROM t WHERE a = ?", false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(exec::holds_subquery(parse_one(c.sql)), c.holds) << c.sql;
  }
}

TEST(ValueToExprTest, GivesTheLiteralOfTheValueItself) {
  struct Case {
    Value value;
    Expr expr;
  };
  const Case cases[] = {
      {Value(), Expr::Null{}},
      {Value::Int(-5), Expr::Integer{-5}},
      {Value::Int(INT64_MIN), Expr::Integer{INT64_MIN}},
      {Value::Real(2.0), Expr::Real{2.0}},
      {Value::Text("it's"), Expr::Text{"it's"}},
      {Value::Blob({0, 255}), Expr::Blob{{0, 255}}},
  };
  for (const Case& c : cases) {
    const Expr e = exec::value_to_expr(c.value);
    EXPECT_EQ(e.kind(), c.expr.kind()) << c.value.debug();
    EXPECT_EQ(e, c.expr) << c.value.debug();
  }
}

// IN lists become left-nested chains of comparisons, each with its own copy
// of the folded left operand; items are folded first.
TEST_F(FoldingTest, InListsBecomeChainsOfComparisons) {
  struct Case {
    const char* sql;
    const char* folded;
  };
  const Case cases[] = {
      {"SELECT a IN (1, 2, 3) FROM t", "SELECT a = 1 OR a = 2 OR a = 3 FROM t"},
      {"SELECT a NOT IN (1, 'x', NULL) FROM t", "SELECT a <> 1 AND a <> 'x' AND a <> NULL FROM t"},
      {"SELECT a IN (1) FROM t", "SELECT a = 1 FROM t"},
      {"SELECT (a IN (1, 2)) IN (3) FROM t", "SELECT (a = 1 OR a = 2) = 3 FROM t"},
      {"SELECT b + 1 IN (b IN (4), 5) FROM t", "SELECT b + 1 = (b = 4) OR b + 1 = 5 FROM t"},
      {"SELECT * FROM t WHERE c = 1 AND a IN (?, ?) ORDER BY a IN (1, 2) LIMIT 3",
       "SELECT * FROM t WHERE c = 1 AND (a = ? OR a = ?) ORDER BY a = 1 OR a = 2 LIMIT 3"},
      {"DELETE FROM t WHERE id IN (1, 2)", "DELETE FROM t WHERE id = 1 OR id = 2"},
      {"UPDATE t SET c = a IN (1) WHERE id NOT IN (1, 2)",
       "UPDATE t SET c = a = 1 WHERE id <> 1 AND id <> 2"},
  };
  for (const Case& c : cases) {
    const Statement folded = must(db_.fold_subqueries(parse_one(c.sql)));
    EXPECT_EQ(folded, parse_one(c.folded)) << c.sql;
  }
}

// A list far longer than any recursion could follow folds, and the chain is
// walked, compared, copied and destroyed without recursion.
TEST_F(FoldingTest, AHundredThousandValuesFold) {
  constexpr int kValues = 100000;
  std::string sql = "SELECT a FROM t WHERE a IN (";
  for (int i = 0; i < kValues; ++i) sql += (i ? "," : "") + std::to_string(i);
  sql += ")";
  const Statement folded = must(db_.fold_subqueries(parse_one(sql)));
  const SelectStmt& select = folded.as<Statement::Select>().select;
  ASSERT_TRUE(select.where);
  EXPECT_FALSE(exec::select_has_subquery(select));
  int comparisons = 1;
  const Expr* e = &*select.where;
  while (const auto* b = e->get_if<Expr::Binary>()) {
    if (b->op != BinaryOp::Or) break;
    ASSERT_EQ(*b->right, Expr(Expr::Binary{BinaryOp::Eq, Expr::Column{std::nullopt, "a"},
                                           Expr::Integer{kValues - comparisons}}));
    e = b->left.get();
    ++comparisons;
  }
  EXPECT_EQ(comparisons, kValues);
  const Statement copy = folded;
  EXPECT_EQ(copy, folded);
}

// Neither the compiler nor a sub-program reads UNION members, so a subquery
// with members runs as a whole UNION; one that cannot run on its own fails
// the statement with its error instead of losing its members.
TEST_F(FoldingTest, ASubqueryWithUnionMembersRunsAsAWholeOrFails) {
  testing::run(db_, "CREATE TABLE t (a INT); INSERT INTO t VALUES (1), (2), (3)");
  struct Case {
    const char* sql;
    const char* folded;  // the folded statement, or the error
  };
  const Case cases[] = {
      {"SELECT (SELECT 1 UNION SELECT 2 ORDER BY 1 DESC)", "SELECT 2"},
      {"SELECT 1 FROM t WHERE a IN (SELECT 1 UNION ALL SELECT 3)",
       "SELECT 1 FROM t WHERE a = 1 OR a = 3"},
      {"DELETE FROM t WHERE a = (SELECT 5 UNION SELECT a FROM t ORDER BY 1 LIMIT 1)",
       "DELETE FROM t WHERE a = 1"},
      {"SELECT (SELECT a FROM t WHERE a IN (SELECT 1 UNION SELECT b FROM u)) FROM t",
       "execution error: no such table: u"},
      // One that reads the enclosing statement cannot run on its own: it is
      // kept, and the compiler, which knows the statement's names, refuses
      // it (or names the qualifier the statement lacks too).
      {"SELECT a FROM t WHERE a = (SELECT 1 UNION SELECT t.a)",
       "SELECT a FROM t WHERE a = (SELECT 1 UNION SELECT t.a)"},
      {"SELECT a FROM t WHERE a IN (SELECT zz.a FROM t UNION SELECT 1)",
       "SELECT a FROM t WHERE a IN (SELECT zz.a FROM t UNION SELECT 1)"},
  };
  for (const Case& c : cases) {
    Result<Statement> folded = db_.fold_subqueries(parse_one(c.sql));
    if (folded) {
      EXPECT_EQ(*folded, parse_one(c.folded)) << c.sql;
    } else {
      EXPECT_EQ(folded.error().display(), c.folded) << c.sql;
    }
  }
}

}  // namespace
}  // namespace vbk
