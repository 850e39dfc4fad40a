#pragma once

// The INSERT forms that the compiler does not take (INSERT ... SELECT,
// REPLACE, ON DUPLICATE KEY UPDATE) are carried out by the engine row by row
// through statements it generates (Database::run_insert_rewrite). The pieces
// here build those statements.

#include <span>
#include <string>
#include <string_view>

#include "catalog/catalog.h"
#include "error.h"
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
// a column of the table that is not inserted, or an argument that is no
// column reference, gives NULL. A name that is no column of `table` (nor
// rowid, which names the rowid wherever it stands) is Exec "no such column:
// NAME", as it is outside VALUES; with an empty row the call only checks the
// names. Calls are found in the operands of unary and binary operators and
// CAST and in the arguments of function calls; everywhere else (CASE, LIKE,
// IS NULL, IN, aggregates, subqueries) they stay and fail as unknown
// functions when compiled.
Result<Expr> subst_values_refs(const Expr& expr, const TableDef& table, std::span<const std::string> columns,
                               std::span<const Value> row);

}  // namespace vbk::exec
