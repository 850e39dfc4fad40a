// Random INSERT, INSERT IGNORE, UPDATE and DELETE statements inside one
// transaction against a model of the table: after every statement,
// succeeded or failed, the table holds what the model says (rows before a
// failing row changed, the failing row and those after it not) and every
// index agrees with it.

#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "support/sql_db.h"

namespace vbk {
namespace {

struct MRow {
  std::optional<int64_t> u;  // UNIQUE: NULLs count as equal
  std::optional<std::string> v;  // NOT NULL
  int64_t w = 0;
};
using Model = std::map<int64_t, MRow>;

std::string lit(const std::optional<int64_t>& x) { return x ? std::to_string(*x) : "NULL"; }
std::string lit(const std::optional<std::string>& x) { return x ? "'" + *x + "'" : "NULL"; }

std::string dump(const Model& m) {
  std::string s;
  for (const auto& [id, r] : m) {
    s += std::to_string(id) + " " + lit(r.u) + " " + lit(r.v) + " " + std::to_string(r.w) + "\n";
  }
  return s;
}

std::string dump_table(testing::SqlDb& db) {
  std::string s;
  for (const auto& row : db.must_run("SELECT id, u, v, w FROM m").rows) {
    auto text = [](const Value& v) {
      switch (v.kind()) {
        case Value::Kind::Null: return std::string("NULL");
        case Value::Kind::Int: return std::to_string(v.as_int());
        case Value::Kind::Text: return "'" + v.as_text() + "'";
        default: return v.debug();
      }
    };
    s += text(row[0]) + " " + text(row[1]) + " " + text(row[2]) + " " + text(row[3]) + "\n";
  }
  return s;
}

// The UNIQUE test of the u index against every row but `self`.
bool u_taken(const Model& m, const std::optional<int64_t>& u, int64_t self) {
  for (const auto& [id, r] : m) {
    if (id != self && r.u == u) return true;
  }
  return false;
}

class DmlModelTest : public ::testing::TestWithParam<uint32_t> {};

TEST_P(DmlModelTest, StatementsMatchTheModel) {
  std::mt19937_64 rng(GetParam());
  auto pick = [&](int64_t n) { return static_cast<int64_t>(rng() % static_cast<uint64_t>(n)); };
  testing::SqlDb db;
  db.schema(
      "CREATE TABLE m (id INTEGER PRIMARY KEY, u INT UNIQUE, v TEXT NOT NULL, w INT);"
      "CREATE INDEX m_vw ON m (v, w);");
  Model model;
  db.begin();
  auto rand_u = [&]() -> std::optional<int64_t> {
    if (pick(8) == 0) return std::nullopt;
    return pick(40);
  };
  auto rand_v = [&]() -> std::optional<std::string> {
    if (pick(25) == 0) return std::nullopt;
    return std::string(1, static_cast<char>('a' + pick(3)));
  };

  for (int step = 0; step < 150; ++step) {
    std::string sql;
    bool ok = true;
    uint64_t changes = 0;
    switch (pick(4)) {
      case 0:
      case 1: {  // INSERT [IGNORE] of 1 to 3 rows, the rowid listed or not
        const bool ignore = pick(2) == 0;
        const bool listed = pick(3) == 0;
        sql = std::string(ignore ? "INSERT IGNORE" : "INSERT") + " INTO m " +
              (listed ? "(id, u, v, w)" : "(u, v, w)") + " VALUES ";
        const int64_t n = 1 + pick(3);
        for (int64_t i = 0; i < n && ok; ++i) {
          MRow r{rand_u(), rand_v(), pick(100)};
          int64_t id = listed ? 1 + pick(60) : (model.empty() ? 1 : model.rbegin()->first + 1);
          sql += std::string(i ? ", " : "") + "(" + (listed ? std::to_string(id) + ", " : "") +
                 lit(r.u) + ", " + lit(r.v) + ", " + std::to_string(r.w) + ")";
          // Checks in program order: NOT NULL, stored rowid, UNIQUE.
          if (!r.v) {
            ok = false;
          } else if (model.count(id) != 0 || u_taken(model, r.u, id)) {
            ok = ignore;
          } else {
            model[id] = r;
            ++changes;
          }
        }
        break;
      }
      case 2: {  // UPDATE in rowid order, each row checked as it comes
        const int64_t k = pick(100);
        const int form = static_cast<int>(pick(4));
        const char* sets[] = {"u = u + 1", "u = (w % 7)", "v = 'q', w = w + 1", "v = NULL"};
        sql = std::string("UPDATE m SET ") + sets[form] + " WHERE w >= " + std::to_string(k);
        for (auto& [id, r] : model) {
          if (r.w < k) continue;
          MRow n = r;
          if (form == 0) n.u = r.u ? std::optional<int64_t>(*r.u + 1) : std::nullopt;
          if (form == 1) n.u = r.w % 7;
          if (form == 2) n = {r.u, "q", r.w + 1};
          if (form == 3) n.v = std::nullopt;
          if (!n.v || u_taken(model, n.u, id)) {
            ok = false;
            break;
          }
          r = n;
          ++changes;
        }
        break;
      }
      default: {  // DELETE
        const int64_t k = pick(100);
        sql = "DELETE FROM m WHERE w < " + std::to_string(k);
        for (auto it = model.begin(); it != model.end();) {
          if (it->second.w < k) {
            it = model.erase(it);
            ++changes;
          } else {
            ++it;
          }
        }
        break;
      }
    }
    SCOPED_TRACE("seed " + std::to_string(GetParam()) + " step " + std::to_string(step) + ": " + sql);
    auto r = db.run(sql);
    ASSERT_EQ(r.has_value(), ok) << (r ? "succeeded" : r.error().display());
    if (r) {
      ASSERT_EQ(r->changes, changes);
    } else {
      ASSERT_EQ(r.error().kind(), Error::Kind::Constraint);
    }
    ASSERT_EQ(dump_table(db), dump(model));
    ASSERT_EQ(db.integrity(), std::vector<std::string>{});
  }
  db.commit();
  EXPECT_EQ(db.integrity(), std::vector<std::string>{});
}

INSTANTIATE_TEST_SUITE_P(Seeds, DmlModelTest, ::testing::Values(11u, 12u, 13u, 14u));

}  // namespace
}  // namespace vbk
