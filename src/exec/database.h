#pragma once

// The engine's handle on one open database file, and the only entry point of
// the bindings: open a file, run a script of statements, prepare one statement
// with ? parameters, run a prepared statement with a list of values.
//
// A Database owns the file's Pager and the schema in memory (Catalog). It is
// used by one thread at a time. Destroying it closes the file, which releases
// every lock the handle holds; an explicit transaction still open then is
// not committed.
//
// Transactions. Outside an explicit transaction (BEGIN ... COMMIT/ROLLBACK)
// every statement that changes data or schema runs in an automatic
// transaction of its own, and every SELECT under a shared read lock. The
// handle records which kind of transaction is open, because the two end
// differently after a failure:
//   - an automatic transaction is rolled back whenever its statement fails,
//     also when its commit fails before the commit point (the pager then
//     keeps the transaction open, and the next statement would otherwise run
//     inside it and never commit);
//   - inside an explicit transaction a statement that fails before writing
//     anything, or a data change refused by a constraint (which leaves only
//     whole rows behind), leaves the transaction open; any other failure of
//     a statement that had begun writing may have left pages half-changed,
//     so the whole transaction is rolled back and the error returned as it
//     was. A later COMMIT then fails as COMMIT without BEGIN does.
//
// The schema in memory follows the file:
//   - before the first schema change of a write transaction the catalog is
//     copied; a rollback puts the copy back and a commit drops it;
//   - whenever a lock or transaction is taken and the header shows that
//     another handle committed since, the catalog is read again before use.
// A schema generation counts the changes of the schema in memory, so that a
// Prepared statement compiled against an older schema is compiled again.

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "catalog/catalog.h"
#include "error.h"
#include "exec/folding.h"
#include "pager/pager.h"
#include "record/value.h"
#include "sql/ast.h"
#include "sql/parser.h"
#include "vdbe/finish.h"
#include "vdbe/program.h"
#include "vfs/os.h"

namespace vbk {

// The result of one statement.
struct ExecResult : NodeAccess<ExecResult> {
  enum class Kind : uint8_t { Rows, Affected, Done };
  // A result set: SELECT, and the pragmas that answer with rows.
  struct Rows {
    std::vector<std::string> columns;
    std::vector<vdbe::Row> rows;
  };
  // The number of rows an INSERT, UPDATE or DELETE changed.
  struct Affected {
    uint64_t count = 0;
  };
  // Schema statements, transaction control, and IF [NOT] EXISTS no-ops.
  struct Done {};

  using Node = std::variant<Rows, Affected, Done>;
  Node node;
  Kind kind() const { return static_cast<Kind>(node.index()); }

  template <typename P>
    requires kIsAlternative<std::remove_cvref_t<P>, Node>
  ExecResult(P&& payload) : node(std::forward<P>(payload)) {}  // NOLINT: implicit on purpose
};

// One statement prepared for repeated execution with ? values. It belongs to
// the Database that prepared it (running it on another one is an error) but
// holds no reference to it.
//
// The program is compiled against the schema of one moment. When the schema
// has changed since, the next run compiles the statement again from its text
// and keeps the new program. A statement that holds a scalar or IN subquery
// is folded and compiled at every run instead, under that run's lock or
// transaction and with that run's ? values, so that its subqueries read the
// database as it is when the run starts (the transaction's own pending
// changes included), as they would in a script; preparing it runs none of
// its subqueries and keeps no program.
struct Prepared {
  vdbe::Program program;  // empty with fold_each_run
  bool is_dml = false;           // INSERT, UPDATE, DELETE: result Affected
  bool calc_found_rows = false;  // a SELECT with SQL_CALC_FOUND_ROWS
  // The statement's text, parsed again when it is compiled again: folding
  // rewrites the parsed statement in place, and a copy of a deeply nested
  // statement would cost as much stack as parsing it.
  std::string sql;
  bool fold_each_run = false;    // the statement holds a subquery
  uint64_t db_identity = 0;      // the preparing Database's
  uint64_t schema_generation = 0;  // the schema `program` was compiled against
  // The number of ? marks in the text, subqueries included: a value at or
  // past this position is never read.
  uint64_t param_count = 0;
};

class Database {
 public:
  // Opens the database at `path`, creating it (page size 4096) when missing,
  // and reads its schema.
  static Result<Database> open(std::string_view path, Vfs& vfs = OsVfs::instance());

  Database(Database&&) noexcept = default;
  Database& operator=(Database&&) noexcept = default;

  // Runs every statement of `sql` in order and returns their results. A
  // parse error runs nothing; the first failing statement ends the script
  // and its error is the whole result, while the statements before it keep
  // their effects.
  Result<std::vector<ExecResult>> execute(std::string_view sql);

  // Prepares exactly one SELECT, INSERT ... VALUES (plain or IGNORE), UPDATE
  // or DELETE, and compiles it, its subqueries included, so that what
  // compiling finds fails here; it runs no subquery (see FoldMode). Outside
  // a transaction it reads the schema under a shared read lock.
  Result<Prepared> prepare(std::string_view sql);

  // Runs a prepared statement; the n-th ? reads values[n] (NULL past the
  // end). Rows for a SELECT, Affected for the others.
  Result<ExecResult> execute_prepared(Prepared& prepared, std::span<const Value> values);
  // The change count of execute_prepared; 0 for a result of rows.
  Result<uint64_t> execute_prepared_dml(Prepared& prepared, std::span<const Value> values);

  // Runs one parsed statement of a script, handing it on by its kind. For
  // a SELECT outside a transaction the caller holds the read lock; the
  // other kinds take whatever lock or transaction they need themselves.
  Result<ExecResult> run_statement(Statement stmt);

  // Runs a data-changing program on a fresh machine; the count of changed
  // rows. On success the last inserted rowid, when not 0, becomes
  // last_insert_rowid(). Takes no lock: the caller holds the transaction.
  Result<uint64_t> run_program_dml(const vdbe::Program& program, std::span<const Value> binds);
  // Runs a query program and finishes its rows (sort, cut to the visible
  // columns, DISTINCT, OFFSET, LIMIT); with `calc_found_rows` records the
  // count before OFFSET and LIMIT as found_rows(). Takes no lock.
  Result<std::vector<vdbe::Row>> run_query(const vdbe::Program& program, bool calc_found_rows,
                                           std::span<const Value> binds);

  // Replaces the statement's uncorrelated subqueries by their values (or
  // stand-ins, as `mode` says) and its IN forms by chains of comparisons
  // (see folding.h). A script's statements have no ? values. The caller
  // holds a lock.
  Result<Statement> fold_subqueries(Statement stmt, const exec::FoldMode& mode = {});

  // The value of a constant expression: a literal's own value; anything
  // else runs as SELECT expr without a FROM (NULL without a row), so a
  // column reference fails with the compiler's error and a ? reads its
  // value among `binds` (NULL past them). Takes no lock.
  Result<Value> eval_const_expr(const Expr& expr, std::span<const Value> binds = {});

  int64_t last_insert_rowid() const { return last_insert_rowid_; }
  uint64_t found_rows() const { return found_rows_; }
  Pager& pager() { return pager_; }
  const Catalog& catalog() const { return catalog_; }
  // BEGIN has opened a transaction that is still open: between statements
  // the automatic transaction is always over, so any open one is BEGIN's.
  bool in_explicit_tx() const { return pager_.in_tx(); }

 private:
  Database(Pager pager, Catalog catalog);

  // What a failed statement may have left in the open transaction.
  enum class Leftover : uint8_t {
    Nothing,     // failed before writing
    WholeRows,   // refused by a constraint between rows
    Partial,     // may have half-changed pages
  };
  struct StmtFailure {
    Error error;
    Leftover leftover;
  };

  // -- locks and transactions (database.cc)
  // Pager::begin, then catching up with another handle's schema change.
  Result<void> begin_tx();
  // Pager::read_lock with the same catching up; outside a transaction.
  Result<void> read_lock();
  void read_unlock() { (void)pager_.read_unlock(); }
  // Reads the schema again when the header's change counter moved from
  // `counter_before` (another handle committed), or when the last reading
  // failed.
  Result<void> catch_up(uint32_t counter_before);
  // Reads the schema again from the file as the pager presents it. A failed
  // reading keeps the catalog as it was and marks it stale.
  Result<void> reload_catalog();
  // Whether the schema must be read again under the next lock however the
  // change counter looks.
  bool must_catch_up(uint32_t counter_before) const {
    return catalog_stale_ || pager_.header().change_counter != counter_before;
  }
  // Commits the automatic transaction; after a failure that left it open it
  // is rolled back, and the commit's error returned.
  Result<void> commit_auto();
  // Rolls the open transaction back, whoever opened it (errors of the
  // rollback itself are dropped), and puts the catalog back.
  void abandon_tx();
  // Puts back the catalog copy of the transaction that just ended, if any.
  void restore_catalog();
  // Before the first schema change of a write transaction.
  void note_schema_change();
  // Runs `body` as one statement that changes data or schema: inside an
  // automatic transaction when none is open, and with the failure rules of
  // an explicit one otherwise. The body sets its flag once it may have
  // written something.
  using StmtBody = std::function<Result<ExecResult>(bool& wrote)>;
  Result<ExecResult> autocommit(bool schema_stmt, const StmtBody& body);
  // The failure rules inside an explicit transaction.
  Error settle_failure(StmtFailure failure, bool schema_stmt);

  // -- prepared statements (database.cc)
  // Folds (when needed) and compiles a statement of a kind that compiles.
  Result<vdbe::Program> fold_and_compile(Statement stmt, const exec::FoldMode& mode);
  // The same from a prepared statement's text.
  Result<vdbe::Program> recompile(const Prepared& prepared, std::span<const Value> binds);
  Result<ExecResult> run_prepared_dml(Prepared& prepared, std::span<const Value> values);
  Result<ExecResult> run_prepared_select(Prepared& prepared, std::span<const Value> values);
  // The program to run: the prepared one, or one folded and compiled now
  // (schema changed, or a statement with subqueries). The caller holds the
  // run's lock.
  Result<const vdbe::Program*> current_program(Prepared& prepared, std::span<const Value> values,
                                               vdbe::Program& scratch);

  // -- the dispatcher (dispatch.cc)
  Result<ExecResult> run_select(Statement stmt);
  Result<ExecResult> run_dml(Statement stmt);
  Result<ExecResult> run_schema(Statement stmt);
  Result<ExecResult> run_tx_control(const Statement& stmt);
  // The existence test of a schema statement: true when it has work to do,
  // false for an IF [NOT] EXISTS no-op, or the refusal.
  Result<bool> schema_stmt_applies(const Statement& stmt) const;
  Result<void> create_table(const Statement::CreateTable& ct, bool& wrote);
  Result<void> alter_table_add(const Statement::AlterTableAdd& add, bool& wrote);

  // -- pragmas (pragmas.cc)
  Result<ExecResult> run_pragma(const Statement::Pragma& pragma);
  Result<ExecResult> pragma_reindex(const std::optional<std::string>& table);
  Result<ExecResult> pragma_journal_mode(const std::optional<std::string>& value);
  Result<ExecResult> pragma_wal_checkpoint();
  Result<ExecResult> pragma_integrity_check();
  // After a pager operation that took the database lock outside a
  // transaction and caught up with other handles' commits on its own: reads
  // the schema again when the change counter moved from `counter_before`.
  Result<void> catch_up_after(uint32_t counter_before);

  // -- UNION (union.cc)
  // Runs a SELECT with UNION members: every member on its own, the rows
  // combined, made distinct unless every member is ALL, then the
  // statement's ORDER BY, OFFSET and LIMIT. Never records found rows. The
  // caller holds a lock.
  Result<ExecResult::Rows> run_union(SelectStmt select, std::span<const Value> binds = {});
  // A constant expression ready to be evaluated: a literal's value, or the
  // program of SELECT expr without FROM.
  using ConstExpr = std::variant<Value, vdbe::Program>;
  // A SELECT with UNION members compiled and not yet run: what run_union
  // needs, so that everything compiling can find is found before any
  // member runs.
  struct UnionPlan {
    std::vector<vdbe::Program> members;  // the statement's own clauses first
    std::vector<size_t> order_keys;      // the column each ORDER BY term names
    vdbe::FinishSpec finish;             // OFFSET and LIMIT aside
    std::optional<ConstExpr> offset;
    std::optional<ConstExpr> limit;
  };
  // run_union in two steps: compiling, which reads only the catalog, and
  // running, which reads the tables.
  Result<UnionPlan> compile_union(SelectStmt select);
  Result<ExecResult::Rows> run_union_plan(const UnionPlan& plan, std::span<const Value> binds);
  // eval_const_expr in the same two steps.
  Result<ConstExpr> compile_const_expr(const Expr& expr);
  Result<Value> eval_compiled_const(const ConstExpr& expr, std::span<const Value> binds);
  // The rows of a SELECT that may have UNION members, found rows not
  // recorded: what INSERT ... SELECT inserts and a folded subquery reads.
  Result<std::vector<vdbe::Row>> query_rows(SelectStmt select, std::span<const Value> binds = {});

  // -- INSERT rewrites (rewrites.cc)
  // INSERT ... SELECT, REPLACE and ON DUPLICATE KEY UPDATE, run row by row
  // inside the caller's transaction; the count of changed rows. Sets
  // `wrote` before the first row is written.
  Result<uint64_t> run_insert_rewrite(const Statement::Insert& ins, bool& wrote);

  // -- folding (folding.cc)
  Result<void> fold_select(SelectStmt& select, const exec::FoldMode& mode);
  Result<void> fold_expr(Expr& expr, const exec::FoldMode& mode);
  Result<void> fold_opt(std::optional<Expr>& expr, const exec::FoldMode& mode);
  // Folds the parts of one node that are not its chain link.
  Result<void> fold_node(Expr& node, const exec::FoldMode& mode);
  // Runs a subquery on its own: the first column of its rows (all of them,
  // or only the first row's with `first_only`); with stand-ins, compiles it
  // only and gives the stand-in's values. Nothing when it cannot run (or
  // compile) on its own: it is then left for the compiler, folded itself.
  // An error only for what makes the whole statement fail.
  Result<std::optional<std::vector<Value>>> eval_subquery(SelectStmt& select, bool first_only,
                                                          const exec::FoldMode& mode);
  // Folding recurses once per level of nested subqueries, and a level with
  // UNION members takes about 1.6 times the stack of a plain one (its
  // members are folded one level further down). fold_nested folds a
  // subquery's clauses one level down and keeps the sum of the levels'
  // costs within what the parser's nesting bound allows for plain levels,
  // so that any mixture holds on the stack that the plain levels need;
  // beyond it the statement fails.
  static constexpr uint32_t kPlainLevelCost = 5;
  static constexpr uint32_t kUnionLevelCost = 8;
  static constexpr uint32_t kMaxFoldCost = kPlainLevelCost * parser::kMaxNestingDepth;
  Result<void> fold_nested(SelectStmt& select, uint32_t cost, const exec::FoldMode& mode);
  // The same for a subquery with UNION members, which runs only as a whole:
  // an error here fails the statement.
  Result<std::optional<std::vector<Value>>> eval_union_subquery(SelectStmt& select,
                                                                bool first_only,
                                                                const exec::FoldMode& mode);

  Pager pager_;
  Catalog catalog_;
  uint64_t found_rows_ = 0;
  int64_t last_insert_rowid_ = 0;
  // The catalog as the open write transaction found it, taken before its
  // first schema change.
  std::optional<Catalog> catalog_at_begin_;
  // A reading of the schema failed after the header had moved on: the
  // header no longer tells that the catalog is behind the file.
  bool catalog_stale_ = false;
  // Nesting of statement runs: only the outermost settles a failure.
  uint32_t stmt_depth_ = 0;
  uint64_t schema_generation_ = 0;
  uint64_t identity_ = 0;
  // The stack that the subqueries being folded hold, in kPlainLevelCost
  // units (see fold_nested).
  uint32_t fold_cost_ = 0;
};

}  // namespace vbk
