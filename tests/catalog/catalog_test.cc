#include "catalog/catalog.h"

#include <algorithm>
#include <set>

#include <gtest/gtest.h>

#include "btree/btree.h"
#include "pager/pager.h"
#include "record/record.h"
#include "support/crash.h"
#include "support/must.h"
#include "support/temp_dir.h"
#include "support/tree_check.h"
#include "vfs/os.h"

namespace vbk {
namespace {

using testing::must;

Column col(const char* name, const char* type = "") { return Column{name, type, false, false, {}}; }

// The catalog as one comparable text: every definition's schema row, sorted.
std::string canon(const Catalog& c) {
  std::vector<std::string> rows;
  for (const auto& [name, t] : c.tables()) {
    Bytes b = record::encode_record(t.to_row());
    rows.push_back(std::to_string(t.rowid) + ":" + std::string(b.begin(), b.end()));
  }
  for (const auto& [name, ix] : c.indexes()) {
    Bytes b = record::encode_record(ix.to_row());
    rows.push_back(std::to_string(ix.rowid) + ":" + std::string(b.begin(), b.end()));
  }
  std::sort(rows.begin(), rows.end());
  std::string out = "next " + std::to_string(c.next_rowid()) + "\n";
  for (const auto& r : rows) out += r + "\n";
  return out;
}

class CatalogTest : public ::testing::Test {
 protected:
  Pager open_pager() { return must(Pager::open(OsVfs::instance(), path_)); }
  Pager new_pager() { return must(Pager::create(OsVfs::instance(), path_, 4096)); }

  // Writes raw schema rows (rowid, fields) into the schema table.
  void write_rows(Pager& pager, const std::vector<std::pair<int64_t, std::vector<Value>>>& rows) {
    must(pager.begin());
    BTree schema(pager, pager.header().schema_root);
    for (const auto& [rowid, row] : rows) must(schema.insert(rowid, record::encode_record(row)));
    must(pager.commit());
  }

  testing::TempDir dir_;
  std::string path_ = dir_.file("c.db");
};

Value T(const char* s) { return Value::Text(s); }
Value I(int64_t v) { return Value::Int(v); }
std::vector<Value> table_row(const char* name, std::vector<const char*> cols) {
  std::vector<Value> row = {T("table"), T(name), I(0), I(-1), I(static_cast<int64_t>(cols.size()))};
  for (const char* c : cols) {
    row.push_back(T(c));
    row.push_back(T(""));
    row.push_back(I(0));
    row.push_back(Value::Null());
  }
  return row;
}
std::vector<Value> index_row(const char* name, const char* table, std::vector<const char*> cols) {
  std::vector<Value> row = {T("index"), T(name), I(0), T(table), I(0), I(static_cast<int64_t>(cols.size()))};
  for (const char* c : cols) row.push_back(T(c));
  return row;
}

TEST_F(CatalogTest, NewFileGetsOneSchemaTable) {
  {
    Pager pager = new_pager();
    Catalog c = must(Catalog::open(pager));
    EXPECT_EQ(c.schema_root(), 2u);
    EXPECT_EQ(c.next_rowid(), 1);
    EXPECT_TRUE(c.tables().empty());
  }
  Pager pager = open_pager();
  EXPECT_EQ(pager.header().schema_root, 2u);
  const uint32_t pages = pager.header().page_count;
  Catalog c = must(Catalog::open(pager));
  EXPECT_EQ(pager.header().page_count, pages);  // no second bootstrap
  EXPECT_EQ(c.schema_root(), 2u);
}

TEST_F(CatalogTest, OpenReadsRowsInAnyOrder) {
  Pager pager = new_pager();
  must(Catalog::open(pager));
  write_rows(pager, {{1, index_row("ib", "t", {"b", "zz"})},
                     {2, table_row("t", {"a", "B"})},
                     {5, index_row("orphan", "gone", {"a"})}});
  Catalog c = must(Catalog::open(pager));
  EXPECT_EQ(c.next_rowid(), 6);
  ASSERT_NE(c.get_index("ib"), nullptr);
  EXPECT_EQ(c.get_index("ib")->col_positions, std::vector<size_t>{1});  // zz matches nothing
  EXPECT_TRUE(c.get_index("orphan")->col_positions.empty());
  ASSERT_EQ(c.indexes_for("gone").size(), 1u);
  EXPECT_TRUE(c.indexes_for("nothing").empty());
  EXPECT_EQ(c.get("T"), nullptr);
  EXPECT_NE(c.get("t"), nullptr);
}

TEST_F(CatalogTest, LaterDefinitionsOfANameReplaceEarlierOnes) {
  Pager pager = new_pager();
  must(Catalog::open(pager));
  write_rows(pager, {{1, table_row("t", {"a"})},
                     {2, table_row("u", {"a"})},
                     {3, index_row("i", "t", {"a"})},
                     {4, table_row("t", {"a", "b"})},
                     {5, index_row("i", "u", {"a"})}});
  Catalog c = must(Catalog::open(pager));
  EXPECT_EQ(c.get("t")->columns.size(), 2u);
  EXPECT_EQ(c.get("t")->rowid, 4);
  // The index is listed once, under the table of its later definition.
  EXPECT_TRUE(c.indexes_for("t").empty());
  ASSERT_EQ(c.indexes_for("u").size(), 1u);
  EXPECT_EQ(c.indexes_for("u")[0]->rowid, 5);
}

TEST_F(CatalogTest, UnreadableSchemaRowsFailTheOpen) {
  Pager pager = new_pager();
  must(Catalog::open(pager));
  write_rows(pager, {{1, {T("table"), I(7)}}});
  EXPECT_EQ(Catalog::open(pager).error().display(), "schema error: schema row: expected text at field 1");
  must(pager.begin());
  must(BTree(pager, 2).insert(1, Bytes{0x05, 0x07}));  // header past the record's end
  must(pager.commit());
  EXPECT_EQ(Catalog::open(pager).error().kind(), Error::Kind::Corrupt);
}

TEST_F(CatalogTest, CreateDropAndAddColumn) {
  Pager pager = new_pager();
  Catalog c = must(Catalog::open(pager));
  must(pager.begin());
  const TableDef t = must(c.create_table(pager, "t", {col("a", "INT"), col("A")}, std::nullopt));
  EXPECT_EQ(t.rowid, 1);
  EXPECT_EQ(c.get("t")->column_index("a"), 0u);  // duplicate names: the first
  const uint32_t pages = pager.header().page_count;
  EXPECT_EQ(c.create_table(pager, "t", {}, std::nullopt).error().display(),
            "schema error: table \"t\" already exists");
  EXPECT_EQ(pager.header().page_count, pages);  // nothing allocated
  EXPECT_EQ(c.next_rowid(), 2);
  EXPECT_EQ(must(c.create_table(pager, "T", {}, std::nullopt)).rowid, 2);
  EXPECT_TRUE(must(c.drop_table(pager, "t")));
  EXPECT_FALSE(must(c.drop_table(pager, "t")));
  EXPECT_EQ(must(c.create_table(pager, "u", {col("x")}, 0)).rowid, 3);

  EXPECT_EQ(c.add_column(pager, "u", col("X")).error().display(), "schema error: duplicate column name: X");
  EXPECT_EQ(c.add_column(pager, "nope", col("y")).error().display(), "schema error: no such table: nope");
  Column d = col("d", "INT");
  d.default_ = Value::Int(5);
  d.not_null = true;
  must(c.add_column(pager, "u", d));
  must(pager.commit());

  Catalog again = must(Catalog::open(pager));
  EXPECT_EQ(canon(again), canon(c));
  const TableDef* u = again.get("u");
  ASSERT_EQ(u->columns.size(), 2u);
  EXPECT_EQ(u->rowid, 3);  // the rewritten row kept its rowid
  EXPECT_EQ(u->rowid_alias, 0u);
  EXPECT_TRUE(u->columns[1].not_null);
  EXPECT_EQ(u->columns[1].default_->as_int(), 5);
  EXPECT_EQ(again.next_rowid(), 4);
}

// A rolled-back schema change must not leave memory naming pages that the
// pager discarded and will hand out again.
TEST_F(CatalogTest, RollbackRestoresAgreement) {
  Pager pager = new_pager();
  Catalog c = must(Catalog::open(pager));
  must(pager.begin());
  must(c.create_table(pager, "kept", {col("a")}, std::nullopt));
  must(pager.commit());

  must(pager.begin());
  const Catalog at_begin = c;
  must(c.create_table(pager, "lost", {col("a")}, std::nullopt));
  must(c.drop_table(pager, "kept"));
  must(pager.rollback());
  c = at_begin;
  EXPECT_EQ(canon(c), canon(must(Catalog::open(pager))));

  must(pager.begin());
  const uint32_t root = must(c.create_table(pager, "next", {col("a")}, std::nullopt)).root;
  EXPECT_NE(root, c.get("kept")->root);
  must(pager.commit());
  std::set<uint32_t> used;
  for (uint32_t r : {c.schema_root(), c.get("kept")->root, c.get("next")->root}) {
    EXPECT_TRUE(testing::check_table_tree(pager, r, used));
  }
  EXPECT_TRUE(testing::check_page_accounting(pager, used));
}

TEST_F(CatalogTest, ReloadAfterAPartFailureKeepsPendingChanges) {
  Pager pager = new_pager();
  Catalog c = must(Catalog::open(pager));
  must(pager.begin());
  // An operation that failed part-way leaves memory apart from the file;
  // here memory lacks a table whose schema row is pending in the file.
  Catalog broken = c;
  must(c.create_table(pager, "t", {col("a")}, std::nullopt));
  must(broken.reload(pager));  // reads the schema table as the pager has it
  EXPECT_EQ(canon(broken), canon(c));
  must(pager.commit());
  EXPECT_EQ(canon(must(Catalog::open(pager))), canon(c));
}

// Another handle's schema rows are never replaced, and a new file gets one
// schema table even when two handles bootstrap at once.
TEST_F(CatalogTest, SchemaRowsOfOtherHandles) {
  // Another process opens the file and creates a table.
  auto create_elsewhere = [&](const char* table) {
    return testing::run_in_child([&] {
      Pager b = must(Pager::open(OsVfs::instance(), path_));
      Catalog cb = must(Catalog::open(b));
      must(b.begin());
      must(cb.create_table(b, table, {col("x")}, std::nullopt));
      must(b.commit());
      return 0;
    });
  };
  Pager a = new_pager();  // header: no schema table yet
  testing::ChildExit child = create_elsewhere("from_b");
  ASSERT_TRUE(child.exited && child.code == 0) << child.describe();
  Catalog ca = must(Catalog::open(a));  // decided on a stale header
  EXPECT_EQ(ca.schema_root(), 2u);
  EXPECT_NE(ca.get("from_b"), nullptr);

  child = create_elsewhere("second_b");
  ASSERT_TRUE(child.exited && child.code == 0) << child.describe();
  must(a.begin());
  const TableDef mine = must(ca.create_table(a, "from_a", {col("y")}, std::nullopt));
  must(a.commit());
  EXPECT_EQ(mine.rowid, 3);  // after second_b's 2, though this catalog said 2
  Catalog fresh = must(Catalog::open(a));
  EXPECT_NE(fresh.get("from_b"), nullptr);
  EXPECT_NE(fresh.get("second_b"), nullptr);
  EXPECT_NE(fresh.get("from_a"), nullptr);
}

TEST_F(CatalogTest, SchemaRowidsNeverOverflow) {
  Pager pager = new_pager();
  must(Catalog::open(pager));
  write_rows(pager, {{INT64_MAX, table_row("t", {"a"})}});
  EXPECT_EQ(Catalog::open(pager).error().display(), "schema error: schema rowid out of range");
  must(pager.begin());
  must(BTree(pager, 2).delete_(INT64_MAX));
  must(BTree(pager, 2).insert(INT64_MAX - 1, record::encode_record(table_row("t", {"a"}))));
  must(pager.commit());
  Catalog c = must(Catalog::open(pager));
  EXPECT_EQ(c.next_rowid(), INT64_MAX);
  must(pager.begin());
  EXPECT_EQ(c.create_table(pager, "u", {}, std::nullopt).error().display(),
            "schema error: schema rowid out of range");
  must(pager.rollback());
}

}  // namespace
}  // namespace vbk
