#include "support/sql_db.h"

#include <stdexcept>

#include "exec/dispatch.h"
#include "sql/parser.h"
#include "support/must.h"
#include "vdbe/vdbe.h"
#include "vfs/os.h"

namespace vbk::testing {

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
      bool wrote = false;
      must(exec::create_table(*pager_, *catalog_, *ct, wrote));
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
  if (const auto* ins = stmt.get_if<Statement::Insert>(); ins != nullptr && !ins->source.is<InsertSource::Values>()) {
    throw std::runtime_error("INSERT ... SELECT is the engine's");
  }
  return exec::compile_statement(stmt, *catalog_);
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
