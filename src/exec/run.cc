// Program runs: every compiled statement runs on a fresh machine made for
// that one run; a query's rows are then finished (sorted, cut, made
// distinct, counted, offset and limited) as its program says.

#include <utility>

#include "exec/database.h"
#include "vdbe/finish.h"
#include "vdbe/vdbe.h"

namespace vbk {

Result<uint64_t> Database::run_program_dml(const vdbe::Program& program,
                                           std::span<const Value> binds) {
  vdbe::Vm vm(pager_, binds);
  VBK_TRY(vm.run(program));
  // A run that inserted nothing (or only rowid 0) leaves the last one.
  if (vm.last_rowid() != 0) last_insert_rowid_ = vm.last_rowid();
  return vm.changes();
}

Result<std::vector<vdbe::Row>> Database::run_query(const vdbe::Program& program,
                                                   bool calc_found_rows,
                                                   std::span<const Value> binds) {
  vdbe::Vm vm(pager_, binds);
  VBK_TRY(vm.run(program));
  std::vector<vdbe::Row> rows = std::move(vm).into_output();
  const uint64_t found = vdbe::finish_rows(rows, vdbe::finish_spec_of(program));
  if (calc_found_rows) found_rows_ = found;
  return rows;
}

}  // namespace vbk
