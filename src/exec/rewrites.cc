// The INSERT rewrites: INSERT ... SELECT (also IGNORE), REPLACE and
// ON DUPLICATE KEY UPDATE. The engine computes every row first, then runs
// statements it prepares from generated text, one row at a time with the
// row's values as ? values, inside the dispatcher's transaction (so the
// whole statement commits or rolls back as one):
//   INSERT [IGNORE] INTO `t` (`a`, `b`) VALUES (?, ?)      every row
//   DELETE FROM `t` WHERE rowid = ?                         REPLACE, per row
//                                                           collided with
// and, for ON DUPLICATE KEY UPDATE, an UPDATE of the first row collided with,
// built as a syntax tree with the row's values as literals and that row's
// rowid as its condition. The rows a new row collides with follow the rule
// of every UNIQUE check (catalog/unique.h), applied to the row as the INSERT
// would store it: the row with its rowid, then each unique index's colliding
// rows, indexes in creation order.

#include "exec/rewrites.h"

#include <algorithm>
#include <optional>
#include <utility>
#include <vector>

#include "btree/btree.h"
#include "btree/keyenc.h"
#include "catalog/unique.h"
#include "compile/compile.h"
#include "compile/dml.h"
#include "compile/names.h"
#include "exec/database.h"
#include "exec/folding.h"
#include "util/unicode.h"
#include "vdbe/value_ops.h"
#include "vdbe/vdbe.h"

namespace vbk {

namespace exec {

std::string quote_name(std::string_view name) {
  std::string out;
  out.reserve(name.size() + 2);
  out += '`';
  for (char c : name) {
    if (c == '`') out += '`';
    out += c;
  }
  out += '`';
  return out;
}

Result<Expr> subst_values_refs(const Expr& expr, const TableDef& table, std::span<const std::string> columns,
                               std::span<const Value> row) {
  Expr out = expr;
  // An explicit stack: operator chains can be longer than the call stack.
  std::vector<Expr*> todo{&out};
  auto visit = [&](Expr* child) {
    if (child != nullptr) todo.push_back(child);
  };
  while (!todo.empty()) {
    Expr* e = todo.back();
    todo.pop_back();
    switch (e->kind()) {
      case Expr::Kind::Unary:
        visit(e->as<Expr::Unary>().expr.get());
        break;
      case Expr::Kind::Binary: {
        auto& b = e->as<Expr::Binary>();
        visit(b.right.get());
        visit(b.left.get());
        break;
      }
      case Expr::Kind::Cast:
        visit(e->as<Expr::Cast>().expr.get());
        break;
      case Expr::Kind::Function: {
        auto& call = e->as<Expr::Function>();
        if (call.args.size() == 1 && unicode::ascii_iequals(call.name, "VALUES")) {
          Value v;
          if (const auto* col = call.args[0].get_if<Expr::Column>()) {
            // A misspelt name must not quietly write NULL over stored data.
            if (!table.column_index(col->name) && !compile::is_rowid_name(col->name)) {
              return std::unexpected(Error::Exec("no such column: " + col->name));
            }
            for (size_t i = 0; i < columns.size() && i < row.size(); ++i) {
              if (unicode::ascii_iequals(columns[i], col->name)) {
                v = row[i];
                break;
              }
            }
          }
          *e = value_to_expr(v);
          break;
        }
        for (Expr& arg : call.args) visit(&arg);
        break;
      }
      default:
        break;
    }
  }
  return out;
}

}  // namespace exec

namespace {

std::string joined(const std::vector<std::string>& parts, std::string_view separator) {
  std::string out;
  for (size_t i = 0; i < parts.size(); ++i) {
    if (i != 0) out += separator;
    out += parts[i];
  }
  return out;
}

// The row as the INSERT would store it, one value per table column: the
// inserted value (`targets` gives each insert column's table position) or
// the column's default, after the column's affinity. A rowid alias left out
// is NULL: the INSERT gives the row a new rowid, whatever the default.
std::vector<Value> stored_row(const TableDef& table, std::span<const size_t> targets, const vdbe::Row& row) {
  std::vector<Value> stored;
  stored.reserve(table.columns.size());
  for (size_t j = 0; j < table.columns.size(); ++j) {
    const std::optional<Value>& d = table.columns[j].default_;
    stored.push_back(d && table.rowid_alias != j ? *d : Value::Null());
  }
  for (size_t i = 0; i < targets.size(); ++i) stored[targets[i]] = row[i];
  for (size_t j = 0; j < stored.size(); ++j) {
    const compile::Affinity a = compile::numeric_affinity(table.columns[j].decl_type);
    if (a != compile::Affinity::None) value_ops::apply_affinity(stored[j], a == compile::Affinity::Real);
  }
  return stored;
}

// The INSERT's NOT NULL guards, made on the row as it would be stored
// (stored_row) before REPLACE deletes anything: a row that fails them must
// leave the rows it collides with in place. NULL at the rowid alias asks for
// a new rowid. The INSERT checks these before the rowid's type, and so does
// REPLACE; after the deletes the INSERT can meet no collision, so what else
// it fails on is a run-time error, which abandons the transaction.
Result<void> check_not_null(const TableDef& table, std::span<const Value> stored) {
  for (size_t j = 0; j < table.columns.size(); ++j) {
    const Column& c = table.columns[j];
    if (c.not_null && table.rowid_alias != j && stored[j].is_null()) {
      return std::unexpected(vdbe::not_null_failed(c.name));
    }
  }
  return {};
}

// The rowids of the stored rows that a new row collides with, `stored` being
// the row as the INSERT would store it (stored_row): first the row with the
// rowid the INSERT would use, then per unique index in creation order the
// rows of its colliding entries. With `first_only`, at most the first.
Result<std::vector<int64_t>> colliding_rows(Pager& pager, const Catalog& catalog, const TableDef& table,
                                            std::span<const Value> stored, bool first_only) {
  std::vector<int64_t> found;
  // Only an Int at the rowid alias is a rowid: the INSERT fails on any other
  // value, and takes a new rowid, which no row has, for a NULL left there.
  std::optional<int64_t> rowid;
  if (table.rowid_alias && *table.rowid_alias < stored.size() &&
      stored[*table.rowid_alias].kind() == Value::Kind::Int) {
    rowid = stored[*table.rowid_alias].as_int();
    if (VBK_TRY(BTree(pager, table.root).search(*rowid))) {
      found.push_back(*rowid);
      if (first_only) return found;
    }
  }
  catalog::TableRows rows(pager, table.root);
  for (const IndexDef* index : catalog.indexes_for(table.name)) {
    if (!index->unique) continue;
    // A key that holds the new row's rowid, not known yet, is held by no
    // stored entry.
    const bool keys_rowid = table.rowid_alias && std::ranges::find(index->col_positions, *table.rowid_alias) !=
                                                     index->col_positions.end();
    if (keys_rowid && !rowid) continue;
    const std::vector<Value> values = catalog::index_key_values(table, *index, stored, rowid.value_or(0));
    const Bytes prefix = keyenc::encode_key_prefix(values);
    const std::vector<uint32_t> columns = catalog::key_columns(table, *index);
    const std::vector<int64_t> hits =
        VBK_TRY(catalog::unique_collisions(pager, {index->root, prefix, values, columns}, rows, first_only));
    found.insert(found.end(), hits.begin(), hits.end());
    if (first_only && !found.empty()) break;
  }
  return found;
}

// The UPDATE of ON DUPLICATE KEY UPDATE for the stored row `rowid`, that
// the new row `row` (one value per insert column) collides with: each
// VALUES call is the row's value (NULL with an empty row).
Result<vdbe::Program> compile_duplicate_update(const Catalog& catalog, const std::string& table_name,
                                               const TableDef& table, const OnConflict::Update& update,
                                               std::span<const std::string> columns, std::span<const Value> row,
                                               int64_t rowid) {
  std::vector<Assignment> assignments;
  assignments.reserve(update.assignments.size());
  for (const Assignment& a : update.assignments) {
    assignments.push_back({a.column, VBK_TRY(exec::subst_values_refs(a.value, table, columns, row))});
  }
  const Expr where = Expr::Binary{BinaryOp::Eq, Expr(Expr::Column{std::nullopt, "rowid"}),
                                  exec::value_to_expr(Value::Int(rowid))};
  return compile::compile_update(table_name, assignments, &where, catalog);
}

}  // namespace

Result<uint64_t> Database::run_insert_rewrite(const Statement::Insert& ins, bool& wrote) {
  const TableDef* table = catalog_.get(ins.table);
  if (table == nullptr) return std::unexpected(Error::Exec("no such table: " + ins.table));

  std::vector<std::string> columns;
  if (ins.columns) {
    columns = *ins.columns;
  } else {
    for (const Column& c : table->columns) columns.push_back(c.name);
  }
  // The UPDATE of a colliding row is compiled once here, with NULL for
  // every VALUES call, before anything is computed or written: what fails
  // to compile (an unknown column, table or function, an aggregate, a
  // subquery that does not compile) fails for every row alike, so it fails
  // the statement whether or not a row collides, and inside BEGIN leaves
  // the transaction as it was.
  const auto* update = ins.on_conflict.get_if<OnConflict::Update>();
  if (update != nullptr) VBK_TRY(compile_duplicate_update(catalog_, ins.table, *table, *update, columns, {}, 0));

  // Every row is computed before the first is written, so a source that
  // reads the table sees none of the statement's own rows.
  std::vector<vdbe::Row> rows;
  if (const auto* sel = ins.source.get_if<InsertSource::Select>()) {
    rows = VBK_TRY(query_rows(sel->select));
  } else {
    const auto& values = ins.source.as<InsertSource::Values>();
    const size_t width = std::max<uint64_t>(values.width, 1);
    for (size_t start = 0; start < values.values.size(); start += width) {
      vdbe::Row& row = rows.emplace_back();
      const size_t end = std::min(values.values.size(), start + width);
      for (size_t i = start; i < end; ++i) row.push_back(VBK_TRY(eval_const_expr(values.values[i])));
    }
  }
  for (const vdbe::Row& row : rows) {
    if (row.size() != columns.size()) {
      return std::unexpected(Error::Exec("INSERT into " + ins.table + " expects " +
                                         std::to_string(columns.size()) + " values, got " +
                                         std::to_string(row.size())));
    }
  }

  std::vector<std::string> quoted_columns;
  std::vector<std::string> marks;
  for (const std::string& c : columns) {
    quoted_columns.push_back(exec::quote_name(c));
    marks.emplace_back("?");
  }
  const std::string quoted_table = exec::quote_name(ins.table);
  const bool ignore = ins.on_conflict.is<OnConflict::Ignore>();
  Prepared insert = VBK_TRY(prepare((ignore ? "INSERT IGNORE INTO " : "INSERT INTO ") +
                                    quoted_table + " (" + joined(quoted_columns, ", ") +
                                    ") VALUES (" + joined(marks, ", ") + ")"));

  uint64_t count = 0;
  if (!ins.on_conflict.is<OnConflict::Replace>() && update == nullptr) {
    // INSERT ... SELECT, plain or IGNORE: a row that IGNORE skips counts 0.
    wrote = true;
    for (const vdbe::Row& row : rows) count += VBK_TRY(execute_prepared_dml(insert, row));
    return count;
  }

  // The insert has been prepared, so every insert column is the table's.
  std::vector<size_t> targets;
  for (const std::string& name : columns) {
    const std::optional<size_t> pos = table->column_index(name);
    if (!pos) fault("insert column " + name + " outside table " + ins.table);
    targets.push_back(*pos);
  }
  std::optional<Prepared> delete_row;
  if (update == nullptr) delete_row = VBK_TRY(prepare("DELETE FROM " + quoted_table + " WHERE rowid = ?"));
  wrote = true;
  for (const vdbe::Row& row : rows) {
    const std::vector<Value> stored = stored_row(*table, targets, row);
    const std::vector<int64_t> hits =
        VBK_TRY(colliding_rows(pager_, catalog_, *table, stored, update != nullptr));
    if (update == nullptr) {
      // REPLACE: every row collided with goes (one found twice is gone the
      // second time), then the row is inserted.
      VBK_TRY(check_not_null(*table, stored));
      for (int64_t rowid : hits) VBK_TRY(execute_prepared(*delete_row, std::vector<Value>{Value::Int(rowid)}));
      VBK_TRY(execute_prepared_dml(insert, row));
      ++count;
      continue;
    }
    if (hits.empty()) {
      VBK_TRY(execute_prepared_dml(insert, row));
      ++count;
      continue;
    }
    const vdbe::Program program =
        VBK_TRY(compile_duplicate_update(catalog_, ins.table, *table, *update, columns, row, hits.front()));
    count += VBK_TRY(run_program_dml(program, {}));
  }
  return count;
}

}  // namespace vbk
