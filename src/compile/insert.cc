// INSERT ... VALUES, plain or IGNORE.
//
// Registers: the row's column values in 0..n-1, its record in n, a generated
// rowid in n+1; above them the scratch registers of one row, which every row
// reuses. Per row: defaults, values, affinity, NOT NULL guards, rowid, then
// a probe of every UNIQUE index, all before the row's first write; only then
// the record and the index entries. A plain INSERT's probe jumps to a block
// after the Halt that fails the run; IGNORE's probe skips the row.

#include "compile/compile.h"
#include "compile/dml.h"
#include "compile/expr.h"

namespace vbk::compile {

namespace {

using vdbe::Op;

void emit_default(Gen& gen, const Column& column, uint32_t dest) {
  if (!column.default_) {
    gen.emit(Op::Null{.dest = dest});
    return;
  }
  const Value& v = *column.default_;
  switch (v.kind()) {
    case Value::Kind::Null: gen.emit(Op::Null{.dest = dest}); break;
    case Value::Kind::Int: gen.emit(Op::Integer{.v = v.as_int(), .dest = dest}); break;
    case Value::Kind::Real: gen.emit(Op::Real{.v = v.as_real(), .dest = dest}); break;
    case Value::Kind::Text: gen.emit(Op::Str{.v = v.as_text(), .dest = dest}); break;
    case Value::Kind::Blob: gen.emit(Op::Blob{.v = v.as_blob(), .dest = dest}); break;
  }
}

}  // namespace

Result<vdbe::Program> compile_insert(std::string_view table_name,
                                     const std::optional<std::vector<std::string>>& columns,
                                     std::span<const Expr> values, uint64_t width, bool or_ignore,
                                     const Catalog& catalog) {
  const TableDef* table = catalog.get(table_name);
  if (table == nullptr) {
    return std::unexpected(Error::Exec("no such table: " + std::string(table_name)));
  }
  Gen gen;
  uint32_t cur = gen.cursor();
  gen.emit(Op::OpenWrite{.cur = cur, .root = table->root});
  std::vector<IndexPlan> plans = plan_indexes(gen, *table, catalog.indexes_for(table_name));

  const size_t n = table->columns.size();
  std::vector<size_t> targets;
  if (columns) {
    for (const std::string& name : *columns) {
      std::optional<size_t> pos = table->column_index(name);
      if (!pos) return std::unexpected(Error::Exec("no such column: " + name));
      targets.push_back(*pos);
    }
  } else {
    for (size_t j = 0; j < n; ++j) targets.push_back(j);
  }

  const uint32_t base = gen.n_regs;
  const auto nn = static_cast<uint32_t>(n);
  const uint32_t record = base + nn;
  std::vector<bool> listed(n, false);
  for (size_t pos : targets) listed[pos] = true;
  // A damaged schema row may state an alias past the columns: none listed.
  const bool alias_listed = table->rowid_alias && *table->rowid_alias < n && listed[*table->rowid_alias];
  const uint32_t rowid_reg =
      alias_listed ? base + static_cast<uint32_t>(*table->rowid_alias) : base + nn + 1;
  const uint32_t scratch = alias_listed ? base + nn + 1 : base + nn + 2;

  std::vector<Affinity> affinity;
  affinity.reserve(n);
  for (const Column& c : table->columns) affinity.push_back(numeric_affinity(c.decl_type));

  if (width != targets.size()) {
    return std::unexpected(Error::Exec("table " + std::string(table_name) + " expects " +
                                       std::to_string(targets.size()) + " values, got " +
                                       std::to_string(width)));
  }

  // The UNIQUE probes of a plain INSERT, per plan, to be sent to that plan's
  // failure block.
  std::vector<std::vector<uint32_t>> fail_jumps(plans.size());
  uint32_t high_water = scratch;
  const size_t rows = width == 0 ? 0 : values.size() / width;
  for (size_t row = 0; row < rows; ++row) {
    gen.n_regs = scratch;
    std::span<const Expr> run = values.subspan(row * width, width);
    std::vector<uint32_t> skips;

    for (size_t j = 0; j < n; ++j) {
      if (!listed[j]) emit_default(gen, table->columns[j], base + static_cast<uint32_t>(j));
    }
    for (size_t i = 0; i < run.size(); ++i) {
      VBK_TRY(compile_into(gen, run[i], nullptr, base + static_cast<uint32_t>(targets[i])));
    }
    for (size_t j = 0; j < n; ++j) {
      if (affinity[j] == Affinity::None) continue;
      gen.emit(Op::Affinity{.reg = base + static_cast<uint32_t>(j),
                            .real = affinity[j] == Affinity::Real});
    }
    emit_not_null_guards(gen, *table, base, {});
    if (!alias_listed) {
      gen.emit(Op::NewRowid{.cur = cur, .dest = rowid_reg});
    } else if (or_ignore) {
      skips.push_back(gen.emit(Op::RowidExistsJump{.cur = cur, .key_reg = rowid_reg, .target = {}}));
    }
    for (size_t k = 0; k < plans.size(); ++k) {
      if (!plans[k].unique) continue;
      uint32_t probe = emit_unique_probe(gen, plans[k], base, table->rowid_alias, rowid_reg, 0);
      (or_ignore ? skips : fail_jumps[k]).push_back(probe);
    }
    gen.emit(Op::MakeRecord{.start = base, .count = nn, .dest = record});
    gen.emit(Op::Insert{.cur = cur, .record_reg = record, .rowid_reg = rowid_reg});
    for (const IndexPlan& plan : plans) {
      emit_index_insert(gen, plan, base, table->rowid_alias, rowid_reg);
    }
    for (uint32_t at : skips) gen.patch_here(at);
    high_water = std::max(high_water, gen.n_regs);
  }
  gen.emit(Op::Halt{});
  for (size_t k = 0; k < plans.size(); ++k) {
    if (fail_jumps[k].empty()) continue;
    for (uint32_t at : fail_jumps[k]) gen.patch_here(at);
    gen.emit(Op::Fail{.message = unique_failed(plans[k].name)});
  }
  gen.n_regs = high_water;
  return std::move(gen).finish();
}

}  // namespace vbk::compile
