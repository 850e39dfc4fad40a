// The C interface: 19 functions over two opaque handles. Each function is a
// thin layer over the engine's Database; see include/velmarbrook.h for the
// contracts callers rely on.
//
// No C++ exception crosses into C: every function is noexcept, so an internal
// fault or exhausted memory ends the process (std::terminate) instead of
// unwinding into a caller that cannot handle it.

#include "velmarbrook.h"

#include <cmath>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "exec/database.h"
#include "util/utf8.h"
#include "vdbe/finish.h"
#include "vdbe/value_ops.h"

struct VbkDb {
  std::unique_ptr<vbk::Database> db;
  std::optional<std::string> last_error;
  std::vector<std::string> columns;
  std::vector<vbk::vdbe::Row> rows;
  std::optional<std::string> text_buf;
  std::optional<std::string> colname_buf;
  int64_t last_insert_id = 0;
};

struct VbkStmt {
  vbk::Prepared prepared;
  std::vector<vbk::Value> binds;
};

namespace {

using vbk::ExecResult;
using vbk::Value;

// The bytes up to the first NUL, when they are valid UTF-8.
std::optional<std::string_view> read_str(const char* s) {
  if (!s) return std::nullopt;
  std::string_view v(s);
  if (!vbk::utf8::is_valid(v)) return std::nullopt;
  return v;
}

// A message holding NUL cannot be handed out as a C string: it leaves the
// slot empty.
void keep(std::optional<std::string>& slot, std::string text) {
  if (text.find('\0') != std::string::npos) {
    slot.reset();
  } else {
    slot = std::move(text);
  }
}

const char* c_str(const std::optional<std::string>& slot) { return slot ? slot->c_str() : nullptr; }

void record(VbkDb* db, std::string message) { keep(db->last_error, std::move(message)); }

void clear_result(VbkDb* db) {
  db->columns.clear();
  db->rows.clear();
}

const Value* cell(VbkDb* db, size_t row, size_t col) {
  if (row >= db->rows.size() || col >= db->rows[row].size()) return nullptr;
  return &db->rows[row][col];
}

void bind(VbkStmt* stmt, int64_t idx, Value v) {
  if (!stmt || idx < 0) return;
  // Slots past the last `?` would never be read: ignoring them keeps a huge
  // index from growing the list until memory runs out.
  uint64_t markers = stmt->prepared.param_count;
  if (static_cast<uint64_t>(idx) >= markers) return;
  size_t i = static_cast<size_t>(idx);
  if (i >= stmt->binds.size()) stmt->binds.resize(i + 1);
  stmt->binds[i] = std::move(v);
}

// A statement's result: its rows become the handle's result set; the
// number of rows it gave or changed.
int64_t take_result(VbkDb* db, ExecResult& r) {
  if (auto* rows = std::get_if<ExecResult::Rows>(&r.node)) {
    db->columns = std::move(rows->columns);
    db->rows = std::move(rows->rows);
    return static_cast<int64_t>(db->rows.size());
  }
  if (auto* n = std::get_if<ExecResult::Affected>(&r.node)) return static_cast<int64_t>(n->count);
  return 0;
}

std::string str_form(const Value& v) {
  if (v.kind() == Value::Kind::Real) {
    double d = v.as_real();
    if (std::isfinite(d) && d == std::trunc(d) && std::fabs(d) < 1e15) {
      return std::to_string(static_cast<int64_t>(d));
    }
  }
  if (v.kind() == Value::Kind::Blob) {
    std::string out;
    std::span<const uint8_t> b = v.as_blob();
    while (!b.empty()) {
      vbk::utf8::Decoded d = vbk::utf8::decode(b);
      if (d.valid) {
        out.append(reinterpret_cast<const char*>(b.data()), d.length);
      } else {
        vbk::utf8::append(out, vbk::utf8::kReplacement);
      }
      b = b.subspan(d.length);
    }
    return out;
  }
  return vbk::value_ops::text_form(v);
}

}  // namespace

extern "C" {

#define VBK_EXPORT __attribute__((visibility("default")))

VBK_EXPORT VbkDb* vbk_open(const char* path) noexcept {
  std::optional<std::string_view> p = read_str(path);
  if (!p) return nullptr;
  vbk::Result<vbk::Database> db = vbk::Database::open(*p);
  if (!db) return nullptr;
  auto handle = std::make_unique<VbkDb>();
  handle->db = std::make_unique<vbk::Database>(std::move(*db));
  return handle.release();
}

VBK_EXPORT void vbk_close(VbkDb* db) noexcept { std::unique_ptr<VbkDb> owned(db); }

VBK_EXPORT int64_t vbk_exec(VbkDb* db, const char* sql) noexcept {
  if (!db) return -1;
  std::optional<std::string_view> text = read_str(sql);
  if (!text) {
    record(db, "sql is not valid UTF-8");
    return -1;
  }
  clear_result(db);
  vbk::Result<std::vector<ExecResult>> results = db->db->execute(*text);
  if (!results) {
    record(db, results.error().display());
    return -1;
  }
  int64_t total = 0;
  for (ExecResult& r : *results) total += take_result(db, r);
  db->last_insert_id = db->db->last_insert_rowid();
  return total;
}

VBK_EXPORT VbkStmt* vbk_prepare(VbkDb* db, const char* sql) noexcept {
  if (!db) return nullptr;
  std::optional<std::string_view> text = read_str(sql);
  if (!text) {
    record(db, "sql is not valid UTF-8");
    return nullptr;
  }
  vbk::Result<vbk::Prepared> p = db->db->prepare(*text);
  if (!p) {
    record(db, p.error().display());
    return nullptr;
  }
  return new VbkStmt{std::move(*p), {}};  // owned by the caller until vbk_finalize
}

VBK_EXPORT int64_t vbk_exec_prepared(VbkDb* db, VbkStmt* stmt) noexcept {
  if (!db) return -1;
  if (!stmt) {
    record(db, "null prepared statement");
    return -1;
  }
  clear_result(db);
  vbk::Result<ExecResult> r = db->db->execute_prepared(stmt->prepared, stmt->binds);
  if (!r) {
    record(db, r.error().display());
    return -1;
  }
  const int64_t count = take_result(db, *r);
  db->last_insert_id = db->db->last_insert_rowid();
  return count;
}

VBK_EXPORT void vbk_finalize(VbkStmt* stmt) noexcept { std::unique_ptr<VbkStmt> owned(stmt); }

VBK_EXPORT void vbk_bind_int(VbkStmt* stmt, int64_t idx, int64_t v) noexcept {
  bind(stmt, idx, Value::Int(v));
}

VBK_EXPORT void vbk_bind_real(VbkStmt* stmt, int64_t idx, double v) noexcept {
  bind(stmt, idx, Value::Real(v));
}

VBK_EXPORT void vbk_bind_text(VbkStmt* stmt, int64_t idx, const char* s) noexcept {
  std::optional<std::string_view> text = read_str(s);
  bind(stmt, idx, text ? Value::Text(std::string(*text)) : Value::Null());
}

VBK_EXPORT void vbk_bind_null(VbkStmt* stmt, int64_t idx) noexcept { bind(stmt, idx, Value::Null()); }

VBK_EXPORT void vbk_clear_binds(VbkStmt* stmt) noexcept {
  if (stmt) stmt->binds.clear();
}

VBK_EXPORT size_t vbk_col_count(VbkDb* db) noexcept { return db ? db->columns.size() : 0; }

VBK_EXPORT size_t vbk_row_count(VbkDb* db) noexcept { return db ? db->rows.size() : 0; }

VBK_EXPORT const char* vbk_col_name(VbkDb* db, size_t i) noexcept {
  if (!db || i >= db->columns.size()) return nullptr;
  keep(db->colname_buf, db->columns[i]);
  return c_str(db->colname_buf);
}

VBK_EXPORT int vbk_get_i64(VbkDb* db, size_t row, size_t col, int64_t* out) noexcept {
  if (!db) return -1;
  const Value* v = cell(db, row, col);
  if (!v) return -1;
  int64_t n = 0;
  if (v->kind() == Value::Kind::Int) {
    n = v->as_int();
  } else if (v->kind() == Value::Kind::Real) {
    n = vbk::value_ops::int_from_real(v->as_real());
  } else {
    return 0;
  }
  if (out) *out = n;
  return 1;
}

VBK_EXPORT const char* vbk_get_text(VbkDb* db, size_t row, size_t col) noexcept {
  if (!db) return nullptr;
  const Value* v = cell(db, row, col);
  if (!v || v->kind() != Value::Kind::Text) return nullptr;
  keep(db->text_buf, v->as_text());
  return c_str(db->text_buf);
}

VBK_EXPORT const char* vbk_get_str(VbkDb* db, size_t row, size_t col) noexcept {
  if (!db) return nullptr;
  const Value* v = cell(db, row, col);
  if (!v || v->is_null()) return nullptr;
  keep(db->text_buf, str_form(*v));
  return c_str(db->text_buf);
}

VBK_EXPORT const char* vbk_last_error(VbkDb* db) noexcept { return db ? c_str(db->last_error) : nullptr; }

VBK_EXPORT int64_t vbk_last_insert_id(VbkDb* db) noexcept { return db ? db->last_insert_id : 0; }

}  // extern "C"
