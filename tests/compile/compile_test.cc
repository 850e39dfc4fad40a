// What the compiler decides: access paths, names, column names, LIMIT, and
// the errors it reports, in the order it meets them.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "compile/compile.h"
#include "compile/expr.h"
#include "compile/names.h"
#include "sql/parser.h"
#include "support/must.h"
#include "support/sql_db.h"

namespace vbk {
namespace {

using testing::must;
using vdbe::Op;

constexpr const char* kSchema =
    "CREATE TABLE t (id INTEGER PRIMARY KEY, a INT, b TEXT, c INT NOT NULL);"
    "CREATE INDEX t_a ON t (a);"
    "CREATE INDEX t_a2 ON t (a);"
    "CREATE INDEX t_ab ON t (a, b);"
    "CREATE INDEX t_ca ON t (c, a);"
    "CREATE TABLE n (id INTEGER PRIMARY KEY, a INT, b TEXT);"
    // A declared column named rowid, indexed: the name still means the rowid.
    "CREATE TABLE r (`rowid` INT, a INT);"
    "CREATE INDEX r_rowid ON r (`rowid`);"
    "CREATE INDEX r_rowid_a ON r (`rowid`, a);"
    "CREATE TABLE `Ärger` (x INT, `Größe` INT);";

class CompileTest : public ::testing::Test {
 protected:
  CompileTest() { db_.schema(kSchema); }

  // How the program finds its rows: "rowid", "index NAME", "scan from K"
  // (SeekScan on an Integer literal), "scan", or the compile error.
  std::string access(const std::string& sql) {
    auto p = db_.compile(sql);
    if (!p) return "error: " + p.error().text();
    const auto& ops = p->ops;
    for (size_t i = 0; i < ops.size(); ++i) {
      switch (ops[i].kind()) {
        case Op::Kind::SeekRowid: return "rowid";
        case Op::Kind::OpenIndex: {
          uint32_t root = ops[i].get<Op::OpenIndex>().root;
          for (const auto& [name, index] : db_.catalog().indexes()) {
            if (index.root == root) return "index " + name;
          }
          return "index ?";
        }
        case Op::Kind::SeekScan: {
          // The key register's loading instruction comes right before.
          const Op& load = ops[i - 1];
          if (load.kind() == Op::Kind::Integer) {
            return "scan from " + std::to_string(load.get<Op::Integer>().v);
          }
          return "scan from " + load.debug();
        }
        case Op::Kind::Rewind: return "scan";
        case Op::Kind::TruncateFrom: {
          return "truncate from " + std::to_string(ops[i - 1].get<Op::Integer>().v);
        }
        default: break;
      }
    }
    return "none";
  }

  testing::SqlDb db_;
};

struct Case {
  const char* sql;
  const char* expected;
};

TEST_F(CompileTest, AccessPathChoice) {
  const Case cases[] = {
      {"SELECT a FROM t WHERE rowid = 3", "rowid"},
      {"SELECT a FROM t WHERE 3 = rowid", "rowid"},
      {"SELECT a FROM t WHERE id = 3", "rowid"},
      {"SELECT a FROM t WHERE ID = 1 + 2", "rowid"},
      {"SELECT a FROM t WHERE t.id = 3", "rowid"},
      {"SELECT a FROM t AS x WHERE X.rowid = 3", "rowid"},
      {"SELECT a FROM t WHERE rowid = 3 AND b = 'q'", "scan"},
      {"SELECT a FROM t WHERE rowid = ?", "scan"},
      // The index with the most leading equality columns, earliest on a tie.
      {"SELECT a FROM t WHERE a = 1", "index t_a"},
      {"SELECT a FROM t WHERE b = 'x' AND a = 1", "index t_ab"},
      {"SELECT a FROM t WHERE a = 1 AND a = 2", "index t_a"},
      {"SELECT a FROM t WHERE c = 1 AND a = 1", "index t_ca"},
      {"SELECT a FROM t WHERE c = 1 AND b = 'x'", "index t_ca"},
      {"SELECT a FROM t WHERE b = 'x'", "scan"},
      {"SELECT a FROM t WHERE a = ?", "scan"},
      {"SELECT a FROM t WHERE a = 1 OR a = 2", "scan"},
      {"SELECT a FROM t WHERE a = b", "scan"},
      {"SELECT a FROM t WHERE A = 1", "index t_a"},
      // A range on the first column of the earliest index that has one.
      {"SELECT a FROM t WHERE a > 5 AND a > 7", "index t_a"},
      {"SELECT a FROM t WHERE 5 < c", "index t_ca"},
      {"SELECT a FROM t WHERE b < 'x'", "scan"},
      // Scans start at an integer rowid lower bound and nowhere else.
      {"SELECT a FROM t WHERE rowid > 10", "scan from 10"},
      {"SELECT a FROM t WHERE 10 <= id", "scan from 10"},
      {"SELECT a FROM t WHERE rowid < 10", "scan"},
      {"SELECT a FROM t WHERE rowid > 2.5", "scan"},
      {"SELECT a FROM t WHERE rowid > '3'", "scan"},
      {"SELECT a FROM t WHERE rowid > ?", "scan"},
      {"SELECT a FROM t WHERE rowid > 2.5 AND rowid >= 4", "scan from 4"},
      {"SELECT a FROM t WHERE rowid > -(5)", "scan from Un { op: Neg, a: 1, dest: 2 }"},
      // A declared column named rowid never serves as an index column.
      {"SELECT a FROM r WHERE rowid = 5", "rowid"},
      {"SELECT a FROM r WHERE rowid = 5 AND a = 1", "scan"},
      {"SELECT a FROM r WHERE rowid > 10", "scan from 10"},
      {"SELECT a FROM r WHERE rowid < 10", "scan"},
      // Shortcuts of DELETE: truncation needs no index and a plain rowid
      // bound on an integer literal.
      {"DELETE FROM n", "truncate from -9223372036854775808"},
      {"DELETE FROM n WHERE rowid >= 5", "truncate from 5"},
      {"DELETE FROM n WHERE rowid > 4", "truncate from 5"},
      {"DELETE FROM n WHERE 5 <= rowid", "truncate from 5"},
      {"DELETE FROM n WHERE 4 < id", "truncate from 5"},
      {"DELETE FROM n WHERE n.rowid >= 5", "truncate from 5"},
      {"DELETE FROM n WHERE rowid >= -5", "scan from Un { op: Neg, a: 0, dest: 1 }"},
      {"DELETE FROM n WHERE rowid >= 5 AND 1", "scan from 5"},
      {"DELETE FROM n WHERE rowid = 5", "scan"},
      {"DELETE FROM n WHERE rowid > 9223372036854775807", "scan from 9223372036854775807"},
      {"DELETE FROM t WHERE rowid >= 5", "index t_a"},
      {"UPDATE n SET a = 1 WHERE rowid >= 5", "scan from 5"},
  };
  for (const Case& c : cases) EXPECT_EQ(access(c.sql), c.expected) << c.sql;
}

// Failures, each the first one the compiler meets.
TEST_F(CompileTest, Errors) {
  const Case cases[] = {
      {"SELECT a FROM T", "no such table: T"},
      {"SELECT x.a FROM t", "no such table: x"},
      {"SELECT t.a FROM t AS x", "no such table: t"},
      {"SELECT nope FROM t", "no such column: nope"},
      {"SELECT x.nope FROM t AS x", "no such column: nope"},
      {"SELECT nosuch(1) FROM t", "unknown function NOSUCH"},
      {"SELECT a FROM t WHERE VALUES(a) = 1", "unknown function VALUES"},
      {"SELECT a FROM t WHERE a IN (1, 2)", "IN(...) must be folded before compilation"},
      {"SELECT a FROM t WHERE a IN (SELECT a FROM t)", "IN(...) must be folded before compilation"},
      {"SELECT a FROM t ORDER BY count(*)", "aggregate functions are not allowed here"},
      {"SELECT CASE WHEN 1 THEN max(a) END FROM t", "aggregate functions are not allowed here"},
      {"SELECT (SELECT 1)", "subquery requires a FROM context"},
      {"SELECT a FROM t LIMIT -1", "LIMIT must be a constant integer"},
      {"SELECT a FROM t LIMIT ?", "LIMIT must be a constant integer"},
      {"SELECT a FROM t LIMIT 1.5", "LIMIT must be a constant integer"},
      {"SELECT a FROM t LIMIT 1 OFFSET 'a'", "LIMIT must be a constant integer"},
      {"SELECT nope FROM t LIMIT 'x'", "no such column: nope"},
      {"SELECT count(*) FROM nope", "no such table: nope"},
      {"SELECT count(*) FROM t LIMIT 'x'", "LIMIT must be a constant integer"},
      {"SELECT 1 WHERE 1", "WHERE/ORDER BY require a FROM clause"},
      {"SELECT 1 ORDER BY 1", "WHERE/ORDER BY require a FROM clause"},
      {"SELECT *", "SELECT * requires a FROM clause"},
      {"SELECT 1, t.*", "SELECT * requires a FROM clause"},
      {"SELECT a", "no such column: a"},
      {"SELECT t.* FROM t AS x", "unknown table in t.*"},
      // A qualified rowid is a shortcut only for the table's own name.
      {"SELECT a FROM t WHERE x.rowid = 3", "no such table: x"},
      {"SELECT a FROM t WHERE x.id = 3", "no such table: x"},
      {"DELETE FROM n WHERE x.rowid >= 5", "no such table: x"},
      {"DELETE FROM t WHERE x.rowid >= 5", "no such table: x"},
      {"DELETE FROM nope", "no such table: nope"},
      {"UPDATE nope SET a = 1", "no such table: nope"},
      {"UPDATE n SET nope = 1 WHERE also_nope = 1", "no such column: nope"},
      {"UPDATE n SET a = nope WHERE also_nope = 1", "no such column: also_nope"},
      {"UPDATE n SET b = nope1, a = nope2", "no such column: nope2"},
      {"UPDATE n SET a = nope1, a = 2", "none"},
      {"INSERT INTO nope VALUES (1)", "no such table: nope"},
      {"INSERT INTO n (a, nope) VALUES (1)", "no such column: nope"},
      {"INSERT INTO n (a, b) VALUES (1)", "table n expects 2 values, got 1"},
      {"INSERT INTO n VALUES (1, 2)", "table n expects 3 values, got 2"},
      {"INSERT INTO n (a, A) VALUES (1, 2)", "none"},
      {"INSERT INTO n (a) VALUES (b)", "no such column: b"},
      {"INSERT INTO n (a) VALUES (count(*))", "aggregate functions are not allowed here"},
      {"SELECT count(*) FROM t WHERE a = 1", "none"},
      {"SELECT count(*), a FROM t", "none"},
      {"SELECT a FROM t GROUP BY a", "none"},
      {"SELECT count(*)", "aggregate query needs a FROM clause"},
      {"SELECT a FROM t, n", "ambiguous column: a"},
      {"SELECT a FROM t WHERE a = (SELECT t.a)", "none"},
  };
  for (const Case& c : cases) {
    auto p = db_.compile(c.sql);
    std::string got = p ? "none" : p.error().text();
    EXPECT_EQ(got, c.expected) << c.sql;
    if (!p) {
      EXPECT_EQ(p.error().kind(), Error::Kind::Exec) << c.sql;
    }
  }
}

TEST_F(CompileTest, ResultColumnsAndFinishing) {
  struct NamesCase {
    const char* sql;
    std::vector<std::string> columns;
    uint32_t width;
    std::vector<bool> order_desc;
    std::optional<int64_t> limit, offset;
    bool distinct;
  };
  const NamesCase cases[] = {
      {"SELECT count(*) FROM t", {"count(*)"}, 1, {}, {}, {}, false},
      {"SELECT DISTINCT count(*) AS n FROM t LIMIT 0", {"n"}, 1, {}, 0, {}, true},
      {"SELECT 1, 2", {"expr", "expr"}, 2, {}, {}, {}, false},
      {"SELECT t.a, a * 2, b AS bee FROM t ORDER BY c, a DESC LIMIT 5 OFFSET 2",
       {"a", "expr", "bee"}, 3, {false, true}, 5, 2, false},
      {"SELECT * FROM n", {"id", "a", "b"}, 3, {}, {}, {}, false},
      {"SELECT X.*, 1 FROM n AS x", {"id", "a", "b", "expr"}, 4, {}, {}, {}, false},
      {"SELECT `ÄRGER`.* FROM `Ärger`", {"x", "Größe"}, 2, {}, {}, {}, false},
      {"SELECT * FROM `Ärger`", {"x", "Größe"}, 2, {}, {}, {}, false},
  };
  for (const NamesCase& c : cases) {
    vdbe::Program p = must(db_.compile(c.sql));
    EXPECT_EQ(p.columns, c.columns) << c.sql;
    EXPECT_EQ(p.width, c.width) << c.sql;
    EXPECT_EQ(p.order_desc, c.order_desc) << c.sql;
    EXPECT_EQ(p.limit, c.limit) << c.sql;
    EXPECT_EQ(p.offset, c.offset) << c.sql;
    EXPECT_EQ(p.distinct, c.distinct) << c.sql;
  }
}

TEST(ExprName, DefaultNames) {
  const Case cases[] = {
      {"count(*)", "count(*)"}, {"count(DISTINCT x)", "count(x)"}, {"sum(a+1)", "sum(expr)"},
      {"max(t.b)", "max(b)"},   {"t.a", "a"},                      {"a * 2", "expr"},
      {"1", "expr"},            {"MIN(a)", "min(a)"},
  };
  for (const Case& c : cases) {
    Statement s = testing::parse_one(std::string("SELECT ") + c.sql);
    const Expr& e = s.as<Statement::Select>().select.items[0].expr;
    EXPECT_EQ(compile::expr_name(e), c.expected) << c.sql;
  }
  Expr any = Expr::Aggregate{AggFunc::Any, Expr::Column{std::nullopt, "q"}, false};
  EXPECT_EQ(compile::expr_name(any), "q");
  EXPECT_EQ(compile::expr_name(Expr::Aggregate{AggFunc::Any, {}, false}), "any(*)");
}

TEST_F(CompileTest, Resolution) {
  const TableDef* t = db_.catalog().get("t");
  const TableDef* r = db_.catalog().get("r");
  const TableDef* ae = db_.catalog().get("Ärger");
  compile::Ctx ctx{{{"t", t, 0}, {"x", r, 1}, {"t", r, 2}, {"ärger", ae, 3}}, db_.catalog()};
  struct ResolveCase {
    std::optional<std::string> qualifier;
    const char* column;
    const char* expected;  // ParamSrc debug text or the error
  };
  const ResolveCase cases[] = {
      {"X", "rowid", "Rowid(1)"},
      {"x", "ROWID", "Rowid(1)"},
      {std::nullopt, "rowid", "ambiguous rowid; qualify it with a table"},
      {"t", "rowid", "ambiguous rowid; qualify it with a table"},
      {"T", "ID", "Rowid(0)"},
      {std::nullopt, "c", "Column(0, 3)"},
      {std::nullopt, "a", "ambiguous column: a"},
      {"t", "a", "ambiguous column: a"},
      {"x", "A", "Column(1, 1)"},
      {"y", "a", "no such table: y"},
      {"x", "c", "no such column: c"},
      {"ÄRGER", "GRÖßE", "no such column: GRÖßE"},  // column names fold ASCII only
      {"ÄRGER", "Größe", "Column(3, 1)"},
  };
  for (const ResolveCase& c : cases) {
    auto got = ctx.resolve(c.qualifier, c.column);
    std::string text;
    if (got) {
      vdbe::append_debug(text, *got);
    } else {
      text = got.error().text();
    }
    EXPECT_EQ(text, c.expected) << c.qualifier.value_or("") << "." << c.column;
  }
}

TEST_F(CompileTest, RowidNamesResolveToTheRowid) {
  // SELECT rowid reads the rowid even where a column is declared so; the
  // rowid alias compiles to Rowid.
  auto kinds = [&](const char* sql) {
    std::string out;
    for (const Op& op : must(db_.compile(sql)).ops) {
      if (op.kind() == Op::Kind::Rowid || op.kind() == Op::Kind::Column) out += op.debug() + ";";
    }
    return out;
  };
  EXPECT_EQ(kinds("SELECT rowid, a FROM r"), "Rowid { cur: 0, dest: 2 };Column { cur: 0, col: 1, dest: 3 };");
  EXPECT_EQ(kinds("SELECT ID, a FROM t"), "Rowid { cur: 0, dest: 2 };Column { cur: 0, col: 1, dest: 3 };");
}

// A statement at the parser's nesting limit, and left-deep chains far past
// it, compile (under the sanitizers too), the chains with the same shape as
// a short chain.
TEST_F(CompileTest, DeepNestingAndLongChains) {
  auto nested = [](const char* open, const char* close, int depth) {
    std::string s;
    for (int i = 0; i < depth; ++i) s += open;
    s += "a";
    for (int i = 0; i < depth; ++i) s += close;
    return s;
  };
  const std::pair<const char*, const char*> shapes[] = {
      {"-(", ")"}, {"1 + (", ")"}, {"abs(", ")"}, {"CASE WHEN 1 THEN ", " END"}, {"NOT ", ""},
      {"CAST(", " AS INT)"},
  };
  for (const auto& [open, close] : shapes) {
    // The deepest nesting the parser takes.
    int depth = parser::kMaxNestingDepth;
    std::optional<Statement> stmt;
    for (; depth > 0 && !stmt; --depth) {
      auto parsed = parser::parse("SELECT " + nested(open, close, depth) + " FROM t");
      if (parsed) stmt = std::move((*parsed)[0]);
    }
    ASSERT_TRUE(stmt.has_value()) << open;
    EXPECT_GT(depth, parser::kMaxNestingDepth / 2 - 5) << open;
    auto p = db_.compile(*stmt);
    EXPECT_TRUE(p.has_value()) << open << (p ? "" : p.error().text());
  }

  const int kLong = 100000;
  std::string ors = "a = 1";
  std::string sums = "1";
  std::string ands = "a = 1";
  for (int i = 0; i < kLong; ++i) {
    ors += " OR a = 1";
    sums += " + 1";
    ands += " AND b IS NULL";
  }
  vdbe::Program p = must(db_.compile("SELECT a FROM t WHERE " + ors));
  EXPECT_EQ(p.ops.size(), 3 + 3 * (kLong + 1) + kLong + 5);  // Open, Rewind, tests, IfFalse...
  // A constant chain is a rowid lookup key; an AND chain feeds the index
  // choice; an aggregate at the bottom of a chain hands the query over.
  EXPECT_EQ(access("SELECT a FROM t WHERE rowid = " + sums), "rowid");
  EXPECT_EQ(access("SELECT a FROM t WHERE " + ands), "index t_a");
  EXPECT_EQ(access("SELECT count(*)" + sums.substr(1) + " FROM t"), "scan");
  EXPECT_EQ(access("SELECT a FROM t WHERE a IN (1) OR " + ors),
            "error: IN(...) must be folded before compilation");
}


// A schema row read from a damaged file may state a rowid alias past the
// table's columns; statements on the table compile without reading past
// them (the sanitizer build would catch a read).
TEST(CompileDamagedSchema, AnAliasPastTheColumnsIsNeverIndexed) {
  testing::SqlDb db;
  db.create_table("d", {{"a", "INT", false, false, {}}, {"b", "TEXT", false, false, {}}}, 100);
  for (const char* sql : {"INSERT INTO d VALUES (1, 'x')", "INSERT INTO d (a) VALUES (1)",
                          "UPDATE d SET a = 2, b = 'y'", "SELECT a FROM d WHERE a > 1"}) {
    EXPECT_TRUE(db.compile(sql).has_value()) << sql;
  }
}

}  // namespace
}  // namespace vbk
