#include <gtest/gtest.h>

#include "catalog/catalog.h"
#include "record/record.h"

namespace vbk {
namespace {

Value T(const char* s) { return Value::Text(s); }
Value I(int64_t v) { return Value::Int(v); }

std::vector<Value> table_row(std::initializer_list<Value> fields) { return fields; }

Bytes encoded(const std::vector<Value>& row) { return record::encode_record(row); }

TEST(SchemaRow, TheDocumentedExampleRoundTrips) {
  TableDef t;
  t.name = "t";
  t.root = 3;
  t.rowid = 1;
  t.columns.push_back(Column{"a", "INT", true, false, Value::Int(0)});
  const std::vector<Value> expect = {T("table"), T("t"), I(3), I(-1), I(1), T("a"), T("INT"), I(5), I(0)};
  EXPECT_EQ(encoded(t.to_row()), encoded(expect));
  const TableDef back = TableDef::from_row(1, t.to_row()).value();
  EXPECT_EQ(encoded(back.to_row()), encoded(expect));
  EXPECT_EQ(back.rowid, 1);

  IndexDef ix;
  ix.name = "ia";
  ix.table = "t";
  ix.columns = {"a"};
  ix.col_positions = {0};
  ix.unique = true;
  ix.root = 4;
  ix.rowid = 2;
  const std::vector<Value> expect_ix = {T("index"), T("ia"), I(4), T("t"), I(1), I(1), T("a")};
  EXPECT_EQ(encoded(ix.to_row()), encoded(expect_ix));
  const IndexDef ix_back = IndexDef::from_row(2, expect_ix).value();
  EXPECT_TRUE(ix_back.col_positions.empty());
  EXPECT_EQ(encoded(ix_back.to_row()), encoded(expect_ix));
  EXPECT_TRUE(catalog::is_index_row(expect_ix));
  EXPECT_FALSE(catalog::is_index_row(expect));
}

TEST(SchemaRow, MalformedRowsAndTheirMessages) {
  struct Case {
    const char* name;
    bool index;
    std::vector<Value> row;
    const char* message;
  };
  const Bytes blob = {1};
  const Case cases[] = {
      {"empty table row", false, {}, "schema row: expected text at field 1"},
      {"name is a blob", false, {T("table"), Value::Blob(blob)}, "schema row: expected text at field 1"},
      {"root is a real", false, {T("table"), T("t"), Value::Real(3.0)}, "schema row: expected integer at field 2"},
      {"alias is text", false, {T("table"), T("t"), I(3), T("x")}, "schema row: expected integer at field 3"},
      {"no count", false, {T("table"), T("t"), I(3), I(-1)}, "schema row: expected integer at field 4"},
      {"negative count", false, {T("table"), T("t"), I(3), I(-1), I(-1)},
       "schema row: invalid column count at field 4"},
      {"count 2 in nine fields", false,
       {T("table"), T("t"), I(3), I(-1), I(2), T("a"), T(""), I(0), Value::Null()},
       "schema row: expected integer at field 11"},
      {"absurd count", false,
       {T("table"), T("t"), I(3), I(-1), I(INT64_MAX), T("a"), T(""), I(0), Value::Null()},
       "schema row: expected integer at field 11"},
      {"default announced but missing", false, {T("table"), T("t"), I(3), I(-1), I(1), T("a"), T(""), I(4)},
       "schema row: expected default value at field 8"},
      {"column name is an integer", false, {T("table"), T("t"), I(3), I(-1), I(1), I(7), T(""), I(0), Value::Null()},
       "schema row: expected text at field 5"},
      {"declared type is NULL", false,
       {T("table"), T("t"), I(3), I(-1), I(1), T("a"), Value::Null(), I(0), Value::Null()},
       "schema row: expected text at field 6"},
      {"index root is a real", true, {T("index"), T("i"), Value::Real(3.0)}, "schema row: expected integer at field 2"},
      {"index table is missing", true, {T("index"), T("i"), I(4)}, "schema row: expected text at field 3"},
      {"index unique is text", true, {T("index"), T("i"), I(4), T("t"), T("yes")},
       "schema row: expected integer at field 4"},
      {"index negative count", true, {T("index"), T("i"), I(4), T("t"), I(0), I(-3)},
       "schema row: invalid column count at field 5"},
      {"index count 2 with one name", true, {T("index"), T("i"), I(4), T("t"), I(0), I(2), T("a")},
       "schema row: expected text at field 7"},
  };
  for (const Case& c : cases) {
    const Error e = c.index ? IndexDef::from_row(1, c.row).error() : TableDef::from_row(1, c.row).error();
    EXPECT_EQ(e.kind(), Error::Kind::Schema) << c.name;
    EXPECT_EQ(e.display(), std::string("schema error: ") + c.message) << c.name;
  }
}

TEST(SchemaRow, RowsReadOnPurpose) {
  const TableDef t = TableDef::from_row(
      7, table_row({T("view"), T("t"), I(4294967298), I(-7), I(2), T("a"), T(""), I(5), I(0), T("b"),
                    T("TEXT"), I(1), T("ignored"), T("extra"), I(99)}))
                         .value();
  EXPECT_EQ(t.root, 2u);  // the low 32 bits
  EXPECT_FALSE(t.rowid_alias.has_value());
  ASSERT_EQ(t.columns.size(), 2u);
  EXPECT_TRUE(t.columns[0].not_null);
  EXPECT_FALSE(t.columns[0].unique);
  ASSERT_TRUE(t.columns[0].default_.has_value());
  EXPECT_EQ(t.columns[0].default_->as_int(), 0);
  EXPECT_TRUE(t.columns[1].not_null);
  EXPECT_FALSE(t.columns[1].default_.has_value());  // flags 1: the field is not looked at
  EXPECT_EQ(t.columns[1].decl_type, "TEXT");

  EXPECT_EQ(TableDef::from_row(1, table_row({T("table"), T("t"), I(3), I(9), I(0)}))->rowid_alias, 9u);
  EXPECT_TRUE(TableDef::from_row(1, table_row({T("table"), T("t"), I(3), I(-1), I(0)}))->columns.empty());
  // A NULL default that the flags announce is a present default of NULL.
  auto null_default = TableDef::from_row(1, table_row({T("t"), T("t"), I(3), I(-1), I(1), T("a"), T(""), I(4), Value::Null()}));
  ASSERT_TRUE(null_default->columns[0].default_.has_value());
  EXPECT_TRUE(null_default->columns[0].default_->is_null());

  EXPECT_TRUE(IndexDef::from_row(1, table_row({T("index"), T("i"), I(4), T("t"), I(2), I(0)}))->unique);
  EXPECT_FALSE(IndexDef::from_row(1, table_row({T("index"), T("i"), I(4), T("t"), I(0), I(0)}))->unique);
  // Only the exact lower-case word marks an index row.
  EXPECT_FALSE(catalog::is_index_row(table_row({T("INDEX"), T("i")})));
  EXPECT_FALSE(catalog::is_index_row(table_row({I(1)})));
}

TEST(SchemaRow, ColumnNamesFoldAsciiOnly) {
  TableDef t;
  t.columns = {Column{"name", "", false, false, {}}, Column{"NAME", "", false, false, {}},
               Column{"\xc3\xa9", "", false, false, {}}};
  EXPECT_EQ(t.column_index("NaMe"), 0u);
  EXPECT_EQ(t.column_index("\xc3\x89"), std::nullopt);  // É does not find é
  EXPECT_EQ(t.column_index("\xc3\xa9"), 2u);
  EXPECT_EQ(t.column_index("nam"), std::nullopt);
}

}  // namespace
}  // namespace vbk
