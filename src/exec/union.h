#pragma once

// UNION queries: the compiler translates one SELECT without its members, and
// the engine composes the members' rows (Database::run_union). The two
// readings here serve it and the INSERT rewrites.

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "error.h"
#include "record/value.h"
#include "sql/ast.h"

namespace vbk::exec {

// A value read as a row count: an Int itself; a Real truncated toward zero
// and saturated at the ends of the 64-bit range (NaN 0); a Text trimmed of
// white space when it is an optional sign and decimal digits that fit 64
// bits, else 0; NULL and blobs 0. Never fails.
int64_t val_to_i64(const Value& v);

// The output column that an ORDER BY term of a UNION names: a position
// 1..columns.size(), or a column reference matched by its name (qualifier
// ignored, ASCII case ignored, first match).
Result<size_t> resolve_union_order_col(const Expr& expr, std::span<const std::string> columns);

}  // namespace vbk::exec
