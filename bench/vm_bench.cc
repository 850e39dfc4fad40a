// Virtual machine workloads: hand-built programs, run as the engine runs
// them (a fresh Vm per execution, output rows gathered in the machine),
// against the peer running the same SQL through one prepared statement.
//
// The table is t(id INTEGER PRIMARY KEY, a INTEGER, b TEXT) with a = i % 1000
// and b a short text; ours stores the records (a, b) under rowid id. Both
// sides use 4096-byte pages, rollback-journal mode with full sync and the
// peer a 4000-page cache. Each side reads inside one read transaction (ours
// under the pager's read lock, the peer between BEGIN and COMMIT).
//
//   append      INSERT of every row: NewRowid, MakeRecord, Insert in a loop
//               of Bin and IfTrue; the peer's INSERT ... SELECT over a
//               recursive counter, one statement in one transaction
//   full scan   SELECT a, b FROM t
//   filter      SELECT a, b FROM t WHERE a = 7 (Bin Eq, IfFalse), before
//               any index exists
//   lookups     SELECT a, b FROM t WHERE id = ?1 for random ids, one
//               execution per id
//   range       SELECT id, b FROM t WHERE a >= ?1 AND a < ?2 through an
//               index on a, ten ranges covering every row
//
//   vm_bench [rows] [directory]     defaults: 1000000 rows, /tmp

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
#include "record/record.h"
#include "vdbe/program.h"
#include "vdbe/vdbe.h"
#include "vfs/os.h"

namespace {

using vbk::Value;
using vbk::vdbe::BinKind;
using vbk::vdbe::Op;
using vbk::vdbe::Program;
using vbk::vdbe::Target;

using vbk::bench::must;
using vbk::bench::seconds;

void expect(size_t got, size_t want, const char* what) {
  if (got != want) {
    std::fprintf(stderr, "%s: %zu rows, expected %zu\n", what, got, want);
    std::exit(2);
  }
}

struct Peer : vbk::bench::PeerDb {
  explicit Peer(const std::string& path)
      : PeerDb(path,
               "PRAGMA page_size=4096; PRAGMA journal_mode=DELETE; PRAGMA synchronous=FULL;"
               "PRAGMA cache_size=4000; CREATE TABLE t(id INTEGER PRIMARY KEY, a INTEGER, b TEXT)") {}
};

Target to(uint32_t at) { return Target{at}; }

Program program(uint32_t n_regs, uint32_t n_cursors, uint32_t n_idx, std::vector<Op> ops) {
  Program p;
  p.ops = std::move(ops);
  p.n_regs = n_regs;
  p.n_cursors = n_cursors;
  p.n_idx_cursors = n_idx;
  return p;
}

// One execution on a fresh machine, as the engine runs a statement; the
// number of output rows.
size_t run(vbk::Pager& pager, const Program& p, std::span<const Value> binds = {}) {
  vbk::vdbe::Vm vm(pager, binds);
  must(vm.run(p));
  return std::move(vm).into_output().size();
}

struct Row {
  const char* name;
  size_t rows;  // rows produced or written per side
  double ours;
  double peer;
};

}  // namespace

int main(int argc, char** argv) {
  const size_t rows = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 1000000;
  const std::string dir = argc > 2 ? argv[2] : "/tmp";
  const int64_t n = static_cast<int64_t>(rows);
  const std::string text = "a short text of a row";
  std::vector<Row> results;

  const std::string ours_path = dir + "/vbk-vm-bench.db";
  vbk::Pager pager = vbk::bench::fresh_pager(ours_path);
  must(pager.begin());
  const uint32_t root = must(vbk::BTree::create(pager)).root();
  must(pager.commit());
  Peer peer(dir + "/vbk-vm-bench.peer");

  {
    // r0 rowid, r1 a, r2 b, r3 record, r5 counter, r6 n, r7 1, r8 1000, r9 test.
    const Program append = program(
        10, 1, 0,
        {Op::OpenWrite{0, root}, Op::Integer{0, 5}, Op::Integer{n, 6}, Op::Integer{1, 7}, Op::Integer{1000, 8},
         Op::Str{text, 2}, Op::NewRowid{0, 0}, Op::Bin{BinKind::Mod, 5, 8, 1}, Op::MakeRecord{1, 2, 3},
         Op::Insert{0, 3, 0}, Op::Bin{BinKind::Add, 5, 7, 5}, Op::Bin{BinKind::Lt, 5, 6, 9},
         Op::IfTrue{9, to(6)}, Op::Halt{}});
    Row r{"append (NewRowid, Insert)", rows, 0, 0};
    r.ours = seconds([&] {
      must(pager.begin());
      vbk::vdbe::Vm vm(pager, {});
      must(vm.run(append));
      expect(vm.changes(), rows, "append");
      must(pager.commit());
    });
    r.peer = seconds([&] {
      peer.exec("BEGIN");
      peer.exec("WITH RECURSIVE c(x) AS (SELECT 0 UNION ALL SELECT x + 1 FROM c WHERE x + 1 < " +
                std::to_string(n) + ") INSERT INTO t(a, b) SELECT x % 1000, '" + text + "' FROM c");
      peer.exec("COMMIT");
    });
    results.push_back(r);
  }

  // A program that reads the whole table once, against the same query on the
  // peer, both inside one read transaction.
  auto scan_workload = [&](const char* name, const Program& prog, const char* sql, size_t expected) {
    Row r{name, rows, 0, 0};
    r.ours = seconds([&] {
      must(pager.read_lock());
      expect(run(pager, prog), expected, name);
      must(pager.read_unlock());
    });
    r.peer = seconds([&] {
      sqlite3_stmt* s = peer.prepare(sql);
      peer.exec("BEGIN");
      expect(peer.drain(s), expected, sql);
      peer.exec("COMMIT");
      sqlite3_finalize(s);
    });
    results.push_back(r);
  };

  scan_workload("full scan of two columns",
                program(2, 1, 0,
                        {Op::OpenRead{0, root}, Op::Rewind{0, to(6)}, Op::Column{0, 0, 0},
                         Op::Column{0, 1, 1}, Op::ResultRow{0, 2}, Op::Next{0, to(2)}, Op::Halt{}}),
                "SELECT a, b FROM t", rows);

  // r0 a, r1 b, r2 7, r3 test.
  scan_workload("scan and filter (Bin, IfFalse)",
                program(4, 1, 0,
                        {Op::OpenRead{0, root}, Op::Integer{7, 2}, Op::Rewind{0, to(9)},
                         Op::Column{0, 0, 0}, Op::Bin{BinKind::Eq, 0, 2, 3}, Op::IfFalse{3, to(8)},
                         Op::Column{0, 1, 1}, Op::ResultRow{0, 2}, Op::Next{0, to(3)}, Op::Halt{}}),
                "SELECT a, b FROM t WHERE a = 7", rows / 1000 + (rows % 1000 > 7 ? 1 : 0));

  {
    std::mt19937_64 rng(42);
    std::vector<int64_t> probes(rows);
    for (int64_t& p : probes) p = static_cast<int64_t>(rng() % rows + 1);
    // r0 key, r1 a, r2 b.
    const Program lookup = program(3, 1, 0,
                                   {Op::OpenRead{0, root}, Op::Bind{0, 0}, Op::SeekRowid{0, 0, to(6)},
                                    Op::Column{0, 0, 1}, Op::Column{0, 1, 2}, Op::ResultRow{1, 2}, Op::Halt{}});
    Row r{"rowid point lookups", rows, 0, 0};
    r.ours = seconds([&] {
      must(pager.read_lock());
      size_t found = 0;
      Value key[1];
      for (int64_t id : probes) {
        key[0] = Value::Int(id);
        found += run(pager, lookup, key);
      }
      must(pager.read_unlock());
      expect(found, rows, "lookups");
    });
    r.peer = seconds([&] {
      const size_t found = peer.each("SELECT a, b FROM t WHERE id = ?1", probes.size(),
                                     [&](sqlite3_stmt* s, size_t i) { sqlite3_bind_int64(s, 1, probes[i]); });
      expect(found, rows, "peer lookups");
    });
    results.push_back(r);
  }

  {
    // The index on a: built outside the timings on both sides.
    must(pager.begin());
    const vbk::IndexBTree index = must(vbk::IndexBTree::create(pager));
    {
      vbk::Cursor c(pager, root);
      must(c.rewind());
      vbk::Bytes record;
      vbk::Bytes key;
      while (const std::optional<int64_t> id = must(c.next_into(record))) {
        const Value a = must(vbk::record::decode_column(record, 0));
        vbk::keyenc::encode_index_key_into(key, std::span(&a, 1), *id);
        must(index.insert(key));
      }
    }
    must(pager.commit());
    peer.exec("CREATE INDEX ta ON t(a)");

    // r0 low, r1 high, r2 low bound, r3 high bound, r4 rowid, r5 b.
    const Program range = program(
        6, 1, 1,
        {Op::OpenRead{0, root}, Op::OpenIndex{0, index.root()}, Op::Bind{0, 0}, Op::Bind{1, 1},
         Op::MakeBoundKey{0, 1, false, 2}, Op::MakeBoundKey{1, 1, false, 3}, Op::IdxSeek{0, 2, to(14)},
         Op::IdxRangeGuard{0, 3, to(14)}, Op::IdxRowid{0, 4}, Op::SeekRowid{0, 4, to(12)}, Op::Column{0, 1, 5},
         Op::ResultRow{4, 2}, Op::IdxNext{0, to(7)}, Op::Halt{}, Op::Halt{}});
    Row r{"index range scans", rows, 0, 0};
    r.ours = seconds([&] {
      must(pager.read_lock());
      size_t found = 0;
      for (int64_t low = 0; low < 1000; low += 100) {
        const Value bounds[] = {Value::Int(low), Value::Int(low + 100)};
        found += run(pager, range, bounds);
      }
      must(pager.read_unlock());
      expect(found, rows, "range");
    });
    r.peer = seconds([&] {
      const size_t found =
          peer.each("SELECT id, b FROM t WHERE a >= ?1 AND a < ?2", 10, [](sqlite3_stmt* s, size_t i) {
            const auto low = static_cast<int64_t>(i) * 100;
            sqlite3_bind_int64(s, 1, low);
            sqlite3_bind_int64(s, 2, low + 100);
          });
      expect(found, rows, "peer range");
    });
    results.push_back(r);
  }

  std::printf("%-34s %14s %14s %8s\n", "workload", "ours rows/s", "peer rows/s", "ratio");
  for (const Row& r : results) {
    const double ours_rate = static_cast<double>(r.rows) / r.ours;
    const double peer_rate = static_cast<double>(r.rows) / r.peer;
    std::printf("%-34s %14.0f %14.0f %8.2f\n", r.name, ours_rate, peer_rate, ours_rate / peer_rate);
  }
  std::printf("ratio: ours / peer rows per second (above 1: ours faster)\n");
  std::remove(ours_path.c_str());
  std::remove((dir + "/vbk-vm-bench.peer").c_str());
  return 0;
}
