#pragma once

// Correlated scalar subqueries: the rewrite that turns every reference to
// the enclosing statement into a numbered parameter slot (Expr::OuterParam)
// and records where each slot's value comes from. compile_correlated_subquery
// (handover.h) compiles the rewritten copy as a statement of its own.

#include <cstdint>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "compile/names.h"
#include "compile/walk.h"
#include "error.h"
#include "sql/ast.h"
#include "vdbe/program.h"

namespace vbk::compile {

// A correlated subquery runs as one sub-program, which reads no UNION
// member.
inline constexpr const char* kCorrelatedUnion = "a correlated subquery cannot have UNION members";

// Slot keys: "{qualifier}.{column}" lower-cased for a column of the
// enclosing statement, "$p{n}" for a slot the enclosing statement itself
// received. Equal keys share one slot.
using SlotKeys = std::unordered_map<std::string, uint32_t>;

// Appends the scope names of the SELECT's own FROM entries to `names`: with
// the names of the SELECTs around it inside a subquery, they are what a
// qualifier there may name before it refers to the enclosing statement.
void append_from_names(const SelectStmt& select, std::vector<std::string>& names);

// Whether a column reference met inside a subquery refers to the enclosing
// statement: only a qualified one does, whose qualifier names none of
// `inner`, the scope names of its SELECT and of those around it inside the
// subquery. An unqualified name always belongs to the subquery's own tables.
bool refers_outside(const Expr::Column& col, const std::vector<std::string>& inner);

// Calls outside(column) on each column reference of the subquery `select`,
// its UNION members and the subqueries nested in either at any depth, that
// refers outside it (refers_outside, with the scope names of the SELECTs
// around the reference inside `select`), until it returns true; then the
// result is true. The walk keeps its own stack: no nesting recurses.
template <typename F>
bool any_outer_ref(const SelectStmt& select, F&& outside) {
  // A UNION member stands beside its first member: it sees the names
  // around both, not the first member's own.
  std::vector<std::pair<const SelectStmt*, std::vector<std::string>>> todo;
  todo.emplace_back(&select, std::vector<std::string>{});
  while (!todo.empty()) {
    auto [s, inner] = std::move(todo.back());
    todo.pop_back();
    for (const UnionMember& m : s->unions) todo.emplace_back(&m.select, inner);
    append_from_names(*s, inner);
    const bool found = any_clause_expr(*s, [&](const Expr& root) {
      return !walk_expr(root, [&](const Expr& e) {
        if (const auto* col = e.get_if<Expr::Column>()) {
          return refers_outside(*col, inner) && outside(*col) ? Visit::Stop : Visit::Skip;
        }
        if (const SelectStmt* nested = subquery_select(e)) todo.emplace_back(nested, inner);
        return Visit::Descend;
      });
    });
    if (found) return true;
  }
  return false;
}

// Whether the subquery reads a statement around it: whether any column
// reference in it refers outside it (any_outer_ref).
bool select_refers_outside(const SelectStmt& select);

// The slot of `key`: an existing one, or a new one (numbered by the length
// of `params`) whose value comes from `src`.
uint32_t intern(SlotKeys& keys, std::vector<vdbe::ParamSrc>& params, std::string key,
                vdbe::ParamSrc src);

// A rewritten copy of the SELECT. `inner` holds the scope names of the
// SELECTs around it inside the subquery; a qualifier that names none of
// them (nor one of this SELECT's own FROM entries) refers to `ctx`.
Result<SelectStmt> subst_select(const SelectStmt& select, const std::vector<std::string>& inner,
                                const Ctx& ctx, std::vector<vdbe::ParamSrc>& params,
                                SlotKeys& keys);

// A rewritten copy of the expression, as above.
Result<Expr> subst_expr(const Expr& expr, const std::vector<std::string>& inner, const Ctx& ctx,
                        std::vector<vdbe::ParamSrc>& params, SlotKeys& keys);

// How many sub-program levels the subquery makes: 1, plus the deepest
// nesting of subqueries inside it. Stops counting past `limit`.
uint32_t subquery_depth(const SelectStmt& select, uint32_t limit);

}  // namespace vbk::compile
