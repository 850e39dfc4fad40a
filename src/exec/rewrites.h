#pragma once

// The INSERT forms that the compiler does not take (INSERT ... SELECT,
// REPLACE, ON DUPLICATE KEY UPDATE) are carried out by the engine row by row
// through statements it generates (Database::run_insert_rewrite). The pieces
// here build those statements.

#include <span>
#include <string>
#include <string_view>

#include "record/value.h"
#include "sql/ast.h"

namespace vbk::exec {

// `name` as a backtick identifier with every inner backtick doubled, which
// the tokenizer reads back as exactly `name`: generated SQL text carries
// table and column names only so, whatever they hold (keywords, spaces, SQL
// of a crafted schema), and values only as ? marks.
std::string quote_name(std::string_view name);

// A copy of `expr` in which every VALUES(x) call becomes the literal of the
// row's value for insert column x (ASCII case ignored, qualifier ignored);
// any other argument, a column not inserted, gives NULL. Calls are found in
// the operands of unary and binary operators and CAST and in the arguments
// of function calls; everywhere else (CASE, LIKE, IS NULL, IN, aggregates,
// subqueries) they stay and fail as unknown functions when compiled.
Expr subst_values_refs(const Expr& expr, std::span<const std::string> columns,
                       std::span<const Value> row);

}  // namespace vbk::exec
