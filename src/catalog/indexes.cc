// Indexes of the catalog: creating one and filling it from its table's rows,
// dropping one, rebuilding, and checking each against its table.

#include <algorithm>
#include <string>

#include "btree/btree.h"
#include "btree/cursor.h"
#include "btree/index.h"
#include "btree/index_cursor.h"
#include "btree/keyenc.h"
#include "catalog/catalog.h"
#include "catalog/unique.h"
#include "pager/pager.h"
#include "record/record.h"

namespace vbk {

Result<uint32_t> Catalog::build_index(Pager& pager, const TableDef& table, const IndexDef& index,
                                      std::string_view collision_message) const {
  const IndexBTree tree = VBK_TRY(IndexBTree::create(pager));
  const std::vector<uint32_t> columns = catalog::key_columns(table, index);
  catalog::TableRows stored(pager, table.root);
  Cursor rows(pager, table.root);
  VBK_TRY(rows.rewind());
  while (const std::optional<Cursor::Row> r = VBK_TRY(rows.next())) {
    const std::vector<Value> row = VBK_TRY(record::decode_record(r->payload));
    const std::vector<Value> values = catalog::index_key_values(table, index, row, r->rowid);
    const Bytes key = keyenc::encode_index_key(values, r->rowid);
    // Each row is checked against the rows entered before it, by the rule
    // of every UNIQUE check; the key without its rowid suffix is the prefix.
    const auto prefix = std::span(key).first(key.size() - keyenc::kRowidSuffixLength);
    if (index.unique &&
        VBK_TRY(catalog::unique_conflict(pager, {tree.root(), prefix, values, columns}, stored))) {
      return std::unexpected(Error::Constraint(std::string(collision_message) + index.name));
    }
    VBK_TRY(tree.insert(key));
  }
  return tree.root();
}

Error catalog::index_exists(std::string_view name) {
  return Error::Schema("index \"" + std::string(name) + "\" already exists");
}

Result<std::vector<size_t>> catalog::key_positions(const TableDef& table,
                                                   std::span<const std::string> columns) {
  std::vector<size_t> positions;
  positions.reserve(columns.size());
  for (const std::string& column : columns) {
    const std::optional<size_t> pos = table.column_index(column);
    if (!pos) return std::unexpected(Error::Schema("no such column: " + column));
    positions.push_back(*pos);
  }
  return positions;
}

bool catalog::schema_left_whole(const Error& error) {
  return error.is(Error::Kind::Schema) || error.is(Error::Kind::Constraint) ||
         error.is(Error::Kind::Exec);
}

Result<IndexDef> Catalog::create_index(Pager& pager, std::string name, std::string table,
                                       std::vector<std::string> columns, bool unique) {
  if (indexes_.contains(name)) return std::unexpected(catalog::index_exists(name));
  const TableDef* t = get(table);
  if (t == nullptr) return std::unexpected(Error::Schema("no such table: " + table));
  IndexDef ix;
  ix.col_positions = VBK_TRY(catalog::key_positions(*t, columns));
  ix.name = std::move(name);
  ix.table = std::move(table);
  ix.columns = std::move(columns);
  ix.unique = unique;
  const int64_t rowid = VBK_TRY(new_schema_rowid(pager));
  ix.root = VBK_TRY(build_index(pager, *t, ix, catalog::kDuplicateIn));
  ix.rowid = rowid;
  VBK_TRY(write_schema_row(pager, rowid, ix.to_row()));
  next_rowid_ = rowid + 1;
  table_indexes_[ix.table].push_back(ix.name);
  indexes_.emplace(ix.name, ix);
  return ix;
}

Result<bool> Catalog::drop_index(Pager& pager, std::string_view name) {
  auto it = indexes_.find(name);
  if (it == indexes_.end()) return false;
  const IndexDef ix = std::move(it->second);
  indexes_.erase(it);
  if (auto list = table_indexes_.find(ix.table); list != table_indexes_.end()) {
    std::erase(list->second, ix.name);
  }
  VBK_TRY(BTree(pager, schema_root_).delete_(ix.rowid));
  return true;
}

Result<uint64_t> Catalog::reindex(Pager& pager, std::optional<std::string_view> table) {
  std::vector<std::string> names;
  if (table) {
    if (get(*table) == nullptr) {
      return std::unexpected(Error::Schema("no such table: " + std::string(*table)));
    }
    if (auto list = table_indexes_.find(*table); list != table_indexes_.end()) names = list->second;
  } else {
    for (const auto& [name, ix] : indexes_) names.push_back(name);
  }
  for (const std::string& name : names) {
    const IndexDef* found = get_index(name);
    if (found == nullptr) return std::unexpected(Error::Schema("no such index: " + name));
    IndexDef ix = *found;
    const TableDef* t = get(ix.table);
    if (t == nullptr) return std::unexpected(Error::Schema("no such table: " + ix.table));
    ix.root = VBK_TRY(build_index(pager, *t, ix, "UNIQUE constraint failed: duplicate value rebuilding "));
    const BTree schema(pager, schema_root_);
    VBK_TRY(schema.delete_(ix.rowid));
    VBK_TRY(write_schema_row(pager, ix.rowid, ix.to_row()));
    indexes_.insert_or_assign(name, std::move(ix));
  }
  return names.size();
}

Result<std::vector<std::string>> Catalog::integrity_check(Pager& pager) const {
  // Per index, at most this many lines about single entries.
  constexpr int kMaxEntryReports = 8;
  std::vector<std::string> lines;
  Bytes expected;
  for (const auto& [name, ix] : indexes_) {
    const TableDef* t = get(ix.table);
    if (t == nullptr) continue;
    const BTree rows(pager, t->root);
    uint64_t entries = 0;
    int reports = 0;
    auto report = [&](std::string line) {
      if (reports++ < kMaxEntryReports) lines.push_back(std::move(line));
    };
    IndexCursor cursor(pager, ix.root);
    VBK_TRY(cursor.seek({}));
    while (const std::optional<Bytes> key = VBK_TRY(cursor.next())) {
      ++entries;
      const Result<int64_t> rowid = keyenc::key_rowid(*key);
      if (!rowid) {
        // Too short to name a row: a damaged entry of this index.
        report("index " + name + ": entry too short to hold a rowid");
        continue;
      }
      const std::optional<Bytes> payload = VBK_TRY(rows.search(*rowid));
      if (!payload) {
        report("index " + name + ": orphaned entry for missing rowid " + std::to_string(*rowid));
        continue;
      }
      const std::vector<Value> row = VBK_TRY(record::decode_record(*payload));
      expected = keyenc::encode_index_key(catalog::index_key_values(*t, ix, row, *rowid), *rowid);
      if (expected != *key) report("index " + name + ": stale entry for rowid " + std::to_string(*rowid));
    }
    const uint64_t count = VBK_TRY(rows.count_subtree(t->root));
    if (count != entries) {
      lines.push_back("index " + name + ": " + std::to_string(entries) + " entries but table " +
                      ix.table + " has " + std::to_string(count) + " rows");
    }
  }
  return lines;
}

}  // namespace vbk
