#pragma once

// The SQL parser's entry point: the text of one request becomes its list of
// statements. The grammar itself lives in the Parser class
// (sql/parser_state.h) and the parse_*.cc files beside it.

#include <cstdint>
#include <string_view>
#include <vector>

#include "error.h"
#include "sql/ast.h"

namespace vbk::parser {

// Every statement of `sql`, in text order, or the first error (always
// Error::Parse, positioned at the byte where parsing stopped). Empty
// statements (stray semicolons) are skipped; parameter marks ? are numbered
// from 0 across all statements of the text. Nothing is returned on failure.
//
// Nesting (parentheses, prefix operators, right operands, CASE, calls and
// subqueries) is bounded at kMaxNestingDepth levels; left-deep operator
// chains (a OR b OR ...) are built by a loop and have no bound.
//
// With `param_count`, a successful parse stores there the number of ? marks
// in the whole text.
Result<std::vector<Statement>> parse(std::string_view sql, uint64_t* param_count = nullptr);

inline constexpr int kMaxNestingDepth = 1000;

}  // namespace vbk::parser
