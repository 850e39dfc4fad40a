// UNION queries. Every member is compiled on its own, and the whole UNION
// (its members, their widths, its ORDER BY and its LIMIT and OFFSET) is
// compiled before any member runs: what compiling finds fails before any
// work, and preparing can check a UNION subquery without running it. The
// members then run one after the other under the caller's one lock, so all
// of them see the same state of the file. Their rows are finished as one
// query's rows are, by the shared finishing step: the statement's ORDER BY
// keys are appended behind each row's visible columns, which is where that
// step reads them.

#include "exec/union.h"

#include <iterator>
#include <utility>
#include <vector>

#include "compile/compile.h"
#include "exec/database.h"
#include "exec/dispatch.h"
#include "util/unicode.h"
#include "vdbe/finish.h"
#include "vdbe/value_ops.h"

namespace vbk {

namespace exec {

int64_t val_to_i64(const Value& v) {
  switch (v.kind()) {
    case Value::Kind::Int:
      return v.as_int();
    case Value::Kind::Real:
      return value_ops::int_from_real(v.as_real());
    case Value::Kind::Text:
      return value_ops::int_from_text(v.as_text()).value_or(0);
    case Value::Kind::Null:
    case Value::Kind::Blob:
      return 0;
  }
  fault("value of unknown kind");
}

Result<size_t> resolve_union_order_col(const Expr& expr, std::span<const std::string> columns) {
  if (const auto* n = expr.get_if<Expr::Integer>()) {
    if (n->value >= 1 && static_cast<uint64_t>(n->value) <= columns.size()) {
      return static_cast<size_t>(n->value - 1);
    }
  } else if (const auto* c = expr.get_if<Expr::Column>()) {
    for (size_t i = 0; i < columns.size(); ++i) {
      if (unicode::ascii_iequals(columns[i], c->name)) return i;
    }
    return std::unexpected(
        Error::Exec("ORDER BY " + c->name + ": no such output column in UNION"));
  }
  return std::unexpected(
      Error::Exec("UNION ORDER BY must reference an output column by name or position"));
}

}  // namespace exec

Result<ExecResult::Rows> Database::run_union(SelectStmt select, std::span<const Value> binds) {
  return run_union_plan(VBK_TRY(compile_union(std::move(select))), binds);
}

Result<Database::UnionPlan> Database::compile_union(SelectStmt select) {
  // The statement's own clauses are the first member; its ORDER BY, LIMIT
  // and OFFSET belong to the whole UNION.
  std::vector<UnionMember> members = std::move(select.unions);
  std::vector<OrderTerm> order_by = std::move(select.order_by);
  std::optional<Expr> limit = std::move(select.limit);
  std::optional<Expr> offset = std::move(select.offset);
  select.unions.clear();
  select.order_by.clear();
  select.limit.reset();
  select.offset.reset();

  // The combined rows are compared and sorted by column position: every
  // member's finished rows must be as wide as its column list.
  auto compile_member = [&](const SelectStmt& member) -> Result<vdbe::Program> {
    vdbe::Program program = VBK_TRY(compile::compile_select(member, catalog_));
    if (program.width != program.columns.size()) {
      fault("query program whose width is not its column count");
    }
    return program;
  };
  UnionPlan plan;
  plan.members.reserve(members.size() + 1);
  plan.members.push_back(VBK_TRY(compile_member(select)));
  const std::vector<std::string>& columns = plan.members[0].columns;
  bool every_member_all = true;
  for (const UnionMember& member : members) {
    vdbe::Program program = VBK_TRY(compile_member(member.select));
    if (program.columns.size() != columns.size()) {
      return std::unexpected(
          Error::Exec("each UNION branch must return the same number of columns"));
    }
    plan.members.push_back(std::move(program));
    every_member_all = every_member_all && member.all;
  }
  plan.finish = vdbe::FinishSpec{.order_desc = {},
                                 .width = static_cast<uint32_t>(columns.size()),
                                 .distinct = !every_member_all,
                                 .offset = std::nullopt,
                                 .limit = std::nullopt};
  for (const OrderTerm& term : order_by) {
    plan.order_keys.push_back(VBK_TRY(exec::resolve_union_order_col(term.expr, columns)));
    plan.finish.order_desc.push_back(term.desc);
  }
  if (offset) plan.offset = VBK_TRY(compile_const_expr(*offset));
  if (limit) plan.limit = VBK_TRY(compile_const_expr(*limit));
  return plan;
}

Result<ExecResult::Rows> Database::run_union_plan(const UnionPlan& plan,
                                                  std::span<const Value> binds) {
  ExecResult::Rows out{plan.members[0].columns, {}};
  for (const vdbe::Program& program : plan.members) {
    std::vector<vdbe::Row> rows = VBK_TRY(run_query(program, false, binds));
    out.rows.insert(out.rows.end(), std::make_move_iterator(rows.begin()),
                    std::make_move_iterator(rows.end()));
  }
  vdbe::FinishSpec spec = plan.finish;
  if (plan.offset) spec.offset = exec::val_to_i64(VBK_TRY(eval_compiled_const(*plan.offset, binds)));
  if (plan.limit) spec.limit = exec::val_to_i64(VBK_TRY(eval_compiled_const(*plan.limit, binds)));
  if (!plan.order_keys.empty()) {
    for (vdbe::Row& row : out.rows) {
      row.reserve(row.size() + plan.order_keys.size());
      for (size_t k : plan.order_keys) row.push_back(row[k]);
    }
  }
  // Rows equal as records are equal on every key, so the stable sort keeps
  // the first of them first, and removing the later ones after sorting
  // leaves what removing them before would.
  (void)vdbe::finish_rows(out.rows, spec);
  return out;
}

Result<std::vector<vdbe::Row>> Database::query_rows(SelectStmt select,
                                                    std::span<const Value> binds) {
  if (!select.unions.empty()) return VBK_TRY(run_union(std::move(select), binds)).rows;
  const vdbe::Program program = VBK_TRY(compile::compile_select(select, catalog_));
  return run_query(program, false, binds);
}

Result<Value> Database::eval_const_expr(const Expr& expr, std::span<const Value> binds) {
  return eval_compiled_const(VBK_TRY(compile_const_expr(expr)), binds);
}

Result<Database::ConstExpr> Database::compile_const_expr(const Expr& expr) {
  switch (expr.kind()) {
    case Expr::Kind::Null:
    case Expr::Kind::Integer:
    case Expr::Kind::Real:
    case Expr::Kind::Text:
      return exec::literal_value(expr);
    case Expr::Kind::Blob:
      return Value::Blob(expr.as<Expr::Blob>().bytes);
    default:
      break;
  }
  SelectStmt select;
  select.items.push_back(SelectItem::Expr(expr));
  return VBK_TRY(compile::compile_select(select, catalog_));
}

Result<Value> Database::eval_compiled_const(const ConstExpr& expr, std::span<const Value> binds) {
  if (const Value* literal = std::get_if<Value>(&expr)) return *literal;
  std::vector<vdbe::Row> rows = VBK_TRY(run_query(std::get<vdbe::Program>(expr), false, binds));
  if (rows.empty() || rows[0].empty()) return Value();
  return std::move(rows[0][0]);
}

}  // namespace vbk
