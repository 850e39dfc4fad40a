// Aggregate queries run on a small fixed table: grouping, HAVING, bare
// columns, shared slots, the CASE rules and ORDER BY keys over groups. Rows
// are the program's raw output: groups in key order, ORDER BY keys behind
// the visible columns, nothing sorted yet.

#include <gtest/gtest.h>

#include <string>

#include "support/must.h"
#include "support/sql_db.h"
#include "support/values.h"

namespace vbk {
namespace {

using testing::I;
using testing::N;
using testing::R;
using testing::T;

class AggregateRunTest : public ::testing::Test {
 protected:
  void SetUp() override {
    db_.schema(
        "CREATE TABLE t (id INTEGER PRIMARY KEY, a INT, x INT, name TEXT);"
        "CREATE TABLE e (id INTEGER PRIMARY KEY, a INT, x INT);");
    db_.must_run(
        "INSERT INTO t VALUES (1, 1, 5, 'apple'), (2, 1, 7, 'bob'), (3, 2, NULL, 'cat'), "
        "(4, NULL, 3, 'ant'), (5, 2, 20, NULL)");
  }
  testing::SqlDb db_;
};

TEST_F(AggregateRunTest, GroupsAndTheirValues) {
  struct Case {
    const char* sql;
    std::vector<std::vector<Value>> rows;
  };
  const Case cases[] = {
      {"SELECT a, count(*), sum(x) FROM t GROUP BY a",
       {{N(), I(1), I(3)}, {I(1), I(2), I(12)}, {I(2), I(2), I(20)}}},
      // Without GROUP BY a bare column is the first row's value.
      {"SELECT a, count(*) FROM t", {{I(1), I(5)}}},
      {"SELECT t.a, count(*) FROM t GROUP BY a", {{N(), I(1)}, {I(1), I(2)}, {I(2), I(2)}}},
      {"SELECT a + 1, count(*) FROM t GROUP BY a + 1", {{N(), I(1)}, {I(2), I(2)}, {I(3), I(2)}}},
      {"SELECT upper(name) FROM t GROUP BY name",
       {{N()}, {T("ANT")}, {T("APPLE")}, {T("BOB")}, {T("CAT")}}},
      {"SELECT count(*) FROM t GROUP BY 1", {{I(5)}}},
      {"SELECT count(*), count(*) + 1, COUNT(*) FROM t", {{I(5), I(6), I(5)}}},
      {"SELECT sum(x), sum(t.x) FROM t", {{I(35), I(35)}}},
      {"SELECT max(name) LIKE 'c%' FROM t", {{I(1)}}},
      {"SELECT CASE WHEN sum(x) > 10 THEN 'big' END, count(*) FROM t", {{T("big"), I(5)}}},
      {"SELECT CASE WHEN a > 1 THEN 'hi' ELSE 'lo' END, count(*) FROM t GROUP BY a",
       {{T("lo"), I(1)}, {T("lo"), I(2)}, {T("hi"), I(2)}}},
      {"SELECT CASE a WHEN 2 THEN sum(x) END FROM t GROUP BY a", {{N()}, {N()}, {I(20)}}},
      {"SELECT a FROM t HAVING a > 1", {}},
      {"SELECT a FROM t HAVING a >= 1", {{I(1)}}},
      {"SELECT a, count(*) FROM t GROUP BY a HAVING count(*) > 1", {{I(1), I(2)}, {I(2), I(2)}}},
      {"SELECT a, count(*) FROM t GROUP BY a ORDER BY count(*) DESC, a",
       {{N(), I(1), I(1), N()}, {I(1), I(2), I(2), I(1)}, {I(2), I(2), I(2), I(2)}}},
      {"SELECT a FROM t GROUP BY a ORDER BY max(x)", {{N(), I(3)}, {I(1), I(7)}, {I(2), I(20)}}},
      {"SELECT count(*) FROM t WHERE x > 100", {{I(0)}}},
      {"SELECT a, count(*) FROM t WHERE x > 100 GROUP BY a", {}},
      {"SELECT * FROM t GROUP BY a",
       {{I(4), N(), I(3), T("ant")}, {I(1), I(1), I(5), T("apple")}, {I(3), I(2), N(), T("cat")}}},
      {"SELECT count(DISTINCT a), count(a), min(name), max(x), avg(x) FROM t",
       {{I(2), I(4), T("ant"), I(20), R(8.75)}}},
      {"SELECT sum(x) FROM t WHERE name LIKE 'a%' AND id > 1", {{I(3)}}},
      {"SELECT count(*), max(x) FROM e", {{I(0), N()}}},
      {"SELECT a, count(*) FROM e GROUP BY a", {}},
      {"SELECT a FROM e HAVING a > 1", {}},
  };
  for (const Case& c : cases) {
    auto got = db_.run(c.sql);
    ASSERT_TRUE(got.has_value()) << c.sql << ": " << got.error().display();
    EXPECT_EQ(testing::show_rows(got->rows), testing::show_rows(c.rows)) << c.sql;
  }
}

// Structurally equal calls share one slot; calls that differ in form do not.
TEST_F(AggregateRunTest, SlotSharing) {
  struct Case {
    const char* sql;
    size_t slots;
  };
  const Case cases[] = {
      {"SELECT count(*), count(*) + 1 FROM t", 1},
      {"SELECT count(x), COUNT(x) FROM t", 1},
      {"SELECT sum(x), sum(t.x) FROM t", 2},
      {"SELECT count(x), count(DISTINCT x) FROM t", 2},
      {"SELECT max(name) LIKE 'a%' FROM t", 1},
      {"SELECT CASE WHEN sum(x) > 10 THEN 'big' END, count(*) FROM t", 2},
      {"SELECT a, count(*) FROM t GROUP BY a HAVING count(*) > 1 ORDER BY count(*)", 1},
      // Bare columns become any() slots of their own.
      {"SELECT a, name FROM t HAVING 1", 2},
      {"SELECT a, name FROM t GROUP BY a", 1},
  };
  for (const Case& c : cases) {
    vdbe::Program p = testing::must(db_.compile(c.sql));
    EXPECT_EQ(p.aggs.size(), c.slots) << c.sql;
  }
}

}  // namespace
}  // namespace vbk
