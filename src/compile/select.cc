#include "compile/select.h"

#include "compile/compile.h"
#include "compile/expr.h"
#include "compile/handover.h"

namespace vbk::compile {

namespace {

using vdbe::Op;

std::string lower(std::string_view s) { return scope_name(s); }

BinaryOp mirror(BinaryOp op) {
  switch (op) {
    case BinaryOp::Lt: return BinaryOp::Gt;
    case BinaryOp::Le: return BinaryOp::Ge;
    case BinaryOp::Gt: return BinaryOp::Lt;
    case BinaryOp::Ge: return BinaryOp::Le;
    default: return op;
  }
}

bool is_range_op(BinaryOp op) {
  return op == BinaryOp::Lt || op == BinaryOp::Le || op == BinaryOp::Gt || op == BinaryOp::Ge;
}

// An index column that can carry a seek: a declared column named rowid
// cannot, since the name always resolves to the rowid itself.
bool seekable_index_column(std::string_view name) { return !is_rowid_name(name); }

// SELECT count(*) FROM t, answered from the table's row count.
std::optional<Result<vdbe::Program>> count_star_shortcut(const SelectStmt& stmt,
                                                         const Catalog& catalog) {
  if (stmt.from.size() != 1 || stmt.where || !stmt.group_by.empty() || stmt.having ||
      !stmt.order_by.empty() || stmt.items.size() != 1) {
    return std::nullopt;
  }
  const SelectItem& item = stmt.items[0];
  if (item.kind != SelectItem::Kind::Expr) return std::nullopt;
  const auto* agg = item.expr.get_if<Expr::Aggregate>();
  if (agg == nullptr || agg->func != AggFunc::Count || agg->arg || agg->distinct) {
    return std::nullopt;
  }
  auto build = [&]() -> Result<vdbe::Program> {
    const TableDef* t = catalog.get(stmt.from[0].table);
    if (t == nullptr) return std::unexpected(Error::Exec("no such table: " + stmt.from[0].table));
    Gen gen;
    uint32_t cur = gen.cursor();
    uint32_t dest = gen.reg();
    gen.emit(Op::OpenRead{.cur = cur, .root = t->root});
    gen.emit(Op::Count{.cur = cur, .dest = dest});
    gen.emit(Op::ResultRow{.start = dest, .count = 1});
    gen.emit(Op::Halt{});
    vdbe::Program p = std::move(gen).finish();
    p.columns.push_back(item.alias ? *item.alias : "count(*)");
    p.width = 1;
    p.distinct = stmt.distinct;
    p.limit = VBK_TRY(const_limit(stmt.limit));
    p.offset = VBK_TRY(const_limit(stmt.offset));
    return p;
  };
  return build();
}

bool is_aggregate_query(const SelectStmt& stmt) {
  if (!stmt.group_by.empty() || stmt.having) return true;
  for (const SelectItem& item : stmt.items) {
    if (item.kind == SelectItem::Kind::Expr && expr_has_agg(item.expr)) return true;
  }
  return false;
}

// SELECT without FROM: one row of constant expressions.
Result<std::vector<std::string>> compile_without_from(Gen& gen, const SelectStmt& stmt) {
  if (stmt.where || !stmt.order_by.empty()) {
    return std::unexpected(Error::Exec("WHERE/ORDER BY require a FROM clause"));
  }
  std::vector<std::string> names;
  for (const SelectItem& item : stmt.items) {
    if (item.kind != SelectItem::Kind::Expr) {
      return std::unexpected(Error::Exec("SELECT * requires a FROM clause"));
    }
    names.push_back(item.alias ? *item.alias : expr_name(item.expr));
  }
  auto n = static_cast<uint32_t>(stmt.items.size());
  uint32_t first = gen.regs(n);
  for (uint32_t i = 0; i < n; ++i) {
    uint32_t r = VBK_TRY(compile_expr(gen, stmt.items[i].expr, nullptr));
    gen.emit(Op::Copy{.src = r, .dest = first + i});
  }
  gen.emit(Op::ResultRow{.start = first, .count = n});
  gen.emit(Op::Halt{});
  return names;
}

void expand_columns(const JoinedTable& entry, const TableDef& table,
                    std::vector<ResultItem>& items) {
  const std::string& qualifier = entry.alias ? *entry.alias : entry.table;
  for (const Column& c : table.columns) {
    ResultItem item;
    item.name = c.name;
    item.own = Expr::Column{qualifier, c.name};
    items.push_back(std::move(item));
  }
}

// What every single-table access path shares.
struct Query {
  Gen& gen;
  const SelectStmt& stmt;
  const Ctx& ctx;
  const std::vector<ResultItem>& items;
  uint32_t first;  // first result register
};

// Compiles the WHERE clause (if any) and emits its IfFalse; the IfFalse's
// address for patching.
Result<std::optional<uint32_t>> emit_where_test(Query& q) {
  if (!q.stmt.where) return std::nullopt;
  uint32_t w = VBK_TRY(compile_expr(q.gen, *q.stmt.where, &q.ctx));
  return q.gen.emit(Op::IfFalse{.reg = w, .target = {}});
}

Result<void> emit_result_row(Query& q) {
  VBK_TRY(emit_projection(q.gen, q.items, q.stmt.order_by, q.first, q.ctx));
  auto count = static_cast<uint32_t>(q.items.size() + q.stmt.order_by.size());
  q.gen.emit(Op::ResultRow{.start = q.first, .count = count});
  return {};
}

Result<void> emit_rowid_lookup(Query& q, const Expr& key) {
  uint32_t k = VBK_TRY(compile_expr(q.gen, key, nullptr));
  uint32_t seek = q.gen.emit(Op::SeekRowid{.cur = 0, .key_reg = k, .notfound_target = {}});
  VBK_TRY(emit_result_row(q));
  q.gen.patch(seek, q.gen.emit(Op::Halt{}));
  return {};
}

// The body shared by both index paths, from the loop top on: read the rowid
// of the current entry, fetch the row, test WHERE, project, step.
Result<void> emit_index_loop(Query& q, uint32_t x, uint32_t top, std::vector<uint32_t> to_halt) {
  uint32_t w = q.gen.reg();
  q.gen.emit(Op::IdxRowid{.cur = x, .dest = w});
  uint32_t fetch = q.gen.emit(Op::SeekRowid{.cur = 0, .key_reg = w, .notfound_target = {}});
  std::optional<uint32_t> test = VBK_TRY(emit_where_test(q));
  VBK_TRY(emit_result_row(q));
  uint32_t next = q.gen.emit(Op::IdxNext{.cur = x, .row_target = {top}});
  q.gen.patch(fetch, next);
  if (test) q.gen.patch(*test, next);
  uint32_t halt = q.gen.emit(Op::Halt{});
  for (uint32_t at : to_halt) q.gen.patch(at, halt);
  return {};
}

Result<void> emit_index_equality(Query& q, const IndexDef& index,
                                 const std::vector<const Expr*>& keys) {
  Gen& gen = q.gen;
  uint32_t x = gen.idx_cursor();
  gen.emit(Op::OpenIndex{.cur = x, .root = index.root});
  auto m = static_cast<uint32_t>(keys.size());
  uint32_t k0 = gen.regs(m);
  for (uint32_t i = 0; i < m; ++i) {
    uint32_t r = VBK_TRY(compile_expr(gen, *keys[i], nullptr));
    gen.emit(Op::Copy{.src = r, .dest = k0 + i});
  }
  uint32_t p = gen.reg();
  gen.emit(Op::MakeIndexPrefix{.start = k0, .count = m, .dest = p});
  uint32_t seek = gen.emit(Op::IdxSeek{.cur = x, .prefix_reg = p, .notfound_target = {}});
  uint32_t top = gen.emit(Op::IdxPrefixGuard{.cur = x, .prefix_reg = p, .fail_target = {}});
  return emit_index_loop(q, x, top, {seek, top});
}

// Both bound keys keep every entry of their value inside the range (the
// lower one unpadded sorts before them, the upper one padded after them):
// values that share one key, such as integers beyond 2^53 next to the float
// they round to, must not be skipped, and the WHERE test removes what an
// exclusive bound excludes.
Result<void> emit_index_range(Query& q, const IndexRange& range) {
  Gen& gen = q.gen;
  uint32_t x = gen.idx_cursor();
  gen.emit(Op::OpenIndex{.cur = x, .root = range.root});
  uint32_t lo = gen.reg();
  uint32_t seek_key = lo;
  if (!range.lower) {
    gen.emit(Op::MakeIndexPrefix{.start = 0, .count = 0, .dest = lo});
  } else {
    uint32_t r = VBK_TRY(compile_expr(gen, *range.lower->value, nullptr));
    gen.emit(Op::Copy{.src = r, .dest = lo});
    seek_key = gen.reg();
    gen.emit(Op::MakeBoundKey{.start = lo, .count = 1, .pad = false, .dest = seek_key});
  }
  std::optional<uint32_t> bound;
  if (range.upper) {
    uint32_t hi = gen.reg();
    uint32_t r = VBK_TRY(compile_expr(gen, *range.upper->value, nullptr));
    gen.emit(Op::Copy{.src = r, .dest = hi});
    bound = gen.reg();
    gen.emit(Op::MakeBoundKey{.start = hi, .count = 1, .pad = true, .dest = *bound});
  }
  uint32_t seek = gen.emit(Op::IdxSeek{.cur = x, .prefix_reg = seek_key, .notfound_target = {}});
  uint32_t top = gen.here();
  std::vector<uint32_t> to_halt{seek};
  if (bound) {
    to_halt.push_back(gen.emit(Op::IdxRangeGuard{.cur = x, .bound_reg = *bound, .fail_target = {}}));
  }
  return emit_index_loop(q, x, top, std::move(to_halt));
}

Result<void> emit_table_scan(Query& q, const TableDef& table) {
  const Expr* where = q.stmt.where ? &*q.stmt.where : nullptr;
  uint32_t start = VBK_TRY(emit_scan_start(q.gen, 0, rowid_lower_bound(where, table)));
  uint32_t top = q.gen.here();
  std::optional<uint32_t> test = VBK_TRY(emit_where_test(q));
  VBK_TRY(emit_result_row(q));
  uint32_t next = q.gen.emit(Op::Next{.cur = 0, .row_target = {top}});
  if (test) q.gen.patch(*test, next);
  q.gen.patch(start, q.gen.emit(Op::Halt{}));
  return {};
}

// The key of a rowid lookup: WHERE is one `=` between a rowid reference of
// this table and a constant.
const Expr* rowid_lookup_key(const Expr* where, const TableScope& scope) {
  if (where == nullptr) return nullptr;
  const auto* b = where->get_if<Expr::Binary>();
  if (b == nullptr || b->op != BinaryOp::Eq) return nullptr;
  if (is_scope_rowid_ref(*b->left, scope) && is_const(*b->right)) return b->right.get();
  if (is_scope_rowid_ref(*b->right, scope) && is_const(*b->left)) return b->left.get();
  return nullptr;
}

// The index whose leading columns have the most `=` constants, earliest on
// a tie; null when none has any.
const IndexDef* best_equality_index(const Expr& where, const TableDef& table,
                                    const Catalog& catalog, std::vector<const Expr*>& keys) {
  EqMap map;
  collect_eq(where, map);
  if (map.empty()) return nullptr;
  const IndexDef* best = nullptr;
  for (const IndexDef* index : catalog.indexes_for(table.name)) {
    std::vector<const Expr*> matched;
    for (const std::string& col : index->columns) {
      if (!seekable_index_column(col)) break;
      auto it = map.find(lower(col));
      if (it == map.end()) break;
      matched.push_back(it->second);
    }
    if (matched.size() > keys.size()) {
      best = index;
      keys = std::move(matched);
    }
  }
  return best;
}

Result<void> emit_single_table(Query& q) {
  const TableScope& scope = q.ctx.scopes[0];
  const TableDef& table = *scope.table;
  const Expr* where = q.stmt.where ? &*q.stmt.where : nullptr;
  if (const Expr* key = rowid_lookup_key(where, scope)) return emit_rowid_lookup(q, *key);
  if (where != nullptr) {
    std::vector<const Expr*> keys;
    if (const IndexDef* index = best_equality_index(*where, table, q.ctx.catalog, keys)) {
      return emit_index_equality(q, *index, keys);
    }
  }
  if (auto range = choose_index_range(where, table.name, q.ctx.catalog)) {
    return emit_index_range(q, *range);
  }
  return emit_table_scan(q, table);
}

}  // namespace

Result<void> add_scopes(Gen& gen, const SelectStmt& stmt, Ctx& ctx) {
  for (const JoinedTable& entry : stmt.from) {
    const TableDef* t = ctx.catalog.get(entry.table);
    if (t == nullptr) return std::unexpected(Error::Exec("no such table: " + entry.table));
    ctx.scopes.push_back({scope_name(entry.alias ? *entry.alias : entry.table), t, gen.cursor()});
  }
  return {};
}

Result<std::vector<ResultItem>> result_items(const SelectStmt& stmt, const Ctx& ctx) {
  std::vector<ResultItem> items;
  for (const SelectItem& item : stmt.items) {
    switch (item.kind) {
      case SelectItem::Kind::Star:
        for (size_t i = 0; i < stmt.from.size(); ++i) {
          expand_columns(stmt.from[i], *ctx.scopes[i].table, items);
        }
        break;
      case SelectItem::Kind::TableStar: {
        size_t i = 0;
        while (i < ctx.scopes.size() && !qualifier_matches(ctx.scopes[i].name, item.qualifier)) ++i;
        if (i == ctx.scopes.size()) {
          return std::unexpected(Error::Exec("unknown table in " + item.qualifier + ".*"));
        }
        expand_columns(stmt.from[i], *ctx.scopes[i].table, items);
        break;
      }
      case SelectItem::Kind::Expr: {
        ResultItem r;
        r.name = item.alias ? *item.alias : expr_name(item.expr);
        r.ref = &item.expr;
        items.push_back(std::move(r));
        break;
      }
    }
  }
  return items;
}

namespace {

// `column op constant` as written, or mirrored when the column stands on
// the right; nothing for any other comparison.
std::optional<Cmp> column_cmp(const Expr::Binary& b) {
  if (b.left->is<Expr::Column>() && is_const(*b.right)) {
    return Cmp{lower(b.left->as<Expr::Column>().name), b.op, b.right.get()};
  }
  if (b.right->is<Expr::Column>() && is_const(*b.left)) {
    return Cmp{lower(b.right->as<Expr::Column>().name), mirror(b.op), b.left.get()};
  }
  return std::nullopt;
}

}  // namespace

void collect_eq(const Expr& expr, EqMap& map) {
  for_each_conjunct(expr, [&](const Expr& c) {
    const auto* b = c.get_if<Expr::Binary>();
    if (b == nullptr || b->op != BinaryOp::Eq) return;
    if (std::optional<Cmp> cmp = column_cmp(*b)) map.insert_or_assign(std::move(cmp->column), cmp->value);
  });
}

void collect_cmp(const Expr& expr, std::vector<Cmp>& list) {
  for_each_conjunct(expr, [&](const Expr& c) {
    const auto* b = c.get_if<Expr::Binary>();
    if (b == nullptr || !is_range_op(b->op)) return;
    if (std::optional<Cmp> cmp = column_cmp(*b)) list.push_back(std::move(*cmp));
  });
}

std::optional<IndexRange> choose_index_range(const Expr* where, std::string_view table,
                                             const Catalog& catalog) {
  if (where == nullptr) return std::nullopt;
  std::vector<Cmp> cmps;
  collect_cmp(*where, cmps);
  if (cmps.empty()) return std::nullopt;
  for (const IndexDef* index : catalog.indexes_for(table)) {
    if (index->columns.empty() || !seekable_index_column(index->columns[0])) continue;
    std::string first = lower(index->columns[0]);
    IndexRange range;
    for (const Cmp& c : cmps) {
      if (c.column != first) continue;
      Bound b{c.value, c.op == BinaryOp::Le || c.op == BinaryOp::Ge};
      if (c.op == BinaryOp::Lt || c.op == BinaryOp::Le) {
        range.upper = b;
      } else {
        range.lower = b;
      }
    }
    if (range.lower || range.upper) {
      range.root = index->root;
      return range;
    }
  }
  return std::nullopt;
}

const Expr* rowid_lower_bound(const Expr* where, const TableDef& table) {
  if (where == nullptr) return nullptr;
  std::vector<Cmp> cmps;
  collect_cmp(*where, cmps);
  for (const Cmp& c : cmps) {
    if (c.op != BinaryOp::Gt && c.op != BinaryOp::Ge) continue;
    if (names_table_rowid(c.column, table) && is_integer_literal(*c.value)) return c.value;
  }
  return nullptr;
}

Result<uint32_t> emit_scan_start(Gen& gen, uint32_t cursor, const Expr* start) {
  if (start == nullptr) return gen.emit(Op::Rewind{.cur = cursor, .empty_target = {}});
  uint32_t k = VBK_TRY(compile_expr(gen, *start, nullptr));
  return gen.emit(Op::SeekScan{.cur = cursor, .key_reg = k, .empty_target = {}});
}

Result<void> emit_projection(Gen& gen, const std::vector<ResultItem>& items,
                             const std::vector<OrderTerm>& order_by, uint32_t first,
                             const Ctx& ctx) {
  uint32_t dest = first;
  for (const ResultItem& item : items) {
    uint32_t r = VBK_TRY(compile_expr(gen, item.expr(), &ctx));
    gen.emit(Op::Copy{.src = r, .dest = dest++});
  }
  for (const OrderTerm& term : order_by) {
    uint32_t r = VBK_TRY(compile_expr(gen, term.expr, &ctx));
    gen.emit(Op::Copy{.src = r, .dest = dest++});
  }
  return {};
}

Result<vdbe::Program> compile_select(const SelectStmt& stmt, const Catalog& catalog) {
  if (auto shortcut = count_star_shortcut(stmt, catalog)) return std::move(*shortcut);
  if (is_aggregate_query(stmt)) return compile_aggregate(stmt, catalog);

  Gen gen;
  std::vector<std::string> names;
  if (stmt.from.empty()) {
    names = VBK_TRY(compile_without_from(gen, stmt));
  } else {
    Ctx ctx{{}, catalog};
    VBK_TRY(add_scopes(gen, stmt, ctx));
    std::vector<ResultItem> items = VBK_TRY(result_items(stmt, ctx));
    uint32_t first = gen.regs(static_cast<uint32_t>(items.size() + stmt.order_by.size()));
    for (const TableScope& s : ctx.scopes) {
      gen.emit(Op::OpenRead{.cur = s.cursor, .root = s.table->root});
    }
    if (ctx.scopes.size() > 1) {
      VBK_TRY(compile_join(gen, stmt, ctx, items, first));
    } else {
      Query q{gen, stmt, ctx, items, first};
      VBK_TRY(emit_single_table(q));
    }
    names.reserve(items.size());
    for (ResultItem& item : items) names.push_back(std::move(item.name));
  }

  vdbe::Program p = std::move(gen).finish();
  p.width = static_cast<uint32_t>(names.size());
  p.columns = std::move(names);
  for (const OrderTerm& term : stmt.order_by) p.order_desc.push_back(term.desc);
  p.distinct = stmt.distinct;
  p.limit = VBK_TRY(const_limit(stmt.limit));
  p.offset = VBK_TRY(const_limit(stmt.offset));
  return p;
}

}  // namespace vbk::compile
