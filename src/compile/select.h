#pragma once

// SELECT compilation: the pieces shared by the single-table access paths,
// the join loop and data-changing statements (scan start, projection) and the
// access-path choice of one table.
//
// Plans read constants straight out of the statement: the maps and ranges
// below point into it and live only while it does.

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "catalog/catalog.h"
#include "compile/gen.h"
#include "compile/names.h"
#include "error.h"
#include "sql/ast.h"

namespace vbk::compile {

// One visible result column. A `*` expansion owns the column reference it
// makes; an item written in the select list points at its expression.
struct ResultItem {
  std::string name;
  const Expr* ref = nullptr;
  Expr own;
  const Expr& expr() const { return ref != nullptr ? *ref : own; }
};

// Lower-cased column name -> the constant of the last `column = constant`
// conjunct on that name.
using EqMap = std::map<std::string, const Expr*, std::less<>>;

// (lower-cased column name, operator, constant), the operator mirrored when
// the column stood on the right, in the order the conjuncts are written.
struct Cmp {
  std::string column;
  BinaryOp op = BinaryOp::Lt;
  const Expr* value = nullptr;
};

struct Bound {
  const Expr* value = nullptr;
  bool inclusive = false;
};

struct IndexRange {
  std::optional<Bound> lower;
  std::optional<Bound> upper;
  uint32_t root = 0;
};

// One scope per FROM entry, in FROM order, each with the next table cursor.
Result<void> add_scopes(Gen& gen, const SelectStmt& stmt, Ctx& ctx);

// The select list with `*` and `t.*` expanded into the columns of their
// FROM entries (qualified by the entry's alias or table name as written);
// the scopes are those of add_scopes.
Result<std::vector<ResultItem>> result_items(const SelectStmt& stmt, const Ctx& ctx);

void collect_eq(const Expr& expr, EqMap& map);
void collect_cmp(const Expr& expr, std::vector<Cmp>& list);

// The first index of the table, in creation order, whose first column has a
// `<`, `<=`, `>` or `>=` comparison with a constant. A column declared with
// the name rowid is never taken for an index column: that name means the
// rowid.
std::optional<IndexRange> choose_index_range(const Expr* where, std::string_view table,
                                             const Catalog& catalog);

// The constant of the first `rowid > c` or `rowid >= c` conjunct (or one on
// the rowid alias column) whose c is an integer literal or its negation.
const Expr* rowid_lower_bound(const Expr* where, const TableDef& table);

// SeekScan from `start` when there is one, else Rewind; the address of that
// instruction, whose empty target the caller patches.
Result<uint32_t> emit_scan_start(Gen& gen, uint32_t cursor, const Expr* start);

// Computes every result item and then every ORDER BY key into the block of
// result registers starting at `first`.
Result<void> emit_projection(Gen& gen, const std::vector<ResultItem>& items,
                             const std::vector<OrderTerm>& order_by, uint32_t first,
                             const Ctx& ctx);

}  // namespace vbk::compile
