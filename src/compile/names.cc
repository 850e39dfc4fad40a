#include "compile/names.h"

#include "compile/expr.h"
#include "util/unicode.h"

namespace vbk::compile {

std::string scope_name(std::string_view alias_or_table) {
  std::string out;
  unicode::append_lower(out, alias_or_table);
  return out;
}

bool is_rowid_name(std::string_view name) { return unicode::ascii_iequals(name, "rowid"); }

bool names_table_rowid(std::string_view name, const TableDef& table) {
  return is_rowid_name(name) || (table.rowid_alias && table.column_index(name) == table.rowid_alias);
}

bool qualifier_matches(std::string_view scope, std::string_view qualifier) {
  return scope_name(qualifier) == scope;
}

bool is_scope_rowid_ref(const Expr& expr, const TableScope& scope) {
  if (!is_rowid_ref(expr, *scope.table)) return false;
  const auto& col = expr.as<Expr::Column>();
  return !col.table || qualifier_matches(scope.name, *col.table);
}

Result<vdbe::ParamSrc> Ctx::resolve(const std::optional<std::string>& qualifier,
                                    std::string_view column) const {
  // Candidates, in FROM order. Indexes into `scopes`, so no copy is made.
  std::vector<size_t> candidates;
  candidates.reserve(scopes.size());
  if (qualifier) {
    std::string lowered = scope_name(*qualifier);
    for (size_t i = 0; i < scopes.size(); ++i) {
      if (scopes[i].name == lowered) candidates.push_back(i);
    }
    if (candidates.empty()) return std::unexpected(Error::Exec("no such table: " + *qualifier));
  } else {
    for (size_t i = 0; i < scopes.size(); ++i) candidates.push_back(i);
  }

  if (is_rowid_name(column)) {
    if (candidates.size() != 1) {
      return std::unexpected(Error::Exec("ambiguous rowid; qualify it with a table"));
    }
    return vdbe::ParamSrc::Rowid(scopes[candidates[0]].cursor);
  }

  std::optional<vdbe::ParamSrc> hit;
  for (size_t i : candidates) {
    const TableScope& s = scopes[i];
    std::optional<size_t> pos = s.table->column_index(column);
    if (!pos) continue;
    if (hit) return std::unexpected(Error::Exec("ambiguous column: " + std::string(column)));
    hit = (pos == s.table->rowid_alias)
              ? vdbe::ParamSrc::Rowid(s.cursor)
              : vdbe::ParamSrc::Column(s.cursor, static_cast<uint32_t>(*pos));
  }
  if (!hit) return std::unexpected(Error::Exec("no such column: " + std::string(column)));
  return *hit;
}

}  // namespace vbk::compile
