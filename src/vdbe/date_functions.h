#pragma once

// The date and time functions YEAR, MONTH, DAY, HOUR, MINUTE, SECOND, WEEK,
// DAYOFWEEK and DAYOFYEAR: one lenient parse of a text "Y-M-D[ h:m:s]" (or
// with "T" between date and time) into six numbers, nothing range-checked.

#include "record/value.h"
#include "vdbe/kinds.h"

namespace vbk::vdbe {

// The part `kind` (one of the nine date kinds) of the first argument, or NULL
// when it is missing, NULL or holds no date. `x` may be nullptr.
Value date_part(ScalarKind kind, const Value* x);

}  // namespace vbk::vdbe
