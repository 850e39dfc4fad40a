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
//   btree_bench [rows] [directory]     defaults: 1000000 rows, /tmp

#include <sqlite3.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <random>
#include <string>
#include <vector>

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

struct Peer {
  sqlite3* db = nullptr;
  explicit Peer(const std::string& path) {
    std::remove(path.c_str());
    check(sqlite3_open(path.c_str(), &db), db);
    exec("PRAGMA page_size=4096; PRAGMA journal_mode=DELETE; PRAGMA synchronous=FULL;"
         "PRAGMA cache_size=4000; CREATE TABLE t(id INTEGER PRIMARY KEY, v BLOB)");
  }
  ~Peer() { sqlite3_close(db); }
  void exec(const char* sql) { check(sqlite3_exec(db, sql, nullptr, nullptr, nullptr), db); }
  sqlite3_stmt* prepare(const char* sql) {
    sqlite3_stmt* s = nullptr;
    check(sqlite3_prepare_v2(db, sql, -1, &s, nullptr), db);
    return s;
  }
  // Runs `stmt` once per rowid with the rowid (and a payload) bound.
  void each(const char* sql, const std::vector<int64_t>& ids, const Bytes* payload) {
    sqlite3_stmt* s = prepare(sql);
    exec("BEGIN");
    for (int64_t id : ids) {
      sqlite3_bind_int64(s, 1, id);
      if (payload) sqlite3_bind_blob(s, 2, payload->data(), static_cast<int>(payload->size()), SQLITE_STATIC);
      int rc;
      while ((rc = sqlite3_step(s)) == SQLITE_ROW) {
        (void)sqlite3_column_blob(s, 0);
      }
      check(rc, db, SQLITE_DONE);
      sqlite3_reset(s);
    }
    exec("COMMIT");
    sqlite3_finalize(s);
  }
};

struct Ours {
  vbk::Pager pager;
  uint32_t root = 0;
  explicit Ours(const std::string& path)
      : pager((std::remove(path.c_str()), must(vbk::Pager::create(vbk::OsVfs::instance(), path, 4096)))) {
    must(pager.begin());
    root = must(vbk::BTree::create(pager)).root();
    must(pager.commit());
  }
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

struct Row {
  const char* name;
  double ours;
  double peer;
};

}  // namespace

int main(int argc, char** argv) {
  const size_t rows = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 1000000;
  const std::string dir = argc > 2 ? argv[2] : "/tmp";
  const Bytes payload(100, 0x5a);
  std::vector<int64_t> ascending(rows), shuffled(rows), probes(rows), odd;
  for (size_t i = 0; i < rows; ++i) ascending[i] = static_cast<int64_t>(i + 1);
  std::mt19937_64 rng(42);
  shuffled = ascending;
  for (size_t i = rows; i > 1; --i) std::swap(shuffled[i - 1], shuffled[rng() % i]);
  for (auto& p : probes) p = static_cast<int64_t>(rng() % rows + 1);
  for (size_t i = 0; i < rows; i += 2) odd.push_back(static_cast<int64_t>(i + 1));

  std::vector<Row> results;
  {
    Ours ours(dir + "/vbk-bench-a.db");
    Peer peer(dir + "/vbk-bench-a.peer");
    Row append{"append rows", 0, 0};
    append.ours = seconds([&] {
      must(ours.pager.begin());
      vbk::AppendHint hint;
      for (int64_t id : ascending) must(ours.tree().insert_fast(id, payload, hint));
      must(ours.pager.commit());
    });
    append.peer = seconds([&] { peer.each("INSERT INTO t VALUES(?1, ?2)", ascending, &payload); });
    results.push_back(append);

    Row lookup{"random point lookups", 0, 0};
    lookup.ours = seconds([&] {
      must(ours.pager.read_lock());
      size_t found = 0;
      for (int64_t id : probes) found += must(ours.tree().search(id)).has_value();
      must(ours.pager.read_unlock());
      if (found != probes.size()) std::exit(2);
    });
    lookup.peer = seconds([&] { peer.each("SELECT v FROM t WHERE id=?1", probes, nullptr); });
    results.push_back(lookup);

    Row scan{"full scan", 0, 0};
    scan.ours = seconds([&] {
      must(ours.pager.read_lock());
      vbk::Cursor c(ours.pager, ours.root);
      must(c.rewind());
      Bytes buf;
      size_t n = 0;
      while (must(c.next_into(buf))) ++n;
      must(ours.pager.read_unlock());
      if (n != rows) std::exit(2);
    });
    scan.peer = seconds([&] {
      sqlite3_stmt* s = peer.prepare("SELECT id, v FROM t");
      size_t n = 0;
      while (sqlite3_step(s) == SQLITE_ROW) {
        (void)sqlite3_column_blob(s, 1);
        ++n;
      }
      sqlite3_finalize(s);
      if (n != rows) std::exit(2);
    });
    results.push_back(scan);

    Row del{"delete every other row", 0, 0};
    del.ours = seconds([&] {
      must(ours.pager.begin());
      for (int64_t id : odd) must(ours.tree().delete_(id));
      must(ours.pager.commit());
    });
    del.peer = seconds([&] { peer.each("DELETE FROM t WHERE id=?1", odd, nullptr); });
    results.push_back(del);

    Row trunc{"truncate upper half", 0, 0};
    const int64_t half = static_cast<int64_t>(rows / 2);
    trunc.ours = seconds([&] {
      must(ours.pager.begin());
      must(ours.tree().truncate_from(half));
      must(ours.pager.commit());
    });
    trunc.peer = seconds([&] { peer.each("DELETE FROM t WHERE id>=?1", {half}, nullptr); });
    results.push_back(trunc);
  }
  {
    Ours ours(dir + "/vbk-bench-b.db");
    Peer peer(dir + "/vbk-bench-b.peer");
    Row random{"insert random rowids", 0, 0};
    random.ours = seconds([&] {
      must(ours.pager.begin());
      for (int64_t id : shuffled) must(ours.tree().insert(id, payload));
      must(ours.pager.commit());
    });
    random.peer = seconds([&] { peer.each("INSERT INTO t VALUES(?1, ?2)", shuffled, &payload); });
    results.push_back(random);
  }
  {
    // Index entries: row i + 1 holds values[i]; probes are values.
    std::vector<vbk::Value> values, probes_v;
    values.reserve(rows);
    for (size_t i = 0; i < rows; ++i) values.push_back(random_value(rng));
    for (size_t i = 0; i < rows; ++i) {
      probes_v.push_back(rng() % 4 == 0 ? random_value(rng) : values[rng() % rows]);
    }
    Ours ours(dir + "/vbk-bench-c.db");
    Peer peer(dir + "/vbk-bench-c.peer");
    peer.exec("CREATE TABLE ix(v, id INTEGER, PRIMARY KEY(v, id)) WITHOUT ROWID");
    must(ours.pager.begin());
    const uint32_t index_root = must(vbk::IndexBTree::create(ours.pager)).root();
    must(ours.pager.commit());
    vbk::IndexBTree index(ours.pager, index_root);

    Row insert{"insert index keys", 0, 0};
    insert.ours = seconds([&] {
      must(ours.pager.begin());
      for (size_t i = 0; i < rows; ++i) {
        must(index.insert(vbk::keyenc::encode_index_key(std::span(&values[i], 1), static_cast<int64_t>(i + 1))));
      }
      must(ours.pager.commit());
    });
    insert.peer = seconds([&] {
      sqlite3_stmt* s = peer.prepare("INSERT INTO ix VALUES(?1, ?2)");
      peer.exec("BEGIN");
      for (size_t i = 0; i < rows; ++i) {
        bind_value(s, 1, values[i]);
        sqlite3_bind_int64(s, 2, static_cast<int64_t>(i + 1));
        check(sqlite3_step(s), peer.db, SQLITE_DONE);
        sqlite3_reset(s);
      }
      peer.exec("COMMIT");
      sqlite3_finalize(s);
    });
    results.push_back(insert);

    Row probe{"index prefix probes", 0, 0};
    size_t ours_found = 0, peer_found = 0;
    probe.ours = seconds([&] {
      must(ours.pager.read_lock());
      Bytes prefix;
      for (const vbk::Value& v : probes_v) {
        vbk::keyenc::encode_key_prefix_into(prefix, std::span(&v, 1));
        ours_found += must(index.contains_prefix(prefix));
      }
      must(ours.pager.read_unlock());
    });
    probe.peer = seconds([&] {
      sqlite3_stmt* s = peer.prepare("SELECT 1 FROM ix WHERE v=?1 LIMIT 1");
      peer.exec("BEGIN");  // one read transaction, as ours holds one read lock
      for (const vbk::Value& v : probes_v) {
        bind_value(s, 1, v);
        int rc;
        while ((rc = sqlite3_step(s)) == SQLITE_ROW) ++peer_found;
        check(rc, peer.db, SQLITE_DONE);
        sqlite3_reset(s);
      }
      peer.exec("COMMIT");
      sqlite3_finalize(s);
    });
    // Integers beyond 2^53 that round to one double are one value to us and
    // two to the peer, so the counts may differ by a few.
    std::printf("index probes found: ours %zu, peer %zu of %zu\n", ours_found, peer_found, probes_v.size());
    results.push_back(probe);
  }
  for (const char* f : {"a.db", "a.peer", "b.db", "b.peer", "c.db", "c.peer"}) {
    std::remove((dir + "/vbk-bench-" + f).c_str());
  }

  std::printf("%zu rows of %zu bytes, 4096-byte pages\n", rows, payload.size());
  std::printf("%-26s %12s %12s %8s\n", "workload", "ours (s)", "peer (s)", "ratio");
  for (const Row& r : results) {
    std::printf("%-26s %12.3f %12.3f %8.2f\n", r.name, r.ours, r.peer, r.ours / r.peer);
  }
  return 0;
}
