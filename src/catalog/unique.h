#pragma once

// The one rule of every UNIQUE check: INSERT and INSERT IGNORE, UPDATE,
// building and rebuilding a unique index, and finding the rows that REPLACE
// deletes and ON DUPLICATE KEY UPDATE updates.
//
// A stored entry of a unique index collides with a new row when, column by
// column, their key bytes (keyenc) are equal and compare::cmp_value holds the
// values equivalent. So NULL collides with NULL and 1 with 1.0; -0.0 and 0,
// or a text and the number it reads as, have other key bytes and never
// collide; integers past 2^53 that round to one double share their key bytes
// but collide only when they are the same integer. For the rowid the rule is
// plain: the same rowid.
//
// Equal key bytes give equivalent values in every case but two distinct Ints
// that round to one double, so a new key without an Int of magnitude 2^53 or
// more is decided by the index alone (a probe for its key prefix), and only
// the rare other keys read the stored rows of the entries they meet.

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "catalog/catalog.h"
#include "error.h"
#include "record/value.h"
#include "util/bytes.h"

namespace vbk::catalog {

// Integers of smaller magnitude are exact as doubles, so no other integer
// shares their key bytes.
inline constexpr int64_t kExactLimit = int64_t{1} << 53;

// A key column's place in a stored row: its position in the row's record, or
// kRowidColumn for the rowid alias column, whose entry holds the rowid
// whatever the record stores there (a record shorter than a position reads
// NULL there, as for rows stored before a column was added).
inline constexpr uint32_t kRowidColumn = UINT32_MAX;

// The index's key columns in key order, as above.
std::vector<uint32_t> key_columns(const TableDef& table, const IndexDef& index);

// Whether equal key bytes alone decide a collision with these new key values:
// true unless one of them is an Int of magnitude 2^53 or more.
bool key_bytes_decide(std::span<const Value> key);

// Where a collision check reads the stored row an index entry names.
class RowSource {
 public:
  // The row's record; none when the table holds no such row.
  virtual Result<std::optional<Bytes>> record_of(int64_t rowid) = 0;

 protected:
  ~RowSource() = default;
};

// The rows of a table B-tree as they are stored.
class TableRows final : public RowSource {
 public:
  TableRows(Pager& pager, uint32_t root) : pager_(&pager), root_(root) {}
  Result<std::optional<Bytes>> record_of(int64_t rowid) override;

 private:
  Pager* pager_;
  uint32_t root_;
};

// A new row's key in one unique index. The values are the row's at the key
// columns exactly as they would be stored (after the columns' affinity, the
// rowid at the rowid alias column); the prefix is their key encoding
// (keyenc::encode_key_prefix). `columns` has one element per value, or none
// at all: then the key bytes alone decide.
struct UniqueKey {
  uint32_t index_root = 0;
  std::span<const uint8_t> prefix;
  std::span<const Value> values;
  std::span<const uint32_t> columns;
};

// The rowids of the stored rows whose entries collide with `key`, in index
// order; at most the first when `first_only`. An entry whose row `rows` does
// not hold is Corrupt when the check needs that row.
Result<std::vector<int64_t>> unique_collisions(Pager& pager, const UniqueKey& key, RowSource& rows,
                                               bool first_only);

// Whether any stored entry collides with `key`; reads no row when the key
// bytes decide.
Result<bool> unique_conflict(Pager& pager, const UniqueKey& key, RowSource& rows);

}  // namespace vbk::catalog
