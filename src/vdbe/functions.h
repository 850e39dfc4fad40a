#pragma once

// The built-in scalar functions and the value-level dispatchers the machine's
// instructions call. None of them fails.

#include <span>

#include "record/value.h"
#include "vdbe/kinds.h"

namespace vbk::vdbe {

// a op b, for Op::Bin.
Value apply_bin(BinKind op, const Value& a, const Value& b);

// A value as a float: Int converted, Real itself, Text by its whole reading
// (0.0 when it is none), NULL and Blob 0.0.
double to_number(const Value& v);

// The function of `kind` applied to the arguments, in order. The arguments are
// borrowed (the machine passes pointers to its registers, which stay unchanged
// for the call).
Value eval_scalar(ScalarKind kind, std::span<const Value* const> args);

}  // namespace vbk::vdbe
