// UPDATE and DELETE: a scan of table cursor 0 (from the WHERE's rowid lower
// bound when it has one) that tests the WHERE on every row and keeps every
// index in step with the rows it changes.

#include "compile/compile.h"
#include "compile/dml.h"
#include "compile/expr.h"
#include "compile/select.h"

namespace vbk::compile {

namespace {

using vdbe::Op;

struct Subject {
  const TableDef* table;
  Ctx ctx;
};

Result<Subject> open_target(std::string_view name, const Catalog& catalog) {
  const TableDef* table = catalog.get(name);
  if (table == nullptr) return std::unexpected(Error::Exec("no such table: " + std::string(name)));
  Subject t{table, Ctx{{}, catalog}};
  t.ctx.scopes.push_back({scope_name(name), table, 0});
  return t;
}

// The first rowid that a WHERE of the form `rowid > c`, `rowid >= c`,
// `c < rowid` or `c <= rowid` (c an integer literal) keeps, every rowid for
// no WHERE; none for any other WHERE.
std::optional<int64_t> truncation_start(const Expr* where, const TableScope& scope) {
  if (where == nullptr) return INT64_MIN;
  const auto* b = where->get_if<Expr::Binary>();
  if (b == nullptr) return std::nullopt;
  const Expr::Integer* c = nullptr;
  bool exclusive = false;
  if (is_scope_rowid_ref(*b->left, scope) && (c = b->right->get_if<Expr::Integer>())) {
    if (b->op != BinaryOp::Gt && b->op != BinaryOp::Ge) return std::nullopt;
    exclusive = b->op == BinaryOp::Gt;
  } else if (is_scope_rowid_ref(*b->right, scope) && (c = b->left->get_if<Expr::Integer>())) {
    if (b->op != BinaryOp::Lt && b->op != BinaryOp::Le) return std::nullopt;
    exclusive = b->op == BinaryOp::Lt;
  } else {
    return std::nullopt;
  }
  if (!exclusive) return c->value;
  if (c->value == INT64_MAX) return std::nullopt;
  return c->value + 1;
}

// The scan, the WHERE test and the row's rowid: what both statements do
// before touching a row.
struct ScanHead {
  uint32_t start;                // Rewind or SeekScan, patched by the caller
  uint32_t top;                  // the loop top
  std::optional<uint32_t> test;  // the WHERE's IfFalse, patched to the Next
  uint32_t rowid;                // register
};

Result<ScanHead> emit_scan_head(Gen& gen, const Subject& t, const Expr* where) {
  ScanHead h{};
  h.start = VBK_TRY(emit_scan_start(gen, 0, rowid_lower_bound(where, *t.table)));
  h.top = gen.here();
  if (where != nullptr) {
    uint32_t w = VBK_TRY(compile_expr(gen, *where, &t.ctx));
    h.test = gen.emit(Op::IfFalse{.reg = w, .target = {}});
  }
  h.rowid = gen.reg();
  gen.emit(Op::Rowid{.cur = 0, .dest = h.rowid});
  return h;
}

}  // namespace

Result<vdbe::Program> compile_delete(std::string_view table_name, const Expr* where,
                                     const Catalog& catalog) {
  Subject t = VBK_TRY(open_target(table_name, catalog));
  Gen gen;
  gen.cursor();
  gen.emit(Op::OpenWrite{.cur = 0, .root = t.table->root});
  std::vector<IndexPlan> plans = plan_indexes(gen, *t.table, catalog.indexes_for(table_name));

  if (plans.empty()) {
    if (std::optional<int64_t> from = truncation_start(where, t.ctx.scopes[0])) {
      uint32_t k = gen.reg();
      gen.emit(Op::Integer{.v = *from, .dest = k});
      gen.emit(Op::TruncateFrom{.cur = 0, .key_reg = k});
      gen.emit(Op::Halt{});
      return std::move(gen).finish();
    }
  }

  ScanHead h = VBK_TRY(emit_scan_head(gen, t, where));
  // The row's index entries go first: a row is never gone while entries
  // still point at it.
  for (const IndexPlan& plan : plans) {
    uint32_t key = index_key_from_cursor(gen, plan.columns, t.table->rowid_alias, h.rowid);
    gen.emit(Op::IdxDelete{.cur = plan.cursor, .key_reg = key});
  }
  gen.emit(Op::DeleteCurrent{.cur = 0});
  uint32_t next = gen.emit(Op::Next{.cur = 0, .row_target = {h.top}});
  if (h.test) gen.patch(*h.test, next);
  gen.patch(h.start, gen.emit(Op::Halt{}));
  return std::move(gen).finish();
}

// Per row: the new column values (SET expressions, all reading the row as
// stored), their affinity, the NOT NULL guards and the rowid check come
// first; then the old index entries go, each UNIQUE index is probed with the
// new values, and only when no probe hits are the new entries and the new
// record written. A probe that hits puts the old entries back before the run
// fails, so a failing row leaves its indexes as they were.
Result<vdbe::Program> compile_update(std::string_view table_name,
                                     std::span<const Assignment> assignments, const Expr* where,
                                     const Catalog& catalog) {
  Subject t = VBK_TRY(open_target(table_name, catalog));
  const TableDef& table = *t.table;
  const size_t n = table.columns.size();
  std::vector<const Expr*> assigned(n, nullptr);
  for (const Assignment& a : assignments) {
    std::optional<size_t> pos = table.column_index(a.column);
    if (!pos) return std::unexpected(Error::Exec("no such column: " + a.column));
    assigned[*pos] = &a.value;
  }

  Gen gen;
  gen.cursor();
  gen.emit(Op::OpenWrite{.cur = 0, .root = table.root});
  std::vector<IndexPlan> plans = plan_indexes(gen, table, catalog.indexes_for(table_name));

  ScanHead h = VBK_TRY(emit_scan_head(gen, t, where));

  const uint32_t base = gen.regs(static_cast<uint32_t>(n));
  std::vector<bool> kept(n, false);
  for (size_t j = 0; j < n; ++j) {
    auto reg = base + static_cast<uint32_t>(j);
    if (assigned[j] != nullptr) {
      uint32_t c = VBK_TRY(compile_expr(gen, *assigned[j], &t.ctx));
      gen.emit(Op::Copy{.src = c, .dest = reg});
    } else if (table.rowid_alias == j) {
      gen.emit(Op::Rowid{.cur = 0, .dest = reg});
    } else if (plans.empty()) {
      kept[j] = true;
    } else {
      gen.emit(Op::Column{.cur = 0, .col = static_cast<uint32_t>(j), .dest = reg});
    }
  }
  for (size_t j = 0; j < n; ++j) {
    if (assigned[j] == nullptr) continue;
    Affinity a = numeric_affinity(table.columns[j].decl_type);
    if (a == Affinity::None) continue;
    gen.emit(Op::Affinity{.reg = base + static_cast<uint32_t>(j), .real = a == Affinity::Real});
  }
  emit_not_null_guards(gen, table, base, kept);

  // A row never moves: a new value for the rowid alias column that is not
  // equal to the rowid (NULL included) fails the run before the row is
  // touched, rather than being stored beside a rowid it contradicts.
  std::optional<uint32_t> rowid_changed;
  if (table.rowid_alias && *table.rowid_alias < assigned.size() && assigned[*table.rowid_alias] != nullptr) {
    uint32_t same = gen.reg();
    gen.emit(Op::Bin{.op = vdbe::BinKind::Eq,
                     .a = base + static_cast<uint32_t>(*table.rowid_alias),
                     .b = h.rowid,
                     .dest = same});
    rowid_changed = gen.emit(Op::IfFalse{.reg = same, .target = {}});
  }

  uint32_t record = 0;
  std::vector<uint32_t> old_keys;
  std::vector<std::pair<size_t, uint32_t>> probes;  // (plan, IdxConflictJump)
  if (plans.empty()) {
    record = gen.reg();
    gen.emit(Op::MakeUpdatedRecord{.cur = 0, .start = base, .kept = kept, .dest = record});
  } else {
    for (const IndexPlan& plan : plans) {
      uint32_t key = index_key_from_cursor(gen, plan.columns, table.rowid_alias, h.rowid);
      gen.emit(Op::IdxDelete{.cur = plan.cursor, .key_reg = key});
      old_keys.push_back(key);
    }
    for (size_t k = 0; k < plans.size(); ++k) {
      if (!plans[k].unique) continue;
      probes.emplace_back(k, emit_unique_probe(gen, plans[k], base, table.rowid_alias, h.rowid, 0));
    }
    record = gen.reg();
    gen.emit(Op::MakeRecord{.start = base, .count = static_cast<uint32_t>(n), .dest = record});
    for (const IndexPlan& plan : plans) {
      emit_index_insert(gen, plan, base, table.rowid_alias, h.rowid);
    }
  }
  gen.emit(Op::UpdateCurrent{.cur = 0, .record_reg = record});
  uint32_t next = gen.emit(Op::Next{.cur = 0, .row_target = {h.top}});
  if (h.test) gen.patch(*h.test, next);
  gen.patch(h.start, gen.emit(Op::ApplyDeferred{.cur = 0}));
  gen.emit(Op::Halt{});

  // Failure blocks, reached only by the jumps above.
  if (rowid_changed) {
    gen.patch_here(*rowid_changed);
    const std::string& name = table.columns[*table.rowid_alias].name;
    gen.emit(Op::Fail{.message = "cannot change the rowid through column " + name});
  }
  for (const auto& [k, probe] : probes) {
    gen.patch_here(probe);
    for (size_t i = 0; i < plans.size(); ++i) {
      gen.emit(Op::IdxInsert{.cur = plans[i].cursor, .key_reg = old_keys[i]});
    }
    gen.emit(Op::Fail{.message = unique_failed(plans[k].name)});
  }
  return std::move(gen).finish();
}

}  // namespace vbk::compile
