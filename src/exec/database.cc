#include "exec/database.h"

#include <random>
#include <utility>

#include "exec/dispatch.h"
#include "exec/folding.h"
#include "record/record.h"
#include "sql/parser.h"

namespace vbk {

namespace {

constexpr uint64_t kNewFilePageSize = 4096;

uint64_t random_identity() {
  std::random_device source;
  return (uint64_t{source()} << 32) ^ uint64_t{source()};
}

// Whether two catalogs describe the same schema: the same definitions under
// the same names, as their schema rows state them.
bool same_schema(const Catalog& a, const Catalog& b) {
  if (a.schema_root() != b.schema_root() || a.tables().size() != b.tables().size() ||
      a.indexes().size() != b.indexes().size()) {
    return false;
  }
  for (const auto& [name, t] : a.tables()) {
    const TableDef* other = b.get(name);
    if (other == nullptr || other->rowid != t.rowid ||
        record::encode_record(other->to_row()) != record::encode_record(t.to_row())) {
      return false;
    }
  }
  for (const auto& [name, ix] : a.indexes()) {
    const IndexDef* other = b.get_index(name);
    if (other == nullptr || other->rowid != ix.rowid ||
        record::encode_record(other->to_row()) != record::encode_record(ix.to_row())) {
      return false;
    }
  }
  return true;
}

// What prepare refuses, before anything is folded or compiled.
Result<void> check_preparable(const Statement& stmt) {
  switch (stmt.kind()) {
    case Statement::Kind::Select:
      if (!stmt.as<Statement::Select>().select.unions.empty()) {
        return std::unexpected(Error::Exec("UNION queries cannot be prepared"));
      }
      return {};
    case Statement::Kind::Insert: {
      const auto& ins = stmt.as<Statement::Insert>();
      if (ins.source.is<InsertSource::Select>() || ins.on_conflict.is<OnConflict::Replace>() ||
          ins.on_conflict.is<OnConflict::Update>()) {
        return std::unexpected(Error::Exec(
            "only plain INSERT \u2026 VALUES can be prepared (not REPLACE / ON DUPLICATE / "
            "INSERT\u2026SELECT)"));
      }
      return {};
    }
    case Statement::Kind::Update:
    case Statement::Kind::Delete:
      return {};
    default:
      return std::unexpected(Error::Exec("only SELECT/INSERT/UPDATE/DELETE can be prepared"));
  }
}

// Whether folding would change the statement.
bool needs_folding(const Statement& stmt) {
  if (const auto* sel = stmt.get_if<Statement::Select>()) {
    return exec::select_has_subquery(sel->select);
  }
  return exec::stmt_has_subquery(stmt);
}

}  // namespace

Database::Database(Pager pager, Catalog catalog)
    : pager_(std::move(pager)), catalog_(std::move(catalog)), identity_(random_identity()) {}

Result<Database> Database::open(std::string_view path, Vfs& vfs) {
  Result<Pager> pager = vfs.exists(path) ? Pager::open(vfs, path)
                                         : Pager::create(vfs, path, kNewFilePageSize);
  if (!pager) return std::unexpected(std::move(pager).error());
  Catalog catalog = VBK_TRY(Catalog::open(*pager));
  return Database(std::move(*pager), std::move(catalog));
}

// ---- scripts

Result<std::vector<ExecResult>> Database::execute(std::string_view sql) {
  std::vector<Statement> stmts = VBK_TRY(parser::parse(sql));
  std::vector<ExecResult> results;
  results.reserve(stmts.size());
  for (Statement& stmt : stmts) {
    if (stmt.kind() == Statement::Kind::Select && !pager_.in_tx()) {
      VBK_TRY(read_lock());
      Result<ExecResult> result = run_statement(std::move(stmt));
      read_unlock();
      results.push_back(VBK_TRY(std::move(result)));
    } else {
      results.push_back(VBK_TRY(run_statement(std::move(stmt))));
    }
  }
  return results;
}

// ---- prepared statements

Result<Prepared> Database::prepare(std::string_view sql) {
  uint64_t param_count = 0;
  std::vector<Statement> stmts = VBK_TRY(parser::parse(sql, &param_count));
  if (stmts.size() != 1) {
    return std::unexpected(Error::Exec("prepare expects exactly one statement"));
  }
  Statement& stmt = stmts[0];
  VBK_TRY(check_preparable(stmt));
  Prepared prepared;
  prepared.param_count = param_count;
  prepared.is_dml = stmt.kind() != Statement::Kind::Select;
  if (const auto* sel = stmt.get_if<Statement::Select>()) {
    prepared.calc_found_rows = sel->select.calc_found_rows;
  }
  prepared.sql = std::string(sql);
  prepared.fold_each_run = exec::holds_subquery(stmt);
  prepared.db_identity = identity_;
  // Compiled against the schema as the file has it now. A statement without
  // subqueries keeps this program, its IN lists folded, for every run. One
  // that is folded at each run is compiled here only for what compiling
  // finds: its subqueries are compiled, not run, with stand-ins in place of
  // their values, and the program made from them is dropped.
  const bool lock = !pager_.in_tx();
  if (lock) VBK_TRY(read_lock());
  Result<vdbe::Program> program =
      fold_and_compile(std::move(stmt), {.binds = {}, .stand_ins = prepared.fold_each_run});
  if (!program && prepared.fold_each_run) {
    // A stand-in is one value where the real one may be another, and a
    // query with aggregates matches its expressions to its GROUP BY terms
    // as written: CASE WHEN k + (SELECT 2) ... GROUP BY k + 2 compiles only
    // with the real value. So before it fails, the statement is folded as a
    // script folds it, its subqueries run: it fails only if that fails too,
    // with the script's message.
    program = recompile(prepared, {});
  }
  if (lock) read_unlock();
  vdbe::Program compiled = VBK_TRY(std::move(program));
  if (!prepared.fold_each_run) prepared.program = std::move(compiled);
  prepared.schema_generation = schema_generation_;
  return prepared;
}

Result<vdbe::Program> Database::fold_and_compile(Statement stmt, const exec::FoldMode& mode) {
  if (needs_folding(stmt)) stmt = VBK_TRY(fold_subqueries(std::move(stmt), mode));
  return exec::compile_statement(stmt, catalog_);
}

Result<vdbe::Program> Database::recompile(const Prepared& prepared, std::span<const Value> binds) {
  std::vector<Statement> stmts = VBK_TRY(parser::parse(prepared.sql));
  if (stmts.size() != 1) fault("a prepared statement's text no longer parses as one statement");
  return fold_and_compile(std::move(stmts[0]), {.binds = binds});
}

Result<const vdbe::Program*> Database::current_program(Prepared& prepared,
                                                       std::span<const Value> values,
                                                       vdbe::Program& scratch) {
  if (prepared.fold_each_run) {
    scratch = VBK_TRY(recompile(prepared, values));
    return &scratch;
  }
  if (prepared.schema_generation != schema_generation_) {
    prepared.program = VBK_TRY(recompile(prepared, values));
    prepared.schema_generation = schema_generation_;
  }
  return &prepared.program;
}

Result<ExecResult> Database::execute_prepared(Prepared& prepared, std::span<const Value> values) {
  if (prepared.db_identity != identity_) {
    return std::unexpected(
        Error::Exec("prepared statement belongs to another database connection"));
  }
  return prepared.is_dml ? run_prepared_dml(prepared, values)
                         : run_prepared_select(prepared, values);
}

Result<uint64_t> Database::execute_prepared_dml(Prepared& prepared, std::span<const Value> values) {
  const ExecResult result = VBK_TRY(execute_prepared(prepared, values));
  const auto* affected = result.get_if<ExecResult::Affected>();
  return affected != nullptr ? affected->count : 0;
}

Result<ExecResult> Database::run_prepared_dml(Prepared& prepared, std::span<const Value> values) {
  return autocommit(false, [&](bool& wrote) -> Result<ExecResult> {
    vdbe::Program scratch;
    const vdbe::Program* program = VBK_TRY(current_program(prepared, values, scratch));
    wrote = true;
    const uint64_t count = VBK_TRY(run_program_dml(*program, values));
    return ExecResult::Affected{count};
  });
}

Result<ExecResult> Database::run_prepared_select(Prepared& prepared,
                                                 std::span<const Value> values) {
  const bool lock = !pager_.in_tx();
  if (lock) VBK_TRY(read_lock());
  auto run = [&]() -> Result<ExecResult> {
    vdbe::Program scratch;
    const vdbe::Program* program = VBK_TRY(current_program(prepared, values, scratch));
    std::vector<vdbe::Row> rows = VBK_TRY(run_query(*program, prepared.calc_found_rows, values));
    return ExecResult::Rows{program->columns, std::move(rows)};
  };
  Result<ExecResult> result = run();
  if (lock) read_unlock();
  return result;
}

// ---- locks and transactions

Result<void> Database::catch_up(uint32_t counter_before) {
  if (!must_catch_up(counter_before)) return {};
  return reload_catalog();
}

Result<void> Database::reload_catalog() {
  // The catalog is read afresh into place; the one it replaces is kept
  // aside (not copied) to compare with, and comes back should the read fail.
  Catalog before = std::move(catalog_);
  if (Result<void> read = catalog_.reload_locked(pager_); !read) {
    catalog_ = std::move(before);
    catalog_stale_ = true;
    return read;
  }
  catalog_stale_ = false;
  if (!same_schema(catalog_, before)) ++schema_generation_;
  return {};
}

Result<void> Database::begin_tx() {
  const uint32_t counter = pager_.header().change_counter;
  VBK_TRY(pager_.begin());
  Result<void> caught_up = catch_up(counter);
  if (!caught_up) (void)pager_.rollback();
  return caught_up;
}

Result<void> Database::read_lock() {
  const uint32_t counter = pager_.header().change_counter;
  VBK_TRY(pager_.read_lock());
  Result<void> caught_up = catch_up(counter);
  if (!caught_up) read_unlock();
  return caught_up;
}

Result<void> Database::commit_auto() {
  Result<void> committed = pager_.commit();
  if (!committed && pager_.in_tx()) {
    // Failed before the commit point: the file holds the state before the
    // transaction, and so must memory.
    abandon_tx();
  } else {
    catalog_at_begin_.reset();
  }
  return committed;
}

void Database::abandon_tx() {
  if (pager_.in_tx()) (void)pager_.rollback();
  restore_catalog();
}

void Database::restore_catalog() {
  if (!catalog_at_begin_) return;
  catalog_ = std::move(*catalog_at_begin_);
  catalog_at_begin_.reset();
  ++schema_generation_;
}

void Database::note_schema_change() {
  if (!catalog_at_begin_) catalog_at_begin_ = catalog_;
}

Error Database::settle_failure(StmtFailure failure, bool schema_stmt) {
  switch (failure.leftover) {
    case Leftover::Nothing:
      // The catalog's own checks refused the change before it wrote; read
      // the schema again all the same, so that memory cannot drift from the
      // file.
      if (schema_stmt && !reload_catalog()) abandon_tx();
      break;
    case Leftover::WholeRows:
      break;
    case Leftover::Partial:
      abandon_tx();
      break;
  }
  return std::move(failure.error);
}

Result<ExecResult> Database::autocommit(bool schema_stmt, const StmtBody& body) {
  const bool began = !pager_.in_tx();
  if (began) VBK_TRY(begin_tx());
  ++stmt_depth_;
  bool wrote = false;
  Result<ExecResult> result = body(wrote);
  --stmt_depth_;
  if (began) {
    if (!result) {
      abandon_tx();
      return result;
    }
    VBK_TRY(commit_auto());
    return result;
  }
  // Inside a transaction the outermost statement settles what a failure
  // leaves; one run for another (a row of an INSERT rewrite) only reports.
  if (result || stmt_depth_ != 0) return result;
  Leftover leftover = Leftover::Partial;
  if (!wrote) {
    leftover = Leftover::Nothing;
  } else if (!schema_stmt && result.error().is(Error::Kind::Constraint)) {
    leftover = Leftover::WholeRows;
  }
  return std::unexpected(
      settle_failure(StmtFailure{std::move(result).error(), leftover}, schema_stmt));
}

}  // namespace vbk
