#pragma once

// Expression compilation and the small expression helpers every statement
// compiler shares.
//
// Left-deep operator chains (a OR b OR ..., 1+1+..., the comparison chains
// the engine folds IN lists into) have no length bound, so every walker here
// follows Expr::chain_link() with a loop; only the other children, whose
// depth the parser bounds, are followed by recursion.

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "catalog/catalog.h"
#include "compile/gen.h"
#include "compile/names.h"
#include "error.h"
#include "sql/ast.h"

namespace vbk::compile {

// Emits the instructions that compute `expr`; the register holding its value.
// `ctx` is null where no table is in scope (a column reference then fails).
// Every node gets a fresh register; nothing is folded and AND / OR evaluate
// both sides.
Result<uint32_t> compile_expr(Gen& gen, const Expr& expr, const Ctx* ctx);

// The same, with the value left in `dest`. NULL, integer, real and text
// literals load straight into it; anything else is computed and copied.
Result<void> compile_into(Gen& gen, const Expr& expr, const Ctx* ctx, uint32_t dest);

// What expressions over the groups of an aggregate query read: a part equal
// to GROUP BY expression k its key register first_key + k, aggregate call j
// (of `aggs`) its result register first_result + j. A bare column, a
// subquery or an IN form is refused there.
struct GroupRegs {
  std::span<const Expr> group_by;
  std::span<const Expr* const> aggs;
  uint32_t first_result = 0;
  uint32_t first_key = 0;
};

// The position of `e` among the GROUP BY expressions.
std::optional<uint32_t> group_index(const Expr& e, std::span<const Expr> group_by);

// compile_expr for the current group of an aggregate query's group walk.
Result<uint32_t> compile_group_expr(Gen& gen, const Expr& expr, const GroupRegs& groups);

// Built from literals only. Parameters, columns and subqueries are not
// constant, so a `?` never drives a seek.
bool is_const(const Expr& expr);

// The default name of a result column: the column's name, "count(*)",
// "max(b)", ..., or "expr".
std::string expr_name(const Expr& expr);

// The value of a LIMIT or OFFSET clause: only an integer literal is accepted.
Result<std::optional<int64_t>> const_limit(const std::optional<Expr>& expr);

// A column reference naming the table's rowid: "rowid" in any ASCII case, or
// the rowid alias column. The qualifier is not looked at.
bool is_rowid_ref(const Expr& expr, const TableDef& table);

// Whether an aggregate call appears inside operators, IS NULL, CAST, LIKE or
// function arguments (not inside CASE, subqueries or IN forms).
bool expr_has_agg(const Expr& expr);

// An integer literal or the negation of one: the only start keys a rowid
// seek takes, since anything else may not be an integer at run time.
bool is_integer_literal(const Expr& expr);

// Calls f on every conjunct of an AND chain, in the order written, however
// the ANDs nest.
template <typename F>
void for_each_conjunct(const Expr& expr, F&& f) {
  std::vector<const Expr*> rights;
  const Expr* e = &expr;
  for (;;) {
    const auto* b = e->get_if<Expr::Binary>();
    if (b == nullptr || b->op != BinaryOp::And) break;
    rights.push_back(b->right.get());
    e = b->left.get();
  }
  f(*e);
  for (auto it = rights.rbegin(); it != rights.rend(); ++it) for_each_conjunct(**it, f);
}

}  // namespace vbk::compile
