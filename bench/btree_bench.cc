// Table B-tree workloads, ours against the peer's table of
// (id INTEGER PRIMARY KEY, v BLOB) in rollback-journal mode with full sync,
// 4096-byte pages and a 4000-page cache: the same rows, in the same order,
// each workload in one transaction.
//
// Index B-tree workloads: the entries of a one-column index over values that
// are random integers or short texts, one per row, inserted in row order in
// one transaction; then prefix probes by value (mostly values present, one
// in four a fresh random one). Ours stores the encoded keys (values, rowid)
// and probes with contains_prefix; the peer holds the same entries in its
// index b-tree of (v, id), a table without rowids keyed by both, and probes
// with a lookup by v.
//
// Each workload runs twice: in this process, one after the other on the same
// open handles (so that a cache warmed by one phase serves the next), and
// then the append, point lookups, delete, index inserts and index probes
// each in a fresh process on the file the previous one left, so that both
// caches start cold and stay within their 4000 pages. Beside each time is
// the peak resident memory the phase added to what the process held as it
// began (VmHWM, reset before the phase, less VmRSS then): in this process
// memory a phase keeps after it ends (a cache still full) is the next
// phase's starting point, in a fresh process only the handle's opening is.
//
//   btree_bench [rows] [directory]     defaults: 1000000 rows, /tmp
//   btree_bench --phase NAME rows directory
//                                      one cold phase; prints seconds and
//                                      peak KiB

#include <sqlite3.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <initializer_list>
#include <random>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <unistd.h>

#include "bench_support.h"
#include "btree/btree.h"
#include "btree/cursor.h"
#include "btree/index.h"
#include "btree/keyenc.h"
#include "pager/pager.h"
#include "vfs/os.h"

namespace {

using vbk::Bytes;

using vbk::bench::check;
using vbk::bench::must;
using vbk::bench::seconds;

struct Peer : vbk::bench::PeerDb {
  // A new database, or with `reopen` the one at `path` as it is.
  explicit Peer(const std::string& path, bool reopen = false)
      : PeerDb(path,
               std::string("PRAGMA page_size=4096; PRAGMA journal_mode=DELETE; PRAGMA synchronous=FULL;"
                           "PRAGMA cache_size=4000;") +
                   (reopen ? "" : "CREATE TABLE t(id INTEGER PRIMARY KEY, v BLOB)"),
               reopen) {}
  // Runs `stmt` once per rowid with the rowid (and a payload) bound.
  void each(const char* sql, const std::vector<int64_t>& ids, const Bytes* payload) {
    PeerDb::each(sql, ids.size(), [&](sqlite3_stmt* s, size_t i) {
      sqlite3_bind_int64(s, 1, ids[i]);
      if (payload) sqlite3_bind_blob(s, 2, payload->data(), static_cast<int>(payload->size()), SQLITE_STATIC);
    });
  }
};

struct Ours {
  vbk::Pager pager;
  uint32_t root = 0;
  explicit Ours(const std::string& path)
      : pager(vbk::bench::fresh_pager(path)) {
    must(pager.begin());
    root = must(vbk::BTree::create(pager)).root();
    must(pager.commit());
  }
  // A handle on an existing database whose table is at `root`.
  Ours(vbk::Pager opened, uint32_t root) : pager(std::move(opened)), root(root) {}
  vbk::BTree tree() { return vbk::BTree(pager, root); }
};

// A random integer or a short text of lower-case letters, half and half.
vbk::Value random_value(std::mt19937_64& rng) {
  if (rng() % 2 == 0) return vbk::Value::Int(static_cast<int64_t>(rng()));
  std::string text(1 + rng() % 12, 'a');
  for (char& c : text) c = static_cast<char>('a' + rng() % 26);
  return vbk::Value::Text(std::move(text));
}

void bind_value(sqlite3_stmt* s, int at, const vbk::Value& v) {
  if (v.kind() == vbk::Value::Kind::Int) {
    sqlite3_bind_int64(s, at, v.as_int());
  } else {
    const std::string& text = v.as_text();
    sqlite3_bind_text(s, at, text.data(), static_cast<int>(text.size()), SQLITE_STATIC);
  }
}

// A field of /proc/self/status in KiB: "VmHWM:" (the peak resident memory
// since the last reset_peak) or "VmRSS:".
long status_kib(const char* field) {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind(field, 0) == 0) return std::strtol(line.c_str() + std::strlen(field), nullptr, 10);
  }
  return 0;
}
void reset_peak() { std::ofstream("/proc/self/clear_refs") << "5"; }

// Times `body` and takes the peak of resident memory it added to what the
// process held when it started (the workload's input, the other side's
// handle and cache).
struct Measure {
  double seconds = 0;
  long peak_kib = 0;
};
Measure measure(const std::function<void()>& body) {
  reset_peak();
  const long start = status_kib("VmRSS:");
  Measure m;
  m.seconds = seconds(body);
  m.peak_kib = status_kib("VmHWM:") - start;
  return m;
}

struct Row {
  const char* name;
  double ours;
  double peer;
  long ours_kib = 0;
  long peer_kib = 0;
};

// Every workload's input, the same in every process for the same row count.
struct Data {
  Bytes payload = Bytes(100, 0x5a);
  std::vector<int64_t> ascending, shuffled, probes, odd;
  std::vector<vbk::Value> values, probes_v;  // index entries (row i + 1 holds values[i]) and probes

  explicit Data(size_t rows) : ascending(rows), probes(rows) {
    for (size_t i = 0; i < rows; ++i) ascending[i] = static_cast<int64_t>(i + 1);
    std::mt19937_64 rng(42);
    shuffled = ascending;
    for (size_t i = rows; i > 1; --i) std::swap(shuffled[i - 1], shuffled[rng() % i]);
    for (auto& p : probes) p = static_cast<int64_t>(rng() % rows + 1);
    for (size_t i = 0; i < rows; i += 2) odd.push_back(static_cast<int64_t>(i + 1));
    values.reserve(rows);
    for (size_t i = 0; i < rows; ++i) values.push_back(random_value(rng));
    for (size_t i = 0; i < rows; ++i) {
      probes_v.push_back(rng() % 4 == 0 ? random_value(rng) : values[rng() % rows]);
    }
  }
};

// The workloads, each on an open handle; the in-process run and the cold
// phases share them.
void ours_append(Ours& ours, const Data& d) {
  must(ours.pager.begin());
  vbk::AppendHint hint;
  for (int64_t id : d.ascending) must(ours.tree().insert_fast(id, d.payload, hint));
  must(ours.pager.commit());
}
void ours_lookups(Ours& ours, const Data& d) {
  must(ours.pager.read_lock());
  size_t found = 0;
  for (int64_t id : d.probes) found += must(ours.tree().search(id)).has_value();
  must(ours.pager.read_unlock());
  if (found != d.probes.size()) std::exit(2);
}
void ours_delete(Ours& ours, const Data& d) {
  must(ours.pager.begin());
  for (int64_t id : d.odd) must(ours.tree().delete_(id));
  must(ours.pager.commit());
}
void ours_index_insert(Ours& ours, uint32_t index_root, const Data& d) {
  vbk::IndexBTree index(ours.pager, index_root);
  must(ours.pager.begin());
  for (size_t i = 0; i < d.values.size(); ++i) {
    must(index.insert(vbk::keyenc::encode_index_key(std::span(&d.values[i], 1), static_cast<int64_t>(i + 1))));
  }
  must(ours.pager.commit());
}
size_t ours_probes(Ours& ours, uint32_t index_root, const Data& d) {
  vbk::IndexBTree index(ours.pager, index_root);
  size_t found = 0;
  must(ours.pager.read_lock());
  Bytes prefix;
  for (const vbk::Value& v : d.probes_v) {
    vbk::keyenc::encode_key_prefix_into(prefix, std::span(&v, 1));
    found += must(index.contains_prefix(prefix));
  }
  must(ours.pager.read_unlock());
  return found;
}
void peer_index_insert(Peer& peer, const Data& d) {
  peer.PeerDb::each("INSERT INTO ix VALUES(?1, ?2)", d.values.size(), [&](sqlite3_stmt* s, size_t i) {
    bind_value(s, 1, d.values[i]);
    sqlite3_bind_int64(s, 2, static_cast<int64_t>(i + 1));
  });
}
// In one read transaction, as ours holds one read lock.
size_t peer_probes(Peer& peer, const Data& d) {
  return peer.PeerDb::each("SELECT 1 FROM ix WHERE v=?1 LIMIT 1", d.probes_v.size(),
                           [&](sqlite3_stmt* s, size_t i) { bind_value(s, 1, d.probes_v[i]); });
}

// The table's root in a new database: its first page after page 1. The index
// of the cold phases is the first and only tree of its own file.
constexpr uint32_t kFirstRoot = 2;

// One cold phase in this fresh process, on the files under `dir` that the
// phases before it left.
int run_phase(std::string_view name, size_t rows, const std::string& dir) {
  const Data d(rows);
  const std::string table = dir + "/vbk-cold-t.db", table_peer = dir + "/vbk-cold-t.peer";
  const std::string index = dir + "/vbk-cold-i.db", index_peer = dir + "/vbk-cold-i.peer";
  auto open_ours = [](const std::string& path) {
    return vbk::bench::must(vbk::Pager::open(vbk::OsVfs::instance(), path));
  };
  Measure m;
  if (name == "append-ours") {
    Ours ours(table);
    if (ours.root != kFirstRoot) std::exit(2);
    m = measure([&] { ours_append(ours, d); });
  } else if (name == "append-peer") {
    Peer peer(table_peer);
    m = measure([&] { peer.each("INSERT INTO t VALUES(?1, ?2)", d.ascending, &d.payload); });
  } else if (name == "lookups-ours") {
    Ours ours{open_ours(table), kFirstRoot};
    m = measure([&] { ours_lookups(ours, d); });
  } else if (name == "lookups-peer") {
    Peer peer(table_peer, true);
    m = measure([&] { peer.each("SELECT v FROM t WHERE id=?1", d.probes, nullptr); });
  } else if (name == "delete-ours") {
    Ours ours{open_ours(table), kFirstRoot};
    m = measure([&] { ours_delete(ours, d); });
  } else if (name == "delete-peer") {
    Peer peer(table_peer, true);
    m = measure([&] { peer.each("DELETE FROM t WHERE id=?1", d.odd, nullptr); });
  } else if (name == "index-ours") {
    Ours ours{vbk::bench::fresh_pager(index), 0};
    must(ours.pager.begin());
    if (must(vbk::IndexBTree::create(ours.pager)).root() != kFirstRoot) std::exit(2);
    must(ours.pager.commit());
    m = measure([&] { ours_index_insert(ours, kFirstRoot, d); });
  } else if (name == "index-peer") {
    Peer peer(index_peer);
    peer.exec("CREATE TABLE ix(v, id INTEGER, PRIMARY KEY(v, id)) WITHOUT ROWID");
    m = measure([&] { peer_index_insert(peer, d); });
  } else if (name == "probes-ours") {
    Ours ours{open_ours(index), kFirstRoot};
    m = measure([&] { (void)ours_probes(ours, kFirstRoot, d); });
  } else if (name == "probes-peer") {
    Peer peer(index_peer, true);
    m = measure([&] { (void)peer_probes(peer, d); });
  } else {
    std::fprintf(stderr, "unknown phase %.*s\n", static_cast<int>(name.size()), name.data());
    return 1;
  }
  std::printf("%.6f %ld\n", m.seconds, m.peak_kib);
  return 0;
}

// Runs one cold phase in a fresh process of this program.
Measure cold(const char* phase, size_t rows, const std::string& dir) {
  char exe[4096];
  const ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
  if (n <= 0) std::exit(1);
  exe[n] = 0;
  const std::string cmd = std::string(exe) + " --phase " + phase + " " + std::to_string(rows) + " '" + dir + "'";
  FILE* out = popen(cmd.c_str(), "r");
  Measure m;
  if (out == nullptr || std::fscanf(out, "%lf %ld", &m.seconds, &m.peak_kib) != 2 || pclose(out) != 0) {
    std::fprintf(stderr, "cold phase %s failed\n", phase);
    std::exit(1);
  }
  return m;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 5 && std::string_view(argv[1]) == "--phase") {
    return run_phase(argv[2], std::strtoull(argv[3], nullptr, 10), argv[4]);
  }
  const size_t rows = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 1000000;
  const std::string dir = argc > 2 ? argv[2] : "/tmp";
  const Data d(rows);
  const Bytes& payload = d.payload;

  std::vector<Row> results;
  // Fills in a row's times and peaks.
  auto run = [&](const char* name, const std::function<void()>& ours, const std::function<void()>& peer) {
    const Measure o = measure(ours);
    const Measure p = measure(peer);
    results.push_back({name, o.seconds, p.seconds, o.peak_kib, p.peak_kib});
  };
  {
    Ours ours(dir + "/vbk-bench-a.db");
    Peer peer(dir + "/vbk-bench-a.peer");
    run("append rows", [&] { ours_append(ours, d); },
        [&] { peer.each("INSERT INTO t VALUES(?1, ?2)", d.ascending, &payload); });
    run("random point lookups", [&] { ours_lookups(ours, d); },
        [&] { peer.each("SELECT v FROM t WHERE id=?1", d.probes, nullptr); });
    run("full scan",
        [&] {
          must(ours.pager.read_lock());
          vbk::Cursor c(ours.pager, ours.root);
          must(c.rewind());
          Bytes buf;
          size_t n = 0;
          while (must(c.next_into(buf))) ++n;
          must(ours.pager.read_unlock());
          if (n != rows) std::exit(2);
        },
        [&] {
          sqlite3_stmt* s = peer.prepare("SELECT id, v FROM t");
          size_t n = 0;
          while (sqlite3_step(s) == SQLITE_ROW) {
            (void)sqlite3_column_blob(s, 1);
            ++n;
          }
          sqlite3_finalize(s);
          if (n != rows) std::exit(2);
        });
    run("delete every other row", [&] { ours_delete(ours, d); },
        [&] { peer.each("DELETE FROM t WHERE id=?1", d.odd, nullptr); });
    const int64_t half = static_cast<int64_t>(rows / 2);
    run("truncate upper half",
        [&] {
          must(ours.pager.begin());
          must(ours.tree().truncate_from(half));
          must(ours.pager.commit());
        },
        [&] { peer.each("DELETE FROM t WHERE id>=?1", {half}, nullptr); });
  }
  {
    Ours ours(dir + "/vbk-bench-b.db");
    Peer peer(dir + "/vbk-bench-b.peer");
    run("insert random rowids",
        [&] {
          must(ours.pager.begin());
          for (int64_t id : d.shuffled) must(ours.tree().insert(id, payload));
          must(ours.pager.commit());
        },
        [&] { peer.each("INSERT INTO t VALUES(?1, ?2)", d.shuffled, &payload); });
  }
  {
    Ours ours(dir + "/vbk-bench-c.db");
    Peer peer(dir + "/vbk-bench-c.peer");
    peer.exec("CREATE TABLE ix(v, id INTEGER, PRIMARY KEY(v, id)) WITHOUT ROWID");
    must(ours.pager.begin());
    const uint32_t index_root = must(vbk::IndexBTree::create(ours.pager)).root();
    must(ours.pager.commit());
    run("insert index keys", [&] { ours_index_insert(ours, index_root, d); },
        [&] { peer_index_insert(peer, d); });
    size_t ours_found = 0, peer_found = 0;
    run("index prefix probes", [&] { ours_found = ours_probes(ours, index_root, d); },
        [&] { peer_found = peer_probes(peer, d); });
    // Integers beyond 2^53 that round to one double are one value to us and
    // two to the peer, so the counts may differ by a few.
    std::printf("index probes found: ours %zu, peer %zu of %zu\n", ours_found, peer_found, d.probes_v.size());
  }

  // The cold phases, in the order that builds each file they need.
  std::vector<Row> cold_results;
  for (const auto& [name, phase] : std::initializer_list<std::pair<const char*, const char*>>{
           {"append rows", "append"},
           {"random point lookups", "lookups"},
           {"delete every other row", "delete"},
           {"insert index keys", "index"},
           {"index prefix probes", "probes"}}) {
    const Measure o = cold((std::string(phase) + "-ours").c_str(), rows, dir);
    const Measure p = cold((std::string(phase) + "-peer").c_str(), rows, dir);
    cold_results.push_back({name, o.seconds, p.seconds, o.peak_kib, p.peak_kib});
  }
  for (const char* f : {"bench-a.db", "bench-a.peer", "bench-b.db", "bench-b.peer", "bench-c.db",
                        "bench-c.peer", "cold-t.db", "cold-t.peer", "cold-i.db", "cold-i.peer"}) {
    std::remove((dir + "/vbk-" + f).c_str());
  }

  std::printf("%zu rows of %zu bytes, 4096-byte pages; MiB: peak memory the phase added\n", rows, payload.size());
  auto table = [](const char* title, const std::vector<Row>& rs) {
    std::printf("%s\n%-26s %10s %10s %7s %9s %9s\n", title, "workload", "ours (s)", "peer (s)", "ratio",
                "ours MiB", "peer MiB");
    for (const Row& r : rs) {
      std::printf("%-26s %10.3f %10.3f %7.2f %9.1f %9.1f\n", r.name, r.ours, r.peer, r.ours / r.peer,
                  r.ours_kib / 1024.0, r.peer_kib / 1024.0);
    }
  };
  table("in one process", results);
  table("each phase in a fresh process", cold_results);
  return 0;
}
