// The schema table's rows: writing definitions as records of values and
// reading them back with every field checked, since a row is file input.

#include <string>

#include "catalog/catalog.h"
#include "util/unicode.h"

namespace vbk {

namespace {

Error expected_text(size_t field) {
  return Error::Schema("schema row: expected text at field " + std::to_string(field));
}

Error expected_integer(size_t field) {
  return Error::Schema("schema row: expected integer at field " + std::to_string(field));
}

// A field beyond the row's end fails like one of the wrong type.
Result<std::string> text_at(std::span<const Value> row, size_t field) {
  if (field >= row.size() || row[field].kind() != Value::Kind::Text) {
    return std::unexpected(expected_text(field));
  }
  return row[field].as_text();
}

Result<int64_t> integer_at(std::span<const Value> row, size_t field) {
  if (field >= row.size() || row[field].kind() != Value::Kind::Int) {
    return std::unexpected(expected_integer(field));
  }
  return row[field].as_int();
}

// A stored count read from a row: never trusted to size anything, and a
// negative one makes the row unreadable.
Result<uint64_t> count_at(std::span<const Value> row, size_t field) {
  const int64_t n = VBK_TRY(integer_at(row, field));
  if (n < 0) {
    return std::unexpected(
        Error::Schema("schema row: invalid column count at field " + std::to_string(field)));
  }
  return static_cast<uint64_t>(n);
}

constexpr int64_t kNotNull = 1, kUnique = 2, kHasDefault = 4;

}  // namespace

bool catalog::is_index_row(std::span<const Value> row) {
  return !row.empty() && row[0].kind() == Value::Kind::Text && row[0].as_text() == "index";
}

std::optional<size_t> TableDef::column_index(std::string_view name) const {
  for (size_t i = 0; i < columns.size(); ++i) {
    if (unicode::ascii_iequals(columns[i].name, name)) return i;
  }
  return std::nullopt;
}

std::vector<Value> TableDef::to_row() const {
  std::vector<Value> row;
  row.reserve(5 + 4 * columns.size());
  row.push_back(Value::Text("table"));
  row.push_back(Value::Text(name));
  row.push_back(Value::Int(root));
  row.push_back(Value::Int(rowid_alias ? static_cast<int64_t>(*rowid_alias) : -1));
  row.push_back(Value::Int(static_cast<int64_t>(columns.size())));
  for (const Column& c : columns) {
    row.push_back(Value::Text(c.name));
    row.push_back(Value::Text(c.decl_type));
    row.push_back(Value::Int((c.not_null ? kNotNull : 0) + (c.unique ? kUnique : 0) +
                             (c.default_ ? kHasDefault : 0)));
    row.push_back(c.default_ ? *c.default_ : Value::Null());
  }
  return row;
}

Result<TableDef> TableDef::from_row(int64_t rowid, std::span<const Value> row) {
  TableDef t;
  t.rowid = rowid;
  t.name = VBK_TRY(text_at(row, 1));
  t.root = static_cast<uint32_t>(VBK_TRY(integer_at(row, 2)));
  const int64_t alias = VBK_TRY(integer_at(row, 3));
  if (alias >= 0) t.rowid_alias = static_cast<size_t>(alias);
  const uint64_t n = VBK_TRY(count_at(row, 4));
  // The first column past the row's end fails, so the row's length bounds
  // the loop whatever the stored count says.
  for (uint64_t i = 0; i < n; ++i) {
    const size_t f = 5 + 4 * static_cast<size_t>(i);
    const int64_t flags = VBK_TRY(integer_at(row, f + 2));
    Column c;
    if (flags & kHasDefault) {
      if (f + 3 >= row.size()) {
        return std::unexpected(
            Error::Schema("schema row: expected default value at field " + std::to_string(f + 3)));
      }
      c.default_ = row[f + 3];
    }
    c.name = VBK_TRY(text_at(row, f));
    c.decl_type = VBK_TRY(text_at(row, f + 1));
    c.not_null = flags & kNotNull;
    c.unique = flags & kUnique;
    t.columns.push_back(std::move(c));
  }
  return t;
}

std::vector<Value> IndexDef::to_row() const {
  std::vector<Value> row;
  row.reserve(6 + columns.size());
  row.push_back(Value::Text("index"));
  row.push_back(Value::Text(name));
  row.push_back(Value::Int(root));
  row.push_back(Value::Text(table));
  row.push_back(Value::Int(unique ? 1 : 0));
  row.push_back(Value::Int(static_cast<int64_t>(columns.size())));
  for (const std::string& c : columns) row.push_back(Value::Text(c));
  return row;
}

Result<IndexDef> IndexDef::from_row(int64_t rowid, std::span<const Value> row) {
  IndexDef ix;
  ix.rowid = rowid;
  ix.name = VBK_TRY(text_at(row, 1));
  ix.root = static_cast<uint32_t>(VBK_TRY(integer_at(row, 2)));
  ix.table = VBK_TRY(text_at(row, 3));
  ix.unique = VBK_TRY(integer_at(row, 4)) != 0;
  const uint64_t n = VBK_TRY(count_at(row, 5));
  for (uint64_t i = 0; i < n; ++i) ix.columns.push_back(VBK_TRY(text_at(row, 6 + static_cast<size_t>(i))));
  return ix;
}

std::vector<Value> catalog::index_key_values(const TableDef& table, const IndexDef& index,
                                             std::span<const Value> row, int64_t rowid) {
  std::vector<Value> values;
  values.reserve(index.col_positions.size());
  for (size_t pos : index.col_positions) {
    if (table.rowid_alias && *table.rowid_alias == pos) {
      values.push_back(Value::Int(rowid));
    } else {
      values.push_back(pos < row.size() ? row[pos] : Value::Null());
    }
  }
  return values;
}

}  // namespace vbk
