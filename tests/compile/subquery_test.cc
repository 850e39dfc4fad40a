// Correlated scalar subqueries: the parameter slots their outer references
// become, the errors of the rewrite, the nesting bound, and their values in
// SELECT, WHERE, ON and UPDATE SET against loops in the test.

#include <gtest/gtest.h>

#include <map>
#include <optional>
#include <string>
#include <vector>

#include "support/must.h"
#include "support/sql_db.h"
#include "support/values.h"
#include "vdbe/limits.h"

namespace vbk {
namespace {

using testing::I;
using testing::must;
using testing::N;
using vdbe::Op;

class SubqueryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    db_.schema(
        "CREATE TABLE t (id INTEGER PRIMARY KEY, a INT, b INT, k INT);"
        "CREATE TABLE u (id INTEGER PRIMARY KEY, k INT, v INT);");
  }

  // The params of the first Op::ScalarSub of `p`, as "Column(0, 1) Rowid(0)".
  static std::string params_of(const vdbe::Program& p) {
    for (const Op& op : p.ops) {
      if (op.kind() != Op::Kind::ScalarSub) continue;
      std::string out;
      for (const vdbe::ParamSrc& s : op.get<Op::ScalarSub>().params) {
        if (!out.empty()) out += ' ';
        vdbe::append_debug(out, s);
      }
      return out;
    }
    return "no subquery";
  }

  std::string params(const std::string& sql) {
    auto p = db_.compile(sql);
    return p ? params_of(*p) : "error: " + p.error().text();
  }

  testing::SqlDb db_;
};

TEST_F(SubqueryTest, OuterReferencesBecomeSlots) {
  struct Case {
    const char* sql;
    const char* params;
  };
  const Case cases[] = {
      {"SELECT t.a, (SELECT count(*) FROM u WHERE u.k = t.a) FROM t", "Column(0, 1)"},
      // One slot per key, whatever the letter case.
      {"SELECT (SELECT count(*) FROM u WHERE u.k = T.A AND u.v = t.a) FROM t", "Column(0, 1)"},
      // Slots in the order met: result items, ON, WHERE, GROUP BY, HAVING,
      // ORDER BY.
      {"SELECT (SELECT u.v FROM u WHERE u.k = t.b AND u.v = t.a) FROM t", "Column(0, 2) Column(0, 1)"},
      {"SELECT (SELECT t.b FROM u WHERE u.k = t.a ORDER BY t.k) FROM t",
       "Column(0, 2) Column(0, 1) Column(0, 3)"},
      {"SELECT (SELECT count(*) FROM u JOIN u AS w ON w.k = t.k WHERE u.k = t.a GROUP BY t.b "
       "HAVING t.id > 0) FROM t",
       "Column(0, 3) Column(0, 1) Column(0, 2) Rowid(0)"},
      // The rowid and the rowid alias column read the same value under two
      // keys.
      {"SELECT (SELECT count(*) FROM u WHERE u.k = t.rowid OR u.v = t.id) FROM t",
       "Rowid(0) Rowid(0)"},
      // A qualifier that names a table of the subquery stays inside it.
      {"SELECT (SELECT x.v FROM u AS x WHERE x.k = t.k) FROM t", "Column(0, 3)"},
      {"SELECT (SELECT max(t.k) FROM t WHERE t.a = 1) FROM t", ""},
      {"SELECT (SELECT CASE WHEN u.k = t.k THEN 1 ELSE 0 END FROM u) FROM t", "Column(0, 3)"},
      {"SELECT (SELECT u.v FROM u WHERE u.k = s.a) FROM t JOIN t AS s ON s.id = t.a",
       "Column(1, 1)"},
      {"UPDATE t SET b = (SELECT max(u.v) FROM u WHERE u.k = t.k)", "Column(0, 3)"},
      {"DELETE FROM t WHERE (SELECT count(*) FROM u WHERE u.k = t.k) = 0", "Column(0, 3)"},
      {"SELECT count(*) FROM t WHERE (SELECT count(*) FROM u WHERE u.k = t.k) = 0",
       "Column(0, 3)"},
      // Errors of the rewrite and of compiling the rewritten copy.
      {"SELECT (SELECT u.v FROM u WHERE u.k = a) FROM t", "error: no such column: a"},
      {"SELECT (SELECT u.v FROM u WHERE u.k = nosuch.k) FROM t", "error: no such table: nosuch"},
      {"SELECT (SELECT u.v FROM u WHERE u.k = t.nosuch) FROM t", "error: no such column: nosuch"},
      {"SELECT (SELECT u.v FROM u LIMIT t.a) FROM t", "error: LIMIT must be a constant integer"},
      {"SELECT (SELECT u.v FROM u WHERE u.k IN (1, 2) AND u.v = t.a) FROM t",
       "error: IN(...) must be folded before compilation"},
      {"SELECT (SELECT u.v FROM u WHERE u.k = t.k)", "error: subquery requires a FROM context"},
      {"SELECT (SELECT u.v FROM nope AS u WHERE u.k = t.k) FROM t", "error: no such table: nope"},
  };
  for (const Case& c : cases) EXPECT_EQ(params(c.sql), c.params) << c.sql;
}

// A reference two levels out reaches the inner sub-program through the
// outer one's slot; a reference to the outer subquery's table is a column
// of the outer sub-program's cursor.
TEST_F(SubqueryTest, TwoLevels) {
  vdbe::Program p = must(db_.compile(
      "SELECT (SELECT (SELECT count(*) FROM u AS w WHERE w.k = t.a AND w.v = q.v) FROM u AS q) "
      "FROM t"));
  EXPECT_EQ(params_of(p), "Column(0, 1)");
  ASSERT_EQ(p.subprograms.size(), 1u);
  EXPECT_EQ(params_of(p.subprograms[0]), "Param(0) Column(0, 2)");
  ASSERT_EQ(p.subprograms[0].subprograms.size(), 1u);
}

// Sub-programs nest at most 64 deep below the statement, counted the way
// the machine counts them: a statement at the limit compiles and runs.
TEST_F(SubqueryTest, NestingBound) {
  db_.must_run("INSERT INTO t VALUES (1, 7, 0, 0)");
  db_.must_run("INSERT INTO u VALUES (1, 0, 0)");
  auto nested = [](uint32_t depth) {
    std::string s = "t.a";
    for (uint32_t i = 0; i < depth; ++i) s = "(SELECT " + s + " FROM u)";
    return "SELECT " + s + " FROM t";
  };
  auto at_limit = db_.run(nested(vdbe::kMaxSubprogramDepth));
  ASSERT_TRUE(at_limit.has_value()) << at_limit.error().display();
  EXPECT_EQ(testing::show_rows(at_limit->rows), "[Int(7)]");
  auto over = db_.compile(nested(vdbe::kMaxSubprogramDepth + 1));
  ASSERT_FALSE(over.has_value());
  EXPECT_EQ(over.error().kind(), Error::Kind::Exec);
  EXPECT_EQ(over.error().text(), vdbe::kSubprogramDepthMessage);
  // Deeper than the parser allows for an expression, but still refused
  // without recursing per level.
  auto far = db_.compile(nested(600));
  ASSERT_FALSE(far.has_value());
  EXPECT_EQ(far.error().text(), vdbe::kSubprogramDepthMessage);
}

struct TRow {
  int64_t id;
  std::optional<int64_t> a, b, k;
};
struct URow {
  int64_t id;
  std::optional<int64_t> k, v;
};

Value opt(const std::optional<int64_t>& v) { return v ? I(*v) : N(); }

// Values of correlated subqueries against loops in the test, with repeated
// outer values so that the machine's cache is hit.
TEST_F(SubqueryTest, ValuesMatchLoops) {
  const std::vector<TRow> ts = {{1, 1, 0, 2},  {2, 2, 0, 2},          {3, 1, 0, 9},
                                {4, std::nullopt, 0, 1}, {5, 3, 0, 2}, {6, 2, 0, std::nullopt}};
  const std::vector<URow> us = {{1, 1, 10}, {2, 1, 30}, {3, 2, 5}, {4, 3, std::nullopt},
                                {5, std::nullopt, 7}, {6, 2, 1}};
  for (const TRow& r : ts) {
    std::vector<Value> row = {I(r.id), opt(r.a), opt(r.b), opt(r.k)};
    db_.must_run("INSERT INTO t VALUES (?, ?, ?, ?)", row);
  }
  for (const URow& r : us) {
    std::vector<Value> row = {I(r.id), opt(r.k), opt(r.v)};
    db_.must_run("INSERT INTO u VALUES (?, ?, ?)", row);
  }
  auto matches = [&](const std::optional<int64_t>& key) {
    std::vector<const URow*> out;
    for (const URow& u : us) {
      if (key && u.k == key) out.push_back(&u);
    }
    return out;
  };
  auto count_of = [&](const std::optional<int64_t>& key) {
    return I(static_cast<int64_t>(matches(key).size()));
  };
  auto max_of = [&](const std::optional<int64_t>& key) {
    std::optional<int64_t> m;
    for (const URow* u : matches(key)) {
      if (u->v && (!m || *u->v > *m)) m = u->v;
    }
    return opt(m);
  };

  {
    std::vector<std::vector<Value>> want;
    for (const TRow& r : ts) want.push_back({I(r.id), count_of(r.a), max_of(r.a)});
    auto got = must(db_.run(
        "SELECT t.id, (SELECT count(*) FROM u WHERE u.k = t.a), "
        "(SELECT u.v FROM u WHERE u.k = t.a AND u.v IS NOT NULL ORDER BY u.v DESC LIMIT 1) FROM t"));
    EXPECT_EQ(testing::show_rows(got.rows), testing::show_rows(want));
  }
  {
    std::vector<std::vector<Value>> want;
    for (const TRow& r : ts) {
      if (count_of(r.a).as_int() >= 2) want.push_back({I(r.id)});
    }
    auto got = must(db_.run("SELECT t.id FROM t WHERE (SELECT count(*) FROM u WHERE u.k = t.a) >= 2"));
    EXPECT_EQ(testing::show_rows(got.rows), testing::show_rows(want));
  }
  {
    // Two levels: the inner subquery reads t.k through the outer one.
    std::vector<std::vector<Value>> want;
    for (const TRow& r : ts) {
      int64_t n = 0;
      for (const URow& q : us) {
        if (q.k == r.a) {
          for (const URow& w : us) n += (r.k && w.k == q.k && w.id <= *r.k) ? 1 : 0;
        }
      }
      want.push_back({I(n)});
    }
    auto got = must(db_.run(
        "SELECT (SELECT sum((SELECT count(*) FROM u AS w WHERE w.k = q.k AND w.id <= t.k)) "
        "FROM u AS q WHERE q.k = t.a) FROM t"));
    // sum over no rows is NULL where the test counts 0.
    for (auto& row : got.rows) {
      if (row[0].is_null()) row[0] = I(0);
    }
    EXPECT_EQ(testing::show_rows(got.rows), testing::show_rows(want));
  }
  {
    // In an ON condition: a row lookup keyed by the subquery's value.
    std::vector<std::vector<Value>> want;
    for (const TRow& r : ts) {
      Value m = max_of(r.a);
      for (const TRow& s : ts) {
        if (!m.is_null() && s.id == m.as_int() % 7) want.push_back({I(r.id), I(s.id)});
      }
    }
    auto got = must(db_.run(
        "SELECT t.id, s.id FROM t JOIN t AS s ON s.id = (SELECT max(u.v) FROM u WHERE u.k = t.a) % 7"));
    EXPECT_EQ(testing::show_rows(got.rows), testing::show_rows(want));
  }
  {
    auto done = must(db_.run("UPDATE t SET b = (SELECT max(u.v) FROM u WHERE u.k = t.a)"));
    EXPECT_EQ(done.changes, ts.size());
    std::vector<std::vector<Value>> want;
    for (const TRow& r : ts) want.push_back({I(r.id), max_of(r.a)});
    auto got = must(db_.run("SELECT id, b FROM t"));
    EXPECT_EQ(testing::show_rows(got.rows), testing::show_rows(want));
  }
}

}  // namespace
}  // namespace vbk
