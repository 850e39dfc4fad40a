// Compilers that are not built yet: these statement shapes are refused at
// compile time with a plain error rather than run wrongly.

#include "compile/handover.h"

namespace vbk::compile {

Result<vdbe::Program> compile_aggregate(const SelectStmt&, const Catalog&) {
  return std::unexpected(Error::Exec("aggregate queries are not supported yet"));
}

Result<void> compile_join(Gen&, const SelectStmt&, const Ctx&, const std::vector<ResultItem>&,
                          uint32_t) {
  return std::unexpected(Error::Exec("queries over more than one table are not supported yet"));
}

Result<std::pair<vdbe::Program, std::vector<vdbe::ParamSrc>>> compile_correlated_subquery(
    const SelectStmt&, const Ctx&) {
  return std::unexpected(Error::Exec("correlated subqueries are not supported yet"));
}

}  // namespace vbk::compile
