#pragma once

// The schema of one open database: its tables with their columns, and its
// indexes, in memory; and the schema table that keeps them in the file.
//
// The schema table is an ordinary table B-tree rooted at the header's
// schema_root. Each row is keyed by the definition's schema rowid and holds
// one record:
//
//   table row  "table", name, root, rowid alias (-1: none), n,
//              then per column: name, declared type ("" when none),
//              flags (1 not null, 2 unique, 4 has default), default (NULL
//              when the flags have no 4)
//   index row  "index", name, root, table, unique (1 or 0), n,
//              then the n column names in key order
//
// A row is an index row when field 0 is the text "index"; every other row
// is read as a table row. Roots are read by their low 32 bits.
//
// Table and index names match byte for byte (T and t are two tables);
// column names match with ASCII case folding only.
//
// Lookups hand out pointers into the catalog. They stay valid only until
// the next operation that changes the catalog (create, drop, add column,
// reindex, reload or restoring a snapshot): never keep one across a schema
// change.
//
// A Catalog is a plain value: copying it is how a caller keeps the state a
// transaction began with.
//
// The operations that change the schema never begin, commit or roll back:
// they run inside the caller's write transaction. When that transaction is
// rolled back, or an operation fails part-way, memory and file disagree; the
// caller then brings them back together with a snapshot taken at begin
// (restore) or with reload (see there).

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "error.h"
#include "record/value.h"
#include "util/hash.h"

namespace vbk {

class Pager;

struct Column {
  std::string name;
  std::string decl_type;  // as declared; empty when the column has no type
  bool not_null = false;
  bool unique = false;
  std::optional<Value> default_;  // already converted by the caller
};

struct TableDef {
  std::string name;
  std::vector<Column> columns;
  // The column that stands for the rowid. Rows store whatever was given for
  // it, but every reader of that column reads the row's rowid.
  std::optional<size_t> rowid_alias;
  uint32_t root = 0;
  int64_t rowid = 0;  // of its schema row

  // The first column whose name equals `name` with ASCII A-Z folded to a-z.
  std::optional<size_t> column_index(std::string_view name) const;

  std::vector<Value> to_row() const;
  static Result<TableDef> from_row(int64_t rowid, std::span<const Value> row);
};

struct IndexDef {
  std::string name;
  std::string table;
  std::vector<std::string> columns;  // as the creator wrote them, in key order
  std::vector<size_t> col_positions;  // in the table's columns; memory only
  bool unique = false;
  uint32_t root = 0;
  int64_t rowid = 0;  // of its schema row

  std::vector<Value> to_row() const;
  // col_positions is left empty.
  static Result<IndexDef> from_row(int64_t rowid, std::span<const Value> row);
};

namespace catalog {

// Whether a decoded schema row is an index row.
bool is_index_row(std::span<const Value> row);

// The values an index keys a row by: the row's value at each of the index's
// positions (NULL past the record's end, for rows stored before an added
// column), with the row's rowid standing at the table's rowid alias.
std::vector<Value> index_key_values(const TableDef& table, const IndexDef& index,
                                    std::span<const Value> row, int64_t rowid);

// The start of the message of a unique index build that meets two rows of
// one key; the index name follows.
inline constexpr std::string_view kDuplicateIn = "UNIQUE constraint failed: duplicate value in ";

// Schema "index "{}" already exists": the refusal of an index name in use.
Error index_exists(std::string_view name);

// Schema "duplicate column name: {}": the refusal of a column whose name
// equals, ASCII case ignored, one the table already has.
Error duplicate_column(std::string_view name);

// The positions in `table`'s columns of an index's column names, in key
// order; Schema "no such column: {}" names the first that is none of them.
Result<std::vector<size_t>> key_positions(const TableDef& table, std::span<const std::string> columns);

// Whether create_index or reindex, failing with `error`, left the schema
// table naming only complete index trees, so that the caller's transaction
// can go on: a refused name (Schema), or a build that met a duplicate key
// (Constraint) or a key too large (Exec) before its schema row was written.
// Such a build leaves only unreachable pages, as a dropped index does.
bool schema_left_whole(const Error& error);

}  // namespace catalog

class Catalog {
  template <typename T>
  using NameMap = std::unordered_map<std::string, T, NameHash, NameEq>;

 public:
  // Reads the schema table under a shared lock; a file without one (schema
  // root 0) first gets one, in a transaction of its own.
  static Result<Catalog> open(Pager& pager);

  // Throws away the in-memory schema and reads the schema table again as the
  // pager now presents it (inside a transaction: with its pending changes).
  // For an operation that failed part-way where no rollback follows.
  Result<void> reload(Pager& pager);
  // The same for a caller that already holds a shared lock or a transaction,
  // which a read lock of its own would give up at its end.
  Result<void> reload_locked(Pager& pager);

  const TableDef* get(std::string_view name) const;
  const IndexDef* get_index(std::string_view name) const;
  // The table's indexes in creation order; empty for a table without any
  // and for a name that is no table.
  std::vector<const IndexDef*> indexes_for(std::string_view table) const;

  // Inside the caller's write transaction. Failures leave memory as it was;
  // the B-tree steps are undone by the caller's rollback.
  Result<TableDef> create_table(Pager& pager, std::string name, std::vector<Column> columns,
                                std::optional<size_t> rowid_alias);
  // False when there is no such table. Pages of the table and its indexes
  // stay allocated and unreachable.
  Result<bool> drop_table(Pager& pager, std::string_view name);
  Result<void> add_column(Pager& pager, std::string_view table, Column column);

  Result<IndexDef> create_index(Pager& pager, std::string name, std::string table,
                                std::vector<std::string> columns, bool unique);
  Result<bool> drop_index(Pager& pager, std::string_view name);
  // Rebuilds the table's indexes (every index without a table name); the
  // number rebuilt.
  Result<uint64_t> reindex(Pager& pager, std::optional<std::string_view> table);

  // Every disagreement between an index and its table, one line each; empty
  // when there is none. Reads only; the caller holds a lock.
  Result<std::vector<std::string>> integrity_check(Pager& pager) const;

  int64_t next_rowid() const { return next_rowid_; }
  uint32_t schema_root() const { return schema_root_; }
  // Every definition, in an order that differs from process to process.
  const NameMap<TableDef>& tables() const { return tables_; }
  const NameMap<IndexDef>& indexes() const { return indexes_; }

 private:
  Catalog() = default;
  // Reads every schema row; the caller holds a lock or a transaction.
  Result<void> load(Pager& pager);
  // The rowid for a new schema row: never one the schema table already
  // holds, even when another handle added rows since this catalog was read.
  Result<int64_t> new_schema_rowid(Pager& pager) const;
  Result<void> write_schema_row(Pager& pager, int64_t rowid, std::span<const Value> row) const;
  // Builds a new index B-tree of `index` over `table`'s rows; its root.
  Result<uint32_t> build_index(Pager& pager, const TableDef& table, const IndexDef& index,
                               std::string_view collision_message) const;

  NameMap<TableDef> tables_;
  NameMap<IndexDef> indexes_;
  NameMap<std::vector<std::string>> table_indexes_;
  int64_t next_rowid_ = 1;
  uint32_t schema_root_ = 0;
};

}  // namespace vbk
