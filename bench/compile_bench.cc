// Compiled statements, ours against the peer, on the same table:
// t(id INTEGER PRIMARY KEY, a INT, b TEXT, c INT) with an index on a, where
// a is a shuffled permutation of the rowids. Both sides in rollback-journal
// mode with full sync, 4096-byte pages.
//
// Point and range queries are ad-hoc statements: each probe is its own SQL
// text with its constant written in (a `?` never drives a seek here), so a
// probe costs a parse, a compile and a run on our side and a prepare, steps
// and a finalize on the peer's. The 100,000-row INSERT is one statement with
// `?` values compiled (prepared) once and run per row, in one transaction;
// the UPDATE and DELETE of a range are one statement each.
//
//   compile_bench [rows] [directory]     defaults: 100000 rows, /tmp

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

constexpr const char* kSchema = "CREATE TABLE t (id INTEGER PRIMARY KEY, a INT, b TEXT, c INT)";

struct Peer : vbk::bench::PeerDb {
  explicit Peer(const std::string& path)
      : PeerDb(path, std::string("PRAGMA page_size=4096; PRAGMA journal_mode=DELETE; "
                                 "PRAGMA synchronous=FULL;") +
                         kSchema + "; CREATE INDEX t_a ON t (a)") {}
};

struct Ours : vbk::bench::OursDb {
  explicit Ours(const std::string& path) : OursDb(path) {
    std::vector<vbk::Column> cols = {{"id", "INTEGER", true, false, {}},
                                     {"a", "INT", false, false, {}},
                                     {"b", "TEXT", false, false, {}},
                                     {"c", "INT", false, false, {}}};
    must(pager.begin());
    must(catalog->create_table(pager, "t", std::move(cols), 0));
    must(catalog->create_index(pager, "t_a", "t", {"a"}, false));
    must(pager.commit());
  }
  // Parses, compiles and runs a query under the read lock; the row count.
  size_t query(const std::string& sql) { return rows(compile(sql)).size(); }
};

struct Line {
  std::string name;
  double ours;
  double peer;
};

}  // namespace

int main(int argc, char** argv) {
  const int64_t rows = argc > 1 ? std::strtoll(argv[1], nullptr, 10) : 100000;
  const std::string dir = argc > 2 ? argv[2] : "/tmp";
  std::mt19937_64 rng(7);
  std::vector<int64_t> a_of(static_cast<size_t>(rows));
  for (int64_t i = 0; i < rows; ++i) a_of[static_cast<size_t>(i)] = i + 1;
  for (size_t i = a_of.size(); i > 1; --i) std::swap(a_of[i - 1], a_of[rng() % i]);
  const int probes = 10000;
  std::vector<int64_t> keys(probes);
  for (auto& k : keys) k = static_cast<int64_t>(rng() % static_cast<uint64_t>(rows)) + 1;

  Ours ours(dir + "/vbk-compile-bench.db");
  Peer peer(dir + "/vbk-compile-bench.peer");
  std::vector<Line> lines;

  {
    Line l{"insert " + std::to_string(rows) + " rows (one ? statement)", 0, 0};
    const std::string sql = "INSERT INTO t VALUES (?, ?, ?, ?)";
    l.ours = seconds([&] {
      vbk::vdbe::Program p = ours.compile(sql);
      must(ours.pager.begin());
      std::vector<Value> binds(4);
      for (int64_t i = 0; i < rows; ++i) {
        binds[0] = Value::Int(i + 1);
        binds[1] = Value::Int(a_of[static_cast<size_t>(i)]);
        binds[2] = Value::Text("row " + std::to_string(i));
        binds[3] = Value::Int(i % 97);
        vbk::vdbe::Vm vm(ours.pager, binds);
        must(vm.run(p));
      }
      must(ours.pager.commit());
    });
    l.peer = seconds([&] {
      peer.each(sql, static_cast<size_t>(rows), [&](sqlite3_stmt* s, size_t k) {
        const auto i = static_cast<int64_t>(k);
        std::string text = "row " + std::to_string(i);
        sqlite3_bind_int64(s, 1, i + 1);
        sqlite3_bind_int64(s, 2, a_of[k]);
        sqlite3_bind_text(s, 3, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
        sqlite3_bind_int64(s, 4, i % 97);
      });
    });
    lines.push_back(l);
  }

  auto probe_line = [&](const std::string& name, auto make_sql, size_t expect_per_probe) {
    Line l{name + " x" + std::to_string(probes), 0, 0};
    size_t got_ours = 0, got_peer = 0;
    l.ours = seconds([&] {
      for (int64_t k : keys) got_ours += ours.query(make_sql(k));
    });
    l.peer = seconds([&] {
      for (int64_t k : keys) got_peer += peer.query(make_sql(k));
    });
    if (got_ours != got_peer || (expect_per_probe && got_ours != expect_per_probe * keys.size())) {
      std::fprintf(stderr, "%s: %zu rows against %zu\n", name.c_str(), got_ours, got_peer);
      std::exit(2);
    }
    lines.push_back(l);
  };
  probe_line("rowid lookup", [](int64_t k) {
    return "SELECT a, b FROM t WHERE id = " + std::to_string(k);
  }, 1);
  probe_line("index equality", [](int64_t k) {
    return "SELECT id, b FROM t WHERE a = " + std::to_string(k);
  }, 1);
  probe_line("index range of 20", [rows](int64_t k) {
    int64_t lo = std::min(k, rows - 20);
    return "SELECT id, b FROM t WHERE a >= " + std::to_string(lo) + " AND a < " +
           std::to_string(lo + 20);
  }, 20);

  {
    Line l{"filtered scan x10", 0, 0};
    const std::string sql = "SELECT id FROM t WHERE c * 3 % 7 = 2 AND b > 'row 5'";
    size_t o = 0, p = 0;
    l.ours = seconds([&] {
      for (int i = 0; i < 10; ++i) o += ours.query(sql);
    });
    l.peer = seconds([&] {
      for (int i = 0; i < 10; ++i) p += peer.query(sql);
    });
    if (o != p) std::exit(2);
    lines.push_back(l);
  }
  {
    const int64_t lo = rows / 4, hi = rows / 4 * 3;
    const std::string sql = "UPDATE t SET c = c + 1 WHERE id >= " + std::to_string(lo) +
                            " AND id < " + std::to_string(hi);
    Line l{"update a range of " + std::to_string(hi - lo) + " rows", 0, 0};
    uint64_t n = 0;
    l.ours = seconds([&] { n = ours.change(sql); });
    l.peer = seconds([&] { peer.exec("BEGIN; " + sql + "; COMMIT"); });
    if (n != static_cast<uint64_t>(hi - lo)) std::exit(2);
    lines.push_back(l);
  }
  {
    const int64_t lo = rows / 2;
    const std::string sql = "DELETE FROM t WHERE id >= " + std::to_string(lo);
    Line l{"delete a range of " + std::to_string(rows - lo + 1) + " rows (indexed table)", 0, 0};
    uint64_t n = 0;
    l.ours = seconds([&] { n = ours.change(sql); });
    l.peer = seconds([&] { peer.exec("BEGIN; " + sql + "; COMMIT"); });
    if (n != static_cast<uint64_t>(rows - lo + 1)) std::exit(2);
    lines.push_back(l);
  }

  std::printf("%-52s %10s %10s %8s\n", "workload", "ours s", "peer s", "ratio");
  for (const Line& l : lines) {
    std::printf("%-52s %10.4f %10.4f %8.2f\n", l.name.c_str(), l.ours, l.peer, l.ours / l.peer);
  }
  std::remove((dir + "/vbk-compile-bench.db").c_str());
  std::remove((dir + "/vbk-compile-bench.peer").c_str());
  return 0;
}
