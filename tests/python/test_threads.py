"""Owner threads, objects dropped on other threads, lock waits that let other
threads run, and two processes sharing one file."""

import os
import subprocess
import sys
import textwrap
import threading
import unittest

import velmarbrook
from support import DbTest


def in_thread(fn):
    """Runs fn on a new thread and returns what it returned or raised."""
    out = {}

    def body():
        try:
            out["value"] = fn()
        except BaseException as e:  # noqa: B902 - faults derive from BaseException
            out["error"] = e

    t = threading.Thread(target=body)
    t.start()
    t.join()
    return out


class ThreadTest(DbTest):
    def setUp(self):
        super().setUp()
        self.run_sql("CREATE TABLE t (a)")

    def test_wrong_thread_is_a_fault_not_an_error(self):
        cur = self.conn.cursor()
        calls = [
            (lambda: cur.execute("SELECT 1"), "velmarbrook::Cursor"),
            (lambda: cur.fetchall(), "velmarbrook::Cursor"),
            (lambda: cur.rowcount, "velmarbrook::Cursor"),
            (lambda: self.conn.commit(), "velmarbrook::Connection"),
            # The connection's own check inside a foreign thread's new cursor.
            (lambda: self.conn.execute("SELECT 1"), "velmarbrook::Connection"),
        ]
        for fn, name in calls:
            out = in_thread(fn)
            err = out.get("error")
            self.assertIsNotNone(err)
            self.assertIsInstance(err, BaseException)
            self.assertNotIsInstance(err, Exception)
            self.assertIn(f"{name} is unsendable, but sent to another thread", str(err))
        # The class has a name but is no attribute of the module: an except
        # clause that names it fails once an exception reaches it.
        fault = type(err)
        self.assertEqual(f"{fault.__module__}.{fault.__qualname__}", "velmarbrook.InternalFault")
        with self.assertRaises(AttributeError):
            try:
                raise err
            except velmarbrook.InternalFault:
                pass
        # The members that do not check. The cursor made on the other thread
        # belongs to it, so dropping it here is reported: keep that quiet.
        old_hook = sys.unraisablehook
        sys.unraisablehook = lambda u: None
        try:
            self.assertIn("value", in_thread(lambda: self.conn.cursor()))
        finally:
            sys.unraisablehook = old_hook
        self.assertIn("value", in_thread(lambda: cur.__enter__()))
        self.assertIn("value", in_thread(lambda: self.conn.__enter__()))

    def test_cursor_made_on_another_thread(self):
        # cursor() works there, but the cursor cannot run statements: the
        # connection's own check refuses. Its result reads empty, and
        # freeing it on another thread is reported, not raised.
        def body():
            cur = self.conn.cursor()
            errors = []
            for run in (lambda: cur.execute("SELECT 1"), lambda: cur.execute("SELECT ?", (1,)),
                        lambda: cur.executemany("INSERT INTO t VALUES (?)", [(1,)])):
                try:
                    run()
                except BaseException as e:  # noqa: B902 - faults derive from BaseException
                    errors.append((isinstance(e, Exception), str(e)))
            shown = (cur.fetchone(), cur.fetchmany(5), cur.fetchall(), cur.description,
                     cur.rowcount, cur.lastrowid, cur.close())
            return cur, errors, shown

        seen = []
        old_hook = sys.unraisablehook
        sys.unraisablehook = lambda u: seen.append((u.exc_type, str(u.exc_value)))
        try:
            cur, errors, shown = in_thread(body)["value"]
            del cur
        finally:
            sys.unraisablehook = old_hook
        fault = (False, "velmarbrook::Connection is unsendable, but sent to another thread")
        self.assertEqual(errors, [fault] * 3)
        self.assertEqual(shown, (None, [], [], None, -1, 0, None))
        self.assertEqual(seen, [(RuntimeError, "velmarbrook::Cursor is unsendable, but is being "
                                               "dropped on another thread")])
        self.assertEqual(self.run_sql("SELECT count(*) FROM t").fetchall(), [(0,)])

    def test_drop_on_foreign_thread_releases_the_database(self):
        conn = velmarbrook.connect(self.path)
        conn.execute("BEGIN")
        conn.execute("INSERT INTO t VALUES (1)")
        seen = []
        old_hook = sys.unraisablehook
        sys.unraisablehook = lambda u: seen.append(str(u.exc_value))
        # A cursor dropped while an exception unwinds the foreign frame that
        # held it: the report leaves that exception as it was.
        cursors = [conn.cursor()]
        holder = [conn]
        del conn

        def raise_while_dropping():
            _ = [cursors.pop(), 1 / 0]

        try:
            out = in_thread(raise_while_dropping)
            in_thread(lambda: holder.clear())
        finally:
            sys.unraisablehook = old_hook
        self.assertIsInstance(out.get("error"), ZeroDivisionError)
        self.assertEqual(seen, ["velmarbrook::Cursor is unsendable, but is being dropped "
                                "on another thread",
                                "velmarbrook::Connection is unsendable, but is being dropped "
                                "on another thread"])
        # The exclusive lock went with the database: another process writes.
        code = textwrap.dedent(f"""
            import velmarbrook
            c = velmarbrook.connect({self.path!r})
            c.execute("INSERT INTO t VALUES (2)")
            print(c.execute("SELECT a FROM t").fetchall())
        """)
        out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                             timeout=60, env=os.environ)
        self.assertEqual(out.returncode, 0, out.stderr)
        self.assertEqual(out.stdout.strip(), "[(2,)]")

    def test_lock_wait_lets_the_holder_commit(self):
        opened = threading.Event()
        go = threading.Event()
        inserting = threading.Event()
        result = {}

        def writer():
            other = velmarbrook.connect(self.path)
            opened.set()
            go.wait()
            inserting.set()
            # Waits for the file lock of the main thread's transaction; the
            # main thread must be able to run meanwhile to commit it.
            other.execute("INSERT INTO t VALUES (2)")
            result["rows"] = other.execute("SELECT a FROM t").fetchall()

        t = threading.Thread(target=writer)
        t.start()
        opened.wait()
        self.run_sql("BEGIN; INSERT INTO t VALUES (1)")
        go.set()
        inserting.wait()
        self.run_sql("COMMIT")
        t.join(timeout=60)
        self.assertFalse(t.is_alive())
        self.assertEqual(sorted(result["rows"]), [(1,), (2,)])


class ProcessTest(DbTest):
    def test_two_processes_share_a_file(self):
        self.run_sql("CREATE TABLE t (a)")
        code = textwrap.dedent(f"""
            import velmarbrook
            c = velmarbrook.connect({self.path!r})
            c.cursor().executemany("INSERT INTO t VALUES (?)", [(i,) for i in range(50)])
        """)
        procs = [subprocess.Popen([sys.executable, "-c", code], env=os.environ) for _ in range(3)]
        for p in procs:
            self.assertEqual(p.wait(timeout=120), 0)
        self.assertEqual(self.run_sql("SELECT count(*) FROM t").fetchall(), [(150,)])


if __name__ == "__main__":
    unittest.main()
