// Joins, aggregate queries and correlated subqueries, ours against the peer,
// on the same tables in both engines (4096-byte pages):
//   a(id INTEGER PRIMARY KEY, bid INT, v INT)   bid random in 1..rows, v in 1..100
//   b(id INTEGER PRIMARY KEY, w INT)
//   c(id INTEGER PRIMARY KEY, k INT, w INT)     index c_k on k, k random in 1..rows
//   d(id INTEGER PRIMARY KEY, k INT, w INT)     1,000 rows, k in 0..99
//   g(id INTEGER PRIMARY KEY, few INT, many INT, v INT)   group rows
// Each query is parsed, compiled and run once per side; the row counts (and
// the count of the index-only query) must agree.
//
//   join_bench [rows] [group rows] [directory]   defaults: 200000, 1000000, /tmp

#include <sqlite3.h>

#include <cstdio>
#include <cstdlib>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "bench_support.h"
#include "catalog/catalog.h"
#include "pager/pager.h"
#include "vdbe/vdbe.h"
#include "vfs/os.h"

namespace {

using vbk::Value;
using vbk::bench::must;
using vbk::bench::seconds;

struct TableSpec {
  const char* name;
  std::vector<const char*> columns;  // after the rowid alias id
  const char* index_column;          // or null
};

const TableSpec kTables[] = {
    {"a", {"bid", "v"}, nullptr},         {"b", {"w"}, nullptr},
    {"c", {"k", "w"}, "k"},               {"d", {"k", "w"}, nullptr},
    {"g", {"few", "many", "v"}, nullptr},
};

std::string insert_sql(const TableSpec& t) {
  std::string sql = std::string("INSERT INTO ") + t.name + " VALUES (?";
  for (size_t i = 0; i < t.columns.size(); ++i) sql += ", ?";
  return sql + ")";
}

struct Peer : vbk::bench::PeerDb {
  explicit Peer(const std::string& path) : PeerDb(path, "PRAGMA page_size=4096; PRAGMA journal_mode=DELETE") {
    for (const TableSpec& t : kTables) {
      std::string sql = std::string("CREATE TABLE ") + t.name + " (id INTEGER PRIMARY KEY";
      for (const char* c : t.columns) sql += std::string(", ") + c + " INT";
      exec(sql + ")");
      if (t.index_column) {
        exec(std::string("CREATE INDEX ") + t.name + "_" + t.index_column + " ON " + t.name + " (" +
             t.index_column + ")");
      }
    }
  }
  void load(const TableSpec& t, const std::vector<std::vector<int64_t>>& rows) {
    each(insert_sql(t), rows.size(), [&](sqlite3_stmt* s, size_t k) {
      const std::vector<int64_t>& r = rows[k];
      for (size_t i = 0; i < r.size(); ++i) sqlite3_bind_int64(s, static_cast<int>(i + 1), r[i]);
    });
  }
  // The rows of a query and the first column of its first row.
  std::pair<size_t, int64_t> first_of(const std::string& sql) {
    int64_t first = 0;
    const size_t n = query(sql, &first);
    return {n, first};
  }
};

struct Ours : vbk::bench::OursDb {
  explicit Ours(const std::string& path) : OursDb(path) {
    must(pager.begin());
    for (const TableSpec& t : kTables) {
      std::vector<vbk::Column> cols = {{"id", "INTEGER", true, false, {}}};
      for (const char* c : t.columns) cols.push_back({c, "INT", false, false, {}});
      must(catalog->create_table(pager, t.name, std::move(cols), 0));
      if (t.index_column) {
        must(catalog->create_index(pager, std::string(t.name) + "_" + t.index_column, t.name,
                                   {t.index_column}, false));
      }
    }
    must(pager.commit());
  }
  void load(const TableSpec& t, const std::vector<std::vector<int64_t>>& rows) {
    const vbk::vdbe::Program p = compile(insert_sql(t));
    must(pager.begin());
    std::vector<Value> binds;
    for (const auto& r : rows) {
      binds.clear();
      for (int64_t x : r) binds.push_back(Value::Int(x));
      vbk::vdbe::Vm vm(pager, binds);
      must(vm.run(p));
    }
    must(pager.commit());
  }
  std::pair<size_t, int64_t> query(const std::string& sql) {
    const std::vector<vbk::vdbe::Row> out = rows(compile(sql));
    int64_t first = out.empty() || out[0].empty() || out[0][0].kind() != Value::Kind::Int
                        ? 0
                        : out[0][0].as_int();
    return {out.size(), first};
  }
};

}  // namespace

int main(int argc, char** argv) {
  const int64_t rows = argc > 1 ? std::strtoll(argv[1], nullptr, 10) : 200000;
  const int64_t group_rows = argc > 2 ? std::strtoll(argv[2], nullptr, 10) : 1000000;
  const std::string dir = argc > 3 ? argv[3] : "/tmp";
  std::mt19937_64 rng(11);
  auto upto = [&](int64_t n) { return static_cast<int64_t>(rng() % static_cast<uint64_t>(n)) + 1; };

  std::vector<std::vector<std::vector<int64_t>>> data(std::size(kTables));
  for (int64_t i = 1; i <= rows; ++i) {
    data[0].push_back({i, upto(rows), upto(100)});
    data[1].push_back({i, upto(1000)});
    data[2].push_back({i, upto(rows), upto(1000)});
  }
  for (int64_t i = 1; i <= 1000; ++i) data[3].push_back({i, i % 100, upto(1000)});
  for (int64_t i = 1; i <= group_rows; ++i) data[4].push_back({i, i % 8, i % 250000, upto(100)});

  Ours ours(dir + "/vbk-join-bench.db");
  Peer peer(dir + "/vbk-join-bench.peer");
  for (size_t t = 0; t < std::size(kTables); ++t) {
    ours.load(kTables[t], data[t]);
    peer.load(kTables[t], data[t]);
  }

  struct Q {
    const char* name;
    const char* sql;
  };
  const Q queries[] = {
      {"join through a rowid lookup", "SELECT a.id, b.w FROM a JOIN b ON b.id = a.bid"},
      {"join through an index lookup", "SELECT a.id, c.w FROM a JOIN c ON c.k = a.bid"},
      {"count over an index-only level", "SELECT count(*) FROM a JOIN c ON c.k = a.bid"},
      {"GROUP BY, 8 groups", "SELECT few, count(*), sum(v) FROM g GROUP BY few"},
      {"GROUP BY, 250,000 groups", "SELECT many, count(*), sum(v) FROM g GROUP BY many"},
      {"correlated subquery, 100 distinct keys",
       "SELECT a.id, (SELECT max(d.w) FROM d WHERE d.k = a.v) FROM a"},
  };
  std::printf("%-40s %10s %10s %8s %10s\n", "workload", "ours s", "peer s", "ratio", "rows");
  for (const Q& q : queries) {
    std::pair<size_t, int64_t> o, p;
    double t_ours = seconds([&] { o = ours.query(q.sql); });
    double t_peer = seconds([&] { p = peer.first_of(q.sql); });
    if (o.first != p.first || (o.first == 1 && o.second != p.second)) {
      std::fprintf(stderr, "%s: %zu rows (%lld) against %zu (%lld)\n", q.name, o.first,
                   static_cast<long long>(o.second), p.first, static_cast<long long>(p.second));
      return 2;
    }
    std::printf("%-40s %10.4f %10.4f %8.2f %10zu\n", q.name, t_ours, t_peer, t_ours / t_peer,
                o.first);
  }
  std::remove((dir + "/vbk-join-bench.db").c_str());
  std::remove((dir + "/vbk-join-bench.peer").c_str());
  return 0;
}
