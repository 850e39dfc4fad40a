#include <stdio.h>
#include "velmarbrook.h"

int main(void) {
  VbkDb *db = vbk_open("app.db");
  if (!db) return 1;
  if (vbk_exec(db, "CREATE TABLE IF NOT EXISTS note (id INTEGER PRIMARY KEY, body TEXT)") < 0) goto fail;
  VbkStmt *ins = vbk_prepare(db, "INSERT INTO note (body) VALUES (?)");
  if (!ins) goto fail;
  vbk_bind_text(ins, 0, "hello from C");
  int64_t inserted = vbk_exec_prepared(db, ins);
  vbk_finalize(ins);
  if (inserted < 0) goto fail;
  if (vbk_exec(db, "SELECT id, body FROM note") < 0) goto fail;
  for (size_t r = 0; r < vbk_row_count(db); ++r) {
    int64_t id = 0;
    vbk_get_i64(db, r, 0, &id);
    /* The string stays valid until the next vbk_get_str or vbk_get_text. */
    printf("%lld: %s\n", (long long)id, vbk_get_str(db, r, 1));
  }
  vbk_close(db);
  return 0;
fail:
  fprintf(stderr, "error: %s\n", vbk_last_error(db));
  vbk_close(db);
  return 1;
}
