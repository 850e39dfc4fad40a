#pragma once

// Finishing a query's output rows, shared by queries, correlated sub-programs
// and UNION: the machine emits rows in scan order with the ORDER BY key values
// behind the visible columns; finishing sorts them, cuts them to the visible
// columns, drops repeated rows, and applies OFFSET and LIMIT, in that order.

#include <cstdint>
#include <optional>
#include <vector>

#include "record/value.h"

namespace vbk::vdbe {

using Row = std::vector<Value>;

struct FinishSpec {
  // One flag per ORDER BY term (true: DESC); empty: the rows are not sorted.
  // Key i of a row is the value at position width + i.
  std::vector<bool> order_desc;
  uint32_t width = 0;     // rows are cut to this many values
  bool distinct = false;  // keep the first of rows with equal record encodings
  std::optional<int64_t> offset;  // negative skips none
  std::optional<int64_t> limit;   // negative, like 0, keeps none
};

// Finishes `rows` in place. Returns the number of rows after DISTINCT and
// before OFFSET and LIMIT (the found-rows count). The sort is stable and
// survives an inconsistent order (NaN equals every number). A row shorter than
// width plus its keys is an internal fault.
uint64_t finish_rows(std::vector<Row>& rows, const FinishSpec& spec);

struct Program;

// The finishing that a program's fields ask for.
FinishSpec finish_spec_of(const Program& program);

}  // namespace vbk::vdbe
