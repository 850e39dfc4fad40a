#pragma once

// The program under construction. Registers and cursor slots are handed out
// by counting from 0 and never given back, so a register names one value for
// the whole run; jumps are emitted with target 0 and patched once their
// destination is known.

#include <cstdint>
#include <vector>

#include "vdbe/program.h"

namespace vbk::compile {

struct Gen {
  std::vector<vdbe::Op> ops;
  std::vector<vdbe::Program> subprograms;
  std::vector<vdbe::StoredKey> stored_keys;
  uint32_t n_regs = 0;
  uint32_t n_cursors = 0;
  uint32_t n_idx_cursors = 0;

  // Appends the instruction; its address.
  uint32_t emit(vdbe::Op op);
  // Sets the jump target of the instruction at `at`. Anything but one of the
  // fifteen patchable jumps, or an address past the end, is a compiler bug.
  void patch(uint32_t at, uint32_t target);
  // Patches `at` to the address of the next instruction to be emitted.
  void patch_here(uint32_t at) { patch(at, here()); }
  uint32_t here() const { return static_cast<uint32_t>(ops.size()); }

  uint32_t reg() { return n_regs++; }
  // `n` consecutive registers; the first of them.
  uint32_t regs(uint32_t n) {
    uint32_t first = n_regs;
    n_regs += n;
    return first;
  }
  uint32_t cursor() { return n_cursors++; }
  uint32_t idx_cursor() { return n_idx_cursors++; }

  // Moves the instructions, sub-programs, stored keys and counts into a
  // Program; the statement compiler fills in the rest.
  vdbe::Program finish() &&;
};

}  // namespace vbk::compile
