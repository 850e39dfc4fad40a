#include "catalog/catalog.h"

#include <algorithm>
#include <string>

#include "btree/btree.h"
#include "btree/cursor.h"
#include "pager/pager.h"
#include "record/record.h"

namespace vbk {

namespace {

Error rowid_out_of_range() { return Error::Schema("schema rowid out of range"); }

// Runs `body` under a shared read lock unless a transaction already covers
// the reads; the lock is released whatever the outcome.
template <typename F>
Result<void> under_read_lock(Pager& pager, F&& body) {
  VBK_TRY(pager.read_lock());
  Result<void> done = body();
  Result<void> released = pager.read_unlock();
  if (!done) return done;
  return released;
}

}  // namespace

Result<Catalog> Catalog::open(Pager& pager) {
  if (pager.header().schema_root == 0) {
    VBK_TRY(pager.begin());
    // Another handle may have made the schema table since the header was
    // looked at; begin has adopted its header then, and its table is used.
    Result<void> made;
    if (pager.header().schema_root == 0) {
      Result<BTree> tree = BTree::create(pager);
      if (tree) {
        pager.set_schema_root(tree->root());
        made = pager.commit();
      } else {
        made = std::unexpected(std::move(tree).error());
      }
    } else {
      made = pager.commit();
    }
    if (!made) {
      if (pager.in_tx()) (void)pager.rollback();
      return std::unexpected(std::move(made).error());
    }
  }
  Catalog catalog;
  VBK_TRY(catalog.reload(pager));
  return catalog;
}

Result<void> Catalog::reload(Pager& pager) {
  if (pager.in_tx()) return reload_locked(pager);
  return under_read_lock(pager, [&] { return reload_locked(pager); });
}

Result<void> Catalog::reload_locked(Pager& pager) {
  Catalog fresh;
  VBK_TRY(fresh.load(pager));
  *this = std::move(fresh);
  return {};
}

Result<void> Catalog::load(Pager& pager) {
  schema_root_ = pager.header().schema_root;
  int64_t highest = 0;
  Cursor cursor(pager, schema_root_);
  VBK_TRY(cursor.rewind());
  while (const std::optional<Cursor::Row> r = VBK_TRY(cursor.next())) {
    const std::vector<Value> row = VBK_TRY(record::decode_record(r->payload));
    highest = std::max(highest, r->rowid);
    if (catalog::is_index_row(row)) {
      IndexDef ix = VBK_TRY(IndexDef::from_row(r->rowid, row));
      // A later row of the same name replaces the earlier definition, which
      // then leaves its own table's list: every index is listed once, under
      // its own table.
      if (auto old = indexes_.find(ix.name); old != indexes_.end()) {
        if (auto list = table_indexes_.find(old->second.table); list != table_indexes_.end()) {
          std::erase(list->second, ix.name);
        }
      }
      table_indexes_[ix.table].push_back(ix.name);
      const std::string name = ix.name;
      indexes_.insert_or_assign(name, std::move(ix));
    } else {
      TableDef t = VBK_TRY(TableDef::from_row(r->rowid, row));
      const std::string name = t.name;
      tables_.insert_or_assign(name, std::move(t));
    }
  }
  // Positions only now, so that an index row may come before its table's.
  for (auto& [name, ix] : indexes_) {
    const TableDef* table = get(ix.table);
    if (table == nullptr) continue;
    for (const std::string& column : ix.columns) {
      if (auto pos = table->column_index(column)) ix.col_positions.push_back(*pos);
    }
  }
  if (highest == INT64_MAX) return std::unexpected(rowid_out_of_range());
  next_rowid_ = highest + 1;
  return {};
}

const TableDef* Catalog::get(std::string_view name) const {
  auto it = tables_.find(name);
  return it == tables_.end() ? nullptr : &it->second;
}

const IndexDef* Catalog::get_index(std::string_view name) const {
  auto it = indexes_.find(name);
  return it == indexes_.end() ? nullptr : &it->second;
}

std::vector<const IndexDef*> Catalog::indexes_for(std::string_view table) const {
  std::vector<const IndexDef*> out;
  auto list = table_indexes_.find(table);
  if (list == table_indexes_.end()) return out;
  for (const std::string& name : list->second) {
    if (const IndexDef* ix = get_index(name)) out.push_back(ix);
  }
  return out;
}

Result<int64_t> Catalog::new_schema_rowid(Pager& pager) const {
  // Another handle may have added schema rows since this catalog was read;
  // a new row must never replace one of them.
  const std::optional<int64_t> last = VBK_TRY(BTree(pager, schema_root_).last_rowid());
  int64_t rowid = next_rowid_;
  if (last) {
    if (*last == INT64_MAX) return std::unexpected(rowid_out_of_range());
    rowid = std::max(rowid, *last + 1);
  }
  // The one after it must exist too, as the next next_rowid.
  if (rowid == INT64_MAX) return std::unexpected(rowid_out_of_range());
  return rowid;
}

Result<void> Catalog::write_schema_row(Pager& pager, int64_t rowid,
                                       std::span<const Value> row) const {
  return BTree(pager, schema_root_).insert(rowid, record::encode_record(row));
}

Result<TableDef> Catalog::create_table(Pager& pager, std::string name, std::vector<Column> columns,
                                       std::optional<size_t> rowid_alias) {
  if (tables_.contains(name)) {
    return std::unexpected(Error::Schema("table \"" + name + "\" already exists"));
  }
  const int64_t rowid = VBK_TRY(new_schema_rowid(pager));
  TableDef t;
  t.name = std::move(name);
  t.columns = std::move(columns);
  t.rowid_alias = rowid_alias;
  t.root = VBK_TRY(BTree::create(pager)).root();
  t.rowid = rowid;
  VBK_TRY(write_schema_row(pager, rowid, t.to_row()));
  next_rowid_ = rowid + 1;
  tables_.emplace(t.name, t);
  return t;
}

Result<bool> Catalog::drop_table(Pager& pager, std::string_view name) {
  auto it = tables_.find(name);
  if (it == tables_.end()) return false;
  const TableDef t = std::move(it->second);
  tables_.erase(it);
  const BTree schema(pager, schema_root_);
  if (auto list = table_indexes_.find(name); list != table_indexes_.end()) {
    const std::vector<std::string> names = std::move(list->second);
    table_indexes_.erase(list);
    for (const std::string& ix_name : names) {
      auto ix = indexes_.find(ix_name);
      if (ix == indexes_.end()) continue;
      const int64_t ix_rowid = ix->second.rowid;
      indexes_.erase(ix);
      VBK_TRY(schema.delete_(ix_rowid));
    }
  }
  VBK_TRY(schema.delete_(t.rowid));
  return true;
}

Error catalog::duplicate_column(std::string_view name) {
  return Error::Schema("duplicate column name: " + std::string(name));
}

Result<void> Catalog::add_column(Pager& pager, std::string_view table, Column column) {
  auto it = tables_.find(table);
  if (it == tables_.end()) return std::unexpected(Error::Schema("no such table: " + std::string(table)));
  TableDef& t = it->second;
  if (t.column_index(column.name)) return std::unexpected(catalog::duplicate_column(column.name));
  t.columns.push_back(std::move(column));
  VBK_TRY(BTree(pager, schema_root_).delete_(t.rowid));
  return write_schema_row(pager, t.rowid, t.to_row());
}

}  // namespace vbk
