// The INSERT rewrites: INSERT ... SELECT (also IGNORE), REPLACE and
// ON DUPLICATE KEY UPDATE. The engine computes every row first, then runs
// statements it prepares from generated text, one row at a time with the
// row's values as ? values, inside the dispatcher's transaction (so the
// whole statement commits or rolls back as one):
//   INSERT [IGNORE] INTO `t` (`a`, `b`) VALUES (?, ?)      every row
//   DELETE FROM `t` WHERE `k` = ?                           REPLACE, per key set
//   SELECT 1 FROM `t` WHERE `k` = ? LIMIT 1                 the duplicate probe
// and, for a duplicate found, an UPDATE built as a syntax tree with the row's
// values as literals. A key set is the rowid alias or the columns of a
// unique index, when all of them are inserted.

#include "exec/rewrites.h"

#include <algorithm>
#include <optional>
#include <utility>
#include <vector>

#include "compile/compile.h"
#include "exec/database.h"
#include "exec/folding.h"
#include "util/unicode.h"

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

Expr subst_values_refs(const Expr& expr, std::span<const std::string> columns,
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

Expr key_where_expr(std::span<const std::string> names, std::span<const size_t> positions,
                    std::span<const Value> row) {
  if (names.empty() || names.size() != positions.size()) fault("key set without columns");
  auto equality = [&](size_t i) {
    return Expr(Expr::Binary{BinaryOp::Eq, Expr(Expr::Column{std::nullopt, names[i]}),
                             value_to_expr(row[positions[i]])});
  };
  Expr where = equality(0);
  for (size_t i = 1; i < names.size(); ++i) {
    Expr next = Expr::Binary{BinaryOp::And, std::move(where), equality(i)};
    where = std::move(next);
  }
  return where;
}

}  // namespace exec

namespace {

// Columns whose values identify a row: the rowid alias, or a unique index.
struct KeySet {
  std::vector<std::string> names;
  std::vector<size_t> positions;  // in the insert columns

  std::vector<Value> values_of(const vdbe::Row& row) const {
    std::vector<Value> out;
    out.reserve(positions.size());
    for (size_t p : positions) out.push_back(row[p]);
    return out;
  }
};

std::string joined(const std::vector<std::string>& parts, std::string_view separator) {
  std::string out;
  for (size_t i = 0; i < parts.size(); ++i) {
    if (i != 0) out += separator;
    out += parts[i];
  }
  return out;
}

// `k1` = ? AND `k2` = ? ...
std::string key_condition(const KeySet& key) {
  std::vector<std::string> terms;
  for (const std::string& name : key.names) terms.push_back(exec::quote_name(name) + " = ?");
  return joined(terms, " AND ");
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
  auto position_of = [&](std::string_view name) -> std::optional<size_t> {
    for (size_t i = 0; i < columns.size(); ++i) {
      if (unicode::ascii_iequals(columns[i], name)) return i;
    }
    return std::nullopt;
  };
  std::vector<KeySet> keys;
  if (table->rowid_alias && *table->rowid_alias < table->columns.size()) {
    const std::string& alias = table->columns[*table->rowid_alias].name;
    if (const std::optional<size_t> pos = position_of(alias)) keys.push_back({{alias}, {*pos}});
  }
  for (const IndexDef* index : catalog_.indexes_for(ins.table)) {
    if (!index->unique) continue;
    KeySet key;
    for (const std::string& name : index->columns) {
      const std::optional<size_t> pos = position_of(name);
      if (!pos) break;
      key.names.push_back(name);
      key.positions.push_back(*pos);
    }
    if (!key.names.empty() && key.names.size() == index->columns.size()) {
      keys.push_back(std::move(key));
    }
  }

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
  if (ins.on_conflict.is<OnConflict::Replace>()) {
    std::vector<Prepared> deletes;
    for (const KeySet& key : keys) {
      deletes.push_back(
          VBK_TRY(prepare("DELETE FROM " + quoted_table + " WHERE " + key_condition(key))));
    }
    wrote = true;
    for (const vdbe::Row& row : rows) {
      // A row whose keys match different rows removes every one of them; a
      // NULL key matches nothing.
      for (size_t k = 0; k < keys.size(); ++k) {
        VBK_TRY(execute_prepared(deletes[k], keys[k].values_of(row)));
      }
      VBK_TRY(execute_prepared_dml(insert, row));
      ++count;
    }
    return count;
  }

  if (const auto* update = ins.on_conflict.get_if<OnConflict::Update>()) {
    std::vector<std::optional<Prepared>> probes(keys.size());
    wrote = true;
    for (const vdbe::Row& row : rows) {
      const KeySet* hit = nullptr;
      for (size_t k = 0; k < keys.size() && hit == nullptr; ++k) {
        if (!probes[k]) {
          probes[k] = VBK_TRY(prepare("SELECT 1 FROM " + quoted_table + " WHERE " +
                                      key_condition(keys[k]) + " LIMIT 1"));
        }
        const ExecResult found = VBK_TRY(execute_prepared(*probes[k], keys[k].values_of(row)));
        const auto* found_rows = found.get_if<ExecResult::Rows>();
        if (found_rows != nullptr && !found_rows->rows.empty()) hit = &keys[k];
      }
      if (hit == nullptr) {
        VBK_TRY(execute_prepared_dml(insert, row));
        ++count;
        continue;
      }
      std::vector<Assignment> assignments;
      assignments.reserve(update->assignments.size());
      for (const Assignment& a : update->assignments) {
        assignments.push_back({a.column, exec::subst_values_refs(a.value, columns, row)});
      }
      const Expr where = exec::key_where_expr(hit->names, hit->positions, row);
      const vdbe::Program program =
          VBK_TRY(compile::compile_update(ins.table, assignments, &where, catalog_));
      count += VBK_TRY(run_program_dml(program, {}));
    }
    return count;
  }

  // INSERT ... SELECT, plain or IGNORE: a row that IGNORE skips counts 0.
  wrote = true;
  for (const vdbe::Row& row : rows) count += VBK_TRY(execute_prepared_dml(insert, row));
  return count;
}

}  // namespace vbk
