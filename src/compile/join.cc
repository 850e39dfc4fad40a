#include "compile/join.h"

#include <optional>

#include "catalog/unique.h"
#include "compile/compile.h"
#include "compile/expr.h"
#include "compile/handover.h"
#include "compile/select.h"
#include "compile/subquery.h"
#include "compile/walk.h"
#include "util/unicode.h"

namespace vbk::compile {

namespace {

struct JoinLevel {
  enum class Kind : uint8_t { Scan, RowidLookup, IndexLookup };
  Kind kind = Kind::Scan;
  uint32_t root = 0;          // IndexLookup: the index's root page
  const Expr* key = nullptr;  // lookups: the other side of the ON equality
};

// Appends both sides of every `=` conjunct of the AND chain, in the order
// written.
void collect_eqs(const Expr& expr, std::vector<std::pair<const Expr*, const Expr*>>& list);

// Whether the expression refers to the level named `scope` reading `table`,
// anywhere inside it: aggregate arguments and the SELECTs of subqueries at
// any depth included. Inside a subquery, names resolve as for a correlated
// subquery: only a qualified name that no table of the subquery (or of a
// SELECT between them) takes refers to the level.
bool expr_uses_table(const Expr& expr, std::string_view scope, const TableDef& table);

// The access of one level from its ON condition; never fails, and a
// condition it cannot use leaves the level a scan.
JoinLevel plan_join_level(const Expr* on, const TableDef& table, std::string_view scope,
                          const Catalog& catalog);

// The outermost level at which everything the expression reads is in
// place; a subquery counts as reading every level.
uint32_t expr_deepest_level(const Expr& expr, const std::vector<TableScope>& scopes);

// Whether the expression reads a column of the scope other than its rowid.
// A subquery counts as reading everything.
bool expr_refs_table_nonrowid(const Expr& expr, std::string_view scope, const TableDef& table);

// Whether index lookup level `level` can be answered from its index alone:
// its ON is one equality and nothing else in the statement reads the
// table's row.
bool level_is_index_only(const SelectStmt& stmt, uint32_t level, std::string_view scope,
                         const TableDef& table);

using vdbe::Op;

// Integers below this magnitude are exact as 64-bit floats; from it on,
// distinct integers may share one index key.
using catalog::kExactLimit;

bool names_level(const Expr::Column& col, std::string_view scope, const TableDef& table) {
  if (col.table) return qualifier_matches(scope, *col.table);
  return table.column_index(col.name).has_value();
}

// The first index of the table with exactly one column, that column being
// `column` (ASCII letter case ignored).
const IndexDef* single_column_index(const TableDef& table, std::string_view column,
                                    const Catalog& catalog) {
  for (const IndexDef* index : catalog.indexes_for(table.name)) {
    if (index->columns.size() == 1 && unicode::ascii_iequals(index->columns[0], column)) {
      return index;
    }
  }
  return nullptr;
}

// `side` as this level's column with `other` as the key; nothing when the
// pair cannot drive the level's access.
std::optional<JoinLevel> try_side(const Expr& side, const Expr& other, const TableDef& table,
                                  std::string_view scope, const Catalog& catalog) {
  const auto* col = side.get_if<Expr::Column>();
  if (col == nullptr || !names_level(*col, scope, table)) return std::nullopt;
  if (expr_uses_table(other, scope, table)) return std::nullopt;
  if (names_table_rowid(col->name, table)) return JoinLevel{JoinLevel::Kind::RowidLookup, 0, &other};
  if (!table.column_index(col->name)) return std::nullopt;
  if (const IndexDef* index = single_column_index(table, col->name, catalog)) {
    return JoinLevel{JoinLevel::Kind::IndexLookup, index->root, &other};
  }
  return std::nullopt;
}

// The label of a FROM entry as written: its alias, else its table name.
const std::string& label(const JoinedTable& entry) {
  return entry.alias ? *entry.alias : entry.table;
}

// A condition compiled for level `level` must not read a level that is
// opened inside it: that cursor holds no row, or a stale one, when the
// condition runs. Every read of a table cursor in the instructions emitted
// for the condition, the values handed to its correlated subqueries
// included, is checked.
Result<void> check_no_later_level(const Gen& gen, uint32_t from, uint32_t level,
                                  const SelectStmt& stmt) {
  auto later = [&](uint32_t cur) -> Result<void> {
    if (cur <= level) return {};
    return std::unexpected(Error::Exec("ON condition refers to a table joined after it: " +
                                       label(stmt.from[cur])));
  };
  for (uint32_t at = from; at < gen.here(); ++at) {
    const Op& op = gen.ops[at];
    if (const auto* r = std::get_if<Op::Rowid>(&op.v)) VBK_TRY(later(r->cur));
    if (const auto* c = std::get_if<Op::Column>(&op.v)) VBK_TRY(later(c->cur));
    if (const auto* s = std::get_if<Op::ScalarSub>(&op.v)) {
      for (const vdbe::ParamSrc& p : s->params) {
        if (p.kind != vdbe::ParamSrc::Kind::Param) VBK_TRY(later(p.a));
      }
    }
  }
  return {};
}

// The anti-join test: WHERE holds `q.rowid IS NULL` for the level's own
// scope q (or its rowid alias column), qualified.
bool demands_null_rowid(const Expr& where, const TableScope& scope) {
  bool found = false;
  for_each_conjunct(where, [&](const Expr& c) {
    const auto* n = c.get_if<Expr::IsNull>();
    if (n == nullptr || n->negated) return;
    const auto* col = n->expr->get_if<Expr::Column>();
    if (col == nullptr || !col->table || !qualifier_matches(scope.name, *col->table)) return;
    if (is_rowid_ref(*n->expr, *scope.table)) found = true;
  });
  return found;
}

// What the loop keeps per level.
struct LevelState {
  JoinLevel plan;
  std::optional<uint32_t> flag;  // LEFT levels
  uint32_t idx_cursor = 0;       // IndexLookup levels
  bool index_only = false;
  bool anti_join = false;
  std::vector<const Expr*> conjuncts;  // WHERE conjuncts tested here
  uint32_t top = 0;
  uint32_t body = 0;
  uint32_t cont = 0;
  uint32_t end = 0;
};

enum class Jump { SeekFail, Continue, ContinueOuter };

struct Pending {
  uint32_t at;
  uint32_t level;
  Jump to;
};

// Emits `IfFalse` on the compiled expression to the level's continue point.
Result<void> emit_test(Gen& gen, const Expr& e, const Ctx& ctx, uint32_t level,
                       std::vector<Pending>& jumps) {
  uint32_t r = VBK_TRY(compile_expr(gen, e, &ctx));
  jumps.push_back({gen.emit(Op::IfFalse{.reg = r, .target = {}}), level, Jump::Continue});
  return {};
}

// The row access of an index-only level. The index entry's rowid stands for
// the row, and the ON equality is what the seek enforced. That holds only
// where the index key is exact: a NULL key matches nothing, and a key of
// magnitude 2^53 or more shares its encoding with neighbouring integers that
// the ON equality tells apart, so such a key takes the ordinary path of
// fetching the row and testing the ON condition.
struct IndexOnlyGuard {
  uint32_t big = 0;  // register: true when the key needs the ordinary path
};

Result<IndexOnlyGuard> emit_index_only_key_tests(Gen& gen, uint32_t k, uint32_t level,
                                                 std::vector<Pending>& jumps) {
  uint32_t isnull = gen.reg();
  gen.emit(Op::IsNull{.a = k, .dest = isnull, .negated = false});
  jumps.push_back({gen.emit(Op::IfTrue{.reg = isnull, .target = {}}), level, Jump::SeekFail});
  uint32_t hi = gen.reg();
  gen.emit(Op::Integer{.v = kExactLimit, .dest = hi});
  uint32_t above = gen.reg();
  gen.emit(Op::Bin{.op = vdbe::BinKind::Ge, .a = k, .b = hi, .dest = above});
  uint32_t lo = gen.reg();
  gen.emit(Op::Integer{.v = -kExactLimit, .dest = lo});
  uint32_t below = gen.reg();
  gen.emit(Op::Bin{.op = vdbe::BinKind::Le, .a = k, .b = lo, .dest = below});
  uint32_t big = gen.reg();
  gen.emit(Op::Bin{.op = vdbe::BinKind::Or, .a = above, .b = below, .dest = big});
  return IndexOnlyGuard{big};
}

void collect_eqs(const Expr& expr, std::vector<std::pair<const Expr*, const Expr*>>& list) {
  for_each_conjunct(expr, [&](const Expr& c) {
    const auto* b = c.get_if<Expr::Binary>();
    if (b != nullptr && b->op == BinaryOp::Eq) list.emplace_back(b->left.get(), b->right.get());
  });
}

bool expr_uses_table(const Expr& expr, std::string_view scope, const TableDef& table) {
  // Inside a subquery only a name that refers outside it can read the level.
  auto qualified_by_level = [&](const Expr::Column& col) { return qualifier_matches(scope, *col.table); };
  return !walk_expr(expr, [&](const Expr& e) {
    if (const auto* col = e.get_if<Expr::Column>()) {
      return names_level(*col, scope, table) ? Visit::Stop : Visit::Skip;
    }
    const SelectStmt* select = subquery_select(e);
    return select != nullptr && any_outer_ref(*select, qualified_by_level) ? Visit::Stop : Visit::Descend;
  });
}

JoinLevel plan_join_level(const Expr* on, const TableDef& table, std::string_view scope,
                          const Catalog& catalog) {
  if (on == nullptr) return {};
  std::vector<std::pair<const Expr*, const Expr*>> pairs;
  collect_eqs(*on, pairs);
  for (const auto& [left, right] : pairs) {
    if (auto plan = try_side(*left, *right, table, scope, catalog)) return *plan;
    if (auto plan = try_side(*right, *left, table, scope, catalog)) return *plan;
  }
  return {};
}

uint32_t expr_deepest_level(const Expr& expr, const std::vector<TableScope>& scopes) {
  auto n = static_cast<uint32_t>(scopes.size());
  uint32_t deepest = 0;
  auto raise = [&](uint32_t level) { deepest = std::max(deepest, level); };
  walk_expr(expr, [&](const Expr& e) {
    switch (e.kind()) {
      case Expr::Kind::Column: {
        const auto& col = e.as<Expr::Column>();
        for (uint32_t i = 0; i < n; ++i) {
          // An unqualified rowid is every level's.
          if (names_level(col, scopes[i].name, *scopes[i].table) || (!col.table && is_rowid_name(col.name))) {
            raise(i);
          }
        }
        return Visit::Skip;
      }
      case Expr::Kind::Subquery:
      case Expr::Kind::InSubquery: raise(n - 1); return Visit::Skip;
      default: return Visit::Descend;
    }
  });
  return deepest;
}

bool expr_refs_table_nonrowid(const Expr& expr, std::string_view scope, const TableDef& table) {
  bool refs = false;
  walk_expr(expr, [&](const Expr& e) {
    switch (e.kind()) {
      case Expr::Kind::Column: {
        const auto& col = e.as<Expr::Column>();
        if (!names_level(col, scope, table) || names_table_rowid(col.name, table)) return Visit::Skip;
        refs = true;
        return Visit::Stop;
      }
      case Expr::Kind::Subquery:
      case Expr::Kind::InSubquery: refs = true; return Visit::Stop;
      default: return Visit::Descend;
    }
  });
  return refs;
}

bool level_is_index_only(const SelectStmt& stmt, uint32_t level, std::string_view scope,
                         const TableDef& table) {
  const std::optional<Expr>& own_on = stmt.from[level].on;
  const auto* eq = own_on ? own_on->get_if<Expr::Binary>() : nullptr;
  if (eq == nullptr || eq->op != BinaryOp::Eq) return false;
  for (const SelectItem& item : stmt.items) {
    if (item.kind == SelectItem::Kind::Star) return false;
    if (item.kind == SelectItem::Kind::TableStar && qualifier_matches(scope, item.qualifier)) {
      return false;
    }
  }
  // Every clause but the level's own ON (LIMIT and OFFSET are constants).
  return !any_clause_expr(stmt, [&](const Expr& e) {
    return &e != &*own_on && expr_refs_table_nonrowid(e, scope, table);
  });
}

}  // namespace

Result<uint32_t> emit_join_loop(Gen& gen, const SelectStmt& stmt, const Ctx& ctx, LoopShape shape,
                                const std::function<Result<void>()>& body) {
  const std::vector<TableScope>& scopes = ctx.scopes;
  auto n = static_cast<uint32_t>(scopes.size());
  std::vector<LevelState> levels(n);

  // Level facts, before the first instruction.
  for (uint32_t l = 0; l < n; ++l) {
    if (stmt.from[l].outer) levels[l].flag = gen.reg();
  }
  for (uint32_t l = 1; l < n; ++l) {
    const std::optional<Expr>& on = stmt.from[l].on;
    levels[l].plan = plan_join_level(on ? &*on : nullptr, *scopes[l].table, scopes[l].name,
                                     ctx.catalog);
  }
  if (shape.aggregate) {
    uint32_t last = n - 1;
    if (last >= 1 && stmt.from[last].outer && stmt.where &&
        demands_null_rowid(*stmt.where, scopes[last])) {
      levels[last].anti_join = true;
    }
    for (uint32_t l = 1; l < n; ++l) {
      levels[l].index_only = levels[l].plan.kind == JoinLevel::Kind::IndexLookup &&
                             level_is_index_only(stmt, l, scopes[l].name, *scopes[l].table);
    }
  }

  // WHERE placement.
  if (stmt.where) {
    if (shape.aggregate) {
      for_each_conjunct(*stmt.where, [&](const Expr& c) {
        uint32_t d = expr_deepest_level(c, scopes);
        for (uint32_t l = 1; l <= d; ++l) {
          if (stmt.from[l].outer) {
            d = n - 1;
            break;
          }
        }
        levels[d].conjuncts.push_back(&c);
      });
    } else {
      levels[n - 1].conjuncts.push_back(&*stmt.where);
    }
  }

  if (shape.open_tables) {
    for (const TableScope& s : scopes) gen.emit(Op::OpenRead{.cur = s.cursor, .root = s.table->root});
  }
  for (uint32_t l = 1; l < n; ++l) {
    if (levels[l].plan.kind != JoinLevel::Kind::IndexLookup) continue;
    levels[l].idx_cursor = gen.idx_cursor();
    gen.emit(Op::OpenIndex{.cur = levels[l].idx_cursor, .root = levels[l].plan.root});
  }

  std::vector<Pending> jumps;
  // Level 0.
  uint32_t rewind0 = gen.emit(Op::Rewind{.cur = 0, .empty_target = {}});
  levels[0].top = levels[0].body = gen.here();
  for (const Expr* c : levels[0].conjuncts) VBK_TRY(emit_test(gen, *c, ctx, 0, jumps));

  for (uint32_t l = 1; l < n; ++l) {
    LevelState& lv = levels[l];
    const std::optional<Expr>& on = stmt.from[l].on;
    if (lv.flag) gen.emit(Op::Integer{.v = 0, .dest = *lv.flag});
    uint32_t checked_from = gen.here();
    std::optional<uint32_t> skip_on;  // index-only: the jump past the ON test
    switch (lv.plan.kind) {
      case JoinLevel::Kind::IndexLookup: {
        uint32_t k = VBK_TRY(compile_expr(gen, *lv.plan.key, &ctx));
        std::optional<IndexOnlyGuard> guard;
        if (lv.index_only) guard = VBK_TRY(emit_index_only_key_tests(gen, k, l, jumps));
        uint32_t p = gen.reg();
        gen.emit(Op::MakeIndexPrefix{.start = k, .count = 1, .dest = p});
        jumps.push_back({gen.emit(Op::IdxSeek{.cur = lv.idx_cursor, .prefix_reg = p,
                                              .notfound_target = {}}),
                         l, Jump::SeekFail});
        lv.top = gen.here();
        jumps.push_back(
            {gen.emit(Op::IdxPrefixGuard{.cur = lv.idx_cursor, .prefix_reg = p, .fail_target = {}}),
             l, Jump::SeekFail});
        uint32_t r = gen.reg();
        gen.emit(Op::IdxRowid{.cur = lv.idx_cursor, .dest = r});
        std::optional<uint32_t> to_slow;
        if (guard) {
          to_slow = gen.emit(Op::IfTrue{.reg = guard->big, .target = {}});
          gen.emit(Op::CursorSetRowid{.cur = l, .rowid_reg = r});
          skip_on = gen.emit(Op::Goto{.target = {}});
          gen.patch_here(*to_slow);
        }
        jumps.push_back(
            {gen.emit(Op::SeekRowid{.cur = l, .key_reg = r, .notfound_target = {}}), l,
             Jump::Continue});
        break;
      }
      case JoinLevel::Kind::RowidLookup: {
        uint32_t k = VBK_TRY(compile_expr(gen, *lv.plan.key, &ctx));
        jumps.push_back(
            {gen.emit(Op::SeekRowid{.cur = l, .key_reg = k, .notfound_target = {}}), l,
             Jump::SeekFail});
        lv.top = gen.here();
        break;
      }
      case JoinLevel::Kind::Scan:
        jumps.push_back({gen.emit(Op::Rewind{.cur = l, .empty_target = {}}), l, Jump::SeekFail});
        lv.top = gen.here();
        break;
    }
    if (on) VBK_TRY(emit_test(gen, *on, ctx, l, jumps));
    VBK_TRY(check_no_later_level(gen, checked_from, l, stmt));
    if (skip_on) gen.patch_here(*skip_on);
    if (lv.anti_join) {
      jumps.push_back({gen.emit(Op::Goto{.target = {}}), l, Jump::ContinueOuter});
    } else if (lv.flag) {
      gen.emit(Op::Integer{.v = 1, .dest = *lv.flag});
    }
    lv.body = gen.here();
    for (const Expr* c : lv.conjuncts) VBK_TRY(emit_test(gen, *c, ctx, l, jumps));
  }

  VBK_TRY(body());

  for (uint32_t l = n; l-- > 0;) {
    LevelState& lv = levels[l];
    lv.cont = gen.here();
    switch (lv.plan.kind) {
      case JoinLevel::Kind::Scan: gen.emit(Op::Next{.cur = l, .row_target = {lv.top}}); break;
      case JoinLevel::Kind::IndexLookup:
        gen.emit(Op::IdxNext{.cur = lv.idx_cursor, .row_target = {lv.top}});
        break;
      case JoinLevel::Kind::RowidLookup: break;
    }
    lv.end = gen.here();
    if (l >= 1 && lv.flag) {
      gen.emit(Op::IfTrue{.reg = *lv.flag, .target = {gen.here() + 4}});
      gen.emit(Op::Integer{.v = 1, .dest = *lv.flag});
      gen.emit(Op::NullRow{.cur = l});
      gen.emit(Op::Goto{.target = {lv.body}});
    }
  }
  uint32_t loop_end = gen.here();
  gen.patch(rewind0, loop_end);
  for (const Pending& j : jumps) {
    const LevelState& lv = levels[j.level];
    switch (j.to) {
      case Jump::SeekFail: gen.patch(j.at, lv.flag ? lv.end : levels[j.level - 1].cont); break;
      case Jump::Continue: gen.patch(j.at, lv.cont); break;
      case Jump::ContinueOuter: gen.patch(j.at, levels[j.level - 1].cont); break;
    }
  }
  return loop_end;
}

Result<void> compile_join(Gen& gen, const SelectStmt& stmt, const Ctx& ctx,
                          const std::vector<ResultItem>& items, uint32_t first_reg) {
  auto count = static_cast<uint32_t>(items.size() + stmt.order_by.size());
  VBK_TRY(emit_join_loop(gen, stmt, ctx, LoopShape{}, [&]() -> Result<void> {
    VBK_TRY(emit_projection(gen, items, stmt.order_by, first_reg, ctx));
    gen.emit(Op::ResultRow{.start = first_reg, .count = count});
    return {};
  }));
  gen.emit(Op::Halt{});
  return {};
}

}  // namespace vbk::compile
