#include "sql/parser.h"
#include "sql/parser_state.h"
#include "sql/tokenizer.h"

#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "tree_text.h"

namespace vbk {
namespace {

using sqltest::tree_text;

// "pos: message" of the parse error, or "ok".
std::string error_of(std::string_view sql) {
  auto r = parser::parse(sql);
  if (r) return "ok";
  EXPECT_TRUE(r.error().is(Error::Kind::Parse)) << sql;
  return std::to_string(r.error().pos()) + ": " + r.error().msg();
}

Statement parse_one(std::string_view sql) {
  auto r = parser::parse(sql);
  if (!r) {
    ADD_FAILURE() << sql << ": " << r.error().display();
    return Statement::Begin{};
  }
  if (r->size() != 1) {
    ADD_FAILURE() << sql << ": " << r->size() << " statements";
    return Statement::Begin{};
  }
  return std::move(r->front());
}

std::string select_text(std::string_view sql) {
  Statement s = parse_one(sql);
  if (!s.is<Statement::Select>()) return "not a SELECT";
  return tree_text(s.as<Statement::Select>().select);
}

// The tree of the first result column of SELECT <expr>.
std::string expr_text(std::string_view expr) {
  Statement s = parse_one("SELECT " + std::string(expr));
  if (!s.is<Statement::Select>()) return "not a SELECT";
  const SelectItem& item = s.as<Statement::Select>().select.items.at(0);
  return tree_text(item.expr) + (item.alias ? " as " + *item.alias : "");
}

struct Case {
  std::string_view sql;
  std::string_view expected;
};

TEST(Parser, SharedOperations) {
  Parser p(*token::tokenize("x `else` ,"));
  EXPECT_EQ(p.expect_kw(Keyword::From),
            std::unexpected(Error::Parse("expected keyword From, found Ident(\"x\")", 0)));
  EXPECT_EQ(*p.expect_ident(), "x");
  EXPECT_TRUE(p.eat_ident_kw("ELSE"));  // quoted identifiers count as words
  EXPECT_EQ(p.expect(Token::Kind::RParen),
            std::unexpected(Error::Parse("expected RParen, found Comma", 9)));
  EXPECT_FALSE(p.opt_index_name().has_value());
  EXPECT_TRUE(p.eat(Token::Kind::Comma));
  // At the end the parser stays on Eof, and errors there sit at the text's length.
  EXPECT_TRUE(p.peek().is(Token::Kind::Eof));
  uint64_t at_end = p.pos;
  p.take();
  p.take();
  EXPECT_EQ(p.pos, at_end);
  EXPECT_TRUE(p.peek_at(5).is(Token::Kind::Eof));
  EXPECT_EQ(p.expect_ident_kw("END"),
            std::unexpected(Error::Parse("expected END, found Eof", 10)));
}

TEST(Parser, EmptyTextsGiveNoStatements) {
  for (std::string_view sql : {"", "  -- comment only\n/* and this */ ", ";", " ; ;; "}) {
    auto r = parser::parse(sql);
    ASSERT_TRUE(r.has_value()) << sql;
    EXPECT_TRUE(r->empty()) << sql;
  }
  auto two = parser::parse("SELECT 1;;SELECT 2;");
  ASSERT_TRUE(two.has_value());
  EXPECT_EQ(two->size(), 2u);
}

TEST(Parser, TokenizerErrorsPassThrough) {
  EXPECT_EQ(error_of("SELECT 1; SELECT 'open"), "17: unterminated string literal");
  EXPECT_EQ(error_of("SELECT 9223372036854775808"), "7: integer out of range");
  EXPECT_EQ(error_of("CREATE TABLE t (a INT DEFAULT -9223372036854775808)"),
            "31: integer out of range");
}

TEST(Parser, Errors) {
  const Case cases[] = {
      // The statement loop and the dispatch.
      {"SELECT 1 SELECT 2", "9: expected ';' or end of input after statement"},
      {"EXPLAIN SELECT 1", "0: expected a statement, found Ident(\"EXPLAIN\")"},
      {"FROM t", "0: expected a statement, found Keyword(From)"},
      {"BEGIN WORK WORK", "11: expected ';' or end of input after statement"},
      {"SELECT 1; SELECT", "16: expected an expression, found Eof"},
      // INSERT.
      {"INSERT IGNORE INTO t VALUES (1) ON DUPLICATE KEY UPDATE a = 1",
       "32: expected ';' or end of input after statement"},
      {"REPLACE IGNORE INTO t VALUES (1)", "8: expected keyword Into, found Ident(\"IGNORE\")"},
      {"INSERT INTO t VALUES (1, 2), (3)", "32: all VALUES rows must have 2 columns, got 1"},
      {"INSERT INTO t VALUES (1, 2), (3), (4, 5)",
       "32: all VALUES rows must have 2 columns, got 1"},
      {"INSERT INTO t VALUES (1), (2, 3)", "32: all VALUES rows must have 1 columns, got 2"},
      {"INSERT INTO t VALUES (1) ON DUPLICATE KEY a = 1",
       "42: expected keyword Update, found Ident(\"a\")"},
      {"INSERT INTO t VALUES (1) ON CONFLICT", "28: expected DUPLICATE, found Ident(\"CONFLICT\")"},
      {"INSERT INTO t (a, 1) VALUES (1)", "18: expected identifier, found Int(1)"},
      {"INSERT INTO t SET a = 1", "14: expected keyword Values, found Keyword(Set)"},
      {"INSERT INTO t VALUES ()", "22: expected an expression, found RParen"},
      // PRAGMA.
      {"PRAGMA x = -1", "11: expected a pragma value, found Minus"},
      {"PRAGMA x = 1.5", "11: expected a pragma value, found Real(1.5)"},
      {"PRAGMA x =", "10: expected a pragma value, found Eof"},
      {"PRAGMA select", "7: expected identifier, found Keyword(Select)"},
      // CREATE, DROP, ALTER, UPDATE, DELETE.
      {"CREATE UNIQUE TABLE t (a INT)", "14: expected INDEX after CREATE UNIQUE"},
      {"CREATE INDEX i ON t (a DESC)", "23: expected RParen, found Keyword(Desc)"},
      {"CREATE VIEW v", "7: expected keyword Table, found Ident(\"VIEW\")"},
      {"CREATE INDEX IF EXISTS i ON t (a)", "16: expected keyword Not, found Keyword(Exists)"},
      {"DROP TABLE IF NOT EXISTS t", "14: expected keyword Exists, found Keyword(Not)"},
      {"DROP VIEW v", "5: expected keyword Table, found Ident(\"VIEW\")"},
      {"ALTER TABLE t DROP COLUMN b", "14: only ALTER TABLE ... ADD [COLUMN] is supported"},
      {"ALTER t ADD b", "6: expected keyword Table, found Ident(\"t\")"},
      {"UPDATE t SET a == 1", "16: expected an expression, found Eq"},
      {"UPDATE t a = 1", "9: expected keyword Set, found Ident(\"a\")"},
      {"DELETE t", "7: expected keyword From, found Ident(\"t\")"},
      // Column definitions and table elements.
      {"CREATE TABLE t ()", "16: expected identifier, found RParen"},
      {"CREATE TABLE t (a INT PRIMARY)", "29: expected keyword Key, found RParen"},
      {"CREATE TABLE t (a INT NOT)", "25: expected keyword Null, found RParen"},
      {"CREATE TABLE t (a INT DEFAULT - 'x')", "32: expected a number after '-', found Str(\"x\")"},
      {"CREATE TABLE t (a INT DEFAULT X'00')", "30: expected a DEFAULT value, found Blob([0])"},
      {"CREATE TABLE t (a INT DEFAULT (1))", "30: expected a DEFAULT value, found LParen"},
      {"CREATE TABLE t (a INT DEFAULT ?)", "30: expected a DEFAULT value, found Param"},
      {"CREATE TABLE t (a INT DEFAULT NOW(1))", "34: expected RParen, found Int(1)"},
      {"CREATE TABLE t (a VARCHAR(10 b INT)", "29: expected RParen, found Ident(\"b\")"},
      {"CREATE TABLE t (a INT NOT NULL CHARACTER SET x)",
       "31: expected RParen, found Ident(\"CHARACTER\")"},
      {"CREATE TABLE t (PRIMARY KEY pk (a))", "28: expected LParen, found Ident(\"pk\")"},
      {"CREATE TABLE t (a INT, KEY (1))", "28: expected identifier, found Int(1)"},
      {"CREATE TABLE t (a INT, UNIQUE (a(5 6)))", "35: expected RParen, found Int(6)"},
      {"CREATE TABLE t (a INT", "21: expected RParen, found Eof"},
      {"ALTER TABLE t ADD b INT x", "24: expected ';' or end of input after statement"},
      // SELECT.
      {"SELECT a AS 5 FROM t", "12: expected identifier, found Int(5)"},
      {"SELECT SQL_CALC_FOUND_ROWS DISTINCT a FROM t",
       "27: expected an expression, found Keyword(Distinct)"},
      {"SELECT sql_cache FROM t", "17: expected an expression, found Keyword(From)"},
      {"SELECT * FROM a INNER OUTER JOIN b", "22: expected keyword Join, found Keyword(Outer)"},
      {"SELECT * FROM a LEFT b", "21: expected keyword Join, found Ident(\"b\")"},
      {"SELECT * FROM a LEFT JOIN b WHERE x", "28: outer JOIN requires an ON clause"},
      {"SELECT * FROM a RIGHT JOIN b", "28: outer JOIN requires an ON clause"},
      {"SELECT * FROM a, b RIGHT JOIN c ON y",
       "36: RIGHT JOIN is only supported between exactly two tables"},
      {"SELECT * FROM a LEFT JOIN b ON x RIGHT JOIN c ON y WHERE 1",
       "51: RIGHT JOIN is only supported between exactly two tables"},
      {"SELECT * FROM (SELECT 1)", "14: expected identifier, found LParen"},
      {"SELECT * FROM t AS", "18: expected identifier, found Eof"},
      {"SELECT a FROM t GROUP a", "22: expected keyword By, found Ident(\"a\")"},
      {"SELECT a FROM t ORDER a", "22: expected keyword By, found Ident(\"a\")"},
      {"SELECT 1 UNION (SELECT 2)", "15: expected keyword Select, found LParen"},
      {"SELECT a FROM t ORDER BY a WHERE b", "27: expected ';' or end of input after statement"},
      {"SELECT a FROM t OFFSET 5", "16: expected ';' or end of input after statement"},
      {"SELECT t.* AS x FROM t", "11: expected ';' or end of input after statement"},
      // Expressions.
      {"SELECT x IS 5", "12: expected keyword Null, found Int(5)"},
      {"SELECT x IN ()", "13: expected an expression, found RParen"},
      {"SELECT x IN (1", "14: expected RParen, found Eof"},
      {"SELECT x IN 1", "12: expected LParen, found Int(1)"},
      {"SELECT x NOT BETWEEN 1 AND 2", "9: expected ';' or end of input after statement"},
      {"SELECT x BETWEEN 1 AND 2", "17: expected ';' or end of input after statement"},
      {"SELECT COUNT(DISTINCT *)", "22: expected an expression, found Star"},
      {"SELECT COUNT()", "13: expected an expression, found RParen"},
      {"SELECT COUNT(a, b)", "14: expected RParen, found Comma"},
      {"SELECT f(a b)", "11: expected RParen, found Ident(\"b\")"},
      {"SELECT +5", "7: expected an expression, found Plus"},
      {"SELECT EXISTS (SELECT 1)", "7: expected an expression, found Keyword(Exists)"},
      {"SELECT LEFT(x, 1)", "7: expected an expression, found Keyword(Left)"},
      {"SELECT IF(a, b, c)", "7: expected an expression, found Keyword(If)"},
      {"SELECT 1 + t.*", "13: expected identifier, found Star"},
      {"SELECT CAST(x AS DOUBLE PRECISION)", "24: expected RParen, found Ident(\"PRECISION\")"},
      {"SELECT CAST(x INT)", "14: expected keyword As, found Ident(\"INT\")"},
      {"SELECT CAST(x AS 5)", "17: expected identifier, found Int(5)"},
      {"SELECT CAST(x AS CHAR(10)", "25: expected RParen, found Eof"},
      {"SELECT CASE x END", "14: CASE requires at least one WHEN"},
      {"SELECT CASE END", "15: CASE requires at least one WHEN"},
      {"SELECT CASE WHEN a 1 END", "19: expected THEN, found Int(1)"},
      {"SELECT CASE WHEN a THEN 1", "25: expected END, found Eof"},
      {"SELECT case", "11: expected an expression, found Eof"},
      {"SELECT (1", "9: expected RParen, found Eof"},
      {"SELECT (SELECT 1", "16: expected RParen, found Eof"},
      {"SELECT VALUES a", "14: expected LParen, found Ident(\"a\")"},
      {"SELECT a -", "10: expected an expression, found Eof"},
      {"SELECT NOT", "10: expected an expression, found Eof"},
  };
  for (const Case& c : cases) EXPECT_EQ(error_of(c.sql), c.expected) << "sql: " << c.sql;
}

TEST(Parser, ExpressionTrees) {
  const Case cases[] = {
      // Precedence and associativity.
      {"1 + 2 * 3", "(+ 1 (* 2 3))"},
      {"7 - 3 - 2", "(- (- 7 3) 2)"},
      {"a % b / c * d", "(* (/ (% a b) c) d)"},
      {"a OR b AND c", "(or a (and b c))"},
      {"a AND b OR c AND d", "(or (and a b) (and c d))"},
      {"a = b = c", "(= (= a b) c)"},
      {"a + NOT b = c", "(+ a (not (= b c)))"},
      {"NOT a = b", "(not (= a b))"},
      {"NOT a AND b", "(and (not a) b)"},
      {"NOT NOT a", "(not (not a))"},
      {"-a * b", "(* (neg a) b)"},
      {"-5", "(neg 5)"},
      {"- -5", "(neg (neg 5))"},
      {"a - -b", "(- a (neg b))"},
      {"a * -b", "(* a (neg b))"},
      {"a < b OR a <= b OR a > b OR a >= b OR a <> b OR a != b",
       "(or (or (or (or (or (< a b) (<= a b)) (> a b)) (>= a b)) (!= a b)) (!= a b))"},
      {"a + 1 IS NULL", "(isnull (+ a 1))"},
      {"x IS NOT NULL", "(notnull x)"},
      {"x IS NULL IS NULL", "(isnull (isnull x))"},
      {"a LIKE b = c", "(= (like a b) c)"},
      {"x NOT LIKE 'a%' AND 1", "(and (notlike x 'a%') 1)"},
      {"a LIKE b + c", "(like a (+ b c))"},
      {"x IN (1, 2) AND y NOT IN (3)", "(and (in x 1 2) (notin y 3))"},
      {"x IN (SELECT 1)", "(insub x {select [1]})"},
      {"x NOT IN (SELECT a FROM t UNION SELECT b FROM u)",
       "(notinsub x {select [a] from [t] union {select [b] from [u]}})"},
      {"x IN ((SELECT 1))", "(in x {select [1]})"},
      {"(a)", "a"},
      {"((SELECT 1))", "{select [1]}"},
      {"(1 + 2) * 3", "(* (+ 1 2) 3)"},
      // Operands.
      {"NULL", "NULL"},
      {"1.5", "r1.5"},
      {"'it''s'", "'it's'"},
      {"X'0aff'", "x'0aff'"},
      {"TRUE", "TRUE"},
      {"t.a", "t.a"},
      {"`t`.`case`", "t.case"},
      {"?", "?0"},
      {"count(x)", "(count x)"},
      {"COUNT(*)", "(count *)"},
      {"SUM(*)", "(sum *)"},
      {"max(*)", "(max *)"},
      {"count(DISTINCT a)", "(count distinct a)"},
      {"avg(a + 1)", "(avg (+ a 1))"},
      {"now()", "(NOW)"},
      {"lower(x)", "(LOWER x)"},
      {"mYfUnc(a, 1)", "(MYFUNC a 1)"},
      {"\"f\"(1)", "(F 1)"},
      {"\xC3\xA9t\xC3\xA9(1)", "(\xC3\xA9T\xC3\xA9 1)"},
      {"VALUES(a)", "(VALUES a)"},
      {"CAST(x AS SIGNED INTEGER)", "(cast x Integer)"},
      {"CAST(x AS UNSIGNED)", "(cast x Integer)"},
      {"CAST(x AS DECIMAL(10, 2))", "(cast x Real)"},
      {"CAST(x AS CHAR(10))", "(cast x Text)"},
      {"CAST(x AS DATETIME)", "(cast x Text)"},
      {"CAST(x AS BLOB)", "(cast x Real)"},
      {"CASE WHEN a THEN 1 END", "(case (when a 1))"},
      {"CASE a WHEN 1 THEN 'x' ELSE 'y' END", "(case a (when 1 'x') (else 'y'))"},
      {"case when a then 1 when b then 2 `else` 3 \"END\"",
       "(case (when a 1) (when b 2) (else 3))"},
      {"CASE WHEN a THEN 1 END + 1", "(+ (case (when a 1)) 1)"},
      // Aliases.
      {"a b", "a as b"},
      {"a AS b", "a as b"},
      {"ALL a", "ALL as a"},
  };
  for (const Case& c : cases) EXPECT_EQ(expr_text(c.sql), c.expected) << "sql: " << c.sql;
}

TEST(Parser, SelectTrees) {
  const Case cases[] = {
      {"SELECT 1", "{select [1]}"},
      {"SELECT * FROM t", "{select [*] from [t]}"},
      {"SELECT t.*, u.a FROM t, u", "{select [t.* u.a] from [t u]}"},
      {"SELECT DISTINCT SQL_CALC_FOUND_ROWS SQL_NO_CACHE a FROM t",
       "{select distinct calc [a] from [t]}"},
      {"select straight_join high_priority sql_big_result sql_small_result sql_buffer_result "
       "sql_cache 1",
       "{select [1]}"},
      {"SELECT * FROM t AS x, u y", "{select [*] from [t as x u as y]}"},
      {"SELECT * FROM a JOIN b", "{select [*] from [a b]}"},
      {"SELECT * FROM a CROSS JOIN b", "{select [*] from [a b]}"},
      {"SELECT * FROM a CROSS JOIN b ON x", "{select [*] from [a (join b on x)]}"},
      {"SELECT * FROM a INNER JOIN b ON x, c LEFT OUTER JOIN d ON y JOIN e",
       "{select [*] from [a (join b on x) c (left d on y) e]}"},
      {"SELECT * FROM a RIGHT JOIN b ON a.x = b.x",
       "{select [*] from [b (left a on (= a.x b.x))]}"},
      {"SELECT * FROM a x RIGHT OUTER JOIN b y ON 1",
       "{select [*] from [b as y (left a as x on 1)]}"},
      {"SELECT * FROM t1 NATURAL JOIN t2", "{select [*] from [t1 as NATURAL t2]}"},
      {"SELECT a, COUNT(*) FROM t WHERE a > 1 GROUP BY a, b HAVING COUNT(*) > 2",
       "{select [a (count *)] from [t] where (> a 1) group [a b] having (> (count *) 2)}"},
      {"SELECT a FROM t ORDER BY a DESC, b ASC, c", "{select [a] from [t] order [a desc b c]}"},
      {"SELECT a FROM t LIMIT 10 OFFSET 5", "{select [a] from [t] limit 10 offset 5}"},
      {"SELECT a FROM t LIMIT 5, 10", "{select [a] from [t] limit 10 offset 5}"},
      {"SELECT a FROM t LIMIT ? + 1", "{select [a] from [t] limit (+ ?0 1)}"},
      {"SELECT 1 UNION ALL SELECT 2 UNION SELECT 3",
       "{select [1] union all {select [2]} union {select [3]}}"},
      {"SELECT 1 UNION ALL DISTINCT SELECT 2 UNION DISTINCT SELECT 3",
       "{select [1] union all {select [2]} union {select [3]}}"},
      {"SELECT a FROM t UNION SELECT b FROM u ORDER BY 1 LIMIT 3",
       "{select [a] from [t] order [1] limit 3 union {select [b] from [u]}}"},
      {"SELECT 1 UNION SELECT 2 ORDER BY 1 LIMIT 1 OFFSET 2",
       "{select [1] order [1] limit 1 offset 2 union {select [2]}}"},
      {"SELECT a FROM t LIMIT 1 UNION SELECT b FROM u ORDER BY 1",
       "{select [a] from [t] limit 1 union {select [b] from [u] order [1]}}"},
      {"SELECT a FROM t ORDER BY a UNION SELECT b FROM u",
       "{select [a] from [t] order [a] union {select [b] from [u]}}"},
      {"SELECT 1 UNION SELECT 2 LIMIT 1 UNION SELECT 3",
       "{select [1] union {select [2] limit 1} union {select [3]}}"},
      {"SELECT (SELECT MAX(a) FROM t) AS m", "{select [{select [(max a)] from [t]} as m]}"},
  };
  for (const Case& c : cases) EXPECT_EQ(select_text(c.sql), c.expected) << "sql: " << c.sql;
}

// Pairs of texts that must give structurally equal statements.
TEST(Parser, EquivalentTexts) {
  const Case cases[] = {
      {"start transaction", "BEGIN"},
      {"`START`", "BEGIN"},
      {"begin work", "BEGIN"},
      {"COMMIT TRANSACTION", "COMMIT"},
      {"rollback Work", "ROLLBACK"},
      {"ALTER TABLE t ADD COLUMN b INT", "alter table t add b INT"},
      {"CREATE TABLE t (a INT) ENGINE=x DEFAULT CHARSET=utf8", "CREATE TABLE t (a INT)"},
      {"CREATE TABLE t (a INT) AS SELECT 1", "CREATE TABLE t (a INT)"},
      {"CREATE TABLE t (a INT, UNIQUE KEY u (a))", "CREATE TABLE t (a INT, UNIQUE INDEX u (a))"},
      {"CREATE TABLE t (a INT, UNIQUE u (a))", "CREATE TABLE t (a INT, UNIQUE INDEX u (a))"},
      {"CREATE TABLE t (a INT, CONSTRAINT pk PRIMARY KEY (a), FOREIGN KEY (a) REFERENCES p (id) "
       "ON DELETE CASCADE, FULLTEXT KEY f (body), SPATIAL INDEX (g), b INT)",
       "CREATE TABLE t (a INT, b INT)"},
      {"CREATE TABLE t (a INT, `Constraint` INT, \"foreign\" TEXT)", "CREATE TABLE t (a INT)"},
      {"SELECT count(x), lower(x)", "SELECT COUNT(x), LOWER(x)"},
      {"INSERT INTO t VALUES (1) ON DUPLICATE KEY UPDATE a = VALUES(a)",
       "INSERT INTO t VALUES (1) on duplicate key update a = values(a)"},
  };
  for (const Case& c : cases) {
    EXPECT_TRUE(parse_one(c.sql) == parse_one(c.expected)) << c.sql << " vs " << c.expected;
  }
  EXPECT_FALSE(parse_one("SELECT x") == parse_one("SELECT X"));
  EXPECT_FALSE(parse_one("SELECT a IN (1)") == parse_one("SELECT a = 1"));
  EXPECT_FALSE(parse_one("SELECT DISTINCT a") == parse_one("SELECT a"));
  EXPECT_FALSE(parse_one("SELECT 1 UNION ALL SELECT 2") == parse_one("SELECT 1 UNION SELECT 2"));
}

TEST(Parser, OtherStatements) {
  EXPECT_TRUE(parse_one("CREATE UNIQUE INDEX IF NOT EXISTS i ON t (a, b)") ==
              Statement(Statement::CreateIndex{true, true, "i", "t", {"a", "b"}}));
  EXPECT_TRUE(parse_one("create index i on t (a)") ==
              Statement(Statement::CreateIndex{false, false, "i", "t", {"a"}}));
  EXPECT_TRUE(parse_one("DROP TABLE IF EXISTS t") == Statement(Statement::DropTable{true, "t"}));
  EXPECT_TRUE(parse_one("DROP INDEX i") == Statement(Statement::DropIndex{false, "i"}));
  EXPECT_TRUE(parse_one("PRAGMA journal_mode = WAL") ==
              Statement(Statement::Pragma{"journal_mode", "WAL"}));
  EXPECT_TRUE(parse_one("PRAGMA synchronous = ON") ==
              Statement(Statement::Pragma{"synchronous", "on"}));
  EXPECT_TRUE(parse_one("PRAGMA j = DELETE") == Statement(Statement::Pragma{"j", "delete"}));
  EXPECT_TRUE(parse_one("PRAGMA x = 1") == Statement(Statement::Pragma{"x", "1"}));
  EXPECT_TRUE(parse_one("PRAGMA x = 'Full'") == Statement(Statement::Pragma{"x", "Full"}));
  EXPECT_TRUE(parse_one("PRAGMA integrity_check") ==
              Statement(Statement::Pragma{"integrity_check", std::nullopt}));

  Statement up = parse_one("UPDATE t SET a = a + 1, b = 'x' WHERE id = 3");
  const auto& u = up.as<Statement::Update>();
  EXPECT_EQ(u.table, "t");
  ASSERT_EQ(u.assignments.size(), 2u);
  EXPECT_EQ(u.assignments[0].column, "a");
  EXPECT_EQ(tree_text(u.assignments[0].value), "(+ a 1)");
  EXPECT_EQ(u.assignments[1].column, "b");
  EXPECT_EQ(tree_text(*u.where), "(= id 3)");
  EXPECT_FALSE(parse_one("UPDATE t SET a = 1").as<Statement::Update>().where.has_value());

  Statement del = parse_one("DELETE FROM t WHERE a IS NULL");
  EXPECT_EQ(del.as<Statement::Delete>().table, "t");
  EXPECT_EQ(tree_text(*del.as<Statement::Delete>().where), "(isnull a)");
  EXPECT_FALSE(parse_one("DELETE FROM t").as<Statement::Delete>().where.has_value());
}

TEST(Parser, InsertForms) {
  struct ConflictCase {
    std::string_view sql;
    OnConflict::Kind kind;
  };
  const ConflictCase conflicts[] = {
      {"INSERT INTO t VALUES (1)", OnConflict::Kind::None},
      {"INSERT OR ABORT INTO t VALUES (1)", OnConflict::Kind::None},
      {"INSERT OR ROLLBACK INTO t VALUES (1)", OnConflict::Kind::None},
      {"INSERT IGNORE INTO t VALUES (1)", OnConflict::Kind::Ignore},
      {"insert or ignore into t values (1)", OnConflict::Kind::Ignore},
      {"INSERT IGNORE OR FAIL INTO t VALUES (1)", OnConflict::Kind::Ignore},
      {"INSERT IGNORE OR REPLACE INTO t VALUES (1)", OnConflict::Kind::Replace},
      {"INSERT OR REPLACE INTO t VALUES (1)", OnConflict::Kind::Replace},
      {"REPLACE INTO t VALUES (1)", OnConflict::Kind::Replace},
      {"INSERT INTO t VALUES (1) ON DUPLICATE KEY UPDATE a = 1", OnConflict::Kind::Update},
  };
  for (const auto& c : conflicts) {
    Statement s = parse_one(c.sql);
    EXPECT_EQ(s.as<Statement::Insert>().on_conflict.kind(), c.kind) << c.sql;
  }

  Statement rows = parse_one("INSERT INTO t (a, b) VALUES (1, 2), (3, ?)");
  const auto& ins = rows.as<Statement::Insert>();
  EXPECT_EQ(ins.table, "t");
  EXPECT_EQ(ins.columns, (std::vector<std::string>{"a", "b"}));
  const auto& values = ins.source.as<InsertSource::Values>();
  EXPECT_EQ(values.width, 2u);
  ASSERT_EQ(values.values.size(), 4u);
  EXPECT_EQ(tree_text(values.values[2]), "3");
  EXPECT_EQ(tree_text(values.values[3]), "?0");
  EXPECT_FALSE(parse_one("INSERT INTO t VALUES (1)").as<Statement::Insert>().columns.has_value());

  Statement sel = parse_one("INSERT INTO t (a, b) SELECT x, y FROM s");
  const auto& from_select = sel.as<Statement::Insert>();
  EXPECT_EQ(from_select.columns, (std::vector<std::string>{"a", "b"}));
  EXPECT_EQ(tree_text(from_select.source.as<InsertSource::Select>().select),
            "{select [x y] from [s]}");

  Statement upd =
      parse_one("INSERT INTO t VALUES (1, 2) ON DUPLICATE KEY UPDATE b = VALUES(b), c = 3");
  const auto& pairs = upd.as<Statement::Insert>().on_conflict.as<OnConflict::Update>().assignments;
  ASSERT_EQ(pairs.size(), 2u);
  EXPECT_EQ(pairs[0].column, "b");
  EXPECT_EQ(tree_text(pairs[0].value), "(VALUES b)");
  EXPECT_EQ(pairs[1].column, "c");
}

// A column definition as "name TYPE constraints...", with defaults in tree text.
std::string column_text(const ColumnDef& col) {
  std::string out = col.name;
  if (col.type_name) out += " " + *col.type_name;
  for (const Constraint& c : col.constraints) {
    switch (c.kind) {
      case Constraint::Kind::Default: out += " default(" + tree_text(c.value) + ")"; break;
      case Constraint::Kind::PrimaryKey: out += " pk"; break;
      case Constraint::Kind::NotNull: out += " notnull"; break;
      case Constraint::Kind::Unique: out += " unique"; break;
      case Constraint::Kind::AutoIncrement: out += " autoinc"; break;
    }
  }
  return out;
}

// CREATE TABLE's columns, then its indexes as "name?(columns) unique?".
std::string table_text(std::string_view sql) {
  Statement s = parse_one(sql);
  if (!s.is<Statement::CreateTable>()) return "not a CREATE TABLE";
  const auto& ct = s.as<Statement::CreateTable>();
  std::string out;
  for (const ColumnDef& col : ct.columns) out += (out.empty() ? "" : ", ") + column_text(col);
  for (const TableIndex& index : ct.indexes) {
    out += " | " + index.name.value_or("") + "(";
    for (size_t i = 0; i < index.columns.size(); ++i) out += (i ? "," : "") + index.columns[i];
    out += ")";
    if (index.unique) out += " unique";
    if (index.primary) out += " primary";
  }
  return out;
}

TEST(Parser, ColumnDefinitions) {
  const Case cases[] = {
      {"id INTEGER PRIMARY KEY AUTO_INCREMENT", "id INTEGER pk autoinc"},
      {"id INT(11) UNSIGNED NOT NULL AUTO_INCREMENT", "id INT notnull autoinc"},
      {"name VARCHAR(255) CHARACTER SET utf8mb4 COLLATE utf8mb4_bin "
       "DEFAULT NULL COMMENT 'the name'",
       "name VARCHAR default(NULL)"},
      {"ts TIMESTAMP NOT NULL DEFAULT CURRENT_TIMESTAMP ON UPDATE CURRENT_TIMESTAMP",
       "ts TIMESTAMP notnull default(NULL)"},
      {"a INT DEFAULT -5", "a INT default(-5)"},
      {"a DOUBLE DEFAULT -2.5", "a DOUBLE default(r-2.5)"},
      {"a DOUBLE DEFAULT -0.0", "a DOUBLE default(r-0.0)"},
      {"a TEXT DEFAULT 'abc'", "a TEXT default('abc')"},
      {"a INT DEFAULT -9223372036854775807", "a INT default(-9223372036854775807)"},
      {"a INT DEFAULT 1.5e3", "a INT default(r1500.0)"},
      {"a BOOL DEFAULT TRUE", "a BOOL default(NULL)"},
      {"a DATETIME DEFAULT NOW()", "a DATETIME default(NULL)"},
      {"a INT DEFAULT DEFAULT", "a INT default(NULL)"},
      {"a", "a"},
      {"a INT NULL", "a INT"},
      {"a INT KEY", "a INT"},
      {"a INT UNIQUE KEY", "a INT unique"},
      {"a INT UNIQUE UNIQUE NOT NULL NOT NULL", "a INT unique unique notnull notnull"},
      {"e ENUM('x', 'y') BINARY ZEROFILL", "e ENUM"},
      {"a TEXT CHARSET utf8 COLLATE utf8_bin", "a TEXT"},
      {"a INT COMMENT 'c' NOT NULL UNSIGNED", "a INT notnull"},
      {"`select` `int` PRIMARY KEY", "select int pk"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(table_text("CREATE TABLE t (" + std::string(c.sql) + ")"), c.expected) << c.sql;
    Statement alter = parse_one("ALTER TABLE t ADD " + std::string(c.sql));
    EXPECT_EQ(column_text(alter.as<Statement::AlterTableAdd>().column), c.expected) << c.sql;
  }
}

TEST(Parser, TableIndexesAndThePrimaryKeyPass) {
  const Case cases[] = {
      {"CREATE TABLE t (A INT, PRIMARY KEY (a))", "A INT pk"},
      {"CREATE TABLE t (a INT, b INT, PRIMARY KEY (a, b))", "a INT, b INT | (a,b) unique"},
      {"CREATE TABLE t (a INT, b INT, KEY idx (a(10) DESC, b ASC))", "a INT, b INT | idx(a,b)"},
      {"CREATE TABLE t (a INT, INDEX (a), UNIQUE (a), UNIQUE KEY INDEX u (a))",
       "a INT | (a) | (a) unique | u(a) unique"},
      {"CREATE TABLE t (a INT PRIMARY KEY, PRIMARY KEY (a))", "a INT pk"},
      {"CREATE TABLE t (a INT, b INT, PRIMARY KEY (a), PRIMARY KEY (B))", "a INT pk, b INT pk"},
      // A one-column clause naming no column vanishes without a trace.
      {"CREATE TABLE t (a INT, PRIMARY KEY (zz))", "a INT"},
      {"CREATE TABLE t (a INT, KEY k (a), PRIMARY KEY (a, b), PRIMARY KEY (a))",
       "a INT pk | k(a) | (a,b) unique"},
      {"CREATE TABLE IF NOT EXISTS t (a INT)", "a INT"},
  };
  for (const Case& c : cases) EXPECT_EQ(table_text(c.sql), c.expected) << c.sql;
  EXPECT_TRUE(
      parse_one("CREATE TABLE IF NOT EXISTS t (a INT)").as<Statement::CreateTable>().if_not_exists);
}

TEST(Parser, ParametersAreNumberedAcrossTheText) {
  auto r =
      parser::parse("SELECT ?; INSERT INTO t VALUES (?, ?); UPDATE t SET a = ? WHERE b IN (?)");
  ASSERT_TRUE(r.has_value());
  ASSERT_EQ(r->size(), 3u);
  EXPECT_EQ(tree_text((*r)[0].as<Statement::Select>().select.items[0].expr), "?0");
  const auto& values = (*r)[1].as<Statement::Insert>().source.as<InsertSource::Values>().values;
  EXPECT_EQ(tree_text(values[0]) + " " + tree_text(values[1]), "?1 ?2");
  const auto& up = (*r)[2].as<Statement::Update>();
  EXPECT_EQ(tree_text(up.assignments[0].value), "?3");
  EXPECT_EQ(tree_text(*up.where), "(in b ?4)");
}

TEST(Parser, CopiedSelectOutlivesItsOriginal) {
  const char* sql =
      "SELECT a, CASE WHEN b > 1 THEN 'x' ELSE NULL END AS c FROM t LEFT JOIN u ON t.id = u.id "
      "WHERE a IN (SELECT x FROM v WHERE y = (SELECT MAX(y) FROM v)) AND b NOT LIKE 'q%' "
      "UNION ALL SELECT 1, 2 ORDER BY 1 LIMIT 3";
  auto original = std::make_unique<Statement>(parse_one(sql));
  SelectStmt copy = original->as<Statement::Select>().select;
  EXPECT_TRUE(copy == original->as<Statement::Select>().select);
  original.reset();
  EXPECT_TRUE(copy == parse_one(sql).as<Statement::Select>().select);
  SelectStmt changed = copy;
  changed.unions[0].all = false;
  EXPECT_FALSE(changed == copy);
}

}  // namespace
}  // namespace vbk
