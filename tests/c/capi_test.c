/* The C interface, exercised from C: NULL handles, scripts and result sets,
 * prepared statements and bindings, the getters' conversions and buffer
 * rules. Each check prints what failed; the exit status counts failures. */

#include <dirent.h>
#include <math.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "velmarbrook.h"

static int failures = 0;

#define CHECK(cond)                                                 \
  do {                                                              \
    if (!(cond)) {                                                  \
      fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond); \
      ++failures;                                                   \
    }                                                               \
  } while (0)

#define CHECK_STR(got, want)                                                        \
  do {                                                                              \
    const char* g_ = (got);                                                         \
    const char* w_ = (want);                                                        \
    if ((g_ == NULL) != (w_ == NULL) || (g_ && strcmp(g_, w_) != 0)) {              \
      fprintf(stderr, "%s:%d: %s gave \"%s\", want \"%s\"\n", __FILE__, __LINE__,   \
              #got, g_ ? g_ : "(null)", w_ ? w_ : "(null)");                        \
      ++failures;                                                                   \
    }                                                                               \
  } while (0)

static char path[512];

/* Removes, when the program ends, every file it made in the build folder:
 * the databases fresh_db names "capi-<pid>-..." and their journals and logs,
 * so that runs do not pile them up. */
static void remove_own_files(void) {
  char prefix[64];
  snprintf(prefix, sizeof prefix, "capi-%ld-", (long)getpid());
  DIR* dir = opendir(VBK_TEST_TMPDIR);
  if (!dir) return;
  struct dirent* entry;
  while ((entry = readdir(dir)) != NULL) {
    if (strncmp(entry->d_name, prefix, strlen(prefix)) != 0) continue;
    char file[sizeof path];
    snprintf(file, sizeof file, "%s/%s", VBK_TEST_TMPDIR, entry->d_name);
    unlink(file);
  }
  closedir(dir);
}

static VbkDb* fresh_db(const char* name) {
  static int cleanup_registered = 0;
  if (!cleanup_registered) cleanup_registered = atexit(remove_own_files) == 0;
  snprintf(path, sizeof path, "%s/capi-%ld-%s.db", VBK_TEST_TMPDIR, (long)getpid(), name);
  unlink(path);
  char side[600];
  snprintf(side, sizeof side, "%s-journal", path);
  unlink(side);
  snprintf(side, sizeof side, "%s-wal", path);
  unlink(side);
  VbkDb* db = vbk_open(path);
  CHECK(db != NULL);
  return db;
}

static void test_null_handles(void) {
  int64_t out = 7;
  CHECK(vbk_open(NULL) == NULL);
  vbk_close(NULL);
  CHECK(vbk_exec(NULL, "SELECT 1") == -1);
  CHECK(vbk_prepare(NULL, "SELECT 1") == NULL);
  CHECK(vbk_exec_prepared(NULL, NULL) == -1);
  vbk_finalize(NULL);
  vbk_bind_int(NULL, 0, 1);
  vbk_bind_real(NULL, 0, 1.0);
  vbk_bind_text(NULL, 0, "x");
  vbk_bind_null(NULL, 0);
  vbk_clear_binds(NULL);
  CHECK(vbk_col_count(NULL) == 0);
  CHECK(vbk_row_count(NULL) == 0);
  CHECK(vbk_col_name(NULL, 0) == NULL);
  CHECK(vbk_get_i64(NULL, 0, 0, &out) == -1 && out == 7);
  CHECK(vbk_get_text(NULL, 0, 0) == NULL);
  CHECK(vbk_get_str(NULL, 0, 0) == NULL);
  CHECK(vbk_last_error(NULL) == NULL);
  CHECK(vbk_last_insert_id(NULL) == 0);
  /* A directory is no database file. */
  CHECK(vbk_open(VBK_TEST_TMPDIR) == NULL);
}

static void test_scripts(void) {
  VbkDb* db = fresh_db("scripts");
  CHECK(vbk_exec(db, "CREATE TABLE t (id INTEGER PRIMARY KEY, v)") == 0);
  CHECK(vbk_row_count(db) == 0 && vbk_col_count(db) == 0);
  CHECK(vbk_exec(db, "INSERT INTO t (v) VALUES (1), (2), (3)") == 3);
  CHECK(vbk_last_insert_id(db) == 3);
  /* Rows of the SELECT plus the INSERT's count; the result set stays. */
  CHECK(vbk_exec(db, "SELECT v FROM t; INSERT INTO t (v) VALUES (4), (5)") == 5);
  CHECK(vbk_row_count(db) == 3 && vbk_col_count(db) == 1);
  CHECK_STR(vbk_col_name(db, 0), "v");
  CHECK(vbk_exec(db, "SELECT v FROM t WHERE v < 3; SELECT id, v FROM t WHERE v > 4") == 3);
  CHECK(vbk_row_count(db) == 1 && vbk_col_count(db) == 2);
  CHECK(vbk_exec(db, "") == 0);
  CHECK(vbk_row_count(db) == 0);

  /* A failure empties the result set and records the text; a success keeps it. */
  CHECK(vbk_exec(db, "SELECT v FROM t") == 5);
  CHECK(vbk_exec(db, "SELECT nope FROM t") == -1);
  CHECK(vbk_row_count(db) == 0);
  CHECK_STR(vbk_last_error(db), "execution error: no such column: nope");
  CHECK(vbk_exec(db, "SELECT v FROM t") == 5);
  CHECK_STR(vbk_last_error(db), "execution error: no such column: nope");
  /* So does a failure at any stage: parsing, compiling, running, also after
   * a statement of the script that gave rows. */
  const char* failing[] = {"SELEC v FROM t", "SELECT v FROM t; SELECT 'x", "SELECT * FROM nope",
                           "SELECT v FROM t; SELECT * FROM nope", "INSERT INTO t (id) VALUES (1)"};
  for (size_t i = 0; i < sizeof failing / sizeof failing[0]; ++i) {
    CHECK(vbk_exec(db, "SELECT v FROM t") == 5);
    if (vbk_exec(db, failing[i]) != -1 || vbk_row_count(db) != 0 || vbk_col_count(db) != 0) {
      fprintf(stderr, "vbk_exec(\"%s\") did not fail with an empty result set\n", failing[i]);
      ++failures;
    }
  }
  CHECK(vbk_exec(db, "SELECT v FROM t") == 5);

  /* Invalid input is refused before any work: the result set stays. */
  CHECK(vbk_exec(db, NULL) == -1);
  CHECK_STR(vbk_last_error(db), "sql is not valid UTF-8");
  CHECK(vbk_exec(db, "SELECT '\xff'") == -1);
  CHECK(vbk_prepare(db, "\xc3") == NULL);
  CHECK(vbk_row_count(db) == 5);
  CHECK(vbk_exec_prepared(db, NULL) == -1);
  CHECK_STR(vbk_last_error(db), "null prepared statement");
  CHECK(vbk_row_count(db) == 5);

  /* A failed vbk_prepare leaves the result set; a failed run empties it,
   * also when compiling again after a schema change fails. */
  CHECK(vbk_prepare(db, "SELECT * FROM nope WHERE a = ?") == NULL);
  CHECK(vbk_row_count(db) == 5);
  VbkStmt* dup = vbk_prepare(db, "INSERT INTO t (id) VALUES (?)");
  VbkStmt* sel = vbk_prepare(db, "SELECT v FROM t WHERE id > ?");
  CHECK(dup != NULL && sel != NULL);
  vbk_bind_int(dup, 0, 1);
  vbk_bind_int(sel, 0, 0);
  CHECK(vbk_exec_prepared(db, dup) == -1);
  CHECK(vbk_row_count(db) == 0 && vbk_col_count(db) == 0);
  CHECK(vbk_exec_prepared(db, sel) == 5);
  CHECK(vbk_exec(db, "DROP TABLE t") == 0);
  CHECK(vbk_exec(db, "SELECT 1") == 1);
  CHECK(vbk_exec_prepared(db, sel) == -1);
  CHECK_STR(vbk_last_error(db), "execution error: no such table: t");
  CHECK(vbk_row_count(db) == 0 && vbk_col_count(db) == 0);
  vbk_finalize(dup);
  vbk_finalize(sel);
  vbk_close(db);
}

static void test_prepared_and_binds(void) {
  VbkDb* db = fresh_db("binds");
  CHECK(vbk_exec(db, "CREATE TABLE t (a, b)") == 0);
  VbkStmt* ins = vbk_prepare(db, "INSERT INTO t VALUES (?, ?)");
  CHECK(ins != NULL);
  vbk_bind_int(ins, 0, 1);
  vbk_bind_text(ins, 1, "x");
  CHECK(vbk_exec_prepared(db, ins) == 1);
  /* Bindings stay across runs; index -1 and indexes beyond the markers do
   * nothing (a huge one must not try to grow the list). */
  vbk_bind_int(ins, -1, 99);
  vbk_bind_int(ins, 2, 99);
  vbk_bind_int(ins, INT64_MAX, 99);
  vbk_bind_real(ins, 0, 2.5);
  CHECK(vbk_exec_prepared(db, ins) == 1);
  vbk_clear_binds(ins);
  CHECK(vbk_exec_prepared(db, ins) == 1);
  vbk_bind_text(ins, 0, NULL);
  vbk_bind_text(ins, 1, "\xff");
  CHECK(vbk_exec_prepared(db, ins) == 1);
  CHECK(vbk_exec(db, "SELECT a, b FROM t") == 4);
  CHECK_STR(vbk_get_str(db, 0, 0), "1");
  CHECK_STR(vbk_get_str(db, 0, 1), "x");
  CHECK_STR(vbk_get_str(db, 1, 0), "2.5");
  CHECK_STR(vbk_get_str(db, 1, 1), "x");
  CHECK(vbk_get_str(db, 2, 0) == NULL && vbk_get_str(db, 2, 1) == NULL);
  CHECK(vbk_get_str(db, 3, 0) == NULL && vbk_get_str(db, 3, 1) == NULL);

  /* Binding the last of three marks first grows the list with NULLs. */
  VbkStmt* three = vbk_prepare(db, "SELECT ?, ?, ?");
  vbk_bind_int(three, 2, 7);
  CHECK(vbk_exec_prepared(db, three) == 1);
  CHECK(vbk_get_str(db, 0, 0) == NULL && vbk_get_str(db, 0, 1) == NULL);
  CHECK_STR(vbk_get_str(db, 0, 2), "7");
  vbk_finalize(three);

  VbkStmt* sel = vbk_prepare(db, "SELECT a FROM t WHERE a = ?");
  vbk_bind_int(sel, 0, 1);
  CHECK(vbk_exec_prepared(db, sel) == 1);
  CHECK(vbk_row_count(db) == 1);
  VbkStmt* upd = vbk_prepare(db, "UPDATE t SET b = 'y'");
  CHECK(vbk_exec_prepared(db, upd) == 4);
  CHECK(vbk_row_count(db) == 0);

  /* A statement compiled before a schema change is compiled again. */
  CHECK(vbk_exec(db, "CREATE INDEX ta ON t (a)") == 0);
  CHECK(vbk_exec_prepared(db, sel) == 1);

  vbk_finalize(ins);
  vbk_finalize(upd);
  CHECK(vbk_prepare(db, "SELECT 1; SELECT 2") == NULL);
  CHECK_STR(vbk_last_error(db), "execution error: prepare expects exactly one statement");
  /* What takes parameters: neither a rewritten INSERT nor a UNION. */
  CHECK(vbk_prepare(db, "REPLACE INTO t (a, b) VALUES (?, ?)") == NULL);
  CHECK_STR(vbk_last_error(db),
            "execution error: only plain INSERT \xe2\x80\xa6 VALUES can be prepared (not REPLACE / "
            "ON DUPLICATE / INSERT\xe2\x80\xa6SELECT)");
  CHECK(vbk_prepare(db, "SELECT a FROM t UNION SELECT ?") == NULL);
  CHECK_STR(vbk_last_error(db), "execution error: UNION queries cannot be prepared");
  vbk_close(db);
  /* A statement may outlive its handle. */
  vbk_finalize(sel);
}

/* A prepared statement's subqueries read the table as each run finds it:
 * the guard stops the withdrawals at zero, and each insert numbers its row
 * after the rows the runs before it inserted. */
static void test_prepared_subqueries_run_each_time(void) {
  VbkDb* db = fresh_db("subqueries");
  CHECK(vbk_exec(db, "CREATE TABLE acct (id INTEGER PRIMARY KEY, bal INT); "
                     "INSERT INTO acct VALUES (1, 30); CREATE TABLE t (k INT, w INT); "
                     "INSERT INTO t VALUES (1, 0)") == 2);
  VbkStmt* pay = vbk_prepare(
      db, "UPDATE acct SET bal = bal - ? WHERE id = 1 AND (SELECT bal FROM acct WHERE id = 1) >= 10");
  VbkStmt* next = vbk_prepare(db, "INSERT INTO t (k, w) VALUES ((SELECT max(k) FROM t) + 1, ?)");
  CHECK(pay != NULL && next != NULL);
  const int64_t paid[6] = {1, 1, 1, 0, 0, 0};
  for (int i = 0; i < 6; ++i) {
    vbk_bind_int(pay, 0, 10);
    CHECK(vbk_exec_prepared(db, pay) == paid[i]);
    vbk_bind_int(next, 0, i);
    CHECK(vbk_exec_prepared(db, next) == 1);
  }
  CHECK(vbk_exec(db, "SELECT bal FROM acct") == 1);
  CHECK_STR(vbk_get_str(db, 0, 0), "0");
  CHECK(vbk_exec(db, "SELECT k FROM t ORDER BY k") == 7);
  for (size_t r = 0; r < 7; ++r) {
    int64_t k = 0;
    CHECK(vbk_get_i64(db, r, 0, &k) == 1 && k == (int64_t)r + 1);
  }
  vbk_finalize(pay);
  vbk_finalize(next);
  vbk_close(db);
}

/* Preparing compiles a statement's subqueries but runs none of them: a
 * statement whose subquery gives a value that fails it (a LIMIT of 'x')
 * prepares, and each run fails with the error the same text gives as a
 * script, leaving the table as it was. */
static void test_prepare_runs_no_subquery(void) {
  VbkDb* db = fresh_db("unrun");
  CHECK(vbk_exec(db, "CREATE TABLE t (k INT, w INT); INSERT INTO t VALUES (1, 10), (2, 20)") == 2);
  const char* texts[2] = {
      "SELECT k FROM t WHERE w > ? LIMIT (SELECT 'x')",
      "UPDATE t SET w = w + ? WHERE k IN (SELECT k FROM t LIMIT (SELECT 'x'))",
  };
  for (int i = 0; i < 2; ++i) {
    CHECK(vbk_exec(db, texts[i]) == -1);
    char script_error[200];
    snprintf(script_error, sizeof script_error, "%s", vbk_last_error(db) ? vbk_last_error(db) : "");
    VbkStmt* stmt = vbk_prepare(db, texts[i]);
    CHECK(stmt != NULL);
    if (stmt == NULL) continue;
    for (int run = 0; run < 2; ++run) {
      vbk_bind_int(stmt, 0, 1);
      CHECK(vbk_exec_prepared(db, stmt) == -1);
      CHECK_STR(vbk_last_error(db), script_error);
    }
    vbk_finalize(stmt);
  }
  CHECK(vbk_exec(db, "SELECT sum(w) FROM t") == 1);
  CHECK_STR(vbk_get_str(db, 0, 0), "30");
  vbk_close(db);
}

/* What compiling finds inside a subquery still fails vbk_prepare, with the
 * message that the same text gives as a script. */
static void test_prepare_reports_subquery_compile_errors(void) {
  VbkDb* db = fresh_db("subquery-errors");
  CHECK(vbk_exec(db, "CREATE TABLE t (k INT, w INT); INSERT INTO t VALUES (1, 10)") == 1);
  static const struct {
    const char* sql;
    const char* error;
  } cases[] = {
      {"SELECT k FROM t WHERE k IN (SELECT nosuch FROM t) AND w > ?",
       "execution error: IN(...) must be folded before compilation"},
      {"SELECT k FROM t WHERE w > ? LIMIT (SELECT nosuch FROM t)",
       "execution error: LIMIT must be a constant integer"},
      {"UPDATE t SET w = (SELECT w FROM nosuch) WHERE k = ?", "execution error: no such table: nosuch"},
      {"DELETE FROM t WHERE k = (SELECT nosuch(w) FROM t) OR k = ?",
       "execution error: unknown function NOSUCH"},
      {"INSERT INTO t VALUES ((SELECT nosuch FROM t), ?)",
       "execution error: subquery requires a FROM context"},
      {"SELECT count(*), (SELECT nosuch FROM t) FROM t WHERE w > ?",
       "execution error: subquery/IN not supported in this position"},
      {"SELECT k FROM t WHERE k IN (SELECT k FROM t UNION SELECT k, w FROM t) AND w > ?",
       "execution error: each UNION branch must return the same number of columns"},
  };
  for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
    CHECK(vbk_exec(db, cases[i].sql) == -1);
    CHECK_STR(vbk_last_error(db), cases[i].error);
    CHECK(vbk_prepare(db, cases[i].sql) == NULL);
    CHECK_STR(vbk_last_error(db), cases[i].error);
  }
  vbk_close(db);
}

static void test_getters(void) {
  VbkDb* db = fresh_db("getters");
  CHECK(vbk_exec(db,
                 "SELECT 2.9, -2.9, 1e300, -1e300, 'text', NULL, 3.0, 2.5, 1e15, 1e20, 1e-7, "
                 "-0.0, -42, x'41ff42', x'00'") == 1);
  struct {
    size_t col;
    int rc;
    int64_t want;
  } ints[] = {{0, 1, 2}, {1, 1, -2}, {2, 1, INT64_MAX}, {3, 1, INT64_MIN}, {4, 0, 7},
              {5, 0, 7}, {12, 1, -42}, {15, -1, 7}};
  for (size_t i = 0; i < sizeof ints / sizeof ints[0]; ++i) {
    int64_t out = 7;
    int rc = vbk_get_i64(db, 0, ints[i].col, &out);
    if (rc != ints[i].rc || out != ints[i].want) {
      fprintf(stderr, "vbk_get_i64 col %zu: rc %d out %lld\n", ints[i].col, rc, (long long)out);
      ++failures;
    }
  }
  CHECK(vbk_get_i64(db, 1, 0, NULL) == -1);
  CHECK(vbk_get_i64(db, 0, 0, NULL) == 1);

  const char* strs[] = {"2.9", "-2.9", NULL, NULL, "text", NULL, "3", "2.5", "1000000000000000",
                        "100000000000000000000", "0.0000001", "0", "-42", "A\xef\xbf\xbd" "B", NULL};
  for (size_t col = 0; col < sizeof strs / sizeof strs[0]; ++col) {
    if (col == 2 || col == 3 || col == 14) continue; /* checked below */
    CHECK_STR(vbk_get_str(db, 0, col), strs[col]);
  }
  /* 1e300 spelled out in full: a 1 and 300 zeros. */
  const char* big = vbk_get_str(db, 0, 2);
  CHECK(big != NULL && strlen(big) == 301 && big[0] == '1');
  /* A blob holding NUL gives NULL and empties the buffer. */
  CHECK(vbk_get_str(db, 0, 14) == NULL);

  /* vbk_get_text: only texts; out of range keeps the buffer. */
  CHECK(vbk_get_text(db, 0, 12) == NULL);
  const char* t1 = vbk_get_text(db, 0, 4);
  CHECK_STR(t1, "text");
  CHECK(vbk_get_text(db, 0, 99) == NULL);
  CHECK_STR(t1, "text");
  CHECK_STR(vbk_get_text(db, 0, 4), "text");

  CHECK(vbk_col_name(db, 99) == NULL);
  vbk_close(db);

  db = fresh_db("special");
  CHECK(vbk_exec(db, "SELECT CAST('nan' AS REAL), CAST('inf' AS REAL), CAST('-inf' AS REAL)") == 1);
  CHECK_STR(vbk_get_str(db, 0, 0), "NaN");
  CHECK_STR(vbk_get_str(db, 0, 1), "inf");
  CHECK_STR(vbk_get_str(db, 0, 2), "-inf");
  int64_t out = 7;
  CHECK(vbk_get_i64(db, 0, 0, &out) == 1 && out == 0);
  vbk_close(db);
}

int main(void) {
  test_null_handles();
  test_scripts();
  test_prepared_and_binds();
  test_prepared_subqueries_run_each_time();
  test_prepare_runs_no_subquery();
  test_prepare_reports_subquery_compile_errors();
  test_getters();
  if (failures) {
    fprintf(stderr, "%d check(s) failed\n", failures);
    return 1;
  }
  printf("capi: all checks passed\n");
  return 0;
}
