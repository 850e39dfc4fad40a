#include "compile/expr.h"

#include "compile/handover.h"
#include "compile/walk.h"
#include "vdbe/kinds.h"

namespace vbk::compile {

namespace {

using vdbe::Op;

Result<uint32_t> fail(std::string message) { return std::unexpected(Error::Exec(std::move(message))); }

constexpr const char* kInFolded = "IN(...) must be folded before compilation";

vdbe::UnKind un_kind(UnaryOp op) {
  return op == UnaryOp::Neg ? vdbe::UnKind::Neg : vdbe::UnKind::Not;
}

constexpr const char* kNotOverGroups = "subquery/IN not supported in this position";

// What an expression compiles against: the FROM scopes of a plain
// expression (null where no table is in scope), or, over groups, the
// registers of the group walk.
struct Mode {
  const Ctx* ctx = nullptr;
  const GroupRegs* groups = nullptr;
};

Result<uint32_t> compile_in(Gen& gen, const Expr& expr, const Mode& mode);

// The result register set to NULL, the operand, then per WHEN its test
// (compared with the operand when there is one), a skip, the THEN into the
// result and a jump to the end; the ELSE into the result last. Over groups
// every THEN and ELSE is computed into a register of its own and copied.
Result<uint32_t> compile_case(Gen& gen, const Expr::Case& c, const Mode& mode) {
  auto into = [&](const Expr& e, uint32_t dest) -> Result<void> {
    if (mode.groups == nullptr) return compile_into(gen, e, mode.ctx, dest);
    const uint32_t r = VBK_TRY(compile_in(gen, e, mode));
    gen.emit(Op::Copy{.src = r, .dest = dest});
    return {};
  };
  uint32_t result = gen.reg();
  gen.emit(Op::Null{.dest = result});
  std::optional<uint32_t> operand;
  if (c.operand) operand = VBK_TRY(compile_in(gen, *c.operand, mode));
  std::vector<uint32_t> exits;
  for (const CaseWhen& w : c.whens) {
    uint32_t test = VBK_TRY(compile_in(gen, w.when, mode));
    if (operand) {
      uint32_t eq = gen.reg();
      gen.emit(Op::Bin{.op = vdbe::BinKind::Eq, .a = *operand, .b = test, .dest = eq});
      test = eq;
    }
    uint32_t skip = gen.emit(Op::IfFalse{.reg = test, .target = {}});
    VBK_TRY(into(w.then, result));
    exits.push_back(gen.emit(Op::Goto{.target = {}}));
    gen.patch_here(skip);
  }
  if (c.else_expr) VBK_TRY(into(*c.else_expr, result));
  for (uint32_t at : exits) gen.patch_here(at);
  return result;
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

// The error of an IN form that reached the compiler. Folding replaces every
// IN form it can run; an IN over a UNION that it could not run reads the
// enclosing statement and is refused as such a scalar subquery is, after
// any error of its members' own.
Result<uint32_t> in_form_failure(const Expr& e, const Mode& mode) {
  if (mode.groups != nullptr) return fail(kNotOverGroups);
  const auto* in = e.get_if<Expr::InSubquery>();
  if (in != nullptr && mode.ctx != nullptr && !in->select->unions.empty()) {
    auto compiled = compile_correlated_subquery(*in->select, *mode.ctx);
    if (!compiled) return std::unexpected(std::move(compiled.error()));
    fault("a subquery with UNION members compiled as one sub-program");
  }
  return fail(kInFolded);
}

// A node whose chain link, if it has one, is not followed here (the caller
// walks chains).
Result<uint32_t> compile_node(Gen& gen, const Expr& expr, const Mode& mode) {
  const GroupRegs* groups = mode.groups;
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
      if (groups != nullptr) return fail("column \"" + col.name + "\" must appear in GROUP BY or an aggregate");
      uint32_t d = gen.reg();
      if (mode.ctx == nullptr) return fail("no such column: " + col.name);
      vdbe::ParamSrc src = VBK_TRY(mode.ctx->resolve(col.table, col.name));
      if (src.kind == vdbe::ParamSrc::Kind::Rowid) {
        gen.emit(Op::Rowid{.cur = src.a, .dest = d});
      } else {
        gen.emit(Op::Column{.cur = src.a, .col = src.b, .dest = d});
      }
      return d;
    }
    case Expr::Kind::Unary: {
      const auto& u = expr.as<Expr::Unary>();
      uint32_t a = VBK_TRY(compile_in(gen, *u.expr, mode));
      uint32_t d = gen.reg();
      gen.emit(Op::Un{.op = un_kind(u.op), .a = a, .dest = d});
      return d;
    }
    case Expr::Kind::Cast: {
      const auto& c = expr.as<Expr::Cast>();
      uint32_t a = VBK_TRY(compile_in(gen, *c.expr, mode));
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
      for (const Expr& a : f.args) args.push_back(VBK_TRY(compile_in(gen, a, mode)));
      uint32_t d = gen.reg();
      gen.emit(Op::Func{.kind = *kind, .args = std::move(args), .dest = d});
      return d;
    }
    case Expr::Kind::Aggregate:
      if (groups == nullptr) return fail("aggregate functions are not allowed here");
      for (size_t j = 0; j < groups->aggs.size(); ++j) {
        if (*groups->aggs[j] == expr) return groups->first_result + static_cast<uint32_t>(j);
      }
      fault("aggregate call without a slot");
    case Expr::Kind::Subquery:
      if (groups != nullptr) return fail(kNotOverGroups);
      if (mode.ctx == nullptr) return fail("subquery requires a FROM context");
      return compile_subquery(gen, *expr.as<Expr::Subquery>().select, *mode.ctx);
    case Expr::Kind::InSubquery:
    case Expr::Kind::InList: return in_form_failure(expr, mode);
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
    case Expr::Kind::Case: return compile_case(gen, expr.as<Expr::Case>(), mode);
    case Expr::Kind::Binary:
    case Expr::Kind::IsNull:
    case Expr::Kind::Like: break;
  }
  fault("compile_node on a chain node without its link");
}

// One chain node whose link has already been compiled into `below`.
Result<uint32_t> compile_link(Gen& gen, const Expr& expr, uint32_t below, const Mode& mode) {
  if (const auto* b = expr.get_if<Expr::Binary>()) {
    uint32_t right = VBK_TRY(compile_in(gen, *b->right, mode));
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
    uint32_t pat = VBK_TRY(compile_in(gen, *l->pattern, mode));
    uint32_t d = gen.reg();
    gen.emit(Op::Like{.a = below, .pat = pat, .negated = l->negated, .dest = d});
    return d;
  }
  fault("compile_link on a node that is no chain");
}

Result<uint32_t> compile_in(Gen& gen, const Expr& expr, const Mode& mode) {
  // Down the chain: the nodes above its bottom, topmost first. Over groups
  // the walk also stops at a part equal to a GROUP BY expression. An IN
  // form on the way fails before anything below it compiles, as a
  // recursive walk (which compiles the left operand first) would.
  std::vector<const Expr*> spine;
  const Expr* e = &expr;
  std::optional<uint32_t> key;
  for (;;) {
    if (mode.groups != nullptr && (key = group_index(*e, mode.groups->group_by))) break;
    const Box<Expr>* link = e->chain_link();
    if (link == nullptr) break;
    if (e->is<Expr::InList>() || e->is<Expr::InSubquery>()) {
      return in_form_failure(*e, mode);
    }
    if (!*link) fault("chain node without its left operand");
    spine.push_back(e);
    e = link->get();
  }
  uint32_t r = key ? mode.groups->first_key + *key : VBK_TRY(compile_node(gen, *e, mode));
  for (auto it = spine.rbegin(); it != spine.rend(); ++it) {
    r = VBK_TRY(compile_link(gen, **it, r, mode));
  }
  return r;
}

}  // namespace

Result<uint32_t> compile_expr(Gen& gen, const Expr& expr, const Ctx* ctx) {
  return compile_in(gen, expr, Mode{.ctx = ctx});
}

Result<uint32_t> compile_group_expr(Gen& gen, const Expr& expr, const GroupRegs& groups) {
  return compile_in(gen, expr, Mode{.groups = &groups});
}

std::optional<uint32_t> group_index(const Expr& e, std::span<const Expr> group_by) {
  for (size_t k = 0; k < group_by.size(); ++k) {
    if (group_by[k] == e) return static_cast<uint32_t>(k);
  }
  return std::nullopt;
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
