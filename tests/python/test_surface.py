"""The module's public surface: names, classes, doc strings, signatures, and
the TypeError texts of argument binding."""

import inspect
import unittest

import velmarbrook
from support import DbTest


class SurfaceTest(unittest.TestCase):
    def test_names_in_order(self):
        self.assertEqual(
            velmarbrook.__all__,
            ["connect", "Connection", "Cursor", "Error", "apilevel", "threadsafety",
             "paramstyle", "__version__"])
        self.assertEqual(velmarbrook.apilevel, "2.0")
        self.assertEqual(velmarbrook.threadsafety, 1)
        self.assertEqual(velmarbrook.paramstyle, "qmark")
        self.assertEqual(velmarbrook.__version__, "0.1.2")
        self.assertEqual(velmarbrook.__doc__, "")

    def test_error_class(self):
        self.assertTrue(issubclass(velmarbrook.Error, Exception))
        self.assertEqual(velmarbrook.Error.__module__, "velmarbrook")
        self.assertEqual(velmarbrook.Error.__qualname__, "Error")
        self.assertEqual(velmarbrook.Error.__doc__, "Velmarbrook database error.")

    def test_classes(self):
        for cls, name in ((velmarbrook.Connection, "Connection"), (velmarbrook.Cursor, "Cursor")):
            self.assertEqual(cls.__module__, "builtins")
            self.assertEqual(cls.__qualname__, name)
            self.assertIsNone(cls.__doc__)
            with self.assertRaises(TypeError) as cm:
                cls()
            self.assertEqual(str(cm.exception), f"cannot create 'builtins.{name}' instances")
        members = [m for m in vars(velmarbrook.Connection) if not m.startswith("__") or
                   m in ("__enter__", "__exit__")]
        self.assertEqual(members, ["cursor", "execute", "commit", "rollback", "close",
                                   "__enter__", "__exit__"])
        members = [m for m in vars(velmarbrook.Cursor) if not m.startswith("__") or
                   m in ("__enter__", "__exit__")]
        self.assertEqual(members, ["execute", "executemany", "fetchone", "fetchmany", "fetchall",
                                   "close", "__enter__", "__exit__", "description", "rowcount",
                                   "lastrowid"])

    def test_signatures_and_docs(self):
        cases = [
            (velmarbrook.connect, "(path)", "Open (or create) a database file."),
            (velmarbrook.Connection.cursor, "($self)", None),
            (velmarbrook.Connection.execute, "($self, sql, params=None)",
             "Convenience: make a cursor, run one statement, return the cursor."),
            (velmarbrook.Connection.commit, "($self)", None),
            (velmarbrook.Connection.__exit__, "($self, _t, _v, _b)", None),
            (velmarbrook.Cursor.execute, "($self, sql, params=None)",
             "Execute one statement, optionally with `?` params (qmark paramstyle)."),
            (velmarbrook.Cursor.executemany, "($self, sql, seq)",
             "Prepare once, execute for each param sequence in `seq`."),
            (velmarbrook.Cursor.fetchmany, "($self, size=1)", None),
            (velmarbrook.Cursor.fetchall, "($self)", None),
        ]
        for fn, sig, doc in cases:
            with self.subTest(fn=fn.__name__):
                self.assertEqual(fn.__text_signature__, sig)
                self.assertEqual(fn.__doc__, doc)
        self.assertEqual(str(inspect.signature(velmarbrook.connect)), "(path)")
        self.assertEqual(velmarbrook.Cursor.description.__doc__,
                         "DB-API: 7-tuples (name, type_code, \u2026), or None before any query.")


class ArgumentTest(DbTest):
    def test_type_errors(self):
        cur = self.conn.cursor()
        cases = [
            (lambda: velmarbrook.connect(), "connect() missing 1 required positional argument: 'path'"),
            (lambda: cur.executemany(), "Cursor.executemany() missing 2 required positional "
                                        "arguments: 'sql' and 'seq'"),
            (lambda: cur.execute("x", None, 3),
             "Cursor.execute() takes from 1 to 2 positional arguments but 3 were given"),
            (lambda: cur.fetchone(1), "Cursor.fetchone() takes 0 positional arguments but 1 was given"),
            (lambda: self.conn.cursor(1, 2),
             "Connection.cursor() takes 0 positional arguments but 2 were given"),
            (lambda: cur.execute(sql="x", bogus=1),
             "Cursor.execute() got an unexpected keyword argument 'bogus'"),
            (lambda: cur.execute("x", sql="y"), "Cursor.execute() got multiple values for argument 'sql'"),
            (lambda: cur.__exit__(None, None),
             "Cursor.__exit__() missing 1 required positional argument: '_b'"),
            (lambda: velmarbrook.connect(3), None),
            (lambda: cur.execute(b"SELECT 1"), None),
            (lambda: cur.fetchmany(1.5), None),
            (lambda: cur.fetchmany(None), None),
        ]
        for fn, text in cases:
            with self.assertRaises(TypeError) as cm:
                fn()
            if text is not None:
                self.assertEqual(str(cm.exception), text)
            else:
                self.assertRegex(str(cm.exception), r"^argument '(path|sql|size)': ")
        with self.assertRaises(OverflowError):
            cur.fetchmany(-1)

    def test_keywords_accepted(self):
        cur = self.conn.cursor()
        cur.execute(sql="SELECT 1", params=None)
        self.assertEqual(cur.fetchmany(size=5), [(1,)])
        self.assertIs(cur.__exit__(_t=None, _v=None, _b=None), False)


if __name__ == "__main__":
    unittest.main()
