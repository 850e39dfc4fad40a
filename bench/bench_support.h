#pragma once

// What every benchmark against the peer needs: ending on an error of either
// side, and timing a piece of work.

#include <sqlite3.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <optional>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "catalog/catalog.h"
#include "error.h"
#include "exec/dispatch.h"
#include "pager/pager.h"
#include "sql/parser.h"
#include "vdbe/vdbe.h"
#include "vfs/os.h"

namespace vbk::bench {

// The value of a Result; an error ends the benchmark.
template <typename T>
T must(Result<T> r) {
  if (!r) {
    std::fprintf(stderr, "error: %s\n", r.error().display().c_str());
    std::exit(1);
  }
  if constexpr (!std::is_void_v<T>) return std::move(r).value();
}

// Our database at `path`, made afresh (any file there is removed first)
// with 4096-byte pages, as the peer's.
inline Pager fresh_pager(const std::string& path) {
  std::remove(path.c_str());
  return must(Pager::create(OsVfs::instance(), path, 4096));
}

// Our side of the SQL benchmarks: a fresh database with its catalog, and
// statements compiled as the engine compiles them and run on a fresh
// machine each, as the engine runs them.
struct OursDb {
  Pager pager;
  std::optional<Catalog> catalog;

  explicit OursDb(const std::string& path) : pager(fresh_pager(path)) {
    catalog.emplace(must(Catalog::open(pager)));
  }
  vdbe::Program compile(const std::string& sql) {
    std::vector<Statement> stmts = must(parser::parse(sql));
    return must(exec::compile_statement(stmts.at(0), *catalog));
  }
  // A query under the read lock: its output rows.
  std::vector<vdbe::Row> rows(const vdbe::Program& p) {
    must(pager.read_lock());
    vdbe::Vm vm(pager, {});
    must(vm.run(p));
    must(pager.read_unlock());
    return std::move(vm).into_output();
  }
  // One data-changing statement in a transaction of its own; its changes.
  uint64_t change(const std::string& sql) {
    const vdbe::Program p = compile(sql);
    must(pager.begin());
    vdbe::Vm vm(pager, {});
    must(vm.run(p));
    must(pager.commit());
    return vm.changes();
  }
};

// A peer call's result code; anything but `want` ends the benchmark.
inline void check(int rc, sqlite3* db, int want = SQLITE_OK) {
  if (rc != want) {
    std::fprintf(stderr, "peer error %d: %s\n", rc, sqlite3_errmsg(db));
    std::exit(1);
  }
}

// Wall-clock seconds that `body` takes.
inline double seconds(const std::function<void()>& body) {
  const auto start = std::chrono::steady_clock::now();
  body();
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// The peer's connection to a database file: a fresh file (removed first), or
// with `reopen` the one at `path` as it is; `setup` (pragmas, schema) runs
// right after opening. Every call that fails ends the benchmark.
struct PeerDb {
  sqlite3* db = nullptr;

  PeerDb(const std::string& path, const std::string& setup, bool reopen = false) {
    if (!reopen) std::remove(path.c_str());
    check(sqlite3_open(path.c_str(), &db), db);
    if (!setup.empty()) exec(setup);
  }
  ~PeerDb() { sqlite3_close(db); }
  PeerDb(const PeerDb&) = delete;
  PeerDb& operator=(const PeerDb&) = delete;

  void exec(const std::string& sql) {
    check(sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr), db);
  }
  sqlite3_stmt* prepare(const std::string& sql) {
    sqlite3_stmt* s = nullptr;
    check(sqlite3_prepare_v2(db, sql.c_str(), -1, &s, nullptr), db);
    return s;
  }
  // Steps a bound statement to its end, reading every column of every row
  // as our output rows hold them, and resets it; the number of rows. With
  // `first`, the first column of the first row is stored there.
  size_t drain(sqlite3_stmt* s, int64_t* first = nullptr) {
    size_t n = 0;
    int rc;
    while ((rc = sqlite3_step(s)) == SQLITE_ROW) {
      for (int c = 0; c < sqlite3_column_count(s); ++c) {
        const int type = sqlite3_column_type(s, c);
        if (type == SQLITE_TEXT) {
          (void)sqlite3_column_text(s, c);
        } else if (type == SQLITE_BLOB) {
          (void)sqlite3_column_blob(s, c);
        } else {
          (void)sqlite3_column_int64(s, c);
        }
      }
      if (n++ == 0 && first) *first = sqlite3_column_int64(s, 0);
    }
    check(rc, db, SQLITE_DONE);
    sqlite3_reset(s);
    return n;
  }
  // Runs `sql` n times in one transaction, `bind(stmt, i)` binding the
  // values of run i, each drained; the rows of all runs.
  template <typename Bind>
  size_t each(const std::string& sql, size_t n, Bind&& bind) {
    sqlite3_stmt* s = prepare(sql);
    exec("BEGIN");
    size_t rows = 0;
    for (size_t i = 0; i < n; ++i) {
      bind(s, i);
      rows += drain(s);
    }
    exec("COMMIT");
    sqlite3_finalize(s);
    return rows;
  }
  // Prepares, drains and finalizes one query.
  size_t query(const std::string& sql, int64_t* first = nullptr) {
    sqlite3_stmt* s = prepare(sql);
    const size_t n = drain(s, first);
    sqlite3_finalize(s);
    return n;
  }
};

}  // namespace vbk::bench
