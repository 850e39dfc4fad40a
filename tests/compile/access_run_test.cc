// Results of the single-table access paths on random small tables, against
// an oracle in the test and against the same query on an index-free copy.
// Indexed columns hold one kind each (integers, texts or numbers of both
// kinds, and NULLs): an index seek only meets values of the constant's kind.
// The numbers hold zeros of both signs and integers around 2^53, whose keys
// are shared or adjacent.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <functional>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "record/compare.h"
#include "support/sql_db.h"

namespace vbk {
namespace {

constexpr int64_t kP53 = int64_t{1} << 53;

struct Row {
  int64_t id;
  std::optional<int64_t> a;
  std::optional<std::string> b;
  Value d;
  Value z;  // NULL or a number
};

std::string text_of(const std::vector<Value>& row) {
  std::string s;
  for (const Value& v : row) s += v.debug() + "|";
  return s;
}

// Rows as sorted texts: the comparison of multisets.
std::vector<std::string> canon(const std::vector<vdbe::Row>& rows) {
  std::vector<std::string> out;
  for (const auto& r : rows) out.push_back(text_of(r));
  std::sort(out.begin(), out.end());
  return out;
}

std::vector<Value> values_of(const Row& r) {
  return {Value::Int(r.id), r.a ? Value::Int(*r.a) : Value::Null(),
          r.b ? Value::Text(*r.b) : Value::Null(), r.d, r.z};
}

class AccessRunTest : public ::testing::TestWithParam<uint32_t> {};

TEST_P(AccessRunTest, EveryPathMatchesTheOracle) {
  const uint32_t seed = GetParam();
  std::mt19937_64 rng(seed);
  testing::SqlDb db;
  db.schema(
      "CREATE TABLE t (id INTEGER PRIMARY KEY, a INT, b TEXT, d, z);"
      "CREATE INDEX t_a ON t (a);"
      "CREATE INDEX t_ba ON t (b, a);"
      "CREATE INDEX t_z ON t (z);"
      "CREATE INDEX t_za ON t (z, a);"
      "CREATE INDEX t_bz ON t (b, z);"
      "CREATE TABLE u (id INTEGER PRIMARY KEY, a INT, b TEXT, d, z);");

  const std::vector<int64_t> ints = {-3, -1, 0, 1, 2, 5, 7, kP53 - 1, kP53, kP53 + 1, kP53 + 2,
                                     INT64_MAX, INT64_MIN};
  const std::vector<std::string> texts = {"", "a", "ab", "b", "\xC3\xA9", "42"};
  // The numbers of z, each with a literal that gives it.
  const double p53 = 9007199254740992.0;
  const std::vector<std::pair<Value, std::string>> numbers = {
      {Value::Int(0), "0"},         {Value::Real(0.0), "0.0"},
      {Value::Real(-0.0), "(-0.0)"}, {Value::Int(-1), "(-1)"},
      {Value::Int(1), "1"},         {Value::Real(0.5), "0.5"},
      {Value::Int(kP53), std::to_string(kP53)}, {Value::Int(kP53 + 1), std::to_string(kP53 + 1)},
      {Value::Real(p53), std::to_string(kP53) + ".0"}};
  auto pick = [&](size_t n) { return static_cast<size_t>(rng() % n); };

  std::vector<Row> rows;
  std::vector<int64_t> ids;
  for (int64_t id = 1; id <= 120; ++id) {
    if (pick(2) == 0) ids.push_back(id);
  }
  for (int64_t id : ids) {
    Row r{id, std::nullopt, std::nullopt, Value::Null(), Value::Null()};
    if (pick(6) != 0) r.z = numbers[pick(numbers.size())].first;
    if (pick(5) != 0) r.a = ints[pick(ints.size())];
    if (pick(5) != 0) r.b = texts[pick(texts.size())];
    switch (pick(5)) {
      case 0: r.d = Value::Int(static_cast<int64_t>(rng() % 100)); break;
      case 1: r.d = Value::Real(1.5); break;
      case 2: r.d = Value::Text("42"); break;
      case 3: r.d = Value::Blob({0, 255}); break;
      default: break;
    }
    rows.push_back(r);
    std::vector<Value> binds = values_of(r);
    db.must_run("INSERT INTO t VALUES (?, ?, ?, ?, ?)", binds);
    db.must_run("INSERT INTO u VALUES (?, ?, ?, ?, ?)", binds);
  }
  ASSERT_TRUE(db.integrity().empty());

  struct Query {
    std::string where;
    std::function<bool(const Row&)> keep;
  };
  auto a_is = [](auto cmp) {
    return [cmp](const Row& r) { return r.a.has_value() && cmp(*r.a); };
  };
  // z against a number: NULL passes nothing.
  auto z_is = [](Value n, auto cmp) {
    return [n, cmp](const Row& r) { return !r.z.is_null() && cmp(compare::cmp_value(r.z, n)); };
  };
  std::vector<Query> queries;
  for (int round = 0; round < 6; ++round) {
    // Constants: never INT64_MIN, which has no literal.
    int64_t k = ints[pick(ints.size() - 1)];
    int64_t k2 = ints[pick(ints.size() - 1)];
    int64_t id = static_cast<int64_t>(pick(125));
    std::string s = texts[pick(texts.size())];
    std::string ks = std::to_string(k);
    // Negative constants are written as a minus over a literal.
    auto lit = [](int64_t v) { return v < 0 ? "(-" + std::to_string(-v) + ")" : std::to_string(v); };
    queries.push_back({"id = " + std::to_string(id), [=](const Row& r) { return r.id == id; }});
    queries.push_back({std::to_string(id) + " = rowid", [=](const Row& r) { return r.id == id; }});
    queries.push_back({"a = " + lit(k), a_is([=](int64_t a) { return a == k; })});
    queries.push_back({"a > " + lit(k), a_is([=](int64_t a) { return a > k; })});
    queries.push_back({"a >= " + lit(k), a_is([=](int64_t a) { return a >= k; })});
    queries.push_back({"a < " + lit(k), a_is([=](int64_t a) { return a < k; })});
    queries.push_back({"a <= " + lit(k), a_is([=](int64_t a) { return a <= k; })});
    queries.push_back({lit(k) + " < a", a_is([=](int64_t a) { return a > k; })});
    queries.push_back({"a > " + lit(k) + " AND a <= " + lit(k2),
                       a_is([=](int64_t a) { return a > k && a <= k2; })});
    queries.push_back({"a >= " + lit(k) + " AND " + lit(k2) + " > a",
                       a_is([=](int64_t a) { return a >= k && a < k2; })});
    queries.push_back({"b = '" + s + "' AND a = " + lit(k),
                       [=](const Row& r) { return r.b == s && r.a == k; }});
    queries.push_back({"b = '" + s + "'", [=](const Row& r) { return r.b == s; }});
    queries.push_back({"b > '" + s + "'", [=](const Row& r) { return r.b && *r.b > s; }});
    queries.push_back({"b <= '" + s + "'", [=](const Row& r) { return r.b && *r.b <= s; }});
    queries.push_back({"rowid > " + std::to_string(id), [=](const Row& r) { return r.id > id; }});
    queries.push_back({"id >= " + std::to_string(id) + " AND a IS NULL",
                       [=](const Row& r) { return r.id >= id && !r.a; }});
    queries.push_back({"rowid > " + std::to_string(id) + ".5",
                       [=](const Row& r) { return r.id > id; }});
    queries.push_back({"a = " + ks + " OR b IS NULL",
                       [=](const Row& r) { return r.a == k || !r.b; }});
    const size_t ni = pick(numbers.size());
    const Value n = numbers[ni].first;
    const std::string nl = numbers[ni].second;
    auto is_eq = [](std::weak_ordering c) { return c == 0; };
    queries.push_back({"z = " + nl, z_is(n, is_eq)});
    queries.push_back({"z >= " + nl, z_is(n, [](std::weak_ordering c) { return c >= 0; })});
    queries.push_back({"z > " + nl, z_is(n, [](std::weak_ordering c) { return c > 0; })});
    queries.push_back({"z <= " + nl, z_is(n, [](std::weak_ordering c) { return c <= 0; })});
    queries.push_back({"z < " + nl, z_is(n, [](std::weak_ordering c) { return c < 0; })});
    queries.push_back({"z = " + nl + " AND a = " + lit(k),
                       [=](const Row& r) { return z_is(n, is_eq)(r) && r.a == k; }});
    queries.push_back({"b = '" + s + "' AND z = " + nl,
                       [=](const Row& r) { return z_is(n, is_eq)(r) && r.b == s; }});
  }
  queries.push_back({"a IS NOT NULL", [](const Row& r) { return r.a.has_value(); }});

  for (const Query& q : queries) {
    SCOPED_TRACE("seed " + std::to_string(seed) + ": WHERE " + q.where);
    std::vector<vdbe::Row> expected;
    for (const Row& r : rows) {
      if (q.keep(r)) expected.push_back(values_of(r));
    }
    auto got = db.run("SELECT id, a, b, d, z FROM t WHERE " + q.where);
    ASSERT_TRUE(got.has_value()) << got.error().display();
    auto plain = db.must_run("SELECT id, a, b, d, z FROM u WHERE " + q.where);
    EXPECT_EQ(canon(got->rows), canon(expected));
    EXPECT_EQ(canon(plain.rows), canon(expected));
  }
}

INSTANTIATE_TEST_SUITE_P(Seeds, AccessRunTest, ::testing::Values(1u, 2u, 3u, 4u, 5u));

}  // namespace
}  // namespace vbk
