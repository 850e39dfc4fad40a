#pragma once

// Subquery folding: the step between parsing and compiling that runs every
// subquery that can run on its own, once, and writes its result into the
// statement as literals:
//   ( SELECT ... )            the literal of its first row's first value
//                             (NULL without a row)
//   x IN ( SELECT ... )       x = v1 OR x = v2 OR ...  (0 without a value)
//   x NOT IN ( SELECT ... )   x <> v1 AND x <> v2 ...  (1 without a value)
//   x [NOT] IN ( e1, ... )    the same chain over the list's expressions
// Without a value, an x that holds an aggregate is kept in a form of the same
// value, (x IS NULL) * 0 (+ 1 for NOT IN), so that the query stays the
// aggregate query it was.
// The chains nest to the left, ((c1 OR c2) OR c3) ..., along the syntax
// tree's chain links, so every walk follows them without recursion and an
// IN list of any length folds. The virtual machine's three-valued logic
// gives them the meaning of IN.
//
// A subquery that cannot run on its own (one that names the enclosing
// statement's tables, say) stays for the compiler, which runs it as a
// correlated sub-program or reports why it cannot; what it holds that can
// run on its own is folded all the same. A subquery with UNION members
// runs as a whole UNION, and one that cannot run fails the statement.
//
// The folding operations themselves belong to Database (they compile and
// run subqueries): Database::fold_subqueries and its helpers in folding.cc.

#include <span>

#include "record/value.h"
#include "sql/ast.h"

namespace vbk::exec {

// What folding does with a subquery that can run on its own. By default it
// runs it, every ? in it reading its value among `binds` (NULL past them).
// With `stand_ins` it runs nothing: it compiles the subquery, and puts a
// stand-in where the value would go. Preparing a statement that is folded
// again at every run folds it so, to find what compiling the statement
// finds and nothing else; the program compiled from it is never run.
//
// A stand-in must let the statement compile wherever some real value
// would, since only a run can tell which value comes:
//   ( SELECT ... )            1: where the compiler asks for a kind of
//                             literal, it asks for an integer: LIMIT and
//                             OFFSET, and a UNION's ORDER BY position,
//                             where 1 names the first column, which every
//                             query has
//   x [NOT] IN ( SELECT ... ) no value: the 0 or 1 that it folds to
//                             passes wherever a chain of comparisons would;
//                             x itself stays only when it holds an
//                             aggregate, so an error in any other x shows
//                             at the run, when the subquery gives a value
// One place escapes this: a query with aggregates matches its expressions
// to its GROUP BY terms as written, so a column inside CASE WHEN
// x + (SELECT 2) ... GROUP BY x + 2 passes only through the value 2, and
// with the stand-in 1 compiling refuses it. Preparing therefore folds a
// statement that fails with stand-ins once more with real values before it
// reports the failure (see Database::prepare).
// A subquery that does not compile is left in place, as when folding runs
// it, so that the compiler reports it as it does in a script. What only a
// run can find (an error while the subquery runs, or a value that the
// statement cannot take, as LIMIT (SELECT 'x')) is found at the run.
struct FoldMode {
  std::span<const Value> binds;
  bool stand_ins = false;
};

// Whether the statement must be folded before it is compiled: every SELECT;
// an INSERT with a SELECT source; an INSERT, UPDATE or DELETE one of whose
// expressions holds a subquery or an IN form.
bool stmt_has_subquery(const Statement& stmt);

// Whether folding would change anything in the SELECT: a subquery or an IN
// form in any of its clauses or UNION members.
bool select_has_subquery(const SelectStmt& select);

// Whether the statement holds a scalar or IN subquery anywhere (an IN list
// of values is none): what the statement reads through it can change from
// one run of a prepared statement to the next.
bool holds_subquery(const Statement& stmt);

// The literal that stands for `v`: a Real stays a Real even when integral.
Expr value_to_expr(const Value& v);

}  // namespace vbk::exec
