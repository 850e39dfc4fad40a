#pragma once

// The statement dispatcher's conversions and recognitions: the columns that
// CREATE TABLE and ALTER TABLE ADD build from their definitions, the DEFAULT
// values, SELECT FOUND_ROWS(), and the one place that hands a folded
// statement to the query compiler.

#include <optional>
#include <string>
#include <string_view>

#include "catalog/catalog.h"
#include "error.h"
#include "record/value.h"
#include "sql/ast.h"
#include "vdbe/program.h"

namespace vbk::exec {

// INT, INT2, INT4, INT8, BIGINT, INTEGER, TINYINT, SMALLINT or MEDIUMINT,
// ASCII case ignored, whole string.
bool is_integer_type(std::string_view type);

// The value of an integer, real or text literal; NULL for anything else.
Value literal_value(const Expr& expr);

// A DEFAULT's text converted by the column's declared type: to an integer
// when the type contains INT, else to a real when it contains REAL, FLOA,
// DOUB, DEC or NUM; a text that does not convert, and every other value,
// stays as it is. (Unlike the affinity of INSERT, no text-like word in the
// type prevents the conversion.)
Value coerce_affinity(std::string_view decl_type, Value value);

// The column name of SELECT FOUND_ROWS() (its alias, else "FOUND_ROWS()"):
// a SELECT without FROM whose one item is a call of FOUND_ROWS without
// arguments. Nothing for every other SELECT.
std::optional<std::string> found_rows_query(const SelectStmt& select);

// A catalog column from its definition. The PRIMARY KEY and AUTO_INCREMENT
// rules apply only with `in_create_table` (ALTER TABLE ADD ignores both):
// a primary key is NOT NULL, and UNIQUE unless of integer kind.
Column build_column(const ColumnDef& def, bool in_create_table);

// Whether a CREATE TABLE column is of integer kind: an integer type, or
// AUTO_INCREMENT. The first PRIMARY KEY column of that kind is the rowid.
bool is_integer_kind(const ColumnDef& def);

// CREATE TABLE inside the caller's write transaction: the table, then a
// UNIQUE index per unique column and one index per key clause (a key on
// the rowid alias alone excepted). The column names (no two equal, ASCII
// case ignored) and every index's name and columns are checked before the
// table is made. `wrote` says whether anything may have reached the
// catalog or the pages (a Schema error, such as a name in use, two columns
// of one name or a key clause's unknown column, writes nothing).
Result<void> create_table(Pager& pager, Catalog& catalog, const Statement::CreateTable& ct, bool& wrote);

// Compiles a folded SELECT (without UNION members), INSERT ... VALUES (plain
// or IGNORE), UPDATE or DELETE; any other statement is an internal fault.
Result<vdbe::Program> compile_statement(const Statement& stmt, const Catalog& catalog);

}  // namespace vbk::exec
