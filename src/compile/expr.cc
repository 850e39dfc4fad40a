#include "compile/expr.h"

#include "compile/handover.h"
#include "compile/walk.h"
#include "util/unicode.h"
#include "vdbe/kinds.h"

namespace vbk::compile {

namespace {

using vdbe::Op;

Result<uint32_t> fail(std::string message) { return std::unexpected(Error::Exec(std::move(message))); }

constexpr const char* kInFolded = "IN(...) must be folded before compilation";

vdbe::UnKind un_kind(UnaryOp op) {
  return op == UnaryOp::Neg ? vdbe::UnKind::Neg : vdbe::UnKind::Not;
}

Result<uint32_t> compile_case(Gen& gen, const Expr::Case& c, const Ctx* ctx) {
  return emit_case(
      gen, c, [&](const Expr& e) { return compile_expr(gen, e, ctx); },
      [&](const Expr& e, uint32_t dest) { return compile_into(gen, e, ctx, dest); });
}

// Kept out of compile_node so that its large locals do not weigh on every
// level of a deeply nested expression.
[[gnu::noinline]] Result<uint32_t> compile_subquery(Gen& gen, const SelectStmt& select,
                                                    const Ctx& ctx) {
  auto [program, params] = VBK_TRY(compile_correlated_subquery(select, ctx));
  auto sub = static_cast<uint32_t>(gen.subprograms.size());
  gen.subprograms.push_back(std::move(program));
  uint32_t d = gen.reg();
  gen.emit(Op::ScalarSub{.sub = sub, .params = std::move(params), .dest = d});
  return d;
}

// A node whose chain link, if it has one, is not followed here (the caller
// walks chains).
Result<uint32_t> compile_node(Gen& gen, const Expr& expr, const Ctx* ctx) {
  switch (expr.kind()) {
    case Expr::Kind::Null: {
      uint32_t d = gen.reg();
      gen.emit(Op::Null{.dest = d});
      return d;
    }
    case Expr::Kind::Integer: {
      uint32_t d = gen.reg();
      gen.emit(Op::Integer{.v = expr.as<Expr::Integer>().value, .dest = d});
      return d;
    }
    case Expr::Kind::Real: {
      uint32_t d = gen.reg();
      gen.emit(Op::Real{.v = expr.as<Expr::Real>().value, .dest = d});
      return d;
    }
    case Expr::Kind::Text: {
      uint32_t d = gen.reg();
      gen.emit(Op::Str{.v = expr.as<Expr::Text>().value, .dest = d});
      return d;
    }
    case Expr::Kind::Blob: {
      uint32_t d = gen.reg();
      gen.emit(Op::Blob{.v = expr.as<Expr::Blob>().bytes, .dest = d});
      return d;
    }
    case Expr::Kind::Column: {
      const auto& col = expr.as<Expr::Column>();
      uint32_t d = gen.reg();
      if (ctx == nullptr) return fail("no such column: " + col.name);
      vdbe::ParamSrc src = VBK_TRY(ctx->resolve(col.table, col.name));
      if (src.kind == vdbe::ParamSrc::Kind::Rowid) {
        gen.emit(Op::Rowid{.cur = src.a, .dest = d});
      } else {
        gen.emit(Op::Column{.cur = src.a, .col = src.b, .dest = d});
      }
      return d;
    }
    case Expr::Kind::Unary: {
      const auto& u = expr.as<Expr::Unary>();
      uint32_t a = VBK_TRY(compile_expr(gen, *u.expr, ctx));
      uint32_t d = gen.reg();
      gen.emit(Op::Un{.op = un_kind(u.op), .a = a, .dest = d});
      return d;
    }
    case Expr::Kind::Cast: {
      const auto& c = expr.as<Expr::Cast>();
      uint32_t a = VBK_TRY(compile_expr(gen, *c.expr, ctx));
      uint32_t d = gen.reg();
      gen.emit(Op::Cast{.a = a, .to = c.target, .dest = d});
      return d;
    }
    case Expr::Kind::Function: {
      const auto& f = expr.as<Expr::Function>();
      std::optional<vdbe::ScalarKind> kind = vdbe::scalar_kind_from_name(f.name);
      if (!kind) return fail("unknown function " + f.name);
      std::vector<uint32_t> args;
      args.reserve(f.args.size());
      for (const Expr& a : f.args) args.push_back(VBK_TRY(compile_expr(gen, a, ctx)));
      uint32_t d = gen.reg();
      gen.emit(Op::Func{.kind = *kind, .args = std::move(args), .dest = d});
      return d;
    }
    case Expr::Kind::Aggregate: return fail("aggregate functions are not allowed here");
    case Expr::Kind::Subquery:
      if (ctx == nullptr) return fail("subquery requires a FROM context");
      return compile_subquery(gen, *expr.as<Expr::Subquery>().select, *ctx);
    case Expr::Kind::InSubquery:
    case Expr::Kind::InList: return fail(kInFolded);
    case Expr::Kind::OuterParam: {
      uint32_t d = gen.reg();
      gen.emit(Op::Param{.idx = static_cast<uint32_t>(expr.as<Expr::OuterParam>().slot), .dest = d});
      return d;
    }
    case Expr::Kind::Param: {
      uint32_t d = gen.reg();
      gen.emit(Op::Bind{.idx = static_cast<uint32_t>(expr.as<Expr::Param>().index), .dest = d});
      return d;
    }
    case Expr::Kind::Case: return compile_case(gen, expr.as<Expr::Case>(), ctx);
    case Expr::Kind::Binary:
    case Expr::Kind::IsNull:
    case Expr::Kind::Like: break;
  }
  fault("compile_node on a chain node without its link");
}

// One chain node whose link has already been compiled into `below`.
Result<uint32_t> compile_link(Gen& gen, const Expr& expr, uint32_t below, const Ctx* ctx) {
  if (const auto* b = expr.get_if<Expr::Binary>()) {
    uint32_t right = VBK_TRY(compile_expr(gen, *b->right, ctx));
    uint32_t d = gen.reg();
    gen.emit(Op::Bin{.op = static_cast<vdbe::BinKind>(b->op), .a = below, .b = right, .dest = d});
    return d;
  }
  if (const auto* n = expr.get_if<Expr::IsNull>()) {
    uint32_t d = gen.reg();
    gen.emit(Op::IsNull{.a = below, .dest = d, .negated = n->negated});
    return d;
  }
  if (const auto* l = expr.get_if<Expr::Like>()) {
    uint32_t pat = VBK_TRY(compile_expr(gen, *l->pattern, ctx));
    uint32_t d = gen.reg();
    gen.emit(Op::Like{.a = below, .pat = pat, .negated = l->negated, .dest = d});
    return d;
  }
  fault("compile_link on a node that is no chain");
}

}  // namespace

Result<uint32_t> compile_expr(Gen& gen, const Expr& expr, const Ctx* ctx) {
  // Down the chain: the nodes above its bottom, topmost first. An IN form on
  // the way fails before anything below it compiles, as a recursive walk
  // (which compiles the left operand first) would.
  std::vector<const Expr*> spine;
  const Expr* e = &expr;
  for (const Box<Expr>* link = e->chain_link(); link != nullptr; link = e->chain_link()) {
    if (e->is<Expr::InList>() || e->is<Expr::InSubquery>()) return fail(kInFolded);
    if (!*link) fault("chain node without its left operand");
    spine.push_back(e);
    e = link->get();
  }
  uint32_t r = VBK_TRY(compile_node(gen, *e, ctx));
  for (auto it = spine.rbegin(); it != spine.rend(); ++it) {
    r = VBK_TRY(compile_link(gen, **it, r, ctx));
  }
  return r;
}

Result<void> compile_into(Gen& gen, const Expr& expr, const Ctx* ctx, uint32_t dest) {
  switch (expr.kind()) {
    case Expr::Kind::Null: gen.emit(Op::Null{.dest = dest}); return {};
    case Expr::Kind::Integer:
      gen.emit(Op::Integer{.v = expr.as<Expr::Integer>().value, .dest = dest});
      return {};
    case Expr::Kind::Real:
      gen.emit(Op::Real{.v = expr.as<Expr::Real>().value, .dest = dest});
      return {};
    case Expr::Kind::Text:
      gen.emit(Op::Str{.v = expr.as<Expr::Text>().value, .dest = dest});
      return {};
    default: break;
  }
  uint32_t r = VBK_TRY(compile_expr(gen, expr, ctx));
  if (r != dest) gen.emit(Op::Copy{.src = r, .dest = dest});
  return {};
}

bool is_const(const Expr& expr) {
  return walk_expr(expr, [](const Expr& e) {
    switch (e.kind()) {
      case Expr::Kind::Column:
      case Expr::Kind::Aggregate:
      case Expr::Kind::Subquery:
      case Expr::Kind::InSubquery:
      case Expr::Kind::OuterParam:
      case Expr::Kind::Param: return Visit::Stop;
      default: return Visit::Descend;
    }
  });
}

std::string expr_name(const Expr& expr) {
  if (const auto* c = expr.get_if<Expr::Column>()) return c->name;
  if (const auto* a = expr.get_if<Expr::Aggregate>()) {
    if (a->func == AggFunc::Any) return a->arg ? expr_name(*a->arg) : "any(*)";
    static constexpr const char* kNames[] = {"count", "sum", "avg", "min", "max"};
    std::string out = kNames[static_cast<size_t>(a->func)];
    out += '(';
    out += a->arg ? expr_name(*a->arg) : "*";
    out += ')';
    return out;
  }
  return "expr";
}

Result<std::optional<int64_t>> const_limit(const std::optional<Expr>& expr) {
  if (!expr) return std::nullopt;
  if (const auto* i = expr->get_if<Expr::Integer>()) return i->value;
  return std::unexpected(Error::Exec("LIMIT must be a constant integer"));
}

bool is_rowid_ref(const Expr& expr, const TableDef& table) {
  const auto* c = expr.get_if<Expr::Column>();
  if (c == nullptr) return false;
  return names_table_rowid(c->name, table);
}

bool is_integer_literal(const Expr& expr) {
  const Expr* e = &expr;
  if (const auto* u = e->get_if<Expr::Unary>(); u != nullptr && u->op == UnaryOp::Neg) {
    e = u->expr.get();
  }
  return e->is<Expr::Integer>();
}

bool expr_has_agg(const Expr& expr) {
  // CASE, IN forms and subqueries are not looked into.
  return !walk_expr(expr, [](const Expr& e) {
    switch (e.kind()) {
      case Expr::Kind::Aggregate: return Visit::Stop;
      case Expr::Kind::Case:
      case Expr::Kind::InList:
      case Expr::Kind::InSubquery: return Visit::Skip;
      default: return Visit::Descend;
    }
  });
}

}  // namespace vbk::compile
