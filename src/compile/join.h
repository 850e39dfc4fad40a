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
