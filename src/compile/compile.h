#pragma once

// The query compiler's entry points: one SELECT (without UNION), one INSERT ...
// VALUES (plain or IGNORE), UPDATE or DELETE becomes a register program.
// Compilation is a pure function of the statement and the schema: no I/O, no
// lock, nothing kept between calls; the first error ends it and is always an
// Error::Exec. The program copies every name and root page it needs, so it
// outlives the Catalog's definitions.

#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "catalog/catalog.h"
#include "error.h"
#include "sql/ast.h"
#include "vdbe/program.h"

namespace vbk::compile {

Result<vdbe::Program> compile_select(const SelectStmt& stmt, const Catalog& catalog);

// `values` holds every row's expressions one row after another, `width` per
// row (the fields of InsertSource::Values).
Result<vdbe::Program> compile_insert(std::string_view table,
                                     const std::optional<std::vector<std::string>>& columns,
                                     std::span<const Expr> values, uint64_t width, bool or_ignore,
                                     const Catalog& catalog);

Result<vdbe::Program> compile_update(std::string_view table,
                                     std::span<const Assignment> assignments, const Expr* where,
                                     const Catalog& catalog);

Result<vdbe::Program> compile_delete(std::string_view table, const Expr* where,
                                     const Catalog& catalog);

}  // namespace vbk::compile
