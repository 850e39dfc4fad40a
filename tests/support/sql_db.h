#pragma once

// A database in a temporary directory for tests of compiled statements:
// tables and indexes made through the Catalog from CREATE statements, and
// statements parsed, compiled and run on it.

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
#include "vdbe/finish.h"
#include "vdbe/program.h"

namespace vbk::testing {

class SqlDb {
 public:
  SqlDb();

  Pager& pager() { return *pager_; }
  const Catalog& catalog() const { return *catalog_; }

  // Runs CREATE TABLE and CREATE [UNIQUE] INDEX statements, each in a
  // transaction of its own; throws on failure. Tables are made as the
  // engine makes them (rowid alias, UNIQUE indexes, defaults, key clauses).
  void schema(std::string_view sql);

  // Catalog::create_table in a transaction of its own, for columns that no
  // CREATE statement can describe.
  void create_table(std::string name, std::vector<Column> columns,
                    std::optional<size_t> rowid_alias);

  // Parses `sql` (one statement) and compiles it.
  Result<vdbe::Program> compile(std::string_view sql) const;
  // Compiles an already parsed statement.
  Result<vdbe::Program> compile(const Statement& stmt) const;

  // What one run produced: the program's raw output rows (ORDER BY keys
  // included, nothing sorted or cut), the change count and the last rowid.
  struct Outcome {
    std::vector<vdbe::Row> rows;
    uint64_t changes = 0;
    int64_t last_rowid = 0;
  };

  // Parses, compiles and runs one statement with the given `?` values.
  // Inside begin() .. commit() it runs in that transaction, and a failure
  // leaves its partial changes pending. Otherwise a SELECT runs under the
  // read lock and any other statement in a transaction of its own,
  // committed after success and rolled back after a failure.
  Result<Outcome> run(std::string_view sql, std::span<const Value> binds = {});
  // run() that throws on failure.
  Outcome must_run(std::string_view sql, std::span<const Value> binds = {});

  void begin();
  void commit();
  void rollback();

  // Catalog::integrity_check: every disagreement between an index and its
  // table (empty when there is none).
  std::vector<std::string> integrity();

 private:
  TempDir dir_;
  std::optional<Pager> pager_;
  std::optional<Catalog> catalog_;
};

// The one statement of `sql`; throws when it does not parse.
Statement parse_one(std::string_view sql);

}  // namespace vbk::testing
