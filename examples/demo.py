"""A short tour of Velmarbrook from Python: a fresh database file, a table and
an index, rows inserted with executemany inside one transaction, a few queries
and one statement that fails. Each statement is printed with its result."""

import os
import sys

import velmarbrook

PATH = sys.argv[1] if len(sys.argv) > 1 else "demo.db"


def show(cur, sql, params=None):
    print(f"> {sql}" + (f"   {params!r}" if params is not None else ""))
    try:
        cur.execute(sql, params)
    except velmarbrook.Error as e:
        print(f"  error: {e}")
        return
    if cur.description is not None:
        print("  " + " | ".join(d[0] for d in cur.description))
        for row in cur.fetchall():
            print("  " + " | ".join(repr(v) for v in row))
    elif cur.rowcount >= 0:
        print(f"  {cur.rowcount} row(s) changed")
    else:
        print("  ok")


def show_many(cur, sql, rows):
    print(f"> executemany {sql}   {rows!r}")
    cur.executemany(sql, rows)
    print(f"  {cur.rowcount} row(s) changed, last rowid {cur.lastrowid}")


def main():
    for suffix in ("", "-journal", "-wal"):
        if os.path.exists(PATH + suffix):
            os.remove(PATH + suffix)
    conn = velmarbrook.connect(PATH)
    cur = conn.cursor()
    show(cur, "CREATE TABLE fruit (id INTEGER PRIMARY KEY, name TEXT NOT NULL, price REAL, stock INTEGER)")
    show(cur, "CREATE UNIQUE INDEX fruit_name ON fruit (name)")
    # Outside BEGIN every statement is a commit of its own, which waits for the
    # disk: many rows go in one transaction.
    rows = [("apple", 0.5, 120), ("banana", 0.25, 300), ("cherry", 3.0, 40), ("damson", 1.75, 0)]
    show(cur, "BEGIN")
    show_many(cur, "INSERT INTO fruit (name, price, stock) VALUES (?, ?, ?)", rows)
    show(cur, "COMMIT")
    show(cur, "SELECT id, name, price FROM fruit WHERE price < ? ORDER BY price", (2.0,))
    show(cur, "SELECT name, stock FROM fruit WHERE name = 'cherry'")
    show(cur, "UPDATE fruit SET stock = stock + 10 WHERE stock < 50")
    show(cur, "SELECT count(*) FROM fruit")
    show(cur, "SELECT UPPER(name) AS shout, ROUND(price * stock, 2) AS value FROM fruit ORDER BY price * stock DESC LIMIT 2")
    show(cur, "CREATE TABLE sale (fruit_id INTEGER, qty INTEGER)")
    show_many(cur, "INSERT INTO sale VALUES (?, ?)", [(1, 3), (2, 12), (1, 5), (3, 1)])
    show(cur, "SELECT f.name, SUM(s.qty) AS sold FROM sale s JOIN fruit f ON f.id = s.fruit_id "
              "GROUP BY f.name ORDER BY f.name")
    show(cur, "INSERT INTO fruit (name, price, stock) VALUES ('apple', 0.6, 5)")
    show(cur, "DELETE FROM fruit WHERE stock = 10")
    show(cur, "SELECT name FROM fruit ORDER BY name")


if __name__ == "__main__":
    main()
