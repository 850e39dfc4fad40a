#pragma once

#include <compare>

#include "record/value.h"

namespace vbk::compare {

// The order of values for comparisons, MIN, MAX, ORDER BY and sorting.
//
// Ranks first: Null < numbers (Int and Real together) < Text < Blob. Two Ints
// compare exactly. An Int against a Real, or two Reals, compare as doubles
// (the Int rounded to the nearest double, ties to even); a NaN on either side
// gives equivalent, and -0.0 is equivalent to 0.0. Texts and blobs compare
// their bytes as unsigned, a proper prefix first: no collation, no case
// folding.
//
// This is NOT a strict weak order, so never hand it to std::sort or an
// ordered container:
//  - NaN is equivalent to every number, while those numbers differ among
//    themselves (NaN ~ 1, NaN ~ 2, 1 < 2);
//  - past 2^53 equivalence is not transitive: Int 2^53 + 1 ~ Real 2^53 ~
//    Int 2^53, while Int 2^53 < Int 2^53 + 1.
// Sorts must only compare and move within bounds and must finish whatever the
// answers are.
//
// Never fails, allocates nothing, only reads its arguments.
std::weak_ordering cmp_value(const Value& a, const Value& b);

}  // namespace vbk::compare
