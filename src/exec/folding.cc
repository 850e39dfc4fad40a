#include "exec/folding.h"

#include <utility>
#include <vector>

#include "compile/compile.h"
#include "compile/subquery.h"
#include "compile/walk.h"
#include "exec/database.h"

namespace vbk {

namespace {

// Visits the nodes of an expression tree, not entering its subqueries'
// statements, until `visit` returns true; then the result is true. The walk
// keeps its own stack, so no shape of tree recurses.
template <typename F>
bool any_in_expr(const Expr& root, F& visit) {
  return !compile::walk_expr(root, [&](const Expr& e) {
    return visit(e) ? compile::Visit::Stop : compile::Visit::Descend;
  });
}

// The same over a SELECT's clauses and UNION members.
template <typename F>
bool any_in_select(const SelectStmt& s, F& visit) {
  if (compile::any_clause_expr(s, [&](const Expr& e) { return any_in_expr(e, visit); })) {
    return true;
  }
  for (const UnionMember& m : s.unions) {
    if (any_in_select(m.select, visit)) return true;
  }
  return false;
}

// The same over a statement's expressions (its SELECT source or SELECT
// included).
template <typename F>
bool any_in_statement(const Statement& stmt, F& visit) {
  auto in = [&](const Expr& e) { return any_in_expr(e, visit); };
  auto in_assignments = [&](const std::vector<Assignment>& list) {
    for (const Assignment& a : list) {
      if (in(a.value)) return true;
    }
    return false;
  };
  switch (stmt.kind()) {
    case Statement::Kind::Select:
      return any_in_select(stmt.as<Statement::Select>().select, visit);
    case Statement::Kind::Insert: {
      const auto& ins = stmt.as<Statement::Insert>();
      if (const auto* sel = ins.source.get_if<InsertSource::Select>()) {
        if (any_in_select(sel->select, visit)) return true;
      } else {
        for (const Expr& v : ins.source.as<InsertSource::Values>().values) {
          if (in(v)) return true;
        }
      }
      if (const auto* up = ins.on_conflict.get_if<OnConflict::Update>()) {
        return in_assignments(up->assignments);
      }
      return false;
    }
    case Statement::Kind::Update: {
      const auto& up = stmt.as<Statement::Update>();
      return in_assignments(up.assignments) || (up.where && in(*up.where));
    }
    case Statement::Kind::Delete: {
      const auto& del = stmt.as<Statement::Delete>();
      return del.where && in(*del.where);
    }
    default:
      return false;
  }
}

bool is_fold_target(const Expr& e) {
  const Expr::Kind k = e.kind();
  return k == Expr::Kind::Subquery || k == Expr::Kind::InSubquery || k == Expr::Kind::InList;
}

// Any aggregate call of `e` outside its subqueries. Unlike the compiler's
// expr_has_agg it looks inside CASE and IN forms too: there an aggregate is
// refused when the IN is kept, and the fold must not let it pass.
bool holds_aggregate(const Expr& e) {
  return !compile::walk_expr(e, [](const Expr& n) {
    return n.is<Expr::Aggregate>() ? compile::Visit::Stop : compile::Visit::Descend;
  });
}

// What x [NOT] IN () is: 0 (IN) or 1 (NOT IN), whatever x is. An x that
// holds an aggregate stays, as (x IS NULL) * 0 [+ 1]: without it an
// aggregate query could lose its one group (one row per table row instead)
// and an aggregate where none is allowed would pass unnoticed. No CASE
// around it: the test for an aggregate query does not look inside CASE.
Expr empty_in(Expr x, bool negated) {
  if (!holds_aggregate(x)) return Expr::Integer{negated ? 1 : 0};
  Expr zero = Expr::Binary{BinaryOp::Mul, Expr(Expr::IsNull{std::move(x), false}), Expr::Integer{0}};
  if (!negated) return zero;
  return Expr::Binary{BinaryOp::Add, std::move(zero), Expr::Integer{1}};
}

// The chain that replaces x [NOT] IN (r1, r2, ...): x = r1 OR x = r2 ...,
// or x <> r1 AND x <> r2 ..., nested to the left; empty_in without a value.
Expr in_chain(Expr x, std::vector<Expr> rhs, bool negated) {
  if (rhs.empty()) return empty_in(std::move(x), negated);
  const BinaryOp cmp = negated ? BinaryOp::Ne : BinaryOp::Eq;
  const BinaryOp join = negated ? BinaryOp::And : BinaryOp::Or;
  auto comparison = [&](size_t i) {
    // The last comparison takes x itself; the others a copy each.
    Expr left = i + 1 == rhs.size() ? std::move(x) : Expr(x);
    return Expr(Expr::Binary{cmp, std::move(left), std::move(rhs[i])});
  };
  Expr chain = comparison(0);
  for (size_t i = 1; i < rhs.size(); ++i) {
    Expr next = Expr::Binary{join, std::move(chain), comparison(i)};
    chain = std::move(next);
  }
  return chain;
}

}  // namespace

namespace exec {

bool select_has_subquery(const SelectStmt& select) {
  auto visit = [](const Expr& e) { return is_fold_target(e); };
  return any_in_select(select, visit);
}

bool stmt_has_subquery(const Statement& stmt) {
  switch (stmt.kind()) {
    case Statement::Kind::Select:
      return true;
    case Statement::Kind::Insert:
      if (stmt.as<Statement::Insert>().source.is<InsertSource::Select>()) return true;
      [[fallthrough]];
    case Statement::Kind::Update:
    case Statement::Kind::Delete: {
      auto visit = [](const Expr& e) { return is_fold_target(e); };
      return any_in_statement(stmt, visit);
    }
    default:
      return false;
  }
}

bool holds_subquery(const Statement& stmt) {
  auto visit = [](const Expr& e) { return compile::subquery_select(e) != nullptr; };
  return any_in_statement(stmt, visit);
}

Expr value_to_expr(const Value& v) {
  switch (v.kind()) {
    case Value::Kind::Null:
      return Expr::Null{};
    case Value::Kind::Int:
      return Expr::Integer{v.as_int()};
    case Value::Kind::Real:
      return Expr::Real{v.as_real()};
    case Value::Kind::Text:
      return Expr::Text{v.as_text()};
    case Value::Kind::Blob:
      return Expr::Blob{v.as_blob()};
  }
  fault("value of unknown kind");
}

}  // namespace exec

Result<Statement> Database::fold_subqueries(Statement stmt, const exec::FoldMode& mode) {
  auto fold_assignments = [&](std::vector<Assignment>& list) -> Result<void> {
    for (Assignment& a : list) VBK_TRY(fold_expr(a.value, mode));
    return {};
  };
  switch (stmt.kind()) {
    case Statement::Kind::Select:
      VBK_TRY(fold_select(stmt.as<Statement::Select>().select, mode));
      break;
    case Statement::Kind::Insert: {
      auto& ins = stmt.as<Statement::Insert>();
      if (auto* sel = ins.source.get_if<InsertSource::Select>()) {
        VBK_TRY(fold_select(sel->select, mode));
      } else {
        for (Expr& v : ins.source.as<InsertSource::Values>().values) VBK_TRY(fold_expr(v, mode));
      }
      if (auto* up = ins.on_conflict.get_if<OnConflict::Update>()) {
        VBK_TRY(fold_assignments(up->assignments));
      }
      break;
    }
    case Statement::Kind::Update: {
      auto& up = stmt.as<Statement::Update>();
      VBK_TRY(fold_assignments(up.assignments));
      VBK_TRY(fold_opt(up.where, mode));
      break;
    }
    case Statement::Kind::Delete:
      VBK_TRY(fold_opt(stmt.as<Statement::Delete>().where, mode));
      break;
    default:
      break;
  }
  return stmt;
}

Result<void> Database::fold_select(SelectStmt& s, const exec::FoldMode& mode) {
  for (SelectItem& item : s.items) {
    if (item.kind == SelectItem::Kind::Expr) VBK_TRY(fold_expr(item.expr, mode));
  }
  for (JoinedTable& j : s.from) VBK_TRY(fold_opt(j.on, mode));
  VBK_TRY(fold_opt(s.where, mode));
  for (Expr& g : s.group_by) VBK_TRY(fold_expr(g, mode));
  VBK_TRY(fold_opt(s.having, mode));
  for (OrderTerm& o : s.order_by) VBK_TRY(fold_expr(o.expr, mode));
  VBK_TRY(fold_opt(s.limit, mode));
  VBK_TRY(fold_opt(s.offset, mode));
  for (UnionMember& m : s.unions) VBK_TRY(fold_select(m.select, mode));
  return {};
}

Result<void> Database::fold_opt(std::optional<Expr>& expr, const exec::FoldMode& mode) {
  if (expr) VBK_TRY(fold_expr(*expr, mode));
  return {};
}

Result<void> Database::fold_expr(Expr& root, const exec::FoldMode& mode) {
  auto link_below = [](Expr& e) -> Expr* {
    Box<Expr>* link = e.chain_link();
    return link != nullptr && *link ? link->get() : nullptr;
  };
  if (link_below(root) == nullptr) return fold_node(root, mode);
  // A chain: its nodes are folded from the bottom up, so that every node's
  // left operand is folded before the node itself (an IN form copies it).
  std::vector<Expr*> spine;
  for (Expr* e = &root; e != nullptr; e = link_below(*e)) spine.push_back(e);
  for (auto it = spine.rbegin(); it != spine.rend(); ++it) VBK_TRY(fold_node(**it, mode));
  return {};
}

Result<void> Database::fold_node(Expr& n, const exec::FoldMode& mode) {
  auto child = [&](Box<Expr>& c) -> Result<void> {
    if (c) VBK_TRY(fold_expr(*c, mode));
    return {};
  };
  switch (n.kind()) {
    case Expr::Kind::Unary:
      return child(n.as<Expr::Unary>().expr);
    case Expr::Kind::Binary:
      return child(n.as<Expr::Binary>().right);
    case Expr::Kind::Aggregate:
      return child(n.as<Expr::Aggregate>().arg);
    case Expr::Kind::Function:
      for (Expr& a : n.as<Expr::Function>().args) VBK_TRY(fold_expr(a, mode));
      return {};
    case Expr::Kind::Cast:
      return child(n.as<Expr::Cast>().expr);
    case Expr::Kind::Like:
      return child(n.as<Expr::Like>().pattern);
    case Expr::Kind::Case: {
      auto& c = n.as<Expr::Case>();
      VBK_TRY(child(c.operand));
      for (CaseWhen& w : c.whens) {
        VBK_TRY(fold_expr(w.when, mode));
        VBK_TRY(fold_expr(w.then, mode));
      }
      return child(c.else_expr);
    }
    case Expr::Kind::Subquery: {
      auto& q = n.as<Expr::Subquery>();
      if (!q.select) fault("subquery without a SELECT");
      const std::optional<std::vector<Value>> values = VBK_TRY(eval_subquery(*q.select, true, mode));
      if (values) n = exec::value_to_expr(values->empty() ? Value() : (*values)[0]);
      return {};
    }
    case Expr::Kind::InSubquery: {
      auto& q = n.as<Expr::InSubquery>();
      if (!q.select || !q.expr) fault("IN subquery without its operands");
      std::optional<std::vector<Value>> values = VBK_TRY(eval_subquery(*q.select, false, mode));
      if (!values) return {};  // left for the compiler, x folded
      std::vector<Expr> rhs;
      rhs.reserve(values->size());
      for (const Value& v : *values) rhs.push_back(exec::value_to_expr(v));
      Expr x = std::move(*q.expr);
      const bool negated = q.negated;
      Expr chain = in_chain(std::move(x), std::move(rhs), negated);
      n = std::move(chain);
      return {};
    }
    case Expr::Kind::InList: {
      auto& l = n.as<Expr::InList>();
      if (!l.expr) fault("IN list without its operand");
      for (Expr& item : l.list) VBK_TRY(fold_expr(item, mode));
      Expr x = std::move(*l.expr);
      std::vector<Expr> rhs = std::move(l.list);
      const bool negated = l.negated;
      Expr chain = in_chain(std::move(x), std::move(rhs), negated);
      n = std::move(chain);
      return {};
    }
    default:
      // Literals, columns, parameters; IsNull holds only its chain link.
      return {};
  }
}

namespace {

// The first column of a subquery's rows (only the first row's with
// `first_only`); NULL for a row without columns.
std::vector<Value> first_column(std::vector<vdbe::Row>& rows, bool first_only) {
  std::vector<Value> values;
  values.reserve(first_only ? 1 : rows.size());
  for (vdbe::Row& row : rows) {
    values.push_back(row.empty() ? Value() : std::move(row[0]));
    if (first_only) break;
  }
  return values;
}

// What a subquery that compiled is taken to give when folding puts
// stand-ins in place of values (see FoldMode): 1 for a scalar subquery, no
// value for an IN subquery.
std::vector<Value> stand_in(bool first_only) {
  std::vector<Value> values;
  if (first_only) values.push_back(Value::Int(1));
  return values;
}

}  // namespace

Result<void> Database::fold_nested(SelectStmt& select, uint32_t cost,
                                   const exec::FoldMode& mode) {
  if (fold_cost_ + cost > kMaxFoldCost) {
    return std::unexpected(Error::Exec("subqueries nested too deeply"));
  }
  fold_cost_ += cost;
  Result<void> folded = fold_select(select, mode);
  fold_cost_ -= cost;
  return folded;
}

Result<std::optional<std::vector<Value>>> Database::eval_subquery(SelectStmt& select,
                                                                  bool first_only,
                                                                  const exec::FoldMode& mode) {
  if (!select.unions.empty()) return eval_union_subquery(select, first_only, mode);
  // Folded in place, also when it then cannot run on its own: what it holds
  // that can run is run now, and the compiler gets the rest. (A copy kept
  // as written would cost, for deeply nested subqueries, a recursion per
  // level on top of this one.)
  VBK_TRY(fold_nested(select, kPlainLevelCost, mode));
  Result<vdbe::Program> program = compile::compile_select(select, catalog_);
  if (!program) return std::nullopt;
  if (mode.stand_ins) return stand_in(first_only);
  Result<std::vector<vdbe::Row>> rows = run_query(*program, false, mode.binds);
  if (!rows) return std::nullopt;
  return first_column(*rows, first_only);
}

Result<std::optional<std::vector<Value>>> Database::eval_union_subquery(
    SelectStmt& select, bool first_only, const exec::FoldMode& mode) {
  // Neither the compiler nor a sub-program reads UNION members: such a
  // subquery runs as a whole UNION (the node is then replaced by its
  // result), and one that cannot fails the statement rather than lose its
  // members. One that reads the enclosing statement is left to the
  // compiler, which knows that statement's names: it refuses the subquery,
  // or reports the name that the statement does not have either.
  // With stand-ins it is compiled as a whole UNION and not run, so that
  // what compiling finds fails here as it would at a run.
  VBK_TRY(fold_nested(select, kUnionLevelCost, mode));
  const bool reads_outside = compile::select_refers_outside(select);
  auto values = [&](SelectStmt whole) -> Result<std::vector<Value>> {
    const UnionPlan plan = VBK_TRY(compile_union(std::move(whole)));
    if (mode.stand_ins) return stand_in(first_only);
    ExecResult::Rows result = VBK_TRY(run_union_plan(plan, mode.binds));
    return first_column(result.rows, first_only);
  };
  // A copy for the one the compiler may still need.
  Result<std::vector<Value>> result = values(reads_outside ? SelectStmt(select) : std::move(select));
  if (!result) {
    if (reads_outside) return std::nullopt;
    return std::unexpected(std::move(result.error()));
  }
  return std::move(*result);
}

}  // namespace vbk
