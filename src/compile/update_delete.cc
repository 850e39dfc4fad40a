// UPDATE and DELETE: a scan of table cursor 0 (from the WHERE's rowid lower
// bound when it has one) that tests the WHERE on every row and keeps every
// index in step with the rows it changes.
//
// Every expression of the statement reads the table as it was before the
// statement. The row's own columns always do, since a row is changed only
// after its values are computed. A subquery over the statement's own table
// would instead meet the rows changed before it, so such a statement runs in
// two passes: the first scans, tests the WHERE and computes the new values,
// holding them in the machine (HoldRow) while changing nothing; the second
// takes the held rows in rowid order, finds each by its rowid and changes it
// exactly as the one-pass program does.

#include <algorithm>
#include <span>

#include "compile/compile.h"
#include "compile/dml.h"
#include "compile/expr.h"
#include "compile/select.h"
#include "compile/walk.h"

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

// Whether computing `e` runs a sub-program that reads `table`: a subquery
// left in it (the engine folds every other one before compiling) whose FROM,
// or the FROM of a SELECT nested anywhere in it, names the table.
bool subquery_reads(const Expr& e, const TableDef& table, const Catalog& catalog) {
  std::vector<const SelectStmt*> todo;
  auto collect = [&](const Expr& x) {
    walk_expr(x, [&](const Expr& node) {
      if (const SelectStmt* s = subquery_select(node)) todo.push_back(s);
      return Visit::Descend;
    });
    return false;
  };
  collect(e);
  while (!todo.empty()) {
    const SelectStmt& s = *todo.back();
    todo.pop_back();
    for (const JoinedTable& entry : s.from) {
      if (catalog.get(entry.table) == &table) return true;
    }
    any_clause_expr(s, collect);
    for (const UnionMember& m : s.unions) todo.push_back(&m.select);
  }
  return false;
}

bool any_subquery_reads(std::span<const Expr* const> exprs, const TableDef& table,
                        const Catalog& catalog) {
  for (const Expr* e : exprs) {
    if (e != nullptr && subquery_reads(*e, table, catalog)) return true;
  }
  return false;
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

// A two-pass statement's turn between its passes. The first pass holds the
// registers start..start+count-1 of each row it keeps and ends at the scan's
// Next; the second begins with `top`, where it takes the next held row into
// the same registers and positions cursor 0 on the row whose rowid is in
// `start`. Its body ends with a Goto back to `top`; `done` jumps past it.
struct SecondPass {
  uint32_t top;
  uint32_t done;  // TakeHeldRow, patched by the caller
};

SecondPass emit_second_pass(Gen& gen, const ScanHead& h, uint32_t start, uint32_t count) {
  gen.emit(Op::HoldRow{.start = start, .count = count});
  uint32_t next = gen.emit(Op::Next{.cur = 0, .row_target = {h.top}});
  if (h.test) gen.patch(*h.test, next);
  SecondPass p{};
  p.top = gen.here();
  gen.patch(h.start, p.top);
  p.done = gen.emit(Op::TakeHeldRow{.dest = start, .count = count, .done_target = {}});
  // Nothing but this statement deletes rows and it deletes only held ones,
  // so every held rowid is found; a miss would only skip the row.
  gen.emit(Op::SeekRowid{.cur = 0, .key_reg = start, .notfound_target = {p.top}});
  return p;
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
  std::optional<SecondPass> second;
  if (where != nullptr && subquery_reads(*where, *t.table, catalog)) {
    second = emit_second_pass(gen, h, h.rowid, 1);
  }
  // The row's index entries go first: a row is never gone while entries
  // still point at it.
  for (const IndexPlan& plan : plans) {
    uint32_t key = index_key_from_cursor(gen, plan.columns, t.table->rowid_alias, h.rowid);
    gen.emit(Op::IdxDelete{.cur = plan.cursor, .key_reg = key});
  }
  gen.emit(Op::DeleteCurrent{.cur = 0});
  if (second) {
    gen.emit(Op::Goto{.target = {second->top}});
    gen.patch_here(second->done);
    gen.emit(Op::Halt{});
    return std::move(gen).finish();
  }
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

  // The register of each assigned column's new value, and of the rowid. In
  // two passes, the first computes every new value into a held row (the
  // rowid, then the values in column order), and the rest reads them there.
  std::vector<uint32_t> value_reg(n, 0);
  uint32_t rowid = h.rowid;
  std::optional<SecondPass> second;
  std::vector<const Expr*> read = assigned;
  read.push_back(where);
  if (any_subquery_reads(read, table, catalog)) {
    const auto m = static_cast<uint32_t>(std::count_if(assigned.begin(), assigned.end(),
                                                       [](const Expr* e) { return e != nullptr; }));
    rowid = gen.regs(1 + m);
    gen.emit(Op::Copy{.src = h.rowid, .dest = rowid});
    uint32_t slot = rowid;
    for (size_t j = 0; j < n; ++j) {
      if (assigned[j] == nullptr) continue;
      uint32_t c = VBK_TRY(compile_expr(gen, *assigned[j], &t.ctx));
      value_reg[j] = ++slot;
      gen.emit(Op::Copy{.src = c, .dest = value_reg[j]});
    }
    second = emit_second_pass(gen, h, rowid, 1 + m);
  }

  const uint32_t base = gen.regs(static_cast<uint32_t>(n));
  std::vector<bool> kept(n, false);
  for (size_t j = 0; j < n; ++j) {
    auto reg = base + static_cast<uint32_t>(j);
    if (assigned[j] != nullptr) {
      if (!second) value_reg[j] = VBK_TRY(compile_expr(gen, *assigned[j], &t.ctx));
      gen.emit(Op::Copy{.src = value_reg[j], .dest = reg});
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
  // Only the assigned columns are guarded: a column the UPDATE leaves alone
  // keeps what is stored, even a NULL that a NOT NULL column added by ALTER
  // TABLE reads in the rows stored before it.
  std::vector<bool> unassigned(n);
  for (size_t j = 0; j < n; ++j) unassigned[j] = assigned[j] == nullptr;
  emit_not_null_guards(gen, table, base, unassigned);

  // A row never moves: a new value for the rowid alias column that is not
  // equal to the rowid (NULL included) fails the run before the row is
  // touched, rather than being stored beside a rowid it contradicts.
  std::optional<uint32_t> rowid_changed;
  if (table.rowid_alias && *table.rowid_alias < assigned.size() && assigned[*table.rowid_alias] != nullptr) {
    uint32_t same = gen.reg();
    gen.emit(Op::Bin{.op = vdbe::BinKind::Eq,
                     .a = base + static_cast<uint32_t>(*table.rowid_alias),
                     .b = rowid,
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
      uint32_t key = index_key_from_cursor(gen, plan.columns, table.rowid_alias, rowid);
      gen.emit(Op::IdxDelete{.cur = plan.cursor, .key_reg = key});
      old_keys.push_back(key);
    }
    for (size_t k = 0; k < plans.size(); ++k) {
      if (!plans[k].unique) continue;
      probes.emplace_back(k, emit_unique_probe(gen, plans[k], base, table.rowid_alias, rowid, 0));
    }
    record = gen.reg();
    gen.emit(Op::MakeRecord{.start = base, .count = static_cast<uint32_t>(n), .dest = record});
    for (const IndexPlan& plan : plans) {
      emit_index_insert(gen, plan, base, table.rowid_alias, rowid);
    }
  }
  gen.emit(Op::UpdateCurrent{.cur = 0, .record_reg = record});
  if (second) {
    gen.emit(Op::Goto{.target = {second->top}});
    gen.patch_here(second->done);
  } else {
    uint32_t next = gen.emit(Op::Next{.cur = 0, .row_target = {h.top}});
    if (h.test) gen.patch(*h.test, next);
    gen.patch_here(h.start);
  }
  gen.emit(Op::ApplyDeferred{.cur = 0});
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
