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

// Emits the computation of `e` for the current group of the group walk: a
// GROUP BY expression reads its key register K+k, an aggregate call the
// result register A+j of its slot. The register holding the value.
Result<uint32_t> compile_agg_expr(Gen& gen, const Expr& e, std::span<const Expr> group_by,
                                  std::span<const Expr* const> aggs, uint32_t first_result,
                                  uint32_t first_key);

}  // namespace vbk::compile
