#include "vdbe/aggregate.h"

#include "vdbe/vdbe.h"

namespace vbk::vdbe {

// Aggregate instructions are not built yet; no compiler emits them.

Result<void> Vm::exec_agg_start(const Op::AggStart&) { fault("AggStart: not supported yet"); }
Result<void> Vm::exec_agg_step(const Op::AggStep&) { fault("AggStep: not supported yet"); }
Result<bool> Vm::exec_agg_rewind(const Op::AggRewind&) { fault("AggRewind: not supported yet"); }
Result<bool> Vm::exec_agg_next(const Op::AggNext&) { fault("AggNext: not supported yet"); }
Result<void> Vm::exec_agg_result(const Op::AggResult&) { fault("AggResult: not supported yet"); }

}  // namespace vbk::vdbe
