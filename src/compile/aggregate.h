#pragma once

// Aggregate queries: the helpers of compile_aggregate (handover.h), which
// rewrite the output expressions over groups and compile them in the group
// walk.

#include <cstdint>
#include <span>
#include <vector>

#include "compile/gen.h"
#include "error.h"
#include "sql/ast.h"

namespace vbk::compile {

// A copy of `e` in which every column outside a GROUP BY expression becomes
// any(column): the group's first value of it. A part equal to a GROUP BY
// expression, an aggregate call and a CASE are copied unchanged.
Expr wrap_bare_columns(const Expr& e, std::span<const Expr> group_by);

// Appends the aggregate calls of `e` that no element of `list` equals, in
// the order met (depth first, left to right). The list points into `e`.
void collect_aggs(const Expr& e, std::vector<const Expr*>& list);

}  // namespace vbk::compile
