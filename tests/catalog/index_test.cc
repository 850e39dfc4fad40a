#include <algorithm>

#include <gtest/gtest.h>

#include "btree/btree.h"
#include "btree/index.h"
#include "btree/index_cursor.h"
#include "btree/keyenc.h"
#include "catalog/catalog.h"
#include "pager/pager.h"
#include "record/record.h"
#include "support/must.h"
#include "support/temp_dir.h"
#include "vfs/os.h"

namespace vbk {
namespace {

using testing::must;

Column col(const char* name) { return Column{name, "", false, false, {}}; }

class IndexTest : public ::testing::Test {
 protected:
  void SetUp() override {
    catalog_.emplace(must(Catalog::open(pager_)));
    must(pager_.begin());
  }
  Catalog& c() { return *catalog_; }
  void make_table(const char* name, std::vector<Column> columns, std::optional<size_t> alias = {}) {
    must(c().create_table(pager_, name, std::move(columns), alias));
  }
  void put_row(const char* table, int64_t rowid, std::vector<Value> values) {
    must(BTree(pager_, c().get(table)->root).insert(rowid, record::encode_record(values)));
  }
  std::vector<Bytes> keys_of(const char* index) {
    IndexCursor cursor(pager_, c().get_index(index)->root);
    must(cursor.seek({}));
    std::vector<Bytes> keys;
    while (auto k = must(cursor.next())) keys.push_back(*k);
    return keys;
  }
  IndexBTree index_tree(const char* index) { return IndexBTree(pager_, c().get_index(index)->root); }
  std::vector<std::string> check() { return must(c().integrity_check(pager_)); }

  testing::TempDir dir_;
  Pager pager_ = must(Pager::create(OsVfs::instance(), dir_.file("i.db"), 4096));
  std::optional<Catalog> catalog_;
};

TEST_F(IndexTest, UniqueBuildsCollideOnEqualKeyForms) {
  struct Case {
    const char* name;
    std::vector<Value> values;
    bool collides;
  };
  const Case cases[] = {
      {"no rows", {}, false},
      {"1 2 2", {Value::Int(1), Value::Int(2), Value::Int(2)}, true},
      {"1 NULL NULL", {Value::Int(1), Value::Null(), Value::Null()}, true},
      {"3 and 3.0", {Value::Int(3), Value::Real(3.0)}, true},
      {"distinct", {Value::Int(1), Value::Text("1"), Value::Real(1.5)}, false},
  };
  int n = 0;
  for (const Case& k : cases) {
    const std::string table = "t" + std::to_string(n), index = "u" + std::to_string(n++);
    make_table(table.c_str(), {col("a")});
    int64_t rowid = 0;
    for (const Value& v : k.values) put_row(table.c_str(), ++rowid, {v});
    auto made = c().create_index(pager_, index, table, {"A"}, true);
    if (k.collides) {
      EXPECT_EQ(made.error(), Error::Constraint("UNIQUE constraint failed: duplicate value in " + index)) << k.name;
      EXPECT_EQ(c().get_index(index), nullptr) << k.name;
    } else {
      ASSERT_TRUE(made.has_value()) << k.name;
      EXPECT_EQ(made->columns, std::vector<std::string>{"A"});
      EXPECT_EQ(made->col_positions, std::vector<size_t>{0});
      EXPECT_EQ(keys_of(index.c_str()).size(), k.values.size()) << k.name;
    }
  }
  // Not unique: three keys that differ in their rowid suffix.
  make_table("dups", {col("a")});
  for (int64_t r = 1; r <= 3; ++r) put_row("dups", r, {Value::Int(r == 1 ? 1 : 2)});
  must(c().create_index(pager_, "plain", "dups", {"a"}, false));
  EXPECT_EQ(keys_of("plain").size(), 3u);
}

TEST_F(IndexTest, CreateChecksInOrder) {
  make_table("t", {col("a")});
  must(c().create_index(pager_, "i", "t", {"a"}, false));
  EXPECT_EQ(c().create_index(pager_, "i", "missing", {"a"}, false).error().display(),
            "schema error: index \"i\" already exists");
  EXPECT_EQ(c().create_index(pager_, "j", "missing", {"a"}, false).error().display(),
            "schema error: no such table: missing");
  const uint32_t pages = pager_.header().page_count;
  EXPECT_EQ(c().create_index(pager_, "j", "t", {"a", "zz"}, false).error().display(),
            "schema error: no such column: zz");
  EXPECT_EQ(pager_.header().page_count, pages);  // before any page is allocated
}

TEST_F(IndexTest, AddedUniqueColumnSeesNullInOldRows) {
  make_table("one", {col("a")});
  make_table("two", {col("a")});
  put_row("one", 1, {Value::Int(1)});
  put_row("two", 1, {Value::Int(1)});
  put_row("two", 2, {Value::Int(2)});
  for (const char* t : {"one", "two"}) {
    Column b = col("b");
    b.unique = true;
    must(c().add_column(pager_, t, b));
  }
  EXPECT_TRUE(c().create_index(pager_, "one_b", "one", {"b"}, true).has_value());
  EXPECT_EQ(c().create_index(pager_, "two_b", "two", {"b"}, true).error().kind(), Error::Kind::Constraint);
}

TEST_F(IndexTest, DropAndReindex) {
  make_table("t", {col("a"), col("b")});
  make_table("bare", {col("a")});
  put_row("t", 1, {Value::Int(1), Value::Int(2)});
  for (const char* name : {"i1", "i2", "i3"}) must(c().create_index(pager_, name, "t", {"a"}, false));
  EXPECT_FALSE(must(c().drop_index(pager_, "nope")));
  EXPECT_TRUE(must(c().drop_index(pager_, "i2")));
  std::vector<std::string> left;
  for (const IndexDef* ix : c().indexes_for("t")) left.push_back(ix->name);
  EXPECT_EQ(left, (std::vector<std::string>{"i1", "i3"}));

  EXPECT_EQ(must(c().reindex(pager_, "bare")), 0u);
  EXPECT_EQ(c().reindex(pager_, "nope").error().display(), "schema error: no such table: nope");
  const IndexDef before = *c().get_index("i1");
  EXPECT_EQ(must(c().reindex(pager_, std::nullopt)), 2u);
  const IndexDef after = *c().get_index("i1");
  EXPECT_EQ(after.rowid, before.rowid);
  EXPECT_NE(after.root, before.root);
  EXPECT_EQ(keys_of("i1").size(), 1u);
  must(pager_.commit());
  Catalog reopened = must(Catalog::open(pager_));
  EXPECT_EQ(reopened.get_index("i1")->root, after.root);
  EXPECT_EQ(reopened.get_index("i2"), nullptr);
  must(pager_.begin());
}

TEST_F(IndexTest, RowidAliasIsKeyedByTheRowid) {
  // Rows store NULL for the alias column when the rowid was generated.
  make_table("t", {col("id"), col("v")}, 0);
  for (int64_t r = 1; r <= 3; ++r) put_row("t", r, {Value::Null(), Value::Int(10 * r)});
  must(c().create_index(pager_, "by_id", "t", {"id"}, true));  // no NULL collisions
  const std::vector<Bytes> keys = keys_of("by_id");
  ASSERT_EQ(keys.size(), 3u);
  EXPECT_EQ(keys[1], keyenc::encode_index_key(std::vector<Value>{Value::Int(2)}, 2));
  EXPECT_TRUE(check().empty());
}

TEST_F(IndexTest, IntegrityCheckReports) {
  make_table("t", {col("a")});
  for (int64_t r = 1; r <= 3; ++r) put_row("t", r, {Value::Int(r)});
  must(c().create_index(pager_, "i", "t", {"a"}, false));
  EXPECT_TRUE(check().empty());

  // An orphaned entry also makes the count line.
  must(index_tree("i").insert(keyenc::encode_index_key(std::vector<Value>{Value::Int(9)}, 9)));
  EXPECT_EQ(check(), (std::vector<std::string>{"index i: orphaned entry for missing rowid 9",
                                                "index i: 4 entries but table t has 3 rows"}));
  must(index_tree("i").delete_(keyenc::encode_index_key(std::vector<Value>{Value::Int(9)}, 9)));

  // A changed row without its index: a stale entry, no count line.
  put_row("t", 2, {Value::Int(20)});
  EXPECT_EQ(check(), std::vector<std::string>{"index i: stale entry for rowid 2"});
  put_row("t", 2, {Value::Int(2)});

  // A missing entry shows only in the count.
  must(index_tree("i").delete_(keyenc::encode_index_key(std::vector<Value>{Value::Int(3)}, 3)));
  EXPECT_EQ(check(), std::vector<std::string>{"index i: 2 entries but table t has 3 rows"});
  must(index_tree("i").insert(keyenc::encode_index_key(std::vector<Value>{Value::Int(3)}, 3)));

  // A key too short to hold a rowid is reported, not read past.
  must(index_tree("i").insert(Bytes{0x10, 0x20, 0x30}));
  const auto lines = check();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0], "index i: entry too short to hold a rowid");
  must(index_tree("i").delete_(Bytes{0x10, 0x20, 0x30}));
}

TEST_F(IndexTest, AtMostEightEntryLinesPerIndex) {
  make_table("t", {col("a")});
  must(c().create_index(pager_, "i", "t", {"a"}, false));
  for (int64_t r = 1; r <= 20; ++r) {
    must(index_tree("i").insert(keyenc::encode_index_key(std::vector<Value>{Value::Int(r)}, r)));
  }
  const auto lines = check();
  ASSERT_EQ(lines.size(), 9u);
  for (int i = 0; i < 8; ++i) {
    EXPECT_EQ(lines[i], "index i: orphaned entry for missing rowid " + std::to_string(i + 1));
  }
  EXPECT_EQ(lines[8], "index i: 20 entries but table t has 0 rows");
}

TEST_F(IndexTest, IndexOfAMissingTableIsSkipped) {
  make_table("t", {col("a")});
  must(c().create_index(pager_, "i", "t", {"a"}, false));
  must(BTree(pager_, c().schema_root()).delete_(c().get("t")->rowid));
  must(c().reload(pager_));
  ASSERT_EQ(c().get("t"), nullptr);
  EXPECT_TRUE(check().empty());
}

}  // namespace
}  // namespace vbk
