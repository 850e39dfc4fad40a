"""Shared helpers of the Python tests: a fresh database file per test."""

import os
import shutil
import tempfile
import unittest

import velmarbrook


class DbTest(unittest.TestCase):
    """Each test gets a temporary directory and a connection to a new file in it."""

    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="vbk-py-")
        self.path = os.path.join(self.dir, "test.db")
        self.conn = velmarbrook.connect(self.path)

    def tearDown(self):
        del self.conn
        shutil.rmtree(self.dir, ignore_errors=True)

    def run_sql(self, sql, params=None):
        cur = self.conn.cursor()
        cur.execute(sql, params)
        return cur
