#include "support/sql_db.h"

#include <stdexcept>

#include "compile/compile.h"
#include "sql/parser.h"
#include "support/must.h"
#include "util/unicode.h"
#include "vdbe/vdbe.h"
#include "vfs/os.h"

namespace vbk::testing {

namespace {

Value literal_value(const Expr& e) {
  if (const auto* i = e.get_if<Expr::Integer>()) return Value::Int(i->value);
  if (const auto* r = e.get_if<Expr::Real>()) return Value::Real(r->value);
  if (const auto* t = e.get_if<Expr::Text>()) return Value::Text(t->value);
  return Value::Null();
}

bool has(const ColumnDef& c, Constraint::Kind k) {
  for (const Constraint& x : c.constraints) {
    if (x.kind == k) return true;
  }
  return false;
}

void create_from(Pager& pager, Catalog& catalog, const Statement::CreateTable& ct) {
  std::vector<Column> columns;
  std::optional<size_t> alias;
  std::vector<std::string> unique_columns;
  for (const ColumnDef& d : ct.columns) {
    Column c;
    c.name = d.name;
    c.decl_type = d.type_name.value_or("");
    std::string upper;
    unicode::append_ascii_upper(upper, c.decl_type);
    bool integer = upper.find("INT") != std::string::npos;
    bool primary = has(d, Constraint::Kind::PrimaryKey);
    if (primary && !alias && (integer || has(d, Constraint::Kind::AutoIncrement))) {
      alias = columns.size();
    }
    c.not_null = primary || has(d, Constraint::Kind::NotNull);
    c.unique = has(d, Constraint::Kind::Unique) && !(primary && alias == columns.size());
    for (const Constraint& x : d.constraints) {
      if (x.kind == Constraint::Kind::Default) {
        c.default_ = literal_value(x.value);
        break;
      }
    }
    if (c.unique) unique_columns.push_back(c.name);
    columns.push_back(std::move(c));
  }
  must(catalog.create_table(pager, ct.name, std::move(columns), alias));
  for (const std::string& col : unique_columns) {
    must(catalog.create_index(pager, ct.name + "__" + col + "__unique", ct.name, {col}, true));
  }
}

}  // namespace

Statement parse_one(std::string_view sql) {
  std::vector<Statement> stmts = must(parser::parse(sql));
  if (stmts.size() != 1) throw std::runtime_error("expected one statement: " + std::string(sql));
  return std::move(stmts[0]);
}

SqlDb::SqlDb() {
  pager_.emplace(must(Pager::create(OsVfs::instance(), dir_.file("t.db"), 4096)));
  catalog_.emplace(must(Catalog::open(*pager_)));
}

void SqlDb::schema(std::string_view sql) {
  for (const Statement& stmt : must(parser::parse(sql))) {
    must(pager_->begin());
    if (const auto* ct = stmt.get_if<Statement::CreateTable>()) {
      create_from(*pager_, *catalog_, *ct);
    } else if (const auto* ci = stmt.get_if<Statement::CreateIndex>()) {
      must(catalog_->create_index(*pager_, ci->name, ci->table, ci->columns, ci->unique));
    } else {
      throw std::runtime_error("schema() takes CREATE TABLE and CREATE INDEX only");
    }
    must(pager_->commit());
  }
}

void SqlDb::create_table(std::string name, std::vector<Column> columns,
                         std::optional<size_t> rowid_alias) {
  must(pager_->begin());
  must(catalog_->create_table(*pager_, std::move(name), std::move(columns), rowid_alias));
  must(pager_->commit());
}

Result<vdbe::Program> SqlDb::compile(std::string_view sql) const { return compile(parse_one(sql)); }

Result<vdbe::Program> SqlDb::compile(const Statement& stmt) const {
  const Catalog& cat = *catalog_;
  switch (stmt.kind()) {
    case Statement::Kind::Select: return compile::compile_select(stmt.as<Statement::Select>().select, cat);
    case Statement::Kind::Insert: {
      const auto& ins = stmt.as<Statement::Insert>();
      const auto* values = ins.source.get_if<InsertSource::Values>();
      if (values == nullptr) throw std::runtime_error("INSERT ... SELECT is the engine's");
      bool ignore = ins.on_conflict.kind() == OnConflict::Kind::Ignore;
      return compile::compile_insert(ins.table, ins.columns, values->values, values->width, ignore,
                                     cat);
    }
    case Statement::Kind::Update: {
      const auto& up = stmt.as<Statement::Update>();
      return compile::compile_update(up.table, up.assignments, up.where ? &*up.where : nullptr, cat);
    }
    case Statement::Kind::Delete: {
      const auto& del = stmt.as<Statement::Delete>();
      return compile::compile_delete(del.table, del.where ? &*del.where : nullptr, cat);
    }
    default: throw std::runtime_error("not a statement the compiler takes");
  }
}

Result<SqlDb::Outcome> SqlDb::run(std::string_view sql, std::span<const Value> binds) {
  Statement stmt = parse_one(sql);
  vdbe::Program program = VBK_TRY(compile(stmt));
  const bool query = stmt.kind() == Statement::Kind::Select;
  const bool own_tx = !pager_->in_tx();
  if (own_tx) VBK_TRY(query ? pager_->read_lock() : pager_->begin());
  vdbe::Vm vm(*pager_, binds);
  Result<void> ran = vm.run(program);
  if (own_tx) {
    if (query) {
      must(pager_->read_unlock());
    } else if (ran) {
      VBK_TRY(pager_->commit());
    } else {
      must(pager_->rollback());
    }
  }
  if (!ran) return std::unexpected(ran.error());
  Outcome out;
  out.changes = vm.changes();
  out.last_rowid = vm.last_rowid();
  out.rows = std::move(vm).into_output();
  return out;
}

SqlDb::Outcome SqlDb::must_run(std::string_view sql, std::span<const Value> binds) {
  auto r = run(sql, binds);
  if (!r) throw std::runtime_error(std::string(sql) + ": " + r.error().display());
  return std::move(*r);
}

void SqlDb::begin() { must(pager_->begin()); }
void SqlDb::commit() { must(pager_->commit()); }
void SqlDb::rollback() { must(pager_->rollback()); }

std::vector<std::string> SqlDb::integrity() {
  const bool own_lock = !pager_->in_tx();
  if (own_lock) must(pager_->read_lock());
  auto problems = catalog_->integrity_check(*pager_);
  if (own_lock) must(pager_->read_unlock());
  return must(std::move(problems));
}

}  // namespace vbk::testing
