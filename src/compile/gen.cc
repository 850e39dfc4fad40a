#include "compile/gen.h"

#include <string>

#include "error.h"

namespace vbk::compile {

uint32_t Gen::emit(vdbe::Op op) {
  ops.push_back(std::move(op));
  return here() - 1;
}

void Gen::patch(uint32_t at, uint32_t target) {
  if (at >= ops.size()) fault("patch past the end of the program: " + std::to_string(at));
  vdbe::Target* t = ops[at].jump_target();
  if (t == nullptr) fault("patch on non-jump op: " + ops[at].debug());
  t->at = target;
}

vdbe::Program Gen::finish() && {
  vdbe::Program p;
  p.ops = std::move(ops);
  p.subprograms = std::move(subprograms);
  p.stored_keys = std::move(stored_keys);
  p.n_regs = n_regs;
  p.n_cursors = n_cursors;
  p.n_idx_cursors = n_idx_cursors;
  return p;
}

}  // namespace vbk::compile
