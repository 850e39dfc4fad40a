#pragma once

// Pieces shared by the data-changing statements (INSERT, UPDATE, DELETE).
//
// A data-changing program reads and writes its table through table cursor 0
// and opens one index cursor per index of the table, in creation order,
// before anything else. No row is ever left half written: every constraint
// is checked (NOT NULL guards, UNIQUE probes) before the row's first write,
// or, for an UPDATE, after its old index entries have been put back.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "catalog/catalog.h"
#include "compile/gen.h"

namespace vbk::compile {

// One index that the program writes; index cursor k belongs to the k-th plan.
struct IndexPlan {
  std::vector<size_t> columns;  // positions in the table, key order
  std::string name;
  uint32_t cursor = 0;
  bool unique = false;
  // A unique index's element of Gen::stored_keys, read by its probes.
  uint32_t stored = 0;
};

enum class Affinity : uint8_t { Integer, Real, None };

// From the declared type, by substring tests on its ASCII upper case: INT;
// then CHAR, CLOB, TEXT, BLOB, DATE, TIME (none); then REAL, FLOA, DOUB, DEC,
// NUM (real); else none.
Affinity numeric_affinity(std::string_view decl_type);

// Opens an index cursor for each of the table's indexes, in the given order,
// and keeps for each unique one where its probes read the stored rows.
std::vector<IndexPlan> plan_indexes(Gen& gen, const TableDef& table, const std::vector<const IndexDef*>& indexes);

// A NotNullGuard for each NOT NULL column but the rowid alias and the ones
// flagged in `unguarded`, whose stored value the statement keeps (flags past
// the end count as guarded).
void emit_not_null_guards(Gen& gen, const TableDef& table, uint32_t base,
                          const std::vector<bool>& unguarded);

// Jumps to `target` when a stored entry of the unique index collides with
// the row in base.. (its column registers, after affinity; the rowid in
// rowid_reg standing at the rowid alias column), by the rule of
// catalog/unique.h; the address of the jump. Stored rows are read through
// table cursor 0.
uint32_t emit_unique_probe(Gen& gen, const IndexPlan& plan, uint32_t base, std::optional<size_t> rowid_alias,
                           uint32_t rowid_reg, uint32_t target);

// Writes the row's entry into the index: its column values, with the rowid
// standing at the rowid alias column, then the rowid. A unique index must
// have been probed first (emit_unique_probe): the entry is inserted as is.
void emit_index_insert(Gen& gen, const IndexPlan& plan, uint32_t base,
                       std::optional<size_t> rowid_alias, uint32_t rowid_reg);

// The key of the current row of table cursor 0 in the plan's index, read
// from the stored row; the register that holds it.
uint32_t index_key_from_cursor(Gen& gen, const std::vector<size_t>& columns,
                               std::optional<size_t> rowid_alias, uint32_t rowid_reg);

// "UNIQUE constraint failed: {index}"
std::string unique_failed(std::string_view index);

}  // namespace vbk::compile
