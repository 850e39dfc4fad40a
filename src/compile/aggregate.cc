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

constexpr const char* kNotHere = "subquery/IN not supported in this position";

std::optional<uint32_t> group_index(const Expr& e, std::span<const Expr> group_by) {
  for (size_t k = 0; k < group_by.size(); ++k) {
    if (group_by[k] == e) return static_cast<uint32_t>(k);
  }
  return std::nullopt;
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

struct AggCtx {
  Gen& gen;
  std::span<const Expr> group_by;
  std::span<const Expr* const> aggs;
  uint32_t first_result;
  uint32_t first_key;
};

Result<uint32_t> agg_expr(AggCtx& c, const Expr& e) {
  return compile_agg_expr(c.gen, e, c.group_by, c.aggs, c.first_result, c.first_key);
}

// Over groups every THEN and ELSE is computed into a register of its own and
// copied into the result.
Result<uint32_t> agg_case(AggCtx& c, const Expr::Case& cs) {
  return emit_case(
      c.gen, cs, [&](const Expr& e) { return agg_expr(c, e); },
      [&](const Expr& e, uint32_t dest) -> Result<void> {
        uint32_t r = VBK_TRY(agg_expr(c, e));
        c.gen.emit(Op::Copy{.src = r, .dest = dest});
        return {};
      });
}

// A node that is neither a chain node nor equal to a GROUP BY expression.
Result<uint32_t> agg_node(AggCtx& c, const Expr& e) {
  Gen& gen = c.gen;
  switch (e.kind()) {
    case Expr::Kind::Null:
    case Expr::Kind::Integer:
    case Expr::Kind::Real:
    case Expr::Kind::Text:
    case Expr::Kind::Blob:
    case Expr::Kind::Param:
    case Expr::Kind::OuterParam: return compile_expr(gen, e, nullptr);
    case Expr::Kind::Column:
      return fail("column \"" + e.as<Expr::Column>().name +
                  "\" must appear in GROUP BY or an aggregate");
    case Expr::Kind::Unary: {
      const auto& u = e.as<Expr::Unary>();
      uint32_t a = VBK_TRY(agg_expr(c, *u.expr));
      uint32_t d = gen.reg();
      gen.emit(Op::Un{.op = u.op == UnaryOp::Neg ? vdbe::UnKind::Neg : vdbe::UnKind::Not,
                      .a = a,
                      .dest = d});
      return d;
    }
    case Expr::Kind::Cast: {
      const auto& cast = e.as<Expr::Cast>();
      uint32_t a = VBK_TRY(agg_expr(c, *cast.expr));
      uint32_t d = gen.reg();
      gen.emit(Op::Cast{.a = a, .to = cast.target, .dest = d});
      return d;
    }
    case Expr::Kind::Aggregate:
      for (size_t j = 0; j < c.aggs.size(); ++j) {
        if (*c.aggs[j] == e) return c.first_result + static_cast<uint32_t>(j);
      }
      fault("aggregate call without a slot");
    case Expr::Kind::Function: {
      const auto& f = e.as<Expr::Function>();
      std::optional<vdbe::ScalarKind> kind = vdbe::scalar_kind_from_name(f.name);
      if (!kind) return fail("unknown function " + f.name);
      std::vector<uint32_t> args;
      args.reserve(f.args.size());
      for (const Expr& a : f.args) args.push_back(VBK_TRY(agg_expr(c, a)));
      uint32_t d = gen.reg();
      gen.emit(Op::Func{.kind = *kind, .args = std::move(args), .dest = d});
      return d;
    }
    case Expr::Kind::Case: return agg_case(c, e.as<Expr::Case>());
    case Expr::Kind::Subquery:
    case Expr::Kind::InSubquery:
    case Expr::Kind::InList: return fail(kNotHere);
    case Expr::Kind::Binary:
    case Expr::Kind::IsNull:
    case Expr::Kind::Like: break;
  }
  fault("agg_node on a chain node");
}

Result<uint32_t> agg_link(AggCtx& c, const Expr& e, uint32_t below) {
  Gen& gen = c.gen;
  if (const auto* b = e.get_if<Expr::Binary>()) {
    uint32_t right = VBK_TRY(agg_expr(c, *b->right));
    uint32_t d = gen.reg();
    gen.emit(Op::Bin{.op = static_cast<vdbe::BinKind>(b->op), .a = below, .b = right, .dest = d});
    return d;
  }
  if (const auto* n = e.get_if<Expr::IsNull>()) {
    uint32_t d = gen.reg();
    gen.emit(Op::IsNull{.a = below, .dest = d, .negated = n->negated});
    return d;
  }
  const auto& l = e.as<Expr::Like>();
  uint32_t pat = VBK_TRY(agg_expr(c, *l.pattern));
  uint32_t d = gen.reg();
  gen.emit(Op::Like{.a = below, .pat = pat, .negated = l.negated, .dest = d});
  return d;
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

Result<uint32_t> compile_agg_expr(Gen& gen, const Expr& e, std::span<const Expr> group_by,
                                  std::span<const Expr* const> aggs, uint32_t first_result,
                                  uint32_t first_key) {
  AggCtx c{gen, group_by, aggs, first_result, first_key};
  // Down the chain to the first node that is a GROUP BY expression or no
  // chain node; an IN form on the way fails before anything is emitted.
  std::vector<const Expr*> spine;
  const Expr* cur = &e;
  std::optional<uint32_t> key;
  for (;;) {
    key = group_index(*cur, group_by);
    if (key) break;
    if (cur->is<Expr::InList>() || cur->is<Expr::InSubquery>()) return fail(kNotHere);
    if (!is_wrapped_chain(*cur)) break;
    spine.push_back(cur);
    cur = cur->chain_link()->get();
  }
  uint32_t r = key ? first_key + *key : VBK_TRY(agg_node(c, *cur));
  for (auto it = spine.rbegin(); it != spine.rend(); ++it) r = VBK_TRY(agg_link(c, **it, r));
  return r;
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
  auto out = [&](const Expr& e) {
    return compile_agg_expr(gen, e, group_by, aggs, result_regs, key_regs);
  };
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
