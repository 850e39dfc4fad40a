// The statement dispatcher: one parsed statement of a script, run against
// the open database. Schema statements go through the catalog, transaction
// control through the pager, SELECT, INSERT, UPDATE and DELETE through the
// query compiler and a program run.

#include "exec/dispatch.h"

#include <algorithm>
#include <array>
#include <string>
#include <unordered_set>
#include <utility>
#include <vector>

#include "btree/cursor.h"
#include "compile/compile.h"
#include "exec/database.h"
#include "exec/folding.h"
#include "util/hash.h"
#include "util/unicode.h"
#include "vdbe/value_ops.h"

namespace vbk {

namespace {

bool has_constraint(const ColumnDef& def, Constraint::Kind kind) {
  for (const Constraint& c : def.constraints) {
    if (c.kind == kind) return true;
  }
  return false;
}

}  // namespace

namespace exec {

bool is_integer_type(std::string_view type) {
  static constexpr std::array<std::string_view, 9> kNames = {
      "INT", "INT2", "INT4", "INT8", "BIGINT", "INTEGER", "TINYINT", "SMALLINT", "MEDIUMINT"};
  for (std::string_view n : kNames) {
    if (unicode::ascii_iequals(type, n)) return true;
  }
  return false;
}

Value literal_value(const Expr& expr) {
  switch (expr.kind()) {
    case Expr::Kind::Integer:
      return Value::Int(expr.as<Expr::Integer>().value);
    case Expr::Kind::Real:
      return Value::Real(expr.as<Expr::Real>().value);
    case Expr::Kind::Text:
      return Value::Text(expr.as<Expr::Text>().value);
    default:
      return Value();
  }
}

Value coerce_affinity(std::string_view decl_type, Value value) {
  if (value.kind() != Value::Kind::Text) return value;
  std::string upper;
  unicode::append_ascii_upper(upper, decl_type);
  if (upper.find("INT") != std::string::npos) {
    value_ops::apply_affinity(value, false);
    return value;
  }
  for (std::string_view word : {"REAL", "FLOA", "DOUB", "DEC", "NUM"}) {
    if (upper.find(word) != std::string::npos) {
      value_ops::apply_affinity(value, true);
      break;
    }
  }
  return value;
}

std::optional<std::string> found_rows_query(const SelectStmt& select) {
  if (!select.from.empty() || select.items.size() != 1) return std::nullopt;
  const SelectItem& item = select.items[0];
  if (item.kind != SelectItem::Kind::Expr) return std::nullopt;
  const auto* call = item.expr.get_if<Expr::Function>();
  if (call == nullptr || !call->args.empty() || !unicode::ascii_iequals(call->name, "FOUND_ROWS")) {
    return std::nullopt;
  }
  return item.alias ? *item.alias : std::string("FOUND_ROWS()");
}

bool is_integer_kind(const ColumnDef& def) {
  return (def.type_name && is_integer_type(*def.type_name)) ||
         has_constraint(def, Constraint::Kind::AutoIncrement);
}

Column build_column(const ColumnDef& def, bool in_create_table) {
  Column col;
  col.name = def.name;
  col.decl_type = def.type_name.value_or("");
  if (in_create_table && has_constraint(def, Constraint::Kind::PrimaryKey)) {
    col.not_null = true;
    col.unique = !is_integer_kind(def);
  } else {
    col.not_null = has_constraint(def, Constraint::Kind::NotNull);
    col.unique = has_constraint(def, Constraint::Kind::Unique);
  }
  for (const Constraint& c : def.constraints) {
    if (c.kind == Constraint::Kind::Default) {
      col.default_ = coerce_affinity(col.decl_type, literal_value(c.value));
      break;
    }
  }
  return col;
}

Result<void> create_table(Pager& pager, Catalog& catalog, const Statement::CreateTable& ct, bool& wrote) {
  // The table as the catalog will store it, to check the indexes against.
  TableDef table;
  table.name = ct.name;
  table.columns.reserve(ct.columns.size());
  // Every name reads the first column it equals, so a later column of the
  // same name could never be read. The catalog stores whatever it is given
  // (a file may hold such a table from before this check, and opens as it
  // is): the refusal is the statement's, before anything is written. The
  // names seen are kept folded in a set, so that a list of any length is
  // checked in linear time.
  std::unordered_set<std::string, NameHash, NameEq> folded_names;
  folded_names.reserve(ct.columns.size());
  for (size_t i = 0; i < ct.columns.size(); ++i) {
    const ColumnDef& def = ct.columns[i];
    std::string folded;
    unicode::append_ascii_lower(folded, def.name);
    if (!folded_names.insert(std::move(folded)).second) {
      return std::unexpected(catalog::duplicate_column(def.name));
    }
    table.columns.push_back(build_column(def, true));
    if (!table.rowid_alias && is_integer_kind(def) &&
        has_constraint(def, Constraint::Kind::PrimaryKey)) {
      table.rowid_alias = i;
    }
  }
  struct NewIndex {
    std::string name;
    std::vector<std::string> columns;
    bool unique = false;
  };
  std::vector<NewIndex> indexes;
  for (const Column& col : table.columns) {
    if (col.unique) indexes.push_back({ct.name + "__" + col.name + "__unique", {col.name}, true});
  }
  for (size_t i = 0; i < ct.indexes.size(); ++i) {
    const TableIndex& clause = ct.indexes[i];
    // A key on the rowid alias alone is the table's own order.
    if (table.rowid_alias && clause.columns.size() == 1 &&
        unicode::ascii_iequals(clause.columns[0], table.columns[*table.rowid_alias].name)) {
      continue;
    }
    const std::string clause_name = clause.name ? *clause.name : ct.name + "__idx" + std::to_string(i);
    indexes.push_back({ct.name + "__" + clause_name, clause.columns, clause.unique});
  }
  // Every index name and column is checked before anything is written, in
  // the order the indexes are made, so that a refusal leaves nothing behind
  // and gives the error that making them one by one would meet first. The
  // new table is empty: building its indexes can meet no duplicate.
  for (size_t k = 0; k < indexes.size(); ++k) {
    const std::string& name = indexes[k].name;
    const auto earlier = indexes.begin() + static_cast<std::ptrdiff_t>(k);
    if (catalog.get_index(name) != nullptr ||
        std::ranges::any_of(indexes.begin(), earlier, [&](const NewIndex& ix) { return ix.name == name; })) {
      return std::unexpected(catalog::index_exists(name));
    }
    VBK_TRY(catalog::key_positions(table, indexes[k].columns));
  }
  Result<TableDef> made = catalog.create_table(pager, ct.name, std::move(table.columns), table.rowid_alias);
  if (!made) {
    wrote = !made.error().is(Error::Kind::Schema);
    return std::unexpected(std::move(made).error());
  }
  wrote = true;
  for (NewIndex& ix : indexes) {
    VBK_TRY(catalog.create_index(pager, std::move(ix.name), ct.name, std::move(ix.columns), ix.unique));
  }
  return {};
}

Result<vdbe::Program> compile_statement(const Statement& stmt, const Catalog& catalog) {
  switch (stmt.kind()) {
    case Statement::Kind::Select:
      return compile::compile_select(stmt.as<Statement::Select>().select, catalog);
    case Statement::Kind::Insert: {
      const auto& ins = stmt.as<Statement::Insert>();
      const auto& values = ins.source.as<InsertSource::Values>();
      return compile::compile_insert(ins.table, ins.columns, values.values, values.width,
                                     ins.on_conflict.is<OnConflict::Ignore>(), catalog);
    }
    case Statement::Kind::Update: {
      const auto& up = stmt.as<Statement::Update>();
      return compile::compile_update(up.table, up.assignments, up.where ? &*up.where : nullptr,
                                     catalog);
    }
    case Statement::Kind::Delete: {
      const auto& del = stmt.as<Statement::Delete>();
      return compile::compile_delete(del.table, del.where ? &*del.where : nullptr, catalog);
    }
    default:
      fault("statement kind that the compiler does not take");
  }
}

}  // namespace exec

namespace {

bool is_rewritten_insert(const Statement& stmt) {
  const auto* ins = stmt.get_if<Statement::Insert>();
  return ins != nullptr &&
         (ins->source.is<InsertSource::Select>() || ins->on_conflict.is<OnConflict::Replace>() ||
          ins->on_conflict.is<OnConflict::Update>());
}

}  // namespace

Result<ExecResult> Database::run_statement(Statement stmt) {
  switch (stmt.kind()) {
    case Statement::Kind::Select:
      return run_select(std::move(stmt));
    case Statement::Kind::Insert:
    case Statement::Kind::Update:
    case Statement::Kind::Delete:
      return run_dml(std::move(stmt));
    case Statement::Kind::CreateTable:
    case Statement::Kind::DropTable:
    case Statement::Kind::CreateIndex:
    case Statement::Kind::DropIndex:
    case Statement::Kind::AlterTableAdd:
      return run_schema(std::move(stmt));
    case Statement::Kind::Begin:
    case Statement::Kind::Commit:
    case Statement::Kind::Rollback:
      return run_tx_control(stmt);
    case Statement::Kind::Pragma:
      return run_pragma(stmt.as<Statement::Pragma>());
  }
  fault("statement of unknown kind");
}

Result<ExecResult> Database::run_select(Statement stmt) {
  SelectStmt& select = stmt.as<Statement::Select>().select;
  // Folded under the caller's read lock, or inside the open transaction.
  if (exec::select_has_subquery(select)) VBK_TRY(fold_select(select, {}));
  if (std::optional<std::string> name = exec::found_rows_query(select)) {
    // A count of rows held in memory always fits.
    const auto count = static_cast<int64_t>(found_rows_);
    ExecResult::Rows rows;
    rows.columns.push_back(std::move(*name));
    rows.rows.push_back({Value::Int(count)});
    return rows;
  }
  if (!select.unions.empty()) return VBK_TRY(run_union(std::move(select)));
  vdbe::Program program = VBK_TRY(compile::compile_select(select, catalog_));
  std::vector<vdbe::Row> rows = VBK_TRY(run_query(program, select.calc_found_rows, {}));
  return ExecResult::Rows{std::move(program.columns), std::move(rows)};
}

Result<ExecResult> Database::run_dml(Statement stmt) {
  return autocommit(false, [&](bool& wrote) -> Result<ExecResult> {
    // Folded inside the transaction, so that the subqueries read the state
    // the statement then changes.
    if (exec::stmt_has_subquery(stmt)) stmt = VBK_TRY(fold_subqueries(std::move(stmt)));
    if (is_rewritten_insert(stmt)) {
      return ExecResult::Affected{VBK_TRY(run_insert_rewrite(stmt.as<Statement::Insert>(), wrote))};
    }
    const vdbe::Program program = VBK_TRY(exec::compile_statement(stmt, catalog_));
    wrote = true;
    const uint64_t count = VBK_TRY(run_program_dml(program, {}));
    return ExecResult::Affected{count};
  });
}

Result<bool> Database::schema_stmt_applies(const Statement& stmt) const {
  // Returns whether the statement has work to do; IF [NOT] EXISTS turns a
  // refusal into a no-op.
  auto refuse_or_skip = [](bool skip, std::string message) -> Result<bool> {
    if (skip) return false;
    return std::unexpected(Error::Schema(std::move(message)));
  };
  switch (stmt.kind()) {
    case Statement::Kind::CreateTable: {
      const auto& s = stmt.as<Statement::CreateTable>();
      if (catalog_.get(s.name) == nullptr) return true;
      return refuse_or_skip(s.if_not_exists, "table \"" + s.name + "\" already exists");
    }
    case Statement::Kind::DropTable: {
      const auto& s = stmt.as<Statement::DropTable>();
      if (catalog_.get(s.name) != nullptr) return true;
      return refuse_or_skip(s.if_exists, "no such table: " + s.name);
    }
    case Statement::Kind::CreateIndex: {
      const auto& s = stmt.as<Statement::CreateIndex>();
      if (catalog_.get_index(s.name) == nullptr) return true;
      if (s.if_not_exists) return false;
      return std::unexpected(catalog::index_exists(s.name));
    }
    case Statement::Kind::DropIndex: {
      const auto& s = stmt.as<Statement::DropIndex>();
      if (catalog_.get_index(s.name) != nullptr) return true;
      return refuse_or_skip(s.if_exists, "no such index: " + s.name);
    }
    default:
      return true;
  }
}

Result<ExecResult> Database::run_schema(Statement stmt) {
  // The existence tests run before the transaction, so that a no-op or a
  // refusal takes no write lock. Such an answer may rest on a schema that
  // another handle has changed since: it is confirmed under a read lock,
  // which catches up with other handles' commits.
  Result<bool> applies = schema_stmt_applies(stmt);
  if (!(applies && *applies) && !pager_.in_tx()) {
    VBK_TRY(read_lock());
    applies = schema_stmt_applies(stmt);
    read_unlock();
  }
  if (!VBK_TRY(std::move(applies))) return ExecResult::Done{};
  return autocommit(true, [&](bool& wrote) -> Result<ExecResult> {
    // Beginning may have read the schema again (another handle changed it
    // while this one waited for the lock): the answer may differ now.
    if (!VBK_TRY(schema_stmt_applies(stmt))) return ExecResult::Done{};
    note_schema_change();
    // A catalog check refused the first change: nothing was written.
    auto first_change = [&](auto result) -> decltype(result) {
      wrote = result || !result.error().is(Error::Kind::Schema);
      return result;
    };
    switch (stmt.kind()) {
      case Statement::Kind::CreateTable:
        VBK_TRY(create_table(stmt.as<Statement::CreateTable>(), wrote));
        break;
      case Statement::Kind::DropTable:
        VBK_TRY(first_change(catalog_.drop_table(pager_, stmt.as<Statement::DropTable>().name)));
        break;
      case Statement::Kind::CreateIndex: {
        auto& s = stmt.as<Statement::CreateIndex>();
        Result<IndexDef> made = catalog_.create_index(pager_, std::move(s.name), std::move(s.table),
                                                      std::move(s.columns), s.unique);
        // A build that fails on a duplicate or a key too large leaves only
        // unreachable pages: as far as the schema goes, nothing was written.
        wrote = made || !catalog::schema_left_whole(made.error());
        VBK_TRY(std::move(made));
        break;
      }
      case Statement::Kind::DropIndex:
        VBK_TRY(first_change(catalog_.drop_index(pager_, stmt.as<Statement::DropIndex>().name)));
        break;
      case Statement::Kind::AlterTableAdd:
        VBK_TRY(alter_table_add(stmt.as<Statement::AlterTableAdd>(), wrote));
        break;
      default:
        fault("schema statement of unknown kind");
    }
    ++schema_generation_;
    return ExecResult::Done{};
  });
}

Result<void> Database::create_table(const Statement::CreateTable& ct, bool& wrote) {
  return exec::create_table(pager_, catalog_, ct, wrote);
}

Result<void> Database::alter_table_add(const Statement::AlterTableAdd& add, bool& wrote) {
  Column col = exec::build_column(add.column, false);
  const bool unique = col.unique;
  const std::string name = col.name;
  std::string index_name = add.table + "__" + name + "__unique";
  // A unique column's index is refused before the column is added, so that
  // the refusal leaves nothing: its name must be free, and the table may
  // hold at most one row, as every stored row reads NULL in the new column
  // whatever its DEFAULT, and NULL collides with NULL. A missing table or a
  // column name in use is add_column's refusal, which comes first.
  const TableDef* table = catalog_.get(add.table);
  if (unique && table != nullptr && !table->column_index(name)) {
    if (catalog_.get_index(index_name) != nullptr) {
      return std::unexpected(catalog::index_exists(index_name));
    }
    Cursor rows(pager_, table->root);
    VBK_TRY(rows.rewind());
    const bool two_rows = VBK_TRY(rows.next()) && VBK_TRY(rows.next());
    if (two_rows) {
      return std::unexpected(Error::Constraint(std::string(catalog::kDuplicateIn) + index_name));
    }
  }
  Result<void> added = catalog_.add_column(pager_, add.table, std::move(col));
  if (!added) {
    wrote = !added.error().is(Error::Kind::Schema);
    return added;
  }
  wrote = true;
  if (unique) VBK_TRY(catalog_.create_index(pager_, std::move(index_name), add.table, {name}, true));
  return {};
}

Result<ExecResult> Database::run_tx_control(const Statement& stmt) {
  switch (stmt.kind()) {
    case Statement::Kind::Begin:
      VBK_TRY(begin_tx());
      break;
    case Statement::Kind::Commit: {
      Result<void> committed = pager_.commit();
      // A commit that failed before its commit point leaves the transaction
      // open for the caller to commit again or roll back; one whose unlock
      // failed is over.
      if (!pager_.in_tx()) catalog_at_begin_.reset();
      VBK_TRY(std::move(committed));
      break;
    }
    case Statement::Kind::Rollback: {
      Result<void> rolled_back = pager_.rollback();
      if (!pager_.in_tx()) restore_catalog();
      VBK_TRY(std::move(rolled_back));
      break;
    }
    default:
      fault("transaction statement of unknown kind");
  }
  return ExecResult::Done{};
}

}  // namespace vbk
