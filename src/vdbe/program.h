#pragma once

// A Program is one compiled statement: the contract between the query
// compiler, which writes it, the virtual machine, which runs it, and the
// engine, which keeps it in a prepared statement and finishes its rows.
//
// It is a flat list of instructions for a register machine; an instruction's
// index is its jump address. A program is built once and never changed
// afterwards; a run only reads it, so one program may run any number of times.
//
// Operands are register numbers, cursor-slot numbers (table and index slots
// are numbered apart), jump targets, column positions and literals. Every
// number a program names is below the program's matching count and every slot
// is opened before it is used: the compiler guarantees it, and a program that
// breaks it is an internal fault of the run, not an Error.

#include <cstdint>
#include <optional>
#include <string>
#include <type_traits>
#include <variant>
#include <vector>

#include "record/value.h"
#include "sql/ast.h"
#include "util/bytes.h"
#include "vdbe/kinds.h"

namespace vbk::vdbe {

// Where one parameter of Op::ScalarSub comes from in the parent run.
struct ParamSrc {
  enum class Kind : uint8_t { Rowid, Column, Param };

  static ParamSrc Rowid(uint32_t cur) { return {Kind::Rowid, cur, 0}; }
  static ParamSrc Column(uint32_t cur, uint32_t col) { return {Kind::Column, cur, col}; }
  static ParamSrc Param(uint32_t idx) { return {Kind::Param, idx, 0}; }

  Kind kind = Kind::Rowid;
  uint32_t a = 0;  // Rowid, Column: the parent's table slot. Param: the value position.
  uint32_t b = 0;  // Column: the column position.

  friend bool operator==(const ParamSrc&, const ParamSrc&) = default;
};

// A jump target that the code generator patches after emission (Gen::patch).
// A target at or beyond the end of the program ends the run as Halt does.
struct Target {
  uint32_t at = 0;
  friend bool operator==(const Target&, const Target&) = default;
};

// The instruction table: kind, then its fields in their fixed order. F(type,
// name) declares one field. The order of the kinds is their tag number and the
// order of their debug names; Fail (tag 62) ends the run with a constraint
// error carrying its message.
//
// HoldRow and TakeHeldRow carry rows from one pass of a statement to the
// next: HoldRow appends the registers start..start+count-1 to the run's held
// rows, and TakeHeldRow moves the oldest held row not yet taken into
// dest..dest+count-1, or jumps to done_target once every row is taken. An
// UPDATE or DELETE whose subqueries read its own table finds its rows (and
// their new values) in a first pass that changes nothing, then changes them.
//
// The UNIQUE probes (IdxInsertUnique, IdxConflictJump) look for entries that
// begin with the prefix and collide by the rule of catalog/unique.h: the new
// key's values are in the registers values.., and element `stored` of
// Program::stored_keys says where the stored rows' values are read.
#define VBK_OPS(X)                                                                              \
  X(Halt, )                                                                                     \
  X(IfFalse, F(uint32_t, reg) F(Target, target))                                                \
  X(IfTrue, F(uint32_t, reg) F(Target, target))                                                 \
  X(Goto, F(Target, target))                                                                    \
  X(NullRow, F(uint32_t, cur))                                                                  \
  X(Integer, F(int64_t, v) F(uint32_t, dest))                                                   \
  X(Real, F(double, v) F(uint32_t, dest))                                                       \
  X(Str, F(std::string, v) F(uint32_t, dest))                                                   \
  X(Blob, F(Bytes, v) F(uint32_t, dest))                                                        \
  X(Null, F(uint32_t, dest))                                                                    \
  X(Copy, F(uint32_t, src) F(uint32_t, dest))                                                   \
  X(OpenRead, F(uint32_t, cur) F(uint32_t, root))                                               \
  X(OpenWrite, F(uint32_t, cur) F(uint32_t, root))                                              \
  X(Rewind, F(uint32_t, cur) F(Target, empty_target))                                           \
  X(Next, F(uint32_t, cur) F(Target, row_target))                                               \
  X(SeekRowid, F(uint32_t, cur) F(uint32_t, key_reg) F(Target, notfound_target))                \
  X(CursorSetRowid, F(uint32_t, cur) F(uint32_t, rowid_reg))                                    \
  X(SeekScan, F(uint32_t, cur) F(uint32_t, key_reg) F(Target, empty_target))                    \
  X(Rowid, F(uint32_t, cur) F(uint32_t, dest))                                                  \
  X(Column, F(uint32_t, cur) F(uint32_t, col) F(uint32_t, dest))                                \
  X(Count, F(uint32_t, cur) F(uint32_t, dest))                                                  \
  X(ResultRow, F(uint32_t, start) F(uint32_t, count))                                           \
  X(Bin, F(BinKind, op) F(uint32_t, a) F(uint32_t, b) F(uint32_t, dest))                        \
  X(Un, F(UnKind, op) F(uint32_t, a) F(uint32_t, dest))                                         \
  X(IsNull, F(uint32_t, a) F(uint32_t, dest) F(bool, negated))                                  \
  X(MakeRecord, F(uint32_t, start) F(uint32_t, count) F(uint32_t, dest))                        \
  X(MakeUpdatedRecord,                                                                          \
    F(uint32_t, cur) F(uint32_t, start) F(std::vector<bool>, kept) F(uint32_t, dest))           \
  X(NewRowid, F(uint32_t, cur) F(uint32_t, dest))                                               \
  X(Insert, F(uint32_t, cur) F(uint32_t, record_reg) F(uint32_t, rowid_reg))                    \
  X(DeleteCurrent, F(uint32_t, cur))                                                            \
  X(TruncateFrom, F(uint32_t, cur) F(uint32_t, key_reg))                                        \
  X(UpdateCurrent, F(uint32_t, cur) F(uint32_t, record_reg))                                    \
  X(ApplyDeferred, F(uint32_t, cur))                                                            \
  X(HoldRow, F(uint32_t, start) F(uint32_t, count))                                             \
  X(TakeHeldRow, F(uint32_t, dest) F(uint32_t, count) F(Target, done_target))                   \
  X(OpenIndex, F(uint32_t, cur) F(uint32_t, root))                                              \
  X(MakeIndexKey, F(uint32_t, start) F(uint32_t, count) F(uint32_t, rowid_reg) F(uint32_t, dest)) \
  X(MakeIndexPrefix, F(uint32_t, start) F(uint32_t, count) F(uint32_t, dest))                   \
  X(IdxInsert, F(uint32_t, cur) F(uint32_t, key_reg))                                           \
  X(IdxInsertUnique,                                                                            \
    F(uint32_t, cur) F(uint32_t, key_reg) F(uint32_t, prefix_reg) F(std::string, column)        \
    F(uint32_t, values) F(uint32_t, stored))                                                    \
  X(IdxConflictJump,                                                                            \
    F(uint32_t, cur) F(uint32_t, prefix_reg) F(Target, target) F(uint32_t, values)              \
    F(uint32_t, stored))                                                                        \
  X(RowidExistsJump, F(uint32_t, cur) F(uint32_t, key_reg) F(Target, target))                   \
  X(IdxDelete, F(uint32_t, cur) F(uint32_t, key_reg))                                           \
  X(NotNullGuard, F(uint32_t, reg) F(std::string, column))                                      \
  X(IdxSeek, F(uint32_t, cur) F(uint32_t, prefix_reg) F(Target, notfound_target))              \
  X(IdxNext, F(uint32_t, cur) F(Target, row_target))                                            \
  X(IdxRowid, F(uint32_t, cur) F(uint32_t, dest))                                               \
  X(IdxPrefixGuard, F(uint32_t, cur) F(uint32_t, prefix_reg) F(Target, fail_target))            \
  X(MakeBoundKey, F(uint32_t, start) F(uint32_t, count) F(bool, pad) F(uint32_t, dest))         \
  X(IdxRangeGuard, F(uint32_t, cur) F(uint32_t, bound_reg) F(Target, fail_target))              \
  X(AggStart, F(uint32_t, key_start) F(uint32_t, key_count))                                    \
  X(AggStep, F(uint32_t, idx) F(uint32_t, arg_reg))                                             \
  X(AggRewind,                                                                                  \
    F(Target, done_target) F(uint32_t, key_dest) F(uint32_t, key_count) F(bool, grouped))       \
  X(AggNext, F(uint32_t, row_target) F(uint32_t, key_dest) F(uint32_t, key_count))              \
  X(AggResult, F(uint32_t, idx) F(uint32_t, dest))                                              \
  X(Func, F(ScalarKind, kind) F(std::vector<uint32_t>, args) F(uint32_t, dest))                 \
  X(Cast, F(uint32_t, a) F(CastType, to) F(uint32_t, dest))                                     \
  X(Affinity, F(uint32_t, reg) F(bool, real))                                                   \
  X(Like, F(uint32_t, a) F(uint32_t, pat) F(bool, negated) F(uint32_t, dest))                   \
  X(Param, F(uint32_t, idx) F(uint32_t, dest))                                                  \
  X(Bind, F(uint32_t, idx) F(uint32_t, dest))                                                   \
  X(ScalarSub, F(uint32_t, sub) F(std::vector<ParamSrc>, params) F(uint32_t, dest))             \
  X(Fail, F(std::string, message))

// One instruction. Build one from its kind's struct with designated fields:
//   Op(Op::Column{.cur = 0, .col = 2, .dest = 5})
// and read it with kind() and get<Op::Column>() (or std::get_if on `v`).
struct Op {
#define VBK_OP_FIELD(type, name) type name{};
#define VBK_OP_STRUCT(kind_name, fields) \
  struct kind_name {                     \
    fields                               \
    friend bool operator==(const kind_name&, const kind_name&) = default; \
  };
#define F VBK_OP_FIELD
  VBK_OPS(VBK_OP_STRUCT)
#undef F
#undef VBK_OP_STRUCT
#undef VBK_OP_FIELD

#define VBK_OP_ENUM(kind_name, fields) kind_name,
  enum class Kind : uint8_t { VBK_OPS(VBK_OP_ENUM) };
#undef VBK_OP_ENUM

#define VBK_OP_ALT(kind_name, fields) kind_name,
  // The trailing monostate only closes the list; no Op ever holds it.
  using Variant = std::variant<VBK_OPS(VBK_OP_ALT) std::monostate>;
#undef VBK_OP_ALT

  Variant v;

  Op() : v(Halt{}) {}
  template <typename T>
    requires(!std::is_same_v<std::decay_t<T>, Op>)
  Op(T alt) : v(std::move(alt)) {}  // NOLINT(google-explicit-constructor): Op(Op::Goto{...})

  Kind kind() const { return static_cast<Kind>(v.index()); }
  template <typename T>
  T& get() { return std::get<T>(v); }
  template <typename T>
  const T& get() const { return std::get<T>(v); }

  // The patchable jump target of the fifteen jump kinds, or null for every
  // other kind (AggNext included: its target is known when it is emitted).
  Target* jump_target();
  const Target* jump_target() const;

  // "Goto { target: 7 }", "Column { cur: 0, col: 2, dest: 5 }", "Halt".
  void append_debug(std::string& out) const;
  std::string debug() const;

  friend bool operator==(const Op&, const Op&) = default;
};

std::string_view op_kind_name(Op::Kind k);
// "Rowid(0)", "Column(1, 3)", "Param(0)".
void append_debug(std::string& out, const ParamSrc& p);

// Where a UNIQUE probe reads the stored values of its index's key: in the
// rows of table slot table_cur, one column per key value, each a position
// in the row's record or catalog::kRowidColumn for the rowid. Kept once per
// index in the program rather than in each probe, so that a statement of
// many rows keeps its instructions small.
struct StoredKey {
  uint32_t table_cur = 0;
  std::vector<uint32_t> columns;

  friend bool operator==(const StoredKey&, const StoredKey&) = default;
};

// One compiled statement.
struct Program {
  std::vector<Op> ops;
  std::vector<AggSpec> aggs;  // one per aggregate slot; AggStep/AggResult idx
  // Result column names, one per visible column.
  std::vector<std::string> columns;
  // One flag per ORDER BY term (true: DESC). The key values travel in each
  // output row behind the first `width` values.
  std::vector<bool> order_desc;
  std::vector<Program> subprograms;  // correlated scalar subqueries
  std::vector<StoredKey> stored_keys;  // the UNIQUE probes' `stored`
  uint32_t n_regs = 0;
  uint32_t n_cursors = 0;
  uint32_t n_idx_cursors = 0;
  uint32_t width = 0;  // visible result columns
  bool distinct = false;
  std::optional<int64_t> limit;
  std::optional<int64_t> offset;

  // The debug texts of the instructions, one a line with its address:
  // "0: Integer { v: 5, dest: 0 }\n". For tests and fault messages.
  std::string listing() const;
};

}  // namespace vbk::vdbe
