#pragma once

// Name resolution: which table cursor and column position a column reference
// of one SELECT level (or one data-changing statement) reads.
//
// Scope names are the FROM entry's alias, or its table name, lower-cased with
// full Unicode lower-casing. A qualifier is lower-cased the same way and then
// compared byte for byte, everywhere a qualifier meets a scope name, so that
// a table named with non-ASCII capitals is found by its own name.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "catalog/catalog.h"
#include "error.h"
#include "sql/ast.h"
#include "vdbe/program.h"

namespace vbk::compile {

struct TableScope {
  std::string name;               // lower-cased alias or table name
  const TableDef* table = nullptr;  // borrowed from the catalog
  uint32_t cursor = 0;            // the table cursor slot that reads it
};

struct Ctx {
  std::vector<TableScope> scopes;  // FROM order
  const Catalog& catalog;

  // Rowid(cursor) or Column(cursor, position); never Param. The name rowid
  // (any ASCII case) always means the rowid, even where a table declares a
  // column of that name.
  Result<vdbe::ParamSrc> resolve(const std::optional<std::string>& qualifier,
                                 std::string_view column) const;
};

// The scope name of a FROM entry or data-changing statement.
std::string scope_name(std::string_view alias_or_table);

// The name rowid, in any ASCII letter case: it always means the row's rowid,
// even where a table declares a column of that name.
bool is_rowid_name(std::string_view name);

// A column name that means the table's rowid: rowid itself, or the name of
// the rowid alias column.
bool names_table_rowid(std::string_view name, const TableDef& table);

// Whether `qualifier` (as written) names the scope called `scope`.
bool qualifier_matches(std::string_view scope, std::string_view qualifier);

// A column reference that names the table's rowid (by "rowid" or by the rowid
// alias column) and is either unqualified or qualified by the scope's own
// name. The shortcuts that skip compiling the WHERE clause accept only these,
// so a foreign qualifier still reaches name resolution and its error.
bool is_scope_rowid_ref(const Expr& expr, const TableScope& scope);

}  // namespace vbk::compile
