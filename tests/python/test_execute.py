"""Statements through cursors: scripts and prepared statements, parameters,
fetching, executemany, and what a failure leaves behind."""

import os
import unittest

import velmarbrook
from support import DbTest

UNSUPPORTED = "unsupported parameter type (want None/int/float/str/bytes)"


class ExecuteTest(DbTest):
    def setUp(self):
        super().setUp()
        self.run_sql("CREATE TABLE t (id INTEGER PRIMARY KEY, v)")

    def test_new_cursor(self):
        cur = self.conn.cursor()
        self.assertEqual((cur.rowcount, cur.lastrowid, cur.description), (-1, 0, None))
        self.assertIsNone(cur.fetchone())
        self.assertEqual(cur.fetchall(), [])

    def test_script_results(self):
        cur = self.run_sql("INSERT INTO t (v) VALUES (1); SELECT v FROM t")
        self.assertEqual(cur.rowcount, 1)
        self.assertEqual(cur.description, [("v", None, None, None, None, None, None)])
        self.assertEqual(cur.fetchall(), [(1,)])
        cur = self.run_sql("SELECT v FROM t; INSERT INTO t (v) VALUES (2)")
        self.assertEqual((cur.rowcount, cur.description, cur.fetchall()), (1, None, []))
        self.assertEqual(cur.lastrowid, 2)
        cur = self.run_sql("CREATE TABLE u (a)")
        self.assertEqual(cur.rowcount, -1)
        cur = self.run_sql("")
        self.assertEqual(cur.rowcount, -1)
        cur = self.run_sql("SELECT v FROM t WHERE v > 100")
        self.assertEqual(cur.description, [("v", None, None, None, None, None, None)])

    def test_prepared_path_accepts_one_statement(self):
        with self.assertRaises(velmarbrook.Error) as cm:
            self.run_sql("BEGIN", ())
        self.assertIn("only SELECT/INSERT/UPDATE/DELETE can be prepared", str(cm.exception))
        self.assertEqual(self.run_sql("SELECT 1", ()).fetchall(), [(1,)])

    def test_parameter_conversions(self):
        class Idx:
            def __index__(self):
                return 7

        class Flt:
            def __float__(self):
                return 2.5

        class S(str):
            pass

        class B(bytes):
            pass

        cases = [
            (None, None), (True, 1), (False, 0), (5, 5), (2**63 - 1, 2**63 - 1),
            (-2**63, -2**63), (2**63, float(2**63)), (1.5, 1.5), (Idx(), 7), (Flt(), 2.5),
            ("héllo", "héllo"), (S("s"), "s"), (b"\x00\xff", b"\x00\xff"), (B(b"b"), b"b"),
        ]
        for value, expected in cases:
            with self.subTest(value=value):
                got = self.run_sql("SELECT ?", (value,)).fetchone()[0]
                self.assertEqual(got, expected)
                self.assertIs(type(got), type(expected))
        for bad in (10**400, bytearray(b"x"), memoryview(b"x"), object(), [1]):
            with self.subTest(bad=bad):
                with self.assertRaises(velmarbrook.Error) as cm:
                    self.run_sql("SELECT ?", (bad,))
                self.assertEqual(cm.exception.args, (UNSUPPORTED,))
        # A str is an iterable of one-character strings.
        self.assertEqual(self.run_sql("SELECT ?, ?", "ab").fetchone(), ("a", "b"))
        with self.assertRaises(TypeError):
            self.run_sql("SELECT ?", 5)

    def test_fetchmany(self):
        self.conn.cursor().executemany("INSERT INTO t (v) VALUES (?)", [(i,) for i in range(5)])
        cur = self.run_sql("SELECT v FROM t")
        self.assertEqual(cur.fetchmany(), [(0,)])
        self.assertEqual(cur.fetchmany(0), [])
        self.assertEqual(cur.fetchone(), (1,))
        self.assertEqual(cur.fetchmany(2**64 - 1), [(2,), (3,), (4,)])
        self.assertEqual(cur.fetchmany(3), [])
        self.assertIsNone(cur.fetchone())

    def test_executemany(self):
        cur = self.conn.cursor()
        cur.executemany("INSERT INTO t (v) VALUES (?)", [])
        self.assertEqual(cur.rowcount, 0)
        with self.assertRaises(velmarbrook.Error):
            cur.executemany("INSERT INTO nope VALUES (?)", [])
        cur.executemany("INSERT INTO t (v) VALUES (?)", [(1,), (2,), (3,)])
        self.assertEqual((cur.rowcount, cur.lastrowid), (3, 3))
        cur.executemany("SELECT v FROM t WHERE v = ?", [(1,), (2,)])
        self.assertEqual((cur.rowcount, cur.description, cur.fetchall()), (0, None, []))
        cur = self.run_sql("SELECT v FROM t")
        with self.assertRaises(velmarbrook.Error):
            cur.executemany("INSERT INTO t (id, v) VALUES (?, ?)", [(10, "a"), (1, "dup")])
        # The first row stays, the cursor's result is untouched.
        self.assertEqual(cur.rowcount, 3)
        self.assertEqual(self.run_sql("SELECT v FROM t WHERE id = 10").fetchall(), [("a",)])

    def test_executemany_runs_subqueries_at_each_row(self):
        # Each row's statement reads the table as the rows before it left it,
        # inside BEGIN and outside.
        self.run_sql("CREATE TABLE acct (id INTEGER PRIMARY KEY, bal INT); INSERT INTO acct VALUES (1, 30);"
                     "CREATE TABLE s (k INT, w INT); INSERT INTO s VALUES (1, 0)")
        cur = self.conn.cursor()
        pay = "UPDATE acct SET bal = bal - ? WHERE id = 1 AND (SELECT bal FROM acct WHERE id = 1) >= 10"
        for script in ([], ["BEGIN"]):
            for sql in script:
                cur.execute(sql)
            cur.execute("UPDATE acct SET bal = 30")
            cur.executemany(pay, [(10,)] * 6)
            self.assertEqual(cur.rowcount, 3)
            self.assertEqual(self.run_sql("SELECT bal FROM acct").fetchall(), [(0,)])
        cur.execute("COMMIT")
        cur.executemany("INSERT INTO s (k, w) VALUES ((SELECT max(k) FROM s) + 1, ?)", [(i,) for i in range(5)])
        self.assertEqual(self.run_sql("SELECT k FROM s ORDER BY k").fetchall(), [(k,) for k in range(1, 7)])

    def test_preparing_runs_no_subquery(self):
        # executemany prepares before it takes a row: what compiling finds in
        # a subquery fails it without rows, with the message that the text
        # gives as a script; a subquery's value that fails the statement
        # fails only the runs, of executemany and of execute alike.
        self.run_sql("INSERT INTO t (v) VALUES (1), (2)")
        cur = self.conn.cursor()
        for sql in ["SELECT id FROM t WHERE id IN (SELECT nosuch FROM t) AND v > ?",
                    "UPDATE t SET v = (SELECT v FROM nosuch) WHERE id = ?",
                    "SELECT id FROM t WHERE v > ? LIMIT (SELECT nosuch FROM t)"]:
            with self.assertRaises(velmarbrook.Error) as script:
                cur.execute(sql)
            with self.assertRaises(velmarbrook.Error) as prepared:
                cur.executemany(sql, [])
            self.assertEqual(prepared.exception.args, script.exception.args)
        limit_x = "UPDATE t SET v = v + ? WHERE id IN (SELECT id FROM t LIMIT (SELECT 'x'))"
        cur.executemany(limit_x, [])
        for run in (lambda: cur.executemany(limit_x, [(1,), (1,)]), lambda: cur.execute(limit_x, (1,))):
            with self.assertRaises(velmarbrook.Error) as cm:
                run()
            self.assertEqual(cm.exception.args, ("execution error: IN(...) must be folded before compilation",))
        self.assertEqual(self.run_sql("SELECT v FROM t ORDER BY id").fetchall(), [(1,), (2,)])

    def test_conversion_and_parse_error_order(self):
        # execute converts before it prepares; executemany prepares first.
        with self.assertRaises(velmarbrook.Error) as cm:
            self.run_sql("SELEC", (bytearray(),))
        self.assertEqual(cm.exception.args, (UNSUPPORTED,))
        with self.assertRaises(velmarbrook.Error) as cm:
            self.conn.cursor().executemany("SELEC", [(bytearray(),)])
        self.assertTrue(cm.exception.args[0].startswith("parse error at byte 0: "))

    def test_failure_leaves_result(self):
        cur = self.run_sql("INSERT INTO t (v) VALUES (1), (2); SELECT v FROM t")
        self.assertEqual(cur.fetchone(), (1,))
        with self.assertRaises(velmarbrook.Error):
            cur.execute("SELECT nope FROM t")
        self.assertEqual(cur.rowcount, 2)
        self.assertEqual(cur.fetchall(), [(2,)])

    def test_failed_call_leaves_the_previous_result(self):
        # As the README shows it: fetching after a caught error reads the
        # rows of the statement before.
        cur = self.conn.cursor()
        cur.execute("CREATE TABLE item (id INTEGER PRIMARY KEY, name TEXT, price REAL)")
        cur.executemany("INSERT INTO item (name, price) VALUES (?, ?)", [("pen", 1.5), ("ink", 4.0)])
        cur.execute("SELECT name FROM item")
        with self.assertRaises(velmarbrook.Error) as cm:
            cur.execute("SELECT * FROM nope")
        self.assertEqual(str(cm.exception), "execution error: no such table: nope")
        self.assertEqual(cur.fetchall(), [("pen",), ("ink",)])
        # Every way to fail, also after writing rows (which changes the
        # connection's last rowid), leaves description, rowcount, lastrowid
        # and the unread row, whatever it raises: Python's own exceptions and
        # the caller's pass through as they are.
        class FromCaller(Exception):
            pass

        def rows_then_raise():
            yield (30,)
            raise FromCaller

        def values_then_raise():
            yield 40
            raise FromCaller

        insert = "INSERT INTO item (id) VALUES (?)"
        failures = [
            ("script", velmarbrook.Error, lambda: cur.execute("SELECT * FROM nope")),
            ("script after a write", velmarbrook.Error,
             lambda: cur.execute("INSERT INTO item (id) VALUES (9); SELECT x")),
            ("prepared", velmarbrook.Error, lambda: cur.execute("SELECT ? FROM nope", (1,))),
            ("parameter", velmarbrook.Error, lambda: cur.execute("SELECT ?", (bytearray(),))),
            ("executemany prepare", velmarbrook.Error,
             lambda: cur.executemany("INSERT INTO nope VALUES (?)", [(1,)])),
            ("executemany row", velmarbrook.Error, lambda: cur.executemany(insert, [(20,), (1,)])),
            ("parameters not iterable", TypeError, lambda: cur.execute("SELECT ?", 5)),
            ("executemany row not iterable", TypeError, lambda: cur.executemany(insert, [(25,), 5])),
            ("lone surrogate", UnicodeEncodeError, lambda: cur.execute("SELECT ?", ("\udc80",))),
            ("generator of rows", FromCaller, lambda: cur.executemany(insert, rows_then_raise())),
            ("generator of a row's values", FromCaller,
             lambda: cur.executemany(insert, [(35,), values_then_raise()])),
            ("generator of parameters", FromCaller, lambda: cur.execute("SELECT ?", values_then_raise())),
        ]
        for name, raised, fail in failures:
            with self.subTest(name):
                cur.execute("SELECT name FROM item WHERE id < 3")
                self.assertEqual(cur.fetchone(), ("pen",))
                before = (cur.description, cur.rowcount, cur.lastrowid)
                with self.assertRaises(raised):
                    fail()
                self.assertEqual((cur.description, cur.rowcount, cur.lastrowid), before)
                self.assertEqual(cur.fetchall(), [("ink",)])
        self.assertEqual(self.run_sql("SELECT id FROM item").fetchall(),
                         [(1,), (2,), (9,), (20,), (25,), (30,), (35,)])

    def test_memory_is_a_file_name(self):
        # ':memory:' names a file in the working folder, kept between
        # connections like any other.
        here = os.getcwd()
        os.chdir(self.dir)
        try:
            velmarbrook.connect(":memory:").execute("CREATE TABLE m (a INT)")
            self.assertTrue(os.path.isfile(os.path.join(self.dir, ":memory:")))
            again = velmarbrook.connect(":memory:")
            self.assertEqual(again.execute("SELECT count(*) FROM m").fetchall(), [(0,)])
        finally:
            os.chdir(here)

    def test_connection_execute_and_context_managers(self):
        with self.conn as c:
            self.assertIs(c, self.conn)
            cur = c.execute("SELECT ?", (3,))
            self.assertEqual(cur.fetchall(), [(3,)])
            with cur as k:
                self.assertIs(k, cur)
        self.assertIsNone(self.conn.commit())
        self.assertIsNone(self.conn.rollback())
        self.assertIsNone(self.conn.close())
        self.assertIsNone(cur.close())

    def test_commit_method_does_not_commit(self):
        # Opened first: opening waits for the lock that BEGIN takes.
        other = velmarbrook.connect(self.path)
        self.run_sql("BEGIN; INSERT INTO t (v) VALUES (9)")
        self.conn.commit()
        self.run_sql("ROLLBACK")
        self.assertEqual(other.execute("SELECT count(*) FROM t").fetchall(), [(0,)])

    def test_reentrant_params_iterator(self):
        cur = self.conn.cursor()

        def params():
            cur.fetchone()
            yield 1

        with self.assertRaises(RuntimeError) as cm:
            cur.execute("SELECT ?", params())
        self.assertEqual(str(cm.exception), "Already borrowed")

    def test_statements_while_executemany_takes_rows(self):
        # A script on the connection is a fault; a statement with parameters
        # on another cursor runs between the rows; the cursor that runs
        # executemany is borrowed.
        cur, other = self.conn.cursor(), self.conn.cursor()
        seen = []

        def attempt(fn):
            try:
                fn()
                seen.append("ran")
            except BaseException as e:  # noqa: B902 - faults derive from BaseException
                seen.append((type(e).__name__, isinstance(e, Exception), str(e)))

        def rows():
            yield (1,)
            attempt(lambda: other.execute("INSERT INTO t (v) VALUES (?)", (2,)))
            attempt(lambda: other.executemany("INSERT INTO t (v) VALUES (?)", [(3,)]))
            attempt(lambda: other.execute("INSERT INTO t (v) VALUES (99)"))
            attempt(lambda: self.conn.execute("SELECT 1"))
            attempt(lambda: cur.fetchall())
            attempt(lambda: cur.execute("SELECT ?", (1,)))
            yield (4,)

        cur.executemany("INSERT INTO t (v) VALUES (?)", rows())
        fault = ("InternalFault", False, "database already borrowed")
        borrowed = ("RuntimeError", True, "Already borrowed")
        self.assertEqual(seen, ["ran", "ran", fault, fault, borrowed, borrowed])
        self.assertEqual(cur.rowcount, 2)
        self.assertEqual(self.run_sql("SELECT v FROM t ORDER BY id").fetchall(),
                         [(1,), (2,), (3,), (4,)])

    def test_engine_error_text(self):
        with self.assertRaises(velmarbrook.Error) as cm:
            self.run_sql("SELECT * FROM")
        self.assertRegex(cm.exception.args[0], r"^parse error at byte \d+: ")


NOT_PLAIN_INSERT = ("execution error: only plain INSERT \u2026 VALUES can be prepared "
                    "(not REPLACE / ON DUPLICATE / INSERT\u2026SELECT)")


class PreparableTest(DbTest):
    """What takes parameters, and the ways around the rest, as the SQL
    reference shows them."""

    def setUp(self):
        super().setUp()
        self.cur = self.conn.cursor()
        self.cur.execute("CREATE TABLE t (id INTEGER PRIMARY KEY, a INT)")
        self.cur.execute("INSERT INTO t VALUES (1, 1), (2, 2)")

    def rows(self):
        return self.conn.execute("SELECT id, a FROM t").fetchall()

    def test_refused_by_execute_and_executemany(self):
        cases = [
            ("REPLACE INTO t (id, a) VALUES (?, ?)", (1, 3), NOT_PLAIN_INSERT),
            ("INSERT INTO t (id, a) VALUES (?, ?) ON DUPLICATE KEY UPDATE a = VALUES(a)", (1, 3),
             NOT_PLAIN_INSERT),
            ("INSERT INTO t (id, a) SELECT ?, ?", (5, 3), NOT_PLAIN_INSERT),
            ("INSERT IGNORE INTO t (id, a) SELECT ?, ?", (5, 3), NOT_PLAIN_INSERT),
            ("SELECT 1 UNION SELECT ?", (2,), "execution error: UNION queries cannot be prepared"),
            ("REPLACE INTO t (id, a) VALUES (1, 3)", (), NOT_PLAIN_INSERT),
            ("CREATE INDEX t_a ON t (a)", (),
             "execution error: only SELECT/INSERT/UPDATE/DELETE can be prepared"),
            ("SELECT FOUND_ROWS()", (), "execution error: unknown function FOUND_ROWS"),
        ]
        for sql, params, message in cases:
            with self.subTest(sql=sql):
                with self.assertRaises(velmarbrook.Error) as cm:
                    self.cur.execute(sql, params)
                self.assertEqual(str(cm.exception), message)
                for seq in ([params], []):
                    with self.assertRaises(velmarbrook.Error) as cm:
                        self.cur.executemany(sql, seq)
                    self.assertEqual(str(cm.exception), message)
        self.assertEqual(self.rows(), [(1, 1), (2, 2)])
        # As scripts they run; FOUND_ROWS() is a script's alone.
        self.cur.execute("SELECT SQL_CALC_FOUND_ROWS a FROM t LIMIT 1")
        self.assertEqual(self.conn.execute("SELECT FOUND_ROWS()").fetchall(), [(2,)])

    def test_accepted(self):
        self.cur.executemany("INSERT IGNORE INTO t (id, a) VALUES (?, ?)", [(1, 9), (3, 3)])
        self.assertEqual(self.cur.rowcount, 1)
        self.cur.execute("SELECT a FROM t WHERE a IN (SELECT 1 UNION SELECT ?) ORDER BY a", (3,))
        self.assertEqual(self.cur.fetchall(), [(1,), (3,)])
        self.cur.execute("UPDATE t SET a = ? WHERE id = ?", (7, 2))
        self.cur.execute("DELETE FROM t WHERE a = ?", (1,))
        self.assertEqual(self.rows(), [(2, 7), (3, 3)])

    def test_reference_example(self):
        cur = self.cur
        with self.assertRaises(velmarbrook.Error) as cm:
            cur.execute("REPLACE INTO t (id, a) VALUES (?, ?)", (1, 3))
        self.assertEqual(str(cm.exception), NOT_PLAIN_INSERT)
        rows = [(1, 3), (5, 7)]
        cur.execute("BEGIN")
        cur.executemany("INSERT IGNORE INTO t (id, a) VALUES (?, ?)", rows)
        cur.executemany("UPDATE t SET a = ? WHERE id = ?", [(a, id) for id, a in rows])
        cur.execute("COMMIT")
        cur.execute("INSERT INTO t (id, a) VALUES (2, 4), (6, 8) ON DUPLICATE KEY UPDATE a = VALUES(a)")
        cur.execute("SELECT id + 10, a FROM t WHERE id = ?", (5,))
        cur.executemany("INSERT INTO t (id, a) VALUES (?, ?)", cur.fetchall())
        cur.execute("SELECT id, a FROM t")
        self.assertEqual(cur.fetchall(), [(1, 3), (2, 4), (5, 7), (6, 8), (15, 7)])

    def test_upsert_way_around_matches_on_duplicate_key_update(self):
        # Over a UNIQUE key that is not the rowid: the other columns of a
        # stored row stay, as with ON DUPLICATE KEY UPDATE.
        for name in ("w", "s"):
            self.cur.execute(f"CREATE TABLE {name} (id INTEGER PRIMARY KEY, k TEXT UNIQUE, a INT, note TEXT)")
            self.cur.execute(f"INSERT INTO {name} (k, a, note) VALUES ('x', 1, 'kept'), ('y', 2, 'kept')")
        rows = [("y", 20), ("z", 30), ("it's", 40), ("x", 10)]
        self.cur.execute("BEGIN")
        self.cur.executemany("INSERT IGNORE INTO w (k, a) VALUES (?, ?)", rows)
        self.cur.executemany("UPDATE w SET a = ? WHERE k = ?", [(a, k) for k, a in rows])
        self.cur.execute("COMMIT")
        values = ", ".join("('%s', %d)" % (k.replace("'", "''"), a) for k, a in rows)
        self.cur.execute(f"INSERT INTO s (k, a) VALUES {values} ON DUPLICATE KEY UPDATE a = VALUES(a)")
        query = "SELECT id, k, a, note FROM {} ORDER BY id"
        self.assertEqual(self.conn.execute(query.format("w")).fetchall(),
                         self.conn.execute(query.format("s")).fetchall())
        self.assertEqual(self.conn.execute(query.format("w")).fetchall(),
                         [(1, "x", 10, "kept"), (2, "y", 20, "kept"), (3, "z", 30, None),
                          (4, "it's", 40, None)])


if __name__ == "__main__":
    unittest.main()
