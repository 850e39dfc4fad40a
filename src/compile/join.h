#pragma once

// Join planning and the nested loop over the FROM tables, shared by plain
// joins and aggregate queries.
//
// The join order is the FROM order; level i reads through table cursor i.
// Each level after the first picks its access from its own ON condition
// alone: a scan, a rowid lookup or a lookup through a single-column index.
//
// Plans and loop state borrow expressions from the statement, so they live
// only while it does.

#include <cstdint>
#include <functional>
#include <string_view>
#include <vector>

#include "catalog/catalog.h"
#include "compile/gen.h"
#include "compile/names.h"
#include "error.h"
#include "sql/ast.h"

namespace vbk::compile {

struct JoinLevel {
  enum class Kind : uint8_t { Scan, RowidLookup, IndexLookup };
  Kind kind = Kind::Scan;
  uint32_t root = 0;          // IndexLookup: the index's root page
  const Expr* key = nullptr;  // lookups: the other side of the ON equality
};

// Appends both sides of every `=` conjunct of the AND chain, in the order
// written.
void collect_eqs(const Expr& expr, std::vector<std::pair<const Expr*, const Expr*>>& list);

// Whether the expression refers to the level named `scope` reading `table`.
// Aggregate arguments, subqueries and IN lists are not looked into.
bool expr_uses_table(const Expr& expr, std::string_view scope, const TableDef& table);

// The access of one level from its ON condition; never fails, and a
// condition it cannot use leaves the level a scan.
JoinLevel plan_join_level(const Expr* on, const TableDef& table, std::string_view scope,
                          const Catalog& catalog);

// Calls f on each conjunct of the top-level AND chain, left to right.
void each_conjunct(const Expr& expr, const std::function<void(const Expr&)>& f);

// The outermost level at which everything the expression reads is in
// place; a subquery counts as reading every level.
uint32_t expr_deepest_level(const Expr& expr, const std::vector<TableScope>& scopes);

// Whether the expression reads a column of the scope other than its rowid.
// A subquery counts as reading everything.
bool expr_refs_table_nonrowid(const Expr& expr, std::string_view scope, const TableDef& table);

// Whether index lookup level `level` can be answered from its index alone:
// its ON is one equality and nothing else in the statement reads the
// table's row.
bool level_is_index_only(const SelectStmt& stmt, uint32_t level, std::string_view scope,
                         const TableDef& table);

// How the shared loop is shaped for its caller.
struct LoopShape {
  // Aggregate queries: each WHERE conjunct is tested at the outermost level
  // that can decide it, and index-only and anti-join levels are used. Plain
  // joins test the whole WHERE in the innermost level.
  bool aggregate = false;
  // Emit Op::OpenRead for every level (plain joins have opened them).
  bool open_tables = false;
};

// Emits the nested loop: one flag register per LEFT level (taken first),
// the index cursors, the loops with their ON and WHERE tests and NULL-row
// handlers, and `body` at the innermost point. Returns the loop end, the
// address after the outermost level's stepping instruction, where the
// caller continues.
Result<uint32_t> emit_join_loop(Gen& gen, const SelectStmt& stmt, const Ctx& ctx, LoopShape shape,
                                const std::function<Result<void>()>& body);

}  // namespace vbk::compile
