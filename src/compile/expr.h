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

// The instructions of a CASE, shared by plain and aggregate expressions: a
// result register set to NULL, the operand, then per WHEN its test (compared
// with the operand when there is one), a skip, the THEN into the result and a
// jump to the end; the ELSE into the result last. `child(e)` compiles a
// sub-expression into a register of its own; `into(e, dest)` leaves its value
// in dest.
template <typename Child, typename Into>
Result<uint32_t> emit_case(Gen& gen, const Expr::Case& c, Child&& child, Into&& into) {
  uint32_t result = gen.reg();
  gen.emit(vdbe::Op::Null{.dest = result});
  std::optional<uint32_t> operand;
  if (c.operand) operand = VBK_TRY(child(*c.operand));
  std::vector<uint32_t> exits;
  for (const CaseWhen& w : c.whens) {
    uint32_t test = VBK_TRY(child(w.when));
    if (operand) {
      uint32_t eq = gen.reg();
      gen.emit(vdbe::Op::Bin{.op = vdbe::BinKind::Eq, .a = *operand, .b = test, .dest = eq});
      test = eq;
    }
    uint32_t skip = gen.emit(vdbe::Op::IfFalse{.reg = test, .target = {}});
    VBK_TRY(into(w.then, result));
    exits.push_back(gen.emit(vdbe::Op::Goto{.target = {}}));
    gen.patch_here(skip);
  }
  if (c.else_expr) VBK_TRY(into(*c.else_expr, result));
  for (uint32_t at : exits) gen.patch_here(at);
  return result;
}

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
