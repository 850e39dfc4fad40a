#include "compile/dml.h"

#include "catalog/unique.h"
#include "util/unicode.h"

namespace vbk::compile {

using vdbe::Op;

Affinity numeric_affinity(std::string_view decl_type) {
  std::string upper;
  unicode::append_ascii_upper(upper, decl_type);
  auto any_of = [&](std::initializer_list<std::string_view> words) {
    for (std::string_view w : words) {
      if (upper.find(w) != std::string::npos) return true;
    }
    return false;
  };
  if (any_of({"INT"})) return Affinity::Integer;
  if (any_of({"CHAR", "CLOB", "TEXT", "BLOB", "DATE", "TIME"})) return Affinity::None;
  if (any_of({"REAL", "FLOA", "DOUB", "DEC", "NUM"})) return Affinity::Real;
  return Affinity::None;
}

std::vector<IndexPlan> plan_indexes(Gen& gen, const TableDef& table, const std::vector<const IndexDef*>& indexes) {
  std::vector<IndexPlan> plans;
  plans.reserve(indexes.size());
  for (const IndexDef* index : indexes) {
    uint32_t cur = gen.idx_cursor();
    gen.emit(Op::OpenIndex{.cur = cur, .root = index->root});
    IndexPlan& plan = plans.emplace_back(IndexPlan{index->col_positions, index->name, cur, index->unique});
    if (plan.unique) {
      plan.stored = static_cast<uint32_t>(gen.stored_keys.size());
      gen.stored_keys.push_back({.table_cur = 0, .columns = catalog::key_columns(table, *index)});
    }
  }
  return plans;
}

void emit_not_null_guards(Gen& gen, const TableDef& table, uint32_t base,
                          const std::vector<bool>& unguarded) {
  for (size_t i = 0; i < table.columns.size(); ++i) {
    const Column& c = table.columns[i];
    if (!c.not_null || table.rowid_alias == i || (i < unguarded.size() && unguarded[i])) continue;
    gen.emit(Op::NotNullGuard{.reg = base + static_cast<uint32_t>(i), .column = c.name});
  }
}

namespace {

// Copies the row's key values in the plan's index into new registers: its
// column values from base.., with the rowid standing at the rowid alias
// column. The first of the registers.
uint32_t copy_key_values(Gen& gen, const IndexPlan& plan, uint32_t base, std::optional<size_t> rowid_alias,
                         uint32_t rowid_reg) {
  auto len = static_cast<uint32_t>(plan.columns.size());
  uint32_t k0 = gen.regs(len);
  for (uint32_t i = 0; i < len; ++i) {
    size_t c = plan.columns[i];
    uint32_t src = (c == rowid_alias) ? rowid_reg : base + static_cast<uint32_t>(c);
    gen.emit(Op::Copy{.src = src, .dest = k0 + i});
  }
  return k0;
}

}  // namespace

uint32_t emit_unique_probe(Gen& gen, const IndexPlan& plan, uint32_t base, std::optional<size_t> rowid_alias,
                           uint32_t rowid_reg, uint32_t target) {
  auto len = static_cast<uint32_t>(plan.columns.size());
  uint32_t p0 = copy_key_values(gen, plan, base, rowid_alias, rowid_reg);
  uint32_t prefix = gen.reg();
  gen.emit(Op::MakeIndexPrefix{.start = p0, .count = len, .dest = prefix});
  return gen.emit(Op::IdxConflictJump{
      .cur = plan.cursor, .prefix_reg = prefix, .target = {target}, .values = p0, .stored = plan.stored});
}

void emit_index_insert(Gen& gen, const IndexPlan& plan, uint32_t base,
                       std::optional<size_t> rowid_alias, uint32_t rowid_reg) {
  auto len = static_cast<uint32_t>(plan.columns.size());
  uint32_t k0 = copy_key_values(gen, plan, base, rowid_alias, rowid_reg);
  uint32_t key = gen.reg();
  gen.emit(Op::MakeIndexKey{.start = k0, .count = len, .rowid_reg = rowid_reg, .dest = key});
  gen.emit(Op::IdxInsert{.cur = plan.cursor, .key_reg = key});
}

uint32_t index_key_from_cursor(Gen& gen, const std::vector<size_t>& columns,
                               std::optional<size_t> rowid_alias, uint32_t rowid_reg) {
  auto len = static_cast<uint32_t>(columns.size());
  uint32_t k0 = gen.regs(len);
  for (uint32_t i = 0; i < len; ++i) {
    size_t c = columns[i];
    if (c == rowid_alias) {
      gen.emit(Op::Rowid{.cur = 0, .dest = k0 + i});
    } else {
      gen.emit(Op::Column{.cur = 0, .col = static_cast<uint32_t>(c), .dest = k0 + i});
    }
  }
  uint32_t key = gen.reg();
  gen.emit(Op::MakeIndexKey{.start = k0, .count = len, .rowid_reg = rowid_reg, .dest = key});
  return key;
}

std::string unique_failed(std::string_view index) {
  return "UNIQUE constraint failed: " + std::string(index);
}

}  // namespace vbk::compile
