#pragma once

// The statement shapes that compile_select and compile_expr hand to
// compilers of their own: aggregate queries, joins of two or more tables and
// correlated scalar subqueries.

#include <cstdint>
#include <utility>
#include <vector>

#include "catalog/catalog.h"
#include "compile/gen.h"
#include "compile/names.h"
#include "compile/select.h"
#include "error.h"
#include "sql/ast.h"
#include "vdbe/program.h"

namespace vbk::compile {

// A SELECT that groups or aggregates, whole.
Result<vdbe::Program> compile_aggregate(const SelectStmt& stmt, const Catalog& catalog);

// The access paths and loop of a FROM list of two or more tables. The scopes,
// result items and result registers are set up and every table cursor is
// opened; it emits the rest of the program up to and including the Halt.
Result<void> compile_join(Gen& gen, const SelectStmt& stmt, const Ctx& ctx,
                          const std::vector<ResultItem>& items, uint32_t first_reg);

// A scalar subquery that may refer to the enclosing statement: its program
// and where each of its outer values comes from.
Result<std::pair<vdbe::Program, std::vector<vdbe::ParamSrc>>> compile_correlated_subquery(
    const SelectStmt& select, const Ctx& ctx);

}  // namespace vbk::compile
