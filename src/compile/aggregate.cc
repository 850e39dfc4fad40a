#include "compile/aggregate.h"

#include <optional>
#include <string>

#include "compile/expr.h"
#include "compile/handover.h"
#include "compile/join.h"
#include "compile/select.h"
#include "compile/walk.h"
#include "vdbe/kinds.h"

namespace vbk::compile {

namespace {

using vdbe::Op;

template <typename T = uint32_t>
Result<T> fail(std::string message) {
  return std::unexpected(Error::Exec(std::move(message)));
}

// The kinds whose chain link wrap_bare_columns rebuilds over.
bool is_wrapped_chain(const Expr& e) {
  return e.is<Expr::Binary>() || e.is<Expr::IsNull>() || e.is<Expr::Like>();
}

// One node that is not a wrapped chain node (or equals a GROUP BY
// expression); its children may recurse, their depth being bounded by the
// parser, while chains never do.
Expr wrap_node(const Expr& e, std::span<const Expr> group_by) {
  if (group_index(e, group_by)) return e;
  switch (e.kind()) {
    case Expr::Kind::Column:
      return Expr::Aggregate{.func = AggFunc::Any, .arg = Box<Expr>(e), .distinct = false};
    case Expr::Kind::Unary: {
      const auto& u = e.as<Expr::Unary>();
      return Expr::Unary{.op = u.op, .expr = wrap_bare_columns(*u.expr, group_by)};
    }
    case Expr::Kind::Cast: {
      const auto& c = e.as<Expr::Cast>();
      return Expr::Cast{.expr = wrap_bare_columns(*c.expr, group_by), .target = c.target};
    }
    case Expr::Kind::Function: {
      const auto& f = e.as<Expr::Function>();
      Expr::Function out{.name = f.name, .args = {}};
      out.args.reserve(f.args.size());
      for (const Expr& a : f.args) out.args.push_back(wrap_bare_columns(a, group_by));
      return out;
    }
    default: return e;
  }
}

vdbe::AggSpec agg_spec(const Expr::Aggregate& a) {
  using vdbe::AggKind;
  AggKind kind = AggKind::Any;
  switch (a.func) {
    case AggFunc::Count: kind = a.arg ? AggKind::Count : AggKind::CountStar; break;
    case AggFunc::Sum: kind = AggKind::Sum; break;
    case AggFunc::Avg: kind = AggKind::Avg; break;
    case AggFunc::Min: kind = AggKind::Min; break;
    case AggFunc::Max: kind = AggKind::Max; break;
    case AggFunc::Any: kind = AggKind::Any; break;
  }
  return vdbe::AggSpec{.kind = kind, .distinct = a.distinct};
}

struct OutputItem {
  std::string name;
  Expr expr;  // wrapped
};

}  // namespace

Expr wrap_bare_columns(const Expr& e, std::span<const Expr> group_by) {
  std::vector<const Expr*> spine;
  const Expr* cur = &e;
  while (is_wrapped_chain(*cur) && !group_index(*cur, group_by)) {
    spine.push_back(cur);
    cur = cur->chain_link()->get();
  }
  Expr out = wrap_node(*cur, group_by);
  for (auto it = spine.rbegin(); it != spine.rend(); ++it) {
    const Expr& node = **it;
    if (const auto* b = node.get_if<Expr::Binary>()) {
      out = Expr::Binary{.op = b->op,
                         .left = Box<Expr>(std::move(out)),
                         .right = wrap_bare_columns(*b->right, group_by)};
    } else if (const auto* n = node.get_if<Expr::IsNull>()) {
      out = Expr::IsNull{.expr = Box<Expr>(std::move(out)), .negated = n->negated};
    } else {
      const auto& l = node.as<Expr::Like>();
      out = Expr::Like{.expr = Box<Expr>(std::move(out)),
                       .pattern = wrap_bare_columns(*l.pattern, group_by),
                       .negated = l.negated};
    }
  }
  return out;
}

void collect_aggs(const Expr& e, std::vector<const Expr*>& list) {
  walk_expr(e, [&](const Expr& node) {
    switch (node.kind()) {
      case Expr::Kind::Aggregate: {
        bool known = false;
        for (const Expr* a : list) known = known || *a == node;
        if (!known) list.push_back(&node);
        return Visit::Skip;
      }
      case Expr::Kind::Unary:
      case Expr::Kind::IsNull:
      case Expr::Kind::Cast:
      case Expr::Kind::Binary:
      case Expr::Kind::Function:
      case Expr::Kind::Like:
      case Expr::Kind::Case: return Visit::Descend;
      default: return Visit::Skip;
    }
  });
}

Result<vdbe::Program> compile_aggregate(const SelectStmt& stmt, const Catalog& catalog) {
  if (stmt.from.empty()) return fail<vdbe::Program>("aggregate query needs a FROM clause");
  Gen gen;
  Ctx ctx{{}, catalog};
  VBK_TRY(add_scopes(gen, stmt, ctx));
  std::span<const Expr> group_by = stmt.group_by;
  std::vector<OutputItem> items;
  std::vector<ResultItem> listed = VBK_TRY(result_items(stmt, ctx));
  for (ResultItem& item : listed) {
    items.push_back({std::move(item.name), wrap_bare_columns(item.expr(), group_by)});
  }
  std::optional<Expr> having;
  if (stmt.having) having = wrap_bare_columns(*stmt.having, group_by);
  std::vector<Expr> order;
  order.reserve(stmt.order_by.size());
  for (const OrderTerm& t : stmt.order_by) order.push_back(wrap_bare_columns(t.expr, group_by));

  // Slots point into the wrapped expressions above, which stay in place.
  std::vector<const Expr*> aggs;
  for (const OutputItem& item : items) collect_aggs(item.expr, aggs);
  if (having) collect_aggs(*having, aggs);
  for (const Expr& o : order) collect_aggs(o, aggs);

  auto g = static_cast<uint32_t>(group_by.size());
  auto m = static_cast<uint32_t>(aggs.size());
  auto n_items = static_cast<uint32_t>(items.size());
  auto n_order = static_cast<uint32_t>(order.size());
  uint32_t key_regs = gen.regs(g);
  uint32_t result_regs = gen.regs(m);
  uint32_t row_regs = gen.regs(n_items + n_order);
  uint32_t step_keys = gen.regs(g);
  uint32_t step_args = gen.regs(m);

  auto body = [&]() -> Result<void> {
    for (uint32_t k = 0; k < g; ++k) {
      uint32_t r = VBK_TRY(compile_expr(gen, group_by[k], &ctx));
      gen.emit(Op::Copy{.src = r, .dest = step_keys + k});
    }
    for (uint32_t j = 0; j < m; ++j) {
      const auto& call = aggs[j]->as<Expr::Aggregate>();
      if (call.arg) {
        uint32_t r = VBK_TRY(compile_expr(gen, *call.arg, &ctx));
        gen.emit(Op::Copy{.src = r, .dest = step_args + j});
      } else {
        gen.emit(Op::Null{.dest = step_args + j});
      }
    }
    gen.emit(Op::AggStart{.key_start = step_keys, .key_count = g});
    for (uint32_t j = 0; j < m; ++j) gen.emit(Op::AggStep{.idx = j, .arg_reg = step_args + j});
    return {};
  };
  VBK_TRY(emit_join_loop(gen, stmt, ctx, LoopShape{.aggregate = true, .open_tables = true}, body));

  uint32_t rewind = gen.emit(
      Op::AggRewind{.done_target = {}, .key_dest = key_regs, .key_count = g, .grouped = g > 0});
  uint32_t group_top = gen.here();
  for (uint32_t j = 0; j < m; ++j) gen.emit(Op::AggResult{.idx = j, .dest = result_regs + j});
  const GroupRegs regs{.group_by = group_by, .aggs = aggs, .first_result = result_regs, .first_key = key_regs};
  auto out = [&](const Expr& e) { return compile_group_expr(gen, e, regs); };
  std::optional<uint32_t> having_test;
  if (having) {
    uint32_t r = VBK_TRY(out(*having));
    having_test = gen.emit(Op::IfFalse{.reg = r, .target = {}});
  }
  for (uint32_t k = 0; k < n_items; ++k) {
    uint32_t r = VBK_TRY(out(items[k].expr));
    gen.emit(Op::Copy{.src = r, .dest = row_regs + k});
  }
  for (uint32_t t = 0; t < n_order; ++t) {
    uint32_t r = VBK_TRY(out(order[t]));
    gen.emit(Op::Copy{.src = r, .dest = row_regs + n_items + t});
  }
  gen.emit(Op::ResultRow{.start = row_regs, .count = n_items + n_order});
  uint32_t next = gen.emit(Op::AggNext{.row_target = group_top, .key_dest = key_regs, .key_count = g});
  if (having_test) gen.patch(*having_test, next);
  gen.patch(rewind, gen.emit(Op::Halt{}));

  vdbe::Program p = std::move(gen).finish();
  p.aggs.reserve(m);
  for (const Expr* a : aggs) p.aggs.push_back(agg_spec(a->as<Expr::Aggregate>()));
  for (OutputItem& item : items) p.columns.push_back(std::move(item.name));
  for (const OrderTerm& t : stmt.order_by) p.order_desc.push_back(t.desc);
  p.width = n_items;
  p.distinct = stmt.distinct;
  p.limit = VBK_TRY(const_limit(stmt.limit));
  p.offset = VBK_TRY(const_limit(stmt.offset));
  return p;
}

}  // namespace vbk::compile
