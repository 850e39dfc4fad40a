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
        # and the unread row.
        failures = [
            ("script", lambda: cur.execute("SELECT * FROM nope")),
            ("script after a write", lambda: cur.execute("INSERT INTO item (id) VALUES (9); SELECT x")),
            ("prepared", lambda: cur.execute("SELECT ? FROM nope", (1,))),
            ("parameter", lambda: cur.execute("SELECT ?", (bytearray(),))),
            ("executemany prepare", lambda: cur.executemany("INSERT INTO nope VALUES (?)", [(1,)])),
            ("executemany row", lambda: cur.executemany("INSERT INTO item (id) VALUES (?)", [(20,), (1,)])),
        ]
        for name, fail in failures:
            with self.subTest(name):
                cur.execute("SELECT name FROM item WHERE id < 3")
                self.assertEqual(cur.fetchone(), ("pen",))
                before = (cur.description, cur.rowcount, cur.lastrowid)
                with self.assertRaises(velmarbrook.Error):
                    fail()
                self.assertEqual((cur.description, cur.rowcount, cur.lastrowid), before)
                self.assertEqual(cur.fetchall(), [("ink",)])
        self.assertEqual(self.run_sql("SELECT id FROM item").fetchall(), [(1,), (2,), (9,), (20,)])

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


if __name__ == "__main__":
    unittest.main()
