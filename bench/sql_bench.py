#!/usr/bin/env python3
"""End-to-end SQL workloads through velmarbrook and through the standard
library's sqlite3 module, in one run, on the same machine.

Each workload runs REPS times, each time on fresh database files in a
temporary directory (filling them is not timed); the median of the timed
part is reported for each engine, with the ratio ours / peer. A workload that
fails prints "fail" and the error, and the run goes on. This is a measurement,
not a test: it asserts nothing.

Both engines get the same settings: page size 4096, a 4000-page cache,
synchronous = full, autocommit with explicit BEGIN/COMMIT around bulk work,
and the journal mode given with --mode (delete: rollback journal; wal:
write-ahead log).

    python3 bench/sql_bench.py --mode delete --rows 100000 --reps 3 [--filter point]

SQL_BENCH_ROWS, SQL_BENCH_REPS and SQL_BENCH_FILTER in the environment give
the defaults of --rows, --reps and --filter (make bench-sql sets them).
"""

import argparse
import os
import random
import sqlite3
import statistics
import sys
import tempfile
import time

import velmarbrook

CACHE_PAGES = 4000


# ---- the two engines behind one small face ----


class Engine:
    """A connection and its one cursor; both modules share the DB-API face."""

    def execute(self, sql, params=None):
        if params is None:
            self.cur.execute(sql)
        else:
            self.cur.execute(sql, params)
        return self.cur.fetchall()

    def executemany(self, sql, seq):
        self.cur.executemany(sql, seq)


class Ours(Engine):
    name = "velmarbrook"
    version = velmarbrook.__version__

    def __init__(self, path, mode):
        self.conn = velmarbrook.connect(path)
        self.cur = self.conn.cursor()
        # The cache is fixed at CACHE_PAGES pages and new files use 4096-byte
        # pages: nothing to set for either.
        self.cur.execute("PRAGMA synchronous = 2")
        self.cur.execute("PRAGMA journal_mode = " + mode)

    def close(self):
        # The file closes when the connection and its cursor are gone.
        self.cur = None
        self.conn = None


class Peer(Engine):
    name = "sqlite3"
    version = sqlite3.sqlite_version

    def __init__(self, path, mode):
        self.conn = sqlite3.connect(path, isolation_level=None)
        self.cur = self.conn.cursor()
        self.cur.execute("PRAGMA page_size = 4096")
        self.cur.execute("PRAGMA cache_size = %d" % CACHE_PAGES)
        self.cur.execute("PRAGMA synchronous = FULL")
        self.cur.execute("PRAGMA journal_mode = " + mode.upper())

    def close(self):
        self.cur.close()
        self.conn.close()


# ---- data ----


class Data:
    """The rows of t and u, drawn once per run so that both engines and every
    repetition see the same data."""

    def __init__(self, rows, seed=20261210):
        rng = random.Random(seed)
        self.rows = rows
        self.t = [(i, rng.randrange(rows), "b%09d" % i, rng.random() * 1000.0)
                  for i in range(1, rows + 1)]
        self.u = [(i, rng.randrange(1, rows + 1), "v%d" % i)
                  for i in range(1, rows // 10 + 1)]
        self.keys = [rng.randrange(1, rows + 1) for _ in range(2000)]
        self.a_values = [rng.randrange(rows) for _ in range(2000)]


T_TABLE = "CREATE TABLE t (id INTEGER PRIMARY KEY, a INTEGER, b TEXT, c REAL)"
T_INDEX = "CREATE INDEX t_a ON t (a)"
U_TABLE = "CREATE TABLE u (id INTEGER PRIMARY KEY, tid INTEGER, v TEXT)"
T_INSERT = "INSERT INTO t (id, a, b, c) VALUES (?, ?, ?, ?)"
U_INSERT = "INSERT INTO u (id, tid, v) VALUES (?, ?, ?)"


def fill(db, data, with_u=False):
    db.execute(T_TABLE)
    db.execute(T_INDEX)
    db.execute("BEGIN")
    db.executemany(T_INSERT, data.t)
    db.execute("COMMIT")
    if with_u:
        db.execute(U_TABLE)
        db.execute("BEGIN")
        db.executemany(U_INSERT, data.u)
        db.execute("COMMIT")


# ---- workloads: (name, setup, timed body) ----


def setup_empty(index):
    def setup(db, data):
        db.execute(T_TABLE)
        if index:
            db.execute(T_INDEX)
    return setup


def bulk_insert(db, data):
    db.execute("BEGIN")
    db.executemany(T_INSERT, data.t)
    db.execute("COMMIT")


def setup_filled(db, data):
    fill(db, data)


def setup_joined(db, data):
    fill(db, data, with_u=True)


def autocommit_inserts(db, data):
    base = data.rows + 1
    for i in range(200):
        db.execute(T_INSERT, (base + i, i, "new%d" % i, 0.5))


def point_literal(db, data):
    for k in data.keys:
        db.execute("SELECT a, b, c FROM t WHERE id = %d" % k)


def point_param(db, data):
    for k in data.keys:
        db.execute("SELECT a, b, c FROM t WHERE id = ?", (k,))


def index_literal(db, data):
    for a in data.a_values:
        db.execute("SELECT id, b FROM t WHERE a = %d" % a)


def range_count_sum(db, data):
    lo = data.rows // 2
    hi = lo + data.rows // 10
    db.execute("SELECT count(*), sum(c) FROM t WHERE a >= %d AND a < %d" % (lo, hi))


def group_by(db, data):
    db.execute("SELECT a % 100, count(*), avg(c) FROM t GROUP BY a % 100")


def order_limit(db, data):
    db.execute("SELECT id, c FROM t ORDER BY c DESC LIMIT 10")


def join_count_sum(db, data):
    db.execute("SELECT count(*), sum(t.c) FROM u JOIN t ON t.id = u.tid")


def update_smallest(db, data):
    db.execute("UPDATE t SET c = c + 1 WHERE a < %d" % (data.rows // 10))


def delete_largest(db, data):
    db.execute("DELETE FROM t WHERE a >= %d" % (data.rows // 2))


# The same insert through executemany with and without a subquery: a
# prepared statement with a subquery is folded and compiled again at every
# run, so the difference is what each row pays for its subquery.
SUBQUERY_INSERT = "INSERT INTO u (id, tid, v) VALUES (?, (SELECT a FROM t WHERE id = 1), ?)"
PLAIN_INSERT = "INSERT INTO u (id, tid, v) VALUES (?, ?, ?)"


def setup_filled_u(db, data):
    fill(db, data)
    db.execute(U_TABLE)


def many_with_subquery(db, data):
    db.execute("BEGIN")
    db.executemany(SUBQUERY_INSERT, [(i, "v") for i in range(1, 2001)])
    db.execute("COMMIT")


def many_without_subquery(db, data):
    db.execute("BEGIN")
    db.executemany(PLAIN_INSERT, [(i, 1, "v") for i in range(1, 2001)])
    db.execute("COMMIT")


# One statement whose subquery costs far more than the rest of it (about
# four million row pairs), run once through execute with a parameter and once
# as a script: preparing runs none of a statement's subqueries, so the two
# take the same time. executemany runs the subquery once per row.
BIG_ROWS = 2000
COSTLY_SUBQUERY = "(SELECT count(*) FROM big AS p, big AS q WHERE p.x < q.x)"


def setup_costly(db, data):
    db.execute("CREATE TABLE big (x INT)")
    db.execute("CREATE TABLE one (id INTEGER PRIMARY KEY, v INT)")
    db.execute("BEGIN")
    db.executemany("INSERT INTO big (x) VALUES (?)", [(i,) for i in range(BIG_ROWS)])
    db.execute("INSERT INTO one (id, v) VALUES (1, 0)")
    db.execute("COMMIT")


def script_subquery(db, data):
    db.execute("SELECT %s + 0" % COSTLY_SUBQUERY)


def execute_param_subquery(db, data):
    db.execute("SELECT %s + ?" % COSTLY_SUBQUERY, (0,))


def executemany_subquery_3(db, data):
    db.executemany("UPDATE one SET v = %s WHERE id = ?" % COSTLY_SUBQUERY, [(1,)] * 3)


WORKLOADS = [
    ("insert_bulk", setup_empty(False), bulk_insert),
    ("insert_bulk_indexed", setup_empty(True), bulk_insert),
    ("insert_autocommit_200", setup_filled, autocommit_inserts),
    ("point_select_literal_2000", setup_filled, point_literal),
    ("point_select_param_2000", setup_filled, point_param),
    ("index_eq_literal_2000", setup_filled, index_literal),
    ("range_10pct_count_sum", setup_filled, range_count_sum),
    ("scan_group_by_mod100", setup_filled, group_by),
    ("order_by_c_desc_limit10", setup_filled, order_limit),
    ("join_u_t_count_sum", setup_joined, join_count_sum),
    ("update_10pct_smallest_a", setup_filled, update_smallest),
    ("delete_half_largest_a", setup_filled, delete_largest),
    ("executemany_insert_2000", setup_filled_u, many_without_subquery),
    ("executemany_insert_subquery_2000", setup_filled_u, many_with_subquery),
    ("script_subquery", setup_costly, script_subquery),
    ("execute_param_subquery", setup_costly, execute_param_subquery),
    ("executemany_subquery_3", setup_costly, executemany_subquery_3),
]


# ---- running ----


def fresh_path(tmp, label):
    fresh_path.n += 1
    return os.path.join(tmp, "%s-%d.db" % (label, fresh_path.n))


fresh_path.n = 0


def time_once(engine, tmp, mode, data, setup, body):
    db = engine(fresh_path(tmp, engine.name), mode)
    try:
        setup(db, data)
        start = time.perf_counter()
        body(db, data)
        return time.perf_counter() - start
    finally:
        db.close()


def median_time(engine, tmp, mode, data, setup, body, reps):
    """The median seconds over reps fresh runs, or the error's text."""
    times = []
    for _ in range(reps):
        try:
            times.append(time_once(engine, tmp, mode, data, setup, body))
        except Exception as e:  # the run goes on; the line says why
            return "%s: %s" % (type(e).__name__, e)
    return statistics.median(times)


def fsync_baseline(tmp, reps=41):
    """The median seconds of one 4096-byte write plus fsync on a file in the
    benchmark's directory. Each write appends a block, as a journal or log
    write does, so that every sync also carries the file's new size: the
    rewrite of an unchanged block can be far cheaper than any commit's
    sync."""
    path = os.path.join(tmp, "fsync-probe")
    block = os.urandom(4096)
    fd = os.open(path, os.O_RDWR | os.O_CREAT | os.O_TRUNC, 0o644)
    try:
        os.fsync(fd)
        times = []
        for i in range(reps):
            start = time.perf_counter()
            os.pwrite(fd, block, i * len(block))
            os.fsync(fd)
            times.append(time.perf_counter() - start)
        return statistics.median(times)
    finally:
        os.close(fd)
        os.remove(path)


def fmt(v):
    return "%10.4f" % v if isinstance(v, float) else "%10s" % "fail"


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--mode", choices=["delete", "wal"], default="delete")
    env = os.environ.get
    ap.add_argument("--rows", type=int, default=int(env("SQL_BENCH_ROWS") or 100000))
    ap.add_argument("--reps", type=int, default=int(env("SQL_BENCH_REPS") or 3))
    ap.add_argument("--filter", default=env("SQL_BENCH_FILTER", ""),
                    help="run only workloads whose name contains this")
    ap.add_argument("--dir", default=None, help="where the temporary directory goes")
    args = ap.parse_args()
    if args.rows < 10 or args.reps < 1:
        ap.error("--rows must be at least 10 and --reps at least 1")

    data = Data(args.rows)
    engines = (Ours, Peer)
    print("mode %s, rows %d, repetitions %d, velmarbrook %s, sqlite3 %s (median seconds)"
          % (args.mode, args.rows, args.reps, Ours.version, Peer.version))
    print("%-28s %10s %10s %8s" % ("workload", "ours", "peer", "ratio"))
    autocommit = {}
    with tempfile.TemporaryDirectory(prefix="sql_bench-", dir=args.dir) as tmp:
        for name, setup, body in WORKLOADS:
            if args.filter not in name:
                continue
            results = [median_time(e, tmp, args.mode, data, setup, body, args.reps)
                       for e in engines]
            ours, peer = results
            ratio = ("%8.2f" % (ours / peer)
                     if isinstance(ours, float) and isinstance(peer, float) and peer > 0
                     else "%8s" % "-")
            print("%-28s %s %s %s" % (name, fmt(ours), fmt(peer), ratio), flush=True)
            for e, r in zip(engines, results):
                if not isinstance(r, float):
                    print("    fail %s: %s" % (e.name, r), flush=True)
            if body is autocommit_inserts:
                autocommit = dict(zip((e.name for e in engines), results))
                # Measured at once, so that the commits and the baseline
                # see the disk in the same state.
                sync = fsync_baseline(tmp)

        if not autocommit:
            sync = fsync_baseline(tmp)
        print("durability: one 4096-byte write + fsync: %.6f s" % sync)
        for e in engines:
            r = autocommit.get(e.name)
            if isinstance(r, float):
                one = r / 200
                print("durability: %-11s one autocommit insert: %.6f s = %.1f write+fsync"
                      % (e.name, one, one / sync if sync > 0 else float("nan")))
            else:
                print("durability: %-11s one autocommit insert: %s"
                      % (e.name, "not run" if r is None else "fail"))
    return 0


if __name__ == "__main__":
    sys.exit(main())
