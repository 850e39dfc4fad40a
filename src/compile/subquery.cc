#include "compile/subquery.h"

#include <utility>

#include "compile/compile.h"
#include "compile/handover.h"
#include "compile/walk.h"
#include "vdbe/limits.h"

namespace vbk::compile {

namespace {

struct Subst {
  const Ctx& ctx;
  std::vector<vdbe::ParamSrc>& params;
  SlotKeys& keys;
};

Result<Expr> rewrite(Subst& s, const Expr& e, const std::vector<std::string>& inner) {
  return subst_expr(e, inner, s.ctx, s.params, s.keys);
}

Result<Box<SelectStmt>> rewrite_select(Subst& s, const SelectStmt& select,
                                       const std::vector<std::string>& inner) {
  return Box<SelectStmt>(VBK_TRY(subst_select(select, inner, s.ctx, s.params, s.keys)));
}

Result<Box<Expr>> rewrite_box(Subst& s, const Box<Expr>& e, const std::vector<std::string>& inner) {
  if (!e) return Box<Expr>();
  return Box<Expr>(VBK_TRY(rewrite(s, *e, inner)));
}

// A node whose chain link, if any, is not followed here.
Result<Expr> rewrite_node(Subst& s, const Expr& e, const std::vector<std::string>& inner) {
  switch (e.kind()) {
    case Expr::Kind::Column: {
      const auto& col = e.as<Expr::Column>();
      if (!refers_outside(col, inner)) return e;
      vdbe::ParamSrc src = VBK_TRY(s.ctx.resolve(col.table, col.name));
      std::string key = scope_name(*col.table);
      key += '.';
      key += scope_name(col.name);
      return Expr::OuterParam{intern(s.keys, s.params, std::move(key), src)};
    }
    case Expr::Kind::OuterParam: {
      auto n = static_cast<uint32_t>(e.as<Expr::OuterParam>().slot);
      return Expr::OuterParam{
          intern(s.keys, s.params, "$p" + std::to_string(n), vdbe::ParamSrc::Param(n))};
    }
    case Expr::Kind::Unary: {
      const auto& u = e.as<Expr::Unary>();
      return Expr::Unary{.op = u.op, .expr = VBK_TRY(rewrite(s, *u.expr, inner))};
    }
    case Expr::Kind::Cast: {
      const auto& c = e.as<Expr::Cast>();
      return Expr::Cast{.expr = VBK_TRY(rewrite(s, *c.expr, inner)), .target = c.target};
    }
    case Expr::Kind::Aggregate: {
      const auto& a = e.as<Expr::Aggregate>();
      return Expr::Aggregate{
          .func = a.func, .arg = VBK_TRY(rewrite_box(s, a.arg, inner)), .distinct = a.distinct};
    }
    case Expr::Kind::Function: {
      const auto& f = e.as<Expr::Function>();
      Expr::Function out{.name = f.name, .args = {}};
      out.args.reserve(f.args.size());
      for (const Expr& a : f.args) out.args.push_back(VBK_TRY(rewrite(s, a, inner)));
      return out;
    }
    case Expr::Kind::Subquery:
      return Expr::Subquery{VBK_TRY(rewrite_select(s, *e.as<Expr::Subquery>().select, inner))};
    case Expr::Kind::Case: {
      const auto& c = e.as<Expr::Case>();
      Expr::Case out;
      out.operand = VBK_TRY(rewrite_box(s, c.operand, inner));
      out.whens.reserve(c.whens.size());
      for (const CaseWhen& w : c.whens) {
        Expr when = VBK_TRY(rewrite(s, w.when, inner));
        Expr then = VBK_TRY(rewrite(s, w.then, inner));
        out.whens.push_back(CaseWhen{std::move(when), std::move(then)});
      }
      out.else_expr = VBK_TRY(rewrite_box(s, c.else_expr, inner));
      return out;
    }
    default: return e;  // literals and ? marks
  }
}

// One chain node over its already rewritten link `below`. Each child is
// rewritten into a local before the node is built, so that an error never
// leaves a half-built node behind.
Result<Expr> rewrite_link(Subst& s, const Expr& e, Expr below,
                          const std::vector<std::string>& inner) {
  Box<Expr> left(std::move(below));
  switch (e.kind()) {
    case Expr::Kind::Binary: {
      const auto& b = e.as<Expr::Binary>();
      Expr right = VBK_TRY(rewrite(s, *b.right, inner));
      return Expr::Binary{.op = b.op, .left = std::move(left), .right = std::move(right)};
    }
    case Expr::Kind::IsNull:
      return Expr::IsNull{.expr = std::move(left), .negated = e.as<Expr::IsNull>().negated};
    case Expr::Kind::Like: {
      const auto& l = e.as<Expr::Like>();
      Expr pattern = VBK_TRY(rewrite(s, *l.pattern, inner));
      return Expr::Like{.expr = std::move(left), .pattern = std::move(pattern), .negated = l.negated};
    }
    case Expr::Kind::InSubquery: {
      const auto& in = e.as<Expr::InSubquery>();
      Box<SelectStmt> select = VBK_TRY(rewrite_select(s, *in.select, inner));
      return Expr::InSubquery{
          .expr = std::move(left), .select = std::move(select), .negated = in.negated};
    }
    case Expr::Kind::InList: {
      const auto& in = e.as<Expr::InList>();
      Expr::InList out{.expr = std::move(left), .list = {}, .negated = in.negated};
      out.list.reserve(in.list.size());
      for (const Expr& item : in.list) out.list.push_back(VBK_TRY(rewrite(s, item, inner)));
      return out;
    }
    default: fault("rewrite_link on a node that is no chain");
  }
}

}  // namespace

void append_from_names(const SelectStmt& select, std::vector<std::string>& names) {
  for (const JoinedTable& entry : select.from) {
    names.push_back(scope_name(entry.alias ? *entry.alias : entry.table));
  }
}

bool refers_outside(const Expr::Column& col, const std::vector<std::string>& inner) {
  if (!col.table) return false;
  for (const std::string& name : inner) {
    if (qualifier_matches(name, *col.table)) return false;
  }
  return true;
}

bool select_refers_outside(const SelectStmt& select) {
  return any_outer_ref(select, [](const Expr::Column&) { return true; });
}

uint32_t intern(SlotKeys& keys, std::vector<vdbe::ParamSrc>& params, std::string key,
                vdbe::ParamSrc src) {
  auto [it, inserted] = keys.try_emplace(std::move(key), static_cast<uint32_t>(params.size()));
  if (inserted) params.push_back(src);
  return it->second;
}

Result<Expr> subst_expr(const Expr& expr, const std::vector<std::string>& inner, const Ctx& ctx,
                        std::vector<vdbe::ParamSrc>& params, SlotKeys& keys) {
  Subst s{ctx, params, keys};
  // The chain is rewritten from its bottom up, so that slots are handed out
  // in the order written: a left operand before its right one.
  std::vector<const Expr*> spine;
  const Expr* e = &expr;
  for (const Box<Expr>* link = e->chain_link(); link != nullptr; link = e->chain_link()) {
    if (!*link) fault("chain node without its left operand");
    spine.push_back(e);
    e = link->get();
  }
  Expr out = VBK_TRY(rewrite_node(s, *e, inner));
  for (auto it = spine.rbegin(); it != spine.rend(); ++it) {
    out = VBK_TRY(rewrite_link(s, **it, std::move(out), inner));
  }
  return out;
}

Result<SelectStmt> subst_select(const SelectStmt& select, const std::vector<std::string>& inner,
                                const Ctx& ctx, std::vector<vdbe::ParamSrc>& params,
                                SlotKeys& keys) {
  std::vector<std::string> names = inner;
  append_from_names(select, names);
  auto sub = [&](const Expr& e) { return subst_expr(e, names, ctx, params, keys); };
  auto sub_opt = [&](const std::optional<Expr>& e) -> Result<std::optional<Expr>> {
    if (!e) return std::nullopt;
    return VBK_TRY(sub(*e));
  };

  SelectStmt out;
  out.items.reserve(select.items.size());
  for (const SelectItem& item : select.items) {
    if (item.kind == SelectItem::Kind::Expr) {
      Expr e = VBK_TRY(sub(item.expr));
      out.items.push_back(SelectItem::Expr(std::move(e), item.alias));
    } else {
      out.items.push_back(item);
    }
  }
  out.from.reserve(select.from.size());
  for (const JoinedTable& entry : select.from) {
    std::optional<Expr> on = VBK_TRY(sub_opt(entry.on));
    out.from.push_back(JoinedTable{entry.table, entry.alias, std::move(on), entry.outer});
  }
  out.where = VBK_TRY(sub_opt(select.where));
  out.group_by.reserve(select.group_by.size());
  for (const Expr& g : select.group_by) out.group_by.push_back(VBK_TRY(sub(g)));
  out.having = VBK_TRY(sub_opt(select.having));
  out.order_by.reserve(select.order_by.size());
  for (const OrderTerm& t : select.order_by) {
    Expr e = VBK_TRY(sub(t.expr));
    out.order_by.push_back(OrderTerm{std::move(e), t.desc});
  }
  out.limit = VBK_TRY(sub_opt(select.limit));
  out.offset = VBK_TRY(sub_opt(select.offset));
  out.distinct = select.distinct;
  out.calc_found_rows = select.calc_found_rows;
  // A UNION member stands beside the first member: it sees the names
  // around both, not the first member's own.
  out.unions.reserve(select.unions.size());
  for (const UnionMember& m : select.unions) {
    out.unions.push_back(UnionMember{m.all, VBK_TRY(subst_select(m.select, inner, ctx, params, keys))});
  }
  return out;
}

uint32_t subquery_depth(const SelectStmt& select, uint32_t limit) {
  // (SELECT, its depth), walked with a stack: each subquery found in an
  // expression of a SELECT at depth d is at depth d + 1.
  std::vector<std::pair<const SelectStmt*, uint32_t>> todo{{&select, 1}};
  uint32_t deepest = 0;
  while (!todo.empty()) {
    auto [s, depth] = todo.back();
    todo.pop_back();
    deepest = std::max(deepest, depth);
    if (deepest > limit) return deepest;
    any_clause_expr(*s, [&](const Expr& e) {
      walk_expr(e, [&](const Expr& node) {
        if (const SelectStmt* inner = subquery_select(node)) todo.emplace_back(inner, depth + 1);
        return Visit::Descend;
      });
      return false;
    });
  }
  return deepest;
}

Result<std::pair<vdbe::Program, std::vector<vdbe::ParamSrc>>> compile_correlated_subquery(
    const SelectStmt& select, const Ctx& ctx) {
  // The statement runs at depth 0 and this sub-program at depth 1; what
  // would nest deeper than the machine allows is refused here, before any
  // of it is compiled, so that compilation recurses a bounded number of
  // levels too.
  if (subquery_depth(select, vdbe::kMaxSubprogramDepth) > vdbe::kMaxSubprogramDepth) {
    return std::unexpected(Error::Exec(vdbe::kSubprogramDepthMessage));
  }
  std::vector<vdbe::ParamSrc> params;
  SlotKeys keys;
  SelectStmt rewritten = VBK_TRY(subst_select(select, {}, ctx, params, keys));
  vdbe::Program program = VBK_TRY(compile_select(rewritten, ctx.catalog));
  if (!rewritten.unions.empty()) {
    // A sub-program runs one SELECT and no UNION. Subquery folding runs
    // every UNION that can run on its own, so one that reaches here reads
    // the enclosing statement. Its members are compiled first, so that an
    // error of their own (a missing table, an unknown column) keeps its
    // message.
    for (const UnionMember& m : rewritten.unions) VBK_TRY(compile_select(m.select, ctx.catalog));
    return std::unexpected(Error::Exec(kCorrelatedUnion));
  }
  return std::pair{std::move(program), std::move(params)};
}

}  // namespace vbk::compile
