// Compiled expressions run: the kinds of node, CASE lowering, statement
// parameters and long chains; and the code generator's patch contract.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "compile/gen.h"
#include "support/sql_db.h"

namespace vbk {
namespace {

TEST(ExprRun, ValuesOfCompiledExpressions) {
  testing::SqlDb db;
  struct Case {
    const char* expr;
    const char* value;
  };
  const Case cases[] = {
      {"NULL", "Null"},
      {"1 + 2 * 3", "Int(7)"},
      {"-(5)", "Int(-5)"},
      {"NOT 0", "Int(1)"},
      {"7 / 2", "Int(3)"},
      {"1 / 0", "Null"},
      {"1 < 2 AND 2 < 1", "Int(0)"},
      {"NULL OR 1", "Int(1)"},
      {"NULL IS NULL", "Int(1)"},
      {"1 IS NOT NULL", "Int(1)"},
      {"'abc' LIKE 'a%'", "Int(1)"},
      {"'abc' NOT LIKE 'a%'", "Int(0)"},
      {"CAST('12x' AS INTEGER)", "Int(12)"},
      {"CAST(3 AS TEXT)", "Text(\"3\")"},
      {"upper('ab')", "Text(\"AB\")"},
      {"coalesce(NULL, NULL, 3)", "Int(3)"},
      {"x'01ff'", "Blob([1, 255])"},
      {"2.5", "Real(2.5)"},
      {"CASE WHEN 0 THEN 1 END", "Null"},
      {"CASE NULL WHEN NULL THEN 1 ELSE 2 END", "Int(2)"},
      {"CASE 2 WHEN 1 THEN 'one' WHEN 2 THEN 'two' ELSE 'many' END", "Text(\"two\")"},
      {"CASE WHEN 1 > 2 THEN 'a' WHEN 2 > 1 THEN 'b' END", "Text(\"b\")"},
      {"CASE 3 WHEN 1 THEN 'one' ELSE 'else' END", "Text(\"else\")"},
      {"? + 1", "Int(42)"},
      {"? IS NULL", "Int(0)"},
      {"?", "Text(\"p\")"},
  };
  // Each statement has at most one `?`: it reads 41, or "p" when it stands
  // alone.
  for (const Case& c : cases) {
    SCOPED_TRACE(c.expr);
    std::vector<Value> binds = {std::string(c.expr) == "?" ? Value::Text("p") : Value::Int(41)};
    auto r = db.run(std::string("SELECT ") + c.expr, binds);
    ASSERT_TRUE(r.has_value()) << r.error().display();
    ASSERT_EQ(r->rows.size(), 1u);
    EXPECT_EQ(r->rows[0][0].debug(), c.value);
  }
}

TEST(ExprRun, LongChainsGiveTheirValue) {
  testing::SqlDb db;
  db.schema("CREATE TABLE t (id INTEGER PRIMARY KEY, a INT);");
  db.must_run("INSERT INTO t VALUES (1, 5), (2, 6), (3, 7)");
  const int kLong = 50000;
  std::string sum = "1";
  std::string ors = "a = 6";
  for (int i = 0; i < kLong; ++i) {
    sum += " + 1";
    ors += " OR a = -1";
  }
  EXPECT_EQ(db.must_run("SELECT " + sum).rows[0][0].debug(), "Int(" + std::to_string(kLong + 1) + ")");
  auto r = db.must_run("SELECT id FROM t WHERE " + ors + " OR a = 7");
  ASSERT_EQ(r.rows.size(), 2u);
  EXPECT_EQ(r.rows[0][0].debug(), "Int(2)");
  EXPECT_EQ(r.rows[1][0].debug(), "Int(3)");
}

TEST(Gen, PatchRefusesInstructionsWithoutAJump) {
  compile::Gen gen;
  uint32_t halt = gen.emit(vdbe::Op::Integer{.v = 1, .dest = 0});
  uint32_t jump = gen.emit(vdbe::Op::Goto{});
  gen.patch(jump, 7);
  EXPECT_EQ(gen.ops[jump].debug(), "Goto { target: 7 }");
  try {
    gen.patch(halt, 1);
    ADD_FAILURE() << "no fault";
  } catch (const InternalFault& f) {
    EXPECT_STREQ(f.what(), "patch on non-jump op: Integer { v: 1, dest: 0 }");
  }
  EXPECT_THROW(gen.patch(9, 1), InternalFault);
}

}  // namespace
}  // namespace vbk
