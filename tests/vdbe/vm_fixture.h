#pragma once

// A database in a temporary file, inside a write transaction, for running
// hand-built programs on the machine.

#include <cstdint>
#include <span>
#include <utility>
#include <vector>

#include "btree/btree.h"
#include "btree/cursor.h"
#include "pager/pager.h"
#include "record/record.h"
#include "support/must.h"
#include "support/temp_dir.h"
#include "support/values.h"
#include "vdbe/program.h"
#include "vdbe/vdbe.h"
#include "vfs/os.h"

namespace vbk::testing {

class VmFixture {
 public:
  VmFixture() : pager_(must(Pager::create(OsVfs::instance(), dir_.file("t.db"), 4096))) {
    must(pager_.begin());
  }

  Pager& pager() { return pager_; }

  // A new table holding `rows` as records, with rowids 1, 2, ...; its root.
  uint32_t table(const std::vector<std::vector<Value>>& rows) {
    const BTree tree = must(BTree::create(pager_));
    for (size_t i = 0; i < rows.size(); ++i) {
      must(tree.insert(static_cast<int64_t>(i + 1), record::encode_record(rows[i])));
    }
    return tree.root();
  }

  // The number of rows stored in the table at `root`.
  uint64_t count(uint32_t root) { return must(BTree(pager_, root).count_subtree(root)); }

  // Runs `program` on a fresh machine; its output rows as they were emitted.
  Result<std::vector<vdbe::Row>> run(const vdbe::Program& program, std::span<const Value> binds = {}) {
    vdbe::Vm vm(pager_, binds);
    VBK_TRY(vm.run(program));
    return std::move(vm).into_output();
  }

 private:
  TempDir dir_;
  Pager pager_;
};

// A program of `ops` with room for `n_regs` registers and `n_cursors` table
// slots; output rows of `width` columns, not sorted.
inline vdbe::Program program_of(std::vector<vdbe::Op> ops, uint32_t n_regs, uint32_t n_cursors,
                                uint32_t width) {
  vdbe::Program p;
  p.ops = std::move(ops);
  p.n_regs = n_regs;
  p.n_cursors = n_cursors;
  p.width = width;
  return p;
}

}  // namespace vbk::testing
