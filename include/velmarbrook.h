/*
 * Velmarbrook: the C interface.
 *
 * Two opaque handles: VbkDb, one open database with its current result set
 * and its last error, and VbkStmt, one prepared statement with its bound
 * values. Every call runs to completion before it returns. Nothing needs
 * initialising: vbk_open is a handle's first call and vbk_close its last.
 *
 * Errors: functions returning int64_t or int return -1, functions returning
 * a pointer return NULL, and the failure's message is kept in the handle for
 * vbk_last_error. Every function accepts a NULL handle (pointers: NULL;
 * vbk_col_count, vbk_row_count, vbk_last_insert_id: 0; vbk_exec,
 * vbk_exec_prepared, vbk_get_i64: -1; the others do nothing).
 *
 * Strings passed in are NUL-terminated and must be valid UTF-8.
 *
 * Strings returned belong to the VbkDb handle; each family has one buffer:
 *   - vbk_get_text and vbk_get_str share one: the next call of either on the
 *     same handle (when it returns a string or empties the buffer), and
 *     vbk_close, free the string the previous call returned;
 *   - vbk_col_name has its own, with the same rule;
 *   - vbk_last_error's string stays valid until another call on the handle
 *     fails, or until vbk_close.
 *
 * Threads: a handle, the statements used with it and the strings it returned
 * are used by one thread at a time. Two handles on one file coordinate through
 * file locks, waited for without time-out: never wait through one handle for
 * a lock that another handle of the same thread holds (an open BEGIN).
 *
 * An internal fault of the engine (a broken invariant) or exhausted memory
 * ends the process; no function unwinds into its caller.
 */
#ifndef VELMARBROOK_H
#define VELMARBROOK_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#define VBK_NOEXCEPT noexcept
#else
#define VBK_NOEXCEPT
#endif

typedef struct VbkDb VbkDb;
typedef struct VbkStmt VbkStmt;

/* Opens (or creates) a database file. NULL on failure (no message is kept:
 * there is no handle to hold it). */
VbkDb *vbk_open(const char *path) VBK_NOEXCEPT;

/* Closes the handle: the file is closed without commit or checkpoint (an
 * open BEGIN is not committed), and every string it returned becomes
 * invalid. Statements it prepared stay valid to finalize. */
void vbk_close(VbkDb *db) VBK_NOEXCEPT;

/* Runs a script of statements. Returns the sum of the row counts of its
 * result sets and of the changed-row counts, or -1. The handle keeps the
 * script's last result set (an empty one when none of its statements has
 * one). Any failure leaves it empty: a parse error (the script then runs no
 * statement), a statement that fails to compile (an unknown table or column)
 * or one that fails while running; the statements before the failing one
 * keep their effects. Only a NULL or invalid UTF-8 `sql` is refused before
 * any work and leaves the result set as it was. */
int64_t vbk_exec(VbkDb *db, const char *sql) VBK_NOEXCEPT;

/* Prepares one SELECT without UNION, INSERT or INSERT IGNORE ... VALUES,
 * UPDATE or DELETE with `?` parameters (REPLACE, ON DUPLICATE KEY UPDATE and
 * INSERT ... SELECT are refused). The statement is used only with the handle
 * that prepared it; after a schema change it is compiled again when run, and
 * its subqueries are evaluated again at every run. Preparing compiles the
 * statement and its subqueries without running them: what compiling finds
 * (an unknown table, column or function, say) fails here, with the message
 * that the same text gives to vbk_exec (the subqueries of a statement that
 * fails so are run once before the failure is reported, as vbk_exec would),
 * while an error that only a subquery's run or its value can cause, as
 * LIMIT (SELECT 'x'), fails each vbk_exec_prepared instead. Free it with vbk_finalize, before or after
 * closing the handle. A failure leaves the handle's result set as it was. */
VbkStmt *vbk_prepare(VbkDb *db, const char *sql) VBK_NOEXCEPT;

/* Runs a prepared statement with its bound values (an unbound `?` reads
 * NULL). Returns the number of result rows (SELECT, kept as the handle's
 * result set) or of changed rows, or -1. The bindings stay for the next run.
 * Any failure, also of compiling the statement again after a schema change,
 * leaves the result set empty; only a NULL `stmt` leaves it as it was. */
int64_t vbk_exec_prepared(VbkDb *db, VbkStmt *stmt) VBK_NOEXCEPT;

void vbk_finalize(VbkStmt *stmt) VBK_NOEXCEPT;

/* Bindings by 0-based index: idx 0 feeds the first `?`. A negative index, or
 * one at or beyond the statement's number of `?` markers, is ignored. A NULL
 * or invalid UTF-8 string binds NULL. */
void vbk_bind_int(VbkStmt *stmt, int64_t idx, int64_t v) VBK_NOEXCEPT;
void vbk_bind_real(VbkStmt *stmt, int64_t idx, double v) VBK_NOEXCEPT;
void vbk_bind_text(VbkStmt *stmt, int64_t idx, const char *s) VBK_NOEXCEPT;
void vbk_bind_null(VbkStmt *stmt, int64_t idx) VBK_NOEXCEPT;
/* Forgets every binding: each `?` reads NULL until bound again. */
void vbk_clear_binds(VbkStmt *stmt) VBK_NOEXCEPT;

/* The current result set. */
size_t vbk_col_count(VbkDb *db) VBK_NOEXCEPT;
size_t vbk_row_count(VbkDb *db) VBK_NOEXCEPT;

/* Column i's name, or NULL (out of range: the previous name stays valid; a
 * name holding NUL: NULL, and the previous name is freed). */
const char *vbk_col_name(VbkDb *db, size_t i) VBK_NOEXCEPT;

/* 1 with the value in *out (when out is not NULL) for an integer or a real
 * (truncated toward zero, saturated, NaN as 0); 0 for any other value (out
 * untouched); -1 when row or col is out of range. */
int vbk_get_i64(VbkDb *db, size_t row, size_t col, int64_t *out) VBK_NOEXCEPT;

/* A text value as a string; NULL for any other kind, out of range, or a
 * text holding NUL. */
const char *vbk_get_text(VbkDb *db, size_t row, size_t col) VBK_NOEXCEPT;

/* Any value as a string: integers in decimal, whole reals below 1e15 as
 * integers, other reals as their shortest round-trip digits without exponent
 * ("NaN", "inf", "-inf"), texts as they are, blobs as UTF-8 with each invalid
 * sequence replaced by U+FFFD. NULL for a NULL value, out of range, or a
 * result holding NUL. */
const char *vbk_get_str(VbkDb *db, size_t row, size_t col) VBK_NOEXCEPT;

/* The message of the last failure on this handle, or NULL. */
const char *vbk_last_error(VbkDb *db) VBK_NOEXCEPT;

/* The rowid of the last row inserted by a successful run (0 at first). */
int64_t vbk_last_insert_id(VbkDb *db) VBK_NOEXCEPT;

#ifdef __cplusplus
}
#endif

#endif /* VELMARBROOK_H */
