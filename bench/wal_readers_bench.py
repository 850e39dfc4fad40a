#!/usr/bin/env python3
"""One writer beside reader processes, in write-ahead-log mode, through
velmarbrook and through the standard library's sqlite3 module.

The writer commits `UPDATE c SET n = n + 1 WHERE id = ?` over and over, one
autocommitted statement at a time, with synchronous = 1, for --seconds. Beside
it run 0, 1 or 3 reader processes of a short query, or one reader of a long
query, each over and over until the writer stops. Reported for each run:
commits per second, the slowest commit, reads per second (all readers
together), the largest size the -wal file reached, and how long one read
takes on its own. This is a measurement, not a test: it asserts nothing but
that the counter ends at the number of commits.

    python3 bench/wal_readers_bench.py [--seconds 6] [--engines velmarbrook,sqlite3]

The short query is a scan of --short-rows rows, the long one a join of
--long-rows rows with themselves; both engines get the same data and the
same text. make bench-wal-readers runs it against the build.
"""

import argparse
import multiprocessing as mp
import os
import sqlite3
import statistics
import sys
import tempfile
import time

import velmarbrook

SHORT_QUERY = "SELECT sum(x) FROM big"
LONG_QUERY = "SELECT count(*) FROM sq a, sq b WHERE a.x < b.x"
UPDATE = "UPDATE c SET n = n + 1 WHERE id = ?"

# (label, number of readers, query)
RUNS = [
    ("no reader", 0, SHORT_QUERY),
    ("1 short reader", 1, SHORT_QUERY),
    ("3 short readers", 3, SHORT_QUERY),
    ("1 long reader", 1, LONG_QUERY),
]


def connect(engine, path):
    """A cursor on `path`, in log mode with synchronous = 1."""
    if engine == "velmarbrook":
        conn = velmarbrook.connect(path)
    else:
        # Our engine waits for locks without a time-out; the peer is given
        # a long one so that it waits too instead of failing as busy.
        conn = sqlite3.connect(path, isolation_level=None, timeout=600)
    cur = conn.cursor()
    cur.execute("PRAGMA journal_mode = wal")
    cur.fetchall()
    cur.execute("PRAGMA synchronous = 1")
    return conn, cur


def fill(engine, path, short_rows, long_rows):
    conn, cur = connect(engine, path)
    cur.execute("CREATE TABLE c (id INTEGER PRIMARY KEY, n INT)")
    cur.execute("INSERT INTO c VALUES (1, 0)")
    cur.execute("CREATE TABLE big (id INTEGER PRIMARY KEY, x INT)")
    cur.execute("CREATE TABLE sq (id INTEGER PRIMARY KEY, x INT)")
    cur.execute("BEGIN")
    cur.executemany("INSERT INTO big VALUES (?, ?)", [(i, i * 7919 % 1000) for i in range(1, short_rows + 1)])
    cur.executemany("INSERT INTO sq VALUES (?, ?)", [(i, i * 7919 % 1000) for i in range(1, long_rows + 1)])
    cur.execute("COMMIT")
    cur.execute("PRAGMA wal_checkpoint")
    cur.fetchall()
    del cur, conn


def one_read_seconds(engine, path, query, reps):
    conn, cur = connect(engine, path)
    times = []
    for _ in range(reps):
        start = time.perf_counter()
        cur.execute(query)
        cur.fetchall()
        times.append(time.perf_counter() - start)
    return statistics.median(times)


def reader(engine, path, query, ready, stop, results):
    conn, cur = connect(engine, path)
    ready.release()
    reads = 0
    while not stop.is_set():
        cur.execute(query)
        cur.fetchall()
        reads += 1
    results.put(reads)


def writer(engine, path, seconds):
    """(commits, slowest commit in seconds, largest log in bytes)"""
    conn, cur = connect(engine, path)
    wal = path + "-wal"
    commits = 0
    slowest = 0.0
    largest = 0
    end = time.perf_counter() + seconds
    while True:
        start = time.perf_counter()
        if start >= end:
            break
        cur.execute(UPDATE, (1,))
        slowest = max(slowest, time.perf_counter() - start)
        commits += 1
        largest = max(largest, os.path.getsize(wal))
    cur.execute("SELECT n FROM c WHERE id = 1")
    (n,) = cur.fetchall()[0]
    if n != commits:
        raise SystemExit("%s: the counter reads %d after %d commits" % (engine, n, commits))
    return commits, slowest, largest


def run(engine, readers, query, args):
    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "bench.db")
        fill(engine, path, args.short_rows, args.long_rows)
        ctx = mp.get_context("fork")
        ready = ctx.Semaphore(0)
        stop = ctx.Event()
        results = ctx.Queue()
        procs = [ctx.Process(target=reader, args=(engine, path, query, ready, stop, results))
                 for _ in range(readers)]
        for p in procs:
            p.start()
        for _ in procs:
            ready.acquire()
        commits, slowest, largest = writer(engine, path, args.seconds)
        stop.set()
        reads = sum(results.get() for _ in procs)
        for p in procs:
            p.join()
        return commits, slowest, reads, largest


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--seconds", type=float, default=6.0)
    parser.add_argument("--short-rows", type=int, default=50000)
    parser.add_argument("--long-rows", type=int, default=1700)
    parser.add_argument("--engines", default="velmarbrook,sqlite3")
    args = parser.parse_args()
    engines = args.engines.split(",")
    print("writer: %r for %.1f s, log mode, synchronous = 1; velmarbrook %s, sqlite3 %s"
          % (UPDATE, args.seconds, velmarbrook.__version__, sqlite3.sqlite_version))
    with tempfile.TemporaryDirectory() as tmp:
        for engine in engines:
            path = os.path.join(tmp, engine + ".db")
            fill(engine, path, args.short_rows, args.long_rows)
            print("%s: one short read %.1f ms, one long read %.0f ms"
                  % (engine, 1000 * one_read_seconds(engine, path, SHORT_QUERY, 9),
                     1000 * one_read_seconds(engine, path, LONG_QUERY, 3)))
    print("%-16s %-12s %12s %14s %10s %12s" % ("readers", "engine", "commits/s", "slowest (ms)", "reads/s",
                                             "largest log"))
    for label, readers, query in RUNS:
        for engine in engines:
            commits, slowest, reads, largest = run(engine, readers, query, args)
            print("%-16s %-12s %12.0f %14.1f %10.1f %9.1f MB"
                  % (label, engine, commits / args.seconds, 1000 * slowest, reads / args.seconds,
                     largest / 1e6))
            sys.stdout.flush()


if __name__ == "__main__":
    main()
