#pragma once

// The aggregate groups of one run of the machine and the walk over them.

#include "vdbe/program.h"

namespace vbk::vdbe {

// Per-run aggregate state, emptied when a run starts.
struct AggState {
  // Forgets every group; `program` is the program about to run.
  void reset(const Program& program) { (void)program; }
};

}  // namespace vbk::vdbe
