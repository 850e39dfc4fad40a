#pragma once

// A database in a temporary directory for tests of compiled statements:
// tables and indexes made through the Catalog from CREATE statements, and
// statements parsed, compiled and (run) on it.

#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "catalog/catalog.h"
#include "error.h"
#include "pager/pager.h"
#include "record/value.h"
#include "sql/ast.h"
#include "support/temp_dir.h"
#include "vdbe/program.h"

namespace vbk::testing {

class SqlDb {
 public:
  SqlDb();

  Pager& pager() { return *pager_; }
  const Catalog& catalog() const { return *catalog_; }

  // Runs CREATE TABLE and CREATE [UNIQUE] INDEX statements, each in a
  // transaction of its own; throws on failure. A PRIMARY KEY column of an
  // integer type (or with AUTO_INCREMENT) becomes the rowid alias; a UNIQUE
  // column gets the index "{table}__{column}__unique"; a DEFAULT is stored as
  // its literal's value.
  void schema(std::string_view sql);

  // Parses `sql` (one statement) and compiles it.
  Result<vdbe::Program> compile(std::string_view sql) const;
  // Compiles an already parsed statement.
  Result<vdbe::Program> compile(const Statement& stmt) const;

 private:
  TempDir dir_;
  std::optional<Pager> pager_;
  std::optional<Catalog> catalog_;
};

// The one statement of `sql`; throws when it does not parse.
Statement parse_one(std::string_view sql);

}  // namespace vbk::testing
