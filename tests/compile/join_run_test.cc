// Joins and aggregate queries over random small tables, against nested
// loops in the test (ON and WHERE evaluated with the machine's value
// operations) and against the same query on index-free copies. Indexed
// columns hold one kind each (numbers in b.x, texts in c.t, and NULLs): an
// index lookup only meets values of its key's kind. The numbers hold zeros of
// both signs and integers around 2^53, whose keys are shared or adjacent.
//
// Index-only and anti-join levels are checked against query forms that
// turn them off (count(B.x) for count(*), B.rowid + 0 IS NULL for
// B.rowid IS NULL), which go through the ordinary path.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <functional>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "btree/keyenc.h"
#include "record/compare.h"
#include "support/sql_db.h"
#include "support/values.h"
#include "vdbe/functions.h"
#include "vdbe/value_ops.h"

namespace vbk {
namespace {

constexpr int64_t kP53 = int64_t{1} << 53;

// A row: its rowid (the id column), then its columns after id.
using TRow = std::vector<Value>;
using Table = std::vector<TRow>;
// One combination of rows, one per level; null for a NULL-extended level.
using Tuple = std::vector<const TRow*>;
using Pred = std::function<bool(const Tuple&)>;

Value col(const Tuple& t, size_t level, size_t i) {
  return t[level] == nullptr ? Value::Null() : (*t[level])[i];
}

bool holds(vdbe::BinKind op, const Value& a, const Value& b) {
  return value_ops::is_truthy(vdbe::apply_bin(op, a, b));
}

bool eq(const Value& a, const Value& b) { return holds(vdbe::BinKind::Eq, a, b); }

struct Level {
  Level(const Table* t, bool o = false, Pred p = {}) : table(t), outer(o), on(std::move(p)) {}
  const Table* table;
  bool outer;
  Pred on;  // empty: none
};

// Nested loops over the levels in order; `emit` sees every combination that
// passes the ON conditions (with LEFT levels NULL-extended) and WHERE.
void oracle_join(const std::vector<Level>& levels, const Pred& where,
                 const std::function<void(const Tuple&)>& emit) {
  Tuple t(levels.size(), nullptr);
  std::function<void(size_t)> go = [&](size_t l) {
    if (l == levels.size()) {
      if (!where || where(t)) emit(t);
      return;
    }
    bool matched = false;
    for (const TRow& r : *levels[l].table) {
      t[l] = &r;
      if (levels[l].on && !levels[l].on(t)) continue;
      matched = true;
      go(l + 1);
    }
    t[l] = nullptr;
    if (levels[l].outer && !matched) go(l + 1);
  };
  go(0);
}

std::string text_of(const std::vector<Value>& row) {
  std::string s;
  for (const Value& v : row) s += v.debug() + "|";
  return s;
}

std::vector<std::string> canon(const std::vector<std::vector<Value>>& rows) {
  std::vector<std::string> out;
  for (const auto& r : rows) out.push_back(text_of(r));
  std::sort(out.begin(), out.end());
  return out;
}

// The SQL of one query with {a}, {b}, {c} standing for the table names.
std::string with_tables(std::string sql, bool indexed) {
  for (const char* name : {"{a}", "{b}", "{c}"}) {
    size_t at;
    while ((at = sql.find(name)) != std::string::npos) {
      std::string t(1, name[1]);
      sql.replace(at, 3, indexed ? t : t + "2");
    }
  }
  return sql;
}

// Aggregates computed by the test over the combinations of one group.
Value count_of(const std::vector<Tuple>& g, size_t level, size_t i) {
  int64_t n = 0;
  for (const Tuple& t : g) n += col(t, level, i).is_null() ? 0 : 1;
  return Value::Int(n);
}

Value sum_of(const std::vector<Tuple>& g, size_t level, size_t i) {
  bool any = false;
  int64_t s = 0;
  for (const Tuple& t : g) {
    Value v = col(t, level, i);
    if (v.is_null()) continue;
    any = true;
    s += v.as_int();
  }
  return any ? Value::Int(s) : Value::Null();
}

Value extreme_of(const std::vector<Tuple>& g, size_t level, size_t i, bool max) {
  Value best = Value::Null();
  for (const Tuple& t : g) {
    Value v = col(t, level, i);
    if (v.is_null()) continue;
    auto c = compare::cmp_value(v, best);
    if (best.is_null() || (max ? c > 0 : c < 0)) best = v;
  }
  return best;
}

// GROUP BY's rule: values group together when their exact keys are equal
// (Int 2^53 with Real 2^53, not -0.0 with 0.0).
Bytes group_key(const Value& v) {
  Bytes out;
  keyenc::encode_value_exact(out, v);
  return out;
}

struct Query {
  std::string sql;
  std::vector<std::vector<Value>> expected;
};

class JoinRunTest : public ::testing::TestWithParam<uint32_t> {};

TEST_P(JoinRunTest, JoinsAndAggregatesMatchTheOracle) {
  const uint32_t seed = GetParam();
  std::mt19937_64 rng(seed);
  auto pick = [&](size_t n) { return static_cast<size_t>(rng() % n); };
  testing::SqlDb db;
  db.schema(
      "CREATE TABLE a (id INTEGER PRIMARY KEY, x, y INT, t TEXT);"
      "CREATE TABLE b (id INTEGER PRIMARY KEY, x, z INT);"
      "CREATE INDEX b_x ON b (x);"
      "CREATE TABLE c (id INTEGER PRIMARY KEY, t TEXT, w INT);"
      "CREATE INDEX c_t ON c (t);"
      "CREATE TABLE a2 (id INTEGER PRIMARY KEY, x, y INT, t TEXT);"
      "CREATE TABLE b2 (id INTEGER PRIMARY KEY, x, z INT);"
      "CREATE TABLE c2 (id INTEGER PRIMARY KEY, t TEXT, w INT);");

  const std::vector<Value> keys = {Value::Null(),      Value::Int(-1),       Value::Int(0),
                                   Value::Int(1),      Value::Int(2),        Value::Int(3),
                                   Value::Int(kP53),   Value::Int(kP53 + 1), Value::Int(kP53 + 2),
                                   Value::Int(kP53 - 1), Value::Real(0.0),     Value::Real(-0.0),
                                   Value::Real(9007199254740992.0)};
  const std::vector<Value> texts = {Value::Null(), Value::Text(""), Value::Text("a"),
                                    Value::Text("b"), Value::Text("1")};
  auto small = [&]() { return pick(4) == 0 ? Value::Null() : Value::Int(int64_t(pick(4)) - 1); };
  auto fill = [&](const std::string& name, size_t max_rows, auto make) {
    Table t;
    size_t n = pick(max_rows + 1);
    int64_t id = 0;
    for (size_t i = 0; i < n; ++i) {
      id += 1 + int64_t(pick(3));
      TRow r = make(id);
      for (const std::string& target : {name, name + "2"}) {
        std::string sql = "INSERT INTO " + target + " VALUES (?";
        for (size_t k = 1; k < r.size(); ++k) sql += ", ?";
        db.must_run(sql + ")", r);
      }
      t.push_back(std::move(r));
    }
    return t;
  };
  Table a = fill("a", 10, [&](int64_t id) {
    // y mostly names a b row by rowid.
    Value y = pick(4) == 0 ? keys[pick(keys.size())] : Value::Int(int64_t(pick(12)));
    return TRow{Value::Int(id), keys[pick(keys.size())], y, texts[pick(texts.size())]};
  });
  Table b = fill("b", 10, [&](int64_t id) {
    return TRow{Value::Int(id), keys[pick(keys.size())], small()};
  });
  Table c = fill("c", 6, [&](int64_t id) {
    return TRow{Value::Int(id), texts[pick(texts.size())], small()};
  });

  // Columns: a: 0 id, 1 x, 2 y, 3 t. b: 0 id, 1 x, 2 z. c: 0 id, 1 t, 2 w.
  const Pred bx_ax = [](const Tuple& t) { return eq(col(t, 1, 1), col(t, 0, 1)); };
  const Pred bid_ay = [](const Tuple& t) { return eq(col(t, 1, 0), col(t, 0, 2)); };
  std::vector<Query> queries;
  auto plain = [&](std::string sql, std::vector<Level> levels, Pred where,
                   std::function<std::vector<Value>(const Tuple&)> project) {
    Query q{std::move(sql), {}};
    oracle_join(levels, where, [&](const Tuple& t) { q.expected.push_back(project(t)); });
    queries.push_back(std::move(q));
  };
  auto ids2 = [](const Tuple& t) { return std::vector<Value>{col(t, 0, 0), col(t, 1, 0)}; };

  plain("SELECT A.id, B.id FROM {a} A, {b} B", {{&a}, {&b}}, {}, ids2);
  plain("SELECT A.id, B.id FROM {a} A JOIN {b} B ON B.x = A.x", {{&a}, {&b, false, bx_ax}}, {},
        ids2);
  plain("SELECT A.id, B.id FROM {a} A JOIN {b} B ON A.x = B.x", {{&a}, {&b, false, bx_ax}}, {},
        ids2);
  plain("SELECT A.id, B.id, B.z FROM {a} A LEFT JOIN {b} B ON B.x = A.x",
        {{&a}, {&b, true, bx_ax}}, {},
        [](const Tuple& t) { return std::vector<Value>{col(t, 0, 0), col(t, 1, 0), col(t, 1, 2)}; });
  plain("SELECT A.id, B.id FROM {b} B RIGHT JOIN {a} A ON B.x = A.x", {{&a}, {&b, true, bx_ax}},
        {}, ids2);
  plain("SELECT A.id, B.id FROM {a} A LEFT JOIN {b} B ON B.x = A.x AND B.z > 0",
        {{&a}, {&b, true, [](const Tuple& t) {
           return eq(col(t, 1, 1), col(t, 0, 1)) && holds(vdbe::BinKind::Gt, col(t, 1, 2), Value::Int(0));
         }}},
        {}, ids2);
  plain("SELECT A.id, B.id FROM {a} A JOIN {b} B ON B.id = A.y", {{&a}, {&b, false, bid_ay}}, {},
        ids2);
  plain("SELECT A.id, B.id FROM {a} A LEFT JOIN {b} B ON B.rowid = A.y",
        {{&a}, {&b, true, bid_ay}}, {}, ids2);
  plain("SELECT A.id FROM {a} A LEFT JOIN {b} B ON B.x = A.x WHERE B.id IS NULL",
        {{&a}, {&b, true, bx_ax}}, [](const Tuple& t) { return col(t, 1, 0).is_null(); },
        [](const Tuple& t) { return std::vector<Value>{col(t, 0, 0)}; });
  const Pred ct_at = [](const Tuple& t) { return eq(col(t, 2, 1), col(t, 0, 3)); };
  auto ids3 = [](const Tuple& t) {
    return std::vector<Value>{col(t, 0, 0), col(t, 1, 0), col(t, 2, 0)};
  };
  plain("SELECT A.id, B.id, C.id FROM {a} A LEFT JOIN {b} B ON B.x = A.x JOIN {c} C ON C.t = A.t",
        {{&a}, {&b, true, bx_ax}, {&c, false, ct_at}}, {}, ids3);
  plain("SELECT A.id, B.id, C.id FROM {a} A JOIN {b} B ON B.id = A.y LEFT JOIN {c} C ON C.t = A.t "
        "WHERE C.w IS NULL OR B.z = C.w",
        {{&a}, {&b, false, bid_ay}, {&c, true, ct_at}},
        [](const Tuple& t) { return col(t, 2, 2).is_null() || eq(col(t, 1, 2), col(t, 2, 2)); },
        ids3);

  // Aggregates: the oracle groups the combinations by a key of its own.
  auto grouped = [&](std::string sql, std::vector<Level> levels, Pred where,
                     std::function<Value(const Tuple&)> key, bool has_group_by,
                     std::function<std::vector<Value>(const std::vector<Tuple>&)> result) {
    std::vector<std::pair<Value, std::vector<Tuple>>> groups;
    oracle_join(levels, where, [&](const Tuple& t) {
      Value k = key ? key(t) : Value::Null();
      for (auto& [gk, rows] : groups) {
        if (group_key(gk) == group_key(k)) {
          rows.push_back(t);
          return;
        }
      }
      groups.push_back({k, {t}});
    });
    if (!has_group_by && groups.empty()) groups.push_back({Value::Null(), {}});
    Query q{std::move(sql), {}};
    for (const auto& [gk, rows] : groups) {
      std::vector<Value> r = result(rows);
      if (!r.empty()) q.expected.push_back(std::move(r));
    }
    queries.push_back(std::move(q));
  };
  auto n_rows = [](const std::vector<Tuple>& g) { return Value::Int(int64_t(g.size())); };
  const std::vector<Level> ab_inner = {{&a}, {&b, false, bx_ax}};
  const std::vector<Level> ab_left = {{&a}, {&b, true, bx_ax}};
  // Index-only levels (count(*), count(B.rowid)) and the forms that read b's
  // rows.
  for (const char* count : {"count(*)", "count(B.x)"}) {
    grouped(std::string("SELECT ") + count + " FROM {a} A JOIN {b} B ON B.x = A.x", ab_inner, {},
            {}, false, [&](const auto& g) { return std::vector<Value>{n_rows(g)}; });
  }
  grouped("SELECT count(*), count(B.rowid), count(B.z) FROM {a} A LEFT JOIN {b} B ON B.x = A.x",
          ab_left, {}, {}, false, [&](const auto& g) {
            return std::vector<Value>{n_rows(g), count_of(g, 1, 0), count_of(g, 1, 2)};
          });
  // The anti-join exit and the form without it.
  const Pred no_b = [](const Tuple& t) { return col(t, 1, 0).is_null(); };
  for (const char* test : {"B.rowid IS NULL", "B.rowid + 0 IS NULL", "B.id IS NULL"}) {
    grouped(std::string("SELECT count(*) FROM {a} A LEFT JOIN {b} B ON B.x = A.x WHERE ") + test,
            ab_left, no_b, {}, false, [&](const auto& g) { return std::vector<Value>{n_rows(g)}; });
  }
  grouped("SELECT A.x, count(*), sum(B.z), min(B.z), max(B.id) FROM {a} A LEFT JOIN {b} B "
          "ON B.x = A.x GROUP BY A.x",
          ab_left, {}, [](const Tuple& t) { return col(t, 0, 1); }, true, [&](const auto& g) {
            return std::vector<Value>{col(g[0], 0, 1), n_rows(g), sum_of(g, 1, 2),
                                      extreme_of(g, 1, 2, false), extreme_of(g, 1, 0, true)};
          });
  grouped("SELECT B.z, count(*) FROM {a} A JOIN {b} B ON B.x = A.x WHERE A.y > 0 AND B.z < 2 "
          "GROUP BY B.z HAVING count(*) > 1",
          ab_inner,
          [](const Tuple& t) {
            return holds(vdbe::BinKind::Gt, col(t, 0, 2), Value::Int(0)) &&
                   holds(vdbe::BinKind::Lt, col(t, 1, 2), Value::Int(2));
          },
          [](const Tuple& t) { return col(t, 1, 2); }, true,
          [&](const auto& g) {
            if (g.size() <= 1) return std::vector<Value>{};
            return std::vector<Value>{col(g[0], 1, 2), n_rows(g)};
          });
  grouped("SELECT count(*) FROM {a} A LEFT JOIN {b} B ON B.x = A.x WHERE B.z IS NULL AND A.y < 5",
          ab_left,
          [](const Tuple& t) {
            return col(t, 1, 2).is_null() && holds(vdbe::BinKind::Lt, col(t, 0, 2), Value::Int(5));
          },
          {}, false, [&](const auto& g) { return std::vector<Value>{n_rows(g)}; });
  grouped("SELECT count(*), sum(C.w) FROM {a} A JOIN {b} B ON B.id = A.y JOIN {c} C ON C.t = A.t",
          {{&a}, {&b, false, bid_ay}, {&c, false, ct_at}}, {}, {}, false,
          [&](const auto& g) { return std::vector<Value>{n_rows(g), sum_of(g, 2, 2)}; });
  grouped("SELECT count(*) FROM {a} A LEFT JOIN {c} C ON C.t = A.t WHERE C.rowid IS NULL",
          {{&a}, {&c, true, [](const Tuple& t) { return eq(col(t, 1, 1), col(t, 0, 3)); }}},
          [](const Tuple& t) { return col(t, 1, 0).is_null(); }, {}, false,
          [&](const auto& g) { return std::vector<Value>{n_rows(g)}; });
  // No combination at all: one row without GROUP BY, none with it.
  grouped("SELECT count(*), max(B.z) FROM {a} A JOIN {b} B ON B.x = A.x WHERE A.id < 0", ab_inner,
          [](const Tuple&) { return false; }, {}, false,
          [&](const auto& g) { return std::vector<Value>{n_rows(g), Value::Null()}; });
  grouped("SELECT A.x, count(*) FROM {a} A WHERE A.id < 0 GROUP BY A.x", {{&a}},
          [](const Tuple&) { return false; }, [](const Tuple& t) { return col(t, 0, 1); }, true,
          [&](const auto& g) { return std::vector<Value>{col(g[0], 0, 1), n_rows(g)}; });

  for (const Query& q : queries) {
    for (bool indexed : {true, false}) {
      std::string sql = with_tables(q.sql, indexed);
      SCOPED_TRACE("seed " + std::to_string(seed) + ": " + sql);
      auto got = db.run(sql);
      ASSERT_TRUE(got.has_value()) << got.error().display();
      EXPECT_EQ(canon(got->rows), canon(q.expected));
    }
  }
}

// An index-only level answers from index keys alone, yet a NULL key matches
// nothing and integers of magnitude 2^53 and more share keys with their
// neighbours: the counts must be those of the pairs whose ON holds.
TEST(IndexOnlyLevel, CountsOnlyPairsWhoseOnHolds) {
  testing::SqlDb db;
  db.schema(
      "CREATE TABLE a (id INTEGER PRIMARY KEY, x);"
      "CREATE TABLE b (id INTEGER PRIMARY KEY, x INT);"
      "CREATE INDEX b_x ON b (x);"
      "CREATE TABLE b2 (id INTEGER PRIMARY KEY, x INT);");
  // a.x = b.x holds for 2^53 = 2^53, 2^53+1 = 2^53+1, 5 = 5, and for the real
  // 2^53 against both 2^53 and 2^53+1 (a real and an integer compare as
  // floats): five pairs; NULL, -2^53-1 and 2^53-1 match nothing.
  const std::vector<Value> a_x = {Value::Null(),          Value::Int(kP53),
                                  Value::Int(kP53 + 1),   Value::Int(-kP53 - 1),
                                  Value::Int(5),          Value::Int(kP53 - 1),
                                  Value::Real(9007199254740992.0)};
  const std::vector<Value> b_x = {Value::Null(),     Value::Null(),    Value::Int(kP53 + 1),
                                  Value::Int(kP53),  Value::Int(-kP53), Value::Int(5),
                                  Value::Int(kP53 + 2)};
  for (const Value& v : a_x) {
    std::vector<Value> row = {v};
    db.must_run("INSERT INTO a (x) VALUES (?)", row);
  }
  for (const Value& v : b_x) {
    std::vector<Value> row = {v};
    db.must_run("INSERT INTO b (x) VALUES (?)", row);
    db.must_run("INSERT INTO b2 (x) VALUES (?)", row);
  }
  struct Case {
    const char* sql;
    int64_t count;
  };
  const Case cases[] = {
      {"SELECT count(*) FROM a JOIN {b} ON {b}.x = a.x", 5},
      {"SELECT count({b}.rowid) FROM a JOIN {b} ON a.x = {b}.x", 5},
      {"SELECT count({b}.x) FROM a JOIN {b} ON {b}.x = a.x", 5},
      {"SELECT count(*) FROM a LEFT JOIN {b} ON {b}.x = a.x", 8},
      {"SELECT count({b}.id) FROM a LEFT JOIN {b} ON {b}.x = a.x", 5},
      {"SELECT count(*) FROM a LEFT JOIN {b} ON {b}.x = a.x WHERE {b}.rowid IS NULL", 3},
  };
  for (const Case& c : cases) {
    for (const char* b : {"b", "b2"}) {
      std::string sql = c.sql;
      for (size_t at; (at = sql.find("{b}")) != std::string::npos;) sql.replace(at, 3, b);
      auto got = db.run(sql);
      ASSERT_TRUE(got.has_value()) << sql << ": " << got.error().display();
      EXPECT_EQ(testing::show_rows(got->rows), "[Int(" + std::to_string(c.count) + ")]") << sql;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Seeds, JoinRunTest, ::testing::Range(1u, 13u));

}  // namespace
}  // namespace vbk
