#include "vdbe/vdbe.h"

namespace vbk::vdbe {

// Correlated sub-programs are not built yet; no compiler emits them.
Result<void> Vm::exec_scalar_sub(const Program&, const Op::ScalarSub&) {
  fault("ScalarSub: not supported yet");
}

}  // namespace vbk::vdbe
