#include "catalog/unique.h"

#include <algorithm>
#include <string>

#include "btree/btree.h"
#include "btree/index.h"
#include "btree/index_cursor.h"
#include "btree/keyenc.h"
#include "record/compare.h"
#include "record/record.h"

namespace vbk::catalog {

namespace {

// Whether the stored row's values at the key columns are each equivalent to
// the new key's value.
Result<bool> stored_values_equal(const UniqueKey& key, std::span<const uint8_t> record, int64_t rowid) {
  for (size_t i = 0; i < key.values.size(); ++i) {
    Value stored = Value::Int(rowid);
    if (key.columns[i] != kRowidColumn) stored = VBK_TRY(record::decode_column(record, key.columns[i]));
    if (compare::cmp_value(stored, key.values[i]) != 0) return false;
  }
  return true;
}

}  // namespace

std::vector<uint32_t> key_columns(const TableDef& table, const IndexDef& index) {
  std::vector<uint32_t> out;
  out.reserve(index.col_positions.size());
  for (size_t pos : index.col_positions) {
    out.push_back(table.rowid_alias == pos ? kRowidColumn : static_cast<uint32_t>(pos));
  }
  return out;
}

bool key_bytes_decide(std::span<const Value> key) {
  return std::none_of(key.begin(), key.end(), [](const Value& v) {
    return v.kind() == Value::Kind::Int && (v.as_int() >= kExactLimit || v.as_int() <= -kExactLimit);
  });
}

Result<std::optional<Bytes>> TableRows::record_of(int64_t rowid) { return BTree(*pager_, root_).search(rowid); }

Result<std::vector<int64_t>> unique_collisions(Pager& pager, const UniqueKey& key, RowSource& rows,
                                               bool first_only) {
  const bool exact = !key.columns.empty() && !key_bytes_decide(key.values);
  if (exact && key.columns.size() != key.values.size()) {
    fault("unique key of " + std::to_string(key.values.size()) + " values read at " +
          std::to_string(key.columns.size()) + " columns");
  }
  std::vector<int64_t> found;
  IndexCursor cursor(pager, key.index_root);
  VBK_TRY(cursor.seek(key.prefix));
  Bytes entry;
  while (VBK_TRY(cursor.next_into(entry))) {
    // Entries are in key order: those beginning with the prefix come together.
    if (entry.size() < key.prefix.size() || !std::equal(key.prefix.begin(), key.prefix.end(), entry.begin())) break;
    const int64_t rowid = VBK_TRY(keyenc::key_rowid(entry));
    if (exact) {
      const std::optional<Bytes> record = VBK_TRY(rows.record_of(rowid));
      if (!record) {
        return std::unexpected(Error::Corrupt("index entry for missing rowid " + std::to_string(rowid)));
      }
      if (!VBK_TRY(stored_values_equal(key, *record, rowid))) continue;
    }
    found.push_back(rowid);
    if (first_only) break;
  }
  return found;
}

Result<bool> unique_conflict(Pager& pager, const UniqueKey& key, RowSource& rows) {
  if (key.columns.empty() || key_bytes_decide(key.values)) {
    return IndexBTree(pager, key.index_root).contains_prefix(key.prefix);
  }
  return !VBK_TRY(unique_collisions(pager, key, rows, true)).empty();
}

}  // namespace vbk::catalog
