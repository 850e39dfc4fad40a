#pragma once

// Limits shared by the compiler, which rejects a statement that would exceed
// them, and the machine, which fails a run that reaches them anyway. Both
// report the same text.

#include <cstdint>

namespace vbk::vdbe {

// How deep correlated sub-programs may nest: the statement's own program is at
// depth 0, its sub-programs at depth 1, theirs at 2. Each level of nesting is
// a child machine running inside its parent's instruction on the same stack,
// so the bound keeps a crafted statement from exhausting that stack.
inline constexpr uint32_t kMaxSubprogramDepth = 64;

// The Error::Exec text for a statement nested deeper than kMaxSubprogramDepth.
inline constexpr const char* kSubprogramDepthMessage =
    "subqueries nested too deeply (at most 64 levels)";

}  // namespace vbk::vdbe
