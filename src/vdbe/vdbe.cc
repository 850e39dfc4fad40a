#include "vdbe/vdbe.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <string>

#include "btree/index.h"
#include "btree/keyenc.h"
#include "catalog/unique.h"
#include "record/record.h"
#include "vdbe/functions.h"
#include "vdbe/value_ops.h"

namespace vbk::vdbe {

namespace {

using K = Op::Kind;

// The kind's struct of an instruction whose kind the caller has switched on.
template <typename T>
const T& as(const Op& op) {
  return *std::get_if<T>(&op.v);
}

// An operand that must hold an integer.
Result<int64_t> int_operand(const Value& v) {
  if (v.kind() != Value::Kind::Int) [[unlikely]]
    return std::unexpected(Error::Exec("expected an integer, found " + v.debug()));
  return v.as_int();
}

// An operand that must hold bytes: a record, an index key, a prefix or a
// bound.
Result<std::span<const uint8_t>> blob_operand(const Value& v) {
  if (v.kind() != Value::Kind::Blob) [[unlikely]]
    return std::unexpected(Error::Exec("expected a record blob"));
  return std::span<const uint8_t>(v.as_blob());
}

// Takes the byte buffer out of a register that is about to receive a new
// blob, leaving NULL behind: a blob's storage is reused, anything else gives
// an empty buffer.
Bytes take_buffer(Value& v) {
  Bytes out;
  if (v.kind() == Value::Kind::Blob) out = std::move(v.as_blob());
  v = Value::Null();
  out.clear();
  return out;
}

// The buffer for a blob about to be built into register `dest` from the
// registers start..start+count-1: dest's own when it is not among them
// (they are read before dest is written), else a new one.
Bytes buffer_for(Value& d, uint32_t dest, uint32_t start, uint32_t count) {
  if (dest >= start && dest - start < count) return Bytes();
  return take_buffer(d);
}

// The rowid that SeekRowid looks for, or none: an Int; a Real that is whole
// and within the rowid range (exactly 2^63 reads as the largest rowid, the
// integer it compares equal to); a text that is an integer literal.
std::optional<int64_t> seek_key(const Value& v) {
  switch (v.kind()) {
    case Value::Kind::Int:
      return v.as_int();
    case Value::Kind::Real: {
      const double d = v.as_real();
      constexpr double kTwo63 = 9223372036854775808.0;
      if (!(d == std::trunc(d))) return std::nullopt;  // a fraction or NaN
      if (d == kTwo63) return std::numeric_limits<int64_t>::max();
      if (d > kTwo63 || d < -kTwo63) return std::nullopt;
      return static_cast<int64_t>(d);
    }
    case Value::Kind::Text:
      return value_ops::int_from_text(v.as_text());
    case Value::Kind::Null:
    case Value::Kind::Blob:
      break;
  }
  return std::nullopt;
}

}  // namespace

Error not_null_failed(std::string_view column) {
  return Error::Constraint("NOT NULL constraint failed: " + std::string(column));
}

Vm::Vm(Pager& pager, std::span<const Value> binds) : pager_(&pager), binds_(binds) {}

std::vector<Row> Vm::into_output() && { return std::move(rows_); }

Result<void> Vm::column_into(VmCursor& c, uint32_t col, Value& out) {
  if (c.null_row || !c.current_rowid) {
    out = Value::Null();
    return {};
  }
  return c.offsets.column_into(c.record_buf, col, out);
}

Result<Value> Vm::param_value(const ParamSrc& src) {
  switch (src.kind) {
    case ParamSrc::Kind::Rowid: {
      VmCursor& c = table_slot(src.a);
      if (c.null_row || !c.current_rowid) return Value::Null();
      return Value::Int(*c.current_rowid);
    }
    case ParamSrc::Kind::Column: {
      Value v;
      VBK_TRY(column_into(table_slot(src.a), src.b, v));
      return v;
    }
    case ParamSrc::Kind::Param:
      return src.a < params_.size() ? params_[src.a] : Value::Null();
  }
  fault("param_value: unknown parameter source");
}

void Vm::reset_hints(uint32_t root, const VmCursor* except) {
  for (std::optional<VmCursor>& slot : cursors_) {
    if (slot && slot->root == root && &*slot != except) {
      slot->hint.reset();
      slot->hint_exact = false;
    }
  }
}

Result<void> Vm::run(const Program& program) {
  Result<void> ran = run_loop(program);
  // A constraint failure ends the statement between rows: the failing row
  // wrote nothing, or has put back what it wrote. Rows before it that grew
  // out of their place are only queued, while their new index entries are
  // already in the indexes; store them, so that every earlier row stays
  // whole. Other errors leave the statement mid-row, and the engine rolls
  // the transaction back.
  if (!ran && ran.error().is(Error::Kind::Constraint) && !deferred_.empty()) {
    VBK_TRY(apply_queue());
  }
  return ran;
}

Result<void> Vm::run_loop(const Program& program) {
  regs_.assign(std::max<size_t>(1, program.n_regs), Value::Null());
  cursors_.clear();
  cursors_.resize(program.n_cursors);
  index_cursors_.clear();
  index_cursors_.resize(program.n_idx_cursors);
  aggs_ = program.aggs;
  groups_ = GroupTable{};
  subquery_cache_.clear();
  held_.clear();
  held_taken_ = 0;

  const Op* const ops = program.ops.data();
  const size_t n = program.ops.size();
  size_t pc = 0;
  while (pc < n) {
    const Op& op = ops[pc++];
    current_op_ = &op;
    switch (op.kind()) {
      case K::Halt:
        return {};
      case K::IfFalse: {
        const auto& o = as<Op::IfFalse>(op);
        if (!value_ops::is_truthy(reg(o.reg))) pc = o.target.at;
        break;
      }
      case K::IfTrue: {
        const auto& o = as<Op::IfTrue>(op);
        if (value_ops::is_truthy(reg(o.reg))) pc = o.target.at;
        break;
      }
      case K::Goto:
        pc = as<Op::Goto>(op).target.at;
        break;
      case K::NullRow:
        table_slot(as<Op::NullRow>(op).cur).null_row = true;
        break;
      case K::Integer: {
        const auto& o = as<Op::Integer>(op);
        reg(o.dest) = Value::Int(o.v);
        break;
      }
      case K::Real: {
        const auto& o = as<Op::Real>(op);
        reg(o.dest) = Value::Real(o.v);
        break;
      }
      case K::Str: {
        const auto& o = as<Op::Str>(op);
        Value& d = reg(o.dest);
        if (d.kind() == Value::Kind::Text) {
          d.as_text().assign(o.v);
        } else {
          d = Value::Text(o.v);
        }
        break;
      }
      case K::Blob: {
        const auto& o = as<Op::Blob>(op);
        Value& d = reg(o.dest);
        if (d.kind() == Value::Kind::Blob) {
          d.as_blob().assign(o.v.begin(), o.v.end());
        } else {
          d = Value::Blob(o.v);
        }
        break;
      }
      case K::Null:
        reg(as<Op::Null>(op).dest) = Value::Null();
        break;
      case K::Copy: {
        const auto& o = as<Op::Copy>(op);
        const Value& s = reg(o.src);
        Value& d = reg(o.dest);
        // Same kinds copy into the existing text or byte buffer.
        if (&s != &d) d = s;
        break;
      }
      case K::OpenRead:
      case K::OpenWrite: {
        // Both kinds have the fields (cur, root); the machine keeps no read
        // or write distinction between slots.
        const auto [cur, root] = op.kind() == K::OpenRead
                                     ? std::pair(as<Op::OpenRead>(op).cur, as<Op::OpenRead>(op).root)
                                     : std::pair(as<Op::OpenWrite>(op).cur, as<Op::OpenWrite>(op).root);
        if (cur >= cursors_.size()) bad_table_slot(cur);
        cursors_[cur].emplace(*pager_, root);
        break;
      }
      case K::Rewind: {
        const auto& o = as<Op::Rewind>(op);
        VmCursor& c = table_slot(o.cur);
        c.null_row = false;
        c.offsets.clear();
        c.current_rowid.reset();
        c.cursor_rowid.reset();
        VBK_TRY(c.cursor.rewind());
        c.current_rowid = VBK_TRY(c.step_into(c.record_buf));
        if (!c.current_rowid) pc = o.empty_target.at;
        break;
      }
      case K::Next: {
        const auto& o = as<Op::Next>(op);
        VmCursor& c = table_slot(o.cur);
        if (c.null_row) {
          // The LEFT JOIN null row: leave the level without stepping an
          // exhausted cursor.
          c.null_row = false;
          break;
        }
        c.offsets.clear();
        c.current_rowid.reset();
        c.current_rowid = VBK_TRY(c.step_into(c.record_buf));
        if (c.current_rowid) pc = o.row_target.at;
        break;
      }
      case K::SeekRowid: {
        const auto& o = as<Op::SeekRowid>(op);
        if (!VBK_TRY(exec_seek_rowid(o))) pc = o.notfound_target.at;
        break;
      }
      case K::CursorSetRowid: {
        const auto& o = as<Op::CursorSetRowid>(op);
        const int64_t rowid = VBK_TRY(int_operand(reg(o.rowid_reg)));
        VmCursor& c = table_slot(o.cur);
        c.null_row = false;
        c.current_rowid = rowid;
        break;
      }
      case K::SeekScan: {
        const auto& o = as<Op::SeekScan>(op);
        const int64_t key = VBK_TRY(int_operand(reg(o.key_reg)));
        VmCursor& c = table_slot(o.cur);
        c.offsets.clear();
        c.current_rowid.reset();
        c.cursor_rowid.reset();
        VBK_TRY(c.cursor.seek(key));
        c.current_rowid = VBK_TRY(c.step_into(c.record_buf));
        if (!c.current_rowid) pc = o.empty_target.at;
        break;
      }
      case K::Rowid: {
        const auto& o = as<Op::Rowid>(op);
        VmCursor& c = table_slot(o.cur);
        if (c.null_row) {
          reg(o.dest) = Value::Null();
        } else {
          if (!c.current_rowid) operand_fault("Rowid on a slot without a current row");
          reg(o.dest) = Value::Int(*c.current_rowid);
        }
        break;
      }
      case K::Column: {
        const auto& o = as<Op::Column>(op);
        VBK_TRY(column_into(table_slot(o.cur), o.col, reg(o.dest)));
        break;
      }
      case K::Count: {
        const auto& o = as<Op::Count>(op);
        const uint32_t root = table_slot(o.cur).root;
        const uint64_t rows = VBK_TRY(BTree(*pager_, root).count_subtree(root));
        // A page holds far fewer rows than 2^63; a count beyond can only be
        // a sum over damaged pages, which the walk reports before that.
        reg(o.dest) = Value::Int(static_cast<int64_t>(rows));
        break;
      }
      case K::ResultRow: {
        const auto& o = as<Op::ResultRow>(op);
        const std::span<Value> run = reg_run(o.start, o.count);
        rows_.emplace_back(run.begin(), run.end());
        break;
      }
      case K::Bin: {
        const auto& o = as<Op::Bin>(op);
        Value r = apply_bin(o.op, reg(o.a), reg(o.b));
        reg(o.dest) = std::move(r);
        break;
      }
      case K::Un: {
        const auto& o = as<Op::Un>(op);
        const Value& a = reg(o.a);
        Value r = o.op == UnKind::Not ? value_ops::not_(a) : value_ops::neg(a);
        reg(o.dest) = std::move(r);
        break;
      }
      case K::IsNull: {
        const auto& o = as<Op::IsNull>(op);
        const bool is_null = reg(o.a).is_null();
        reg(o.dest) = Value::Int(is_null != o.negated ? 1 : 0);
        break;
      }
      case K::MakeRecord: {
        const auto& o = as<Op::MakeRecord>(op);
        Value& d = reg(o.dest);
        const std::span<Value> values = reg_run(o.start, o.count);
        Bytes buf = take_buffer(d);
        record::encode_record_into(buf, values);
        d = Value::Blob(std::move(buf));
        break;
      }
      case K::MakeUpdatedRecord:
        VBK_TRY(exec_make_updated_record(as<Op::MakeUpdatedRecord>(op)));
        break;
      case K::NewRowid:
        VBK_TRY(exec_new_rowid(as<Op::NewRowid>(op)));
        break;
      case K::Insert:
        VBK_TRY(exec_insert(as<Op::Insert>(op)));
        break;
      case K::DeleteCurrent: {
        VmCursor& c = table_slot(as<Op::DeleteCurrent>(op).cur);
        // The cursor's row must be the slot's current row: after a probe, a
        // failed seek or an earlier delete it is another row or none.
        if (!c.cursor_rowid || c.cursor_rowid != c.current_rowid) {
          operand_fault("DeleteCurrent on a slot whose cursor is not on its current row");
        }
        c.cursor_rowid.reset();
        VBK_TRY(c.cursor.delete_current());
        ++changes_;
        // A delete keeps every hint usable for appending, but the hinted
        // last rowid may no longer be stored.
        for (std::optional<VmCursor>& slot : cursors_) {
          if (slot && slot->root == c.root) slot->hint_exact = false;
        }
        break;
      }
      case K::TruncateFrom: {
        const auto& o = as<Op::TruncateFrom>(op);
        const int64_t key = VBK_TRY(int_operand(reg(o.key_reg)));
        VmCursor& c = table_slot(o.cur);
        // Truncation frees pages, the hinted leaf perhaps among them.
        reset_hints(c.root, nullptr);
        changes_ += VBK_TRY(BTree(*pager_, c.root).truncate_from(key));
        break;
      }
      case K::UpdateCurrent:
        VBK_TRY(exec_update_current(as<Op::UpdateCurrent>(op)));
        break;
      case K::ApplyDeferred:
        VBK_TRY(exec_apply_deferred(as<Op::ApplyDeferred>(op)));
        break;
      case K::HoldRow: {
        const auto& o = as<Op::HoldRow>(op);
        const std::span<Value> row = reg_run(o.start, o.count);
        held_.insert(held_.end(), row.begin(), row.end());
        break;
      }
      case K::TakeHeldRow: {
        const auto& o = as<Op::TakeHeldRow>(op);
        if (!exec_take_held_row(o)) pc = o.done_target.at;
        break;
      }
      case K::OpenIndex: {
        const auto& o = as<Op::OpenIndex>(op);
        if (o.cur >= index_cursors_.size()) bad_index_slot(o.cur);
        index_cursors_[o.cur].emplace(*pager_, o.root);
        break;
      }
      case K::MakeIndexKey: {
        const auto& o = as<Op::MakeIndexKey>(op);
        const int64_t rowid = VBK_TRY(int_operand(reg(o.rowid_reg)));
        Value& d = reg(o.dest);
        const std::span<Value> values = reg_run(o.start, o.count);
        Bytes buf = buffer_for(d, o.dest, o.start, o.count);
        keyenc::encode_index_key_into(buf, values, rowid);
        d = Value::Blob(std::move(buf));
        break;
      }
      case K::MakeIndexPrefix: {
        const auto& o = as<Op::MakeIndexPrefix>(op);
        Value& d = reg(o.dest);
        const std::span<Value> values = reg_run(o.start, o.count);
        Bytes buf = take_buffer(d);
        keyenc::encode_key_prefix_into(buf, values);
        d = Value::Blob(std::move(buf));
        break;
      }
      case K::MakeBoundKey: {
        const auto& o = as<Op::MakeBoundKey>(op);
        Value& d = reg(o.dest);
        const std::span<Value> values = reg_run(o.start, o.count);
        Bytes buf = buffer_for(d, o.dest, o.start, o.count);
        keyenc::encode_key_prefix_into(buf, values);
        // No key byte is 0xFF where a value's encoding starts, so the padded
        // bound sorts after every key of these values, rowid included; a zero
        // is written as 0.0 so that the bound passes -0.0's keys too. (The
        // seek of a lower bound starts at -0.0 by itself.)
        if (o.pad) {
          keyenc::set_zero_signs(buf, false);
          buf.insert(buf.end(), keyenc::kRowidSuffixLength, uint8_t{0xFF});
        }
        d = Value::Blob(std::move(buf));
        break;
      }
      case K::IdxInsert: {
        const auto& o = as<Op::IdxInsert>(op);
        const std::span<const uint8_t> key = VBK_TRY(blob_operand(reg(o.key_reg)));
        VBK_TRY(IndexBTree(*pager_, index_slot(o.cur).root).insert(key));
        break;
      }
      case K::IdxInsertUnique:
        VBK_TRY(exec_idx_insert_unique(program, as<Op::IdxInsertUnique>(op)));
        break;
      case K::IdxConflictJump: {
        const auto& o = as<Op::IdxConflictJump>(op);
        const std::span<const uint8_t> prefix = VBK_TRY(blob_operand(reg(o.prefix_reg)));
        const uint32_t root = index_slot(o.cur).root;
        if (VBK_TRY(unique_conflict(program, root, prefix, o.values, o.stored))) pc = o.target.at;
        break;
      }
      case K::RowidExistsJump: {
        const auto& o = as<Op::RowidExistsJump>(op);
        if (VBK_TRY(exec_rowid_exists(o))) pc = o.target.at;
        break;
      }
      case K::IdxDelete: {
        const auto& o = as<Op::IdxDelete>(op);
        const std::span<const uint8_t> key = VBK_TRY(blob_operand(reg(o.key_reg)));
        VBK_TRY(IndexBTree(*pager_, index_slot(o.cur).root).delete_(key));
        break;
      }
      case K::NotNullGuard: {
        const auto& o = as<Op::NotNullGuard>(op);
        if (reg(o.reg).is_null()) return std::unexpected(not_null_failed(o.column));
        break;
      }
      case K::IdxSeek: {
        const auto& o = as<Op::IdxSeek>(op);
        const std::span<const uint8_t> prefix = VBK_TRY(blob_operand(reg(o.prefix_reg)));
        IndexVmCursor& c = index_slot(o.cur);
        // A zero of the prefix may match -0.0 as well as 0.0, and -0.0's
        // keys come first.
        c.probe.assign(prefix.begin(), prefix.end());
        keyenc::set_zero_signs(c.probe, true);
        if (!VBK_TRY(seek_index(c, c.probe))) pc = o.notfound_target.at;
        break;
      }
      case K::IdxNext: {
        const auto& o = as<Op::IdxNext>(op);
        IndexVmCursor& c = index_slot(o.cur);
        c.has_row = false;
        c.has_row = VBK_TRY(c.cursor.next_into(c.current_key));
        c.key_read = c.key_read || c.has_row;
        if (c.has_row) pc = o.row_target.at;
        break;
      }
      case K::IdxRowid: {
        const auto& o = as<Op::IdxRowid>(op);
        IndexVmCursor& c = index_slot(o.cur);
        if (!c.key_read) operand_fault("IdxRowid before any key was read");
        // A key too short for its rowid can only come from a damaged page.
        const int64_t rowid = VBK_TRY(keyenc::key_rowid(c.current_key));
        reg(o.dest) = Value::Int(rowid);
        break;
      }
      case K::IdxPrefixGuard: {
        const auto& o = as<Op::IdxPrefixGuard>(op);
        const std::span<const uint8_t> prefix = VBK_TRY(blob_operand(reg(o.prefix_reg)));
        IndexVmCursor& c = index_slot(o.cur);
        const bool within = c.has_row && ((c.current_key.size() >= prefix.size() &&
                                           std::equal(prefix.begin(), prefix.end(), c.current_key.begin())) ||
                                          VBK_TRY(resume_equal(c, prefix)));
        if (!within) pc = o.fail_target.at;
        break;
      }
      case K::IdxRangeGuard: {
        const auto& o = as<Op::IdxRangeGuard>(op);
        const std::span<const uint8_t> bound = VBK_TRY(blob_operand(reg(o.bound_reg)));
        const IndexVmCursor& c = index_slot(o.cur);
        // At or below the bound goes on: a padded bound equals the key of
        // its values with the largest rowid, which belongs to the range; no
        // key equals an unpadded bound.
        if (!c.has_row || btree::index::compare(c.current_key, bound) > 0) pc = o.fail_target.at;
        break;
      }
      case K::AggStart:
        VBK_TRY(exec_agg_start(as<Op::AggStart>(op)));
        break;
      case K::AggStep:
        VBK_TRY(exec_agg_step(as<Op::AggStep>(op)));
        break;
      case K::AggRewind: {
        const auto& o = as<Op::AggRewind>(op);
        if (!VBK_TRY(exec_agg_rewind(o))) pc = o.done_target.at;
        break;
      }
      case K::AggNext: {
        const auto& o = as<Op::AggNext>(op);
        if (VBK_TRY(exec_agg_next(o))) pc = o.row_target;
        break;
      }
      case K::AggResult:
        VBK_TRY(exec_agg_result(as<Op::AggResult>(op)));
        break;
      case K::Func:
        exec_func(as<Op::Func>(op));
        break;
      case K::Cast: {
        const auto& o = as<Op::Cast>(op);
        Value r = value_ops::cast_value(reg(o.a), o.to);
        reg(o.dest) = std::move(r);
        break;
      }
      case K::Affinity: {
        const auto& o = as<Op::Affinity>(op);
        value_ops::apply_affinity(reg(o.reg), o.real);
        break;
      }
      case K::Like: {
        const auto& o = as<Op::Like>(op);
        Value r = value_ops::like_op(reg(o.a), reg(o.pat), o.negated);
        reg(o.dest) = std::move(r);
        break;
      }
      case K::Param: {
        const auto& o = as<Op::Param>(op);
        Value& d = reg(o.dest);
        if (o.idx < params_.size()) {
          d = params_[o.idx];
        } else {
          d = Value::Null();
        }
        break;
      }
      case K::Bind: {
        const auto& o = as<Op::Bind>(op);
        Value& d = reg(o.dest);
        if (o.idx < binds_.size()) {
          d = binds_[o.idx];
        } else {
          d = Value::Null();
        }
        break;
      }
      case K::ScalarSub:
        VBK_TRY(exec_scalar_sub(program, as<Op::ScalarSub>(op)));
        break;
      case K::Fail:
        return std::unexpected(Error::Constraint(as<Op::Fail>(op).message));
    }
  }
  return {};
}

Result<bool> Vm::exec_seek_rowid(const Op::SeekRowid& o) {
  VmCursor& c = table_slot(o.cur);
  c.null_row = false;
  const std::optional<int64_t> key = seek_key(reg(o.key_reg));
  c.current_rowid.reset();
  if (!key) return false;  // the B-tree cursor stays where it was
  c.offsets.clear();
  c.cursor_rowid.reset();
  VBK_TRY(c.cursor.seek(*key));
  const std::optional<int64_t> found = VBK_TRY(c.step_into(c.record_buf));
  if (found != key) return false;
  c.current_rowid = found;
  return true;
}

bool Vm::exec_take_held_row(const Op::TakeHeldRow& o) {
  // Rows are held and taken with one width; an empty row would never end
  // the loop that takes them.
  if (o.count == 0 || (held_.size() - held_taken_) % o.count != 0) {
    operand_fault("TakeHeldRow of a width the held rows do not have");
  }
  if (held_taken_ == held_.size()) {
    held_.clear();
    held_taken_ = 0;
    return false;
  }
  const std::span<Value> dest = reg_run(o.dest, o.count);
  for (Value& d : dest) d = std::move(held_[held_taken_++]);
  return true;
}

Result<bool> Vm::exec_rowid_exists(const Op::RowidExistsJump& o) {
  const Value& k = reg(o.key_reg);
  if (k.kind() != Value::Kind::Int) return false;  // no error: a non-integer names no row
  VmCursor& c = table_slot(o.cur);
  // The probe reads into a buffer of its own: the slot's current row and
  // its record stay as they were.
  c.cursor_rowid.reset();
  VBK_TRY(c.cursor.seek(k.as_int()));
  const std::optional<int64_t> found = VBK_TRY(c.step_into(probe_buf_));
  return found == k.as_int();
}

Result<void> Vm::exec_make_updated_record(const Op::MakeUpdatedRecord& o) {
  Value& d = reg(o.dest);
  Bytes buf = take_buffer(d);
  const VmCursor& c = table_slot(o.cur);
  const size_t k = o.kept.size();
  if (k > UINT32_MAX) bad_register_run(o.start, UINT32_MAX);
  const std::span<Value> values = reg_run(o.start, static_cast<uint32_t>(k));
  // The flags live packed in the instruction; the splice wants them as bools.
  if (kept_cap_ < k) {
    kept_buf_ = std::make_unique<bool[]>(k);
    kept_cap_ = k;
  }
  for (size_t i = 0; i < k; ++i) kept_buf_[i] = o.kept[i];
  VBK_TRY(record::splice_record_into(buf, c.record_buf, values, std::span<const bool>(kept_buf_.get(), k)));
  d = Value::Blob(std::move(buf));
  return {};
}

Result<void> Vm::exec_new_rowid(const Op::NewRowid& o) {
  VmCursor& c = table_slot(o.cur);
  std::optional<int64_t> last;
  if (c.hint_exact && c.hint.set) {
    last = c.hint.last;
  } else {
    last = VBK_TRY(BTree(*pager_, c.root).last_rowid());
  }
  if (last == std::numeric_limits<int64_t>::max()) {
    // One more would wrap; a replacement would lose the stored row.
    return std::unexpected(Error::Exec("cannot generate a rowid: the largest rowid 9223372036854775807 is in use"));
  }
  reg(o.dest) = Value::Int(last ? *last + 1 : 1);
  return {};
}

Result<void> Vm::exec_insert(const Op::Insert& o) {
  const int64_t rowid = VBK_TRY(int_operand(reg(o.rowid_reg)));
  const std::span<const uint8_t> record = VBK_TRY(blob_operand(reg(o.record_reg)));
  VmCursor& c = table_slot(o.cur);
  // A stored rowid is refused before anything is written: replacing it
  // would leave its index entries naming values the row no longer has.
  if (!VBK_TRY(BTree(*pager_, c.root).insert_fast_new(rowid, record, c.hint))) {
    return std::unexpected(Error::Constraint("UNIQUE constraint failed: rowid " + std::to_string(rowid) +
                                             " is already stored"));
  }
  // insert_fast_new leaves the hint on the right-most leaf with its largest
  // rowid, the largest of the table; other slots' hints are stale now.
  c.hint_exact = c.hint.set;
  reset_hints(c.root, &c);
  last_rowid_ = rowid;
  ++changes_;
  return {};
}

Result<void> Vm::exec_update_current(const Op::UpdateCurrent& o) {
  const std::span<const uint8_t> record = VBK_TRY(blob_operand(reg(o.record_reg)));
  VmCursor& c = table_slot(o.cur);
  if (!c.current_rowid) operand_fault("UpdateCurrent on a slot without a current row");
  // The rewrite lands in the cell the cursor stands on, under the current
  // rowid: they must be the same row, or the leaf would lose its order.
  if (c.cursor_rowid != c.current_rowid) {
    operand_fault("UpdateCurrent on a slot whose cursor is not on its current row");
  }
  reset_hints(c.root, nullptr);
  if (VBK_TRY(c.cursor.update_current_inplace(*c.current_rowid, record))) {
    ++changes_;
  } else {
    // Stored after the scan, so the scan's pages are never split under it.
    deferred_.push_back(Deferred{c.root, *c.current_rowid, Bytes(record.begin(), record.end())});
  }
  return {};
}

Result<void> Vm::exec_apply_deferred(const Op::ApplyDeferred& o) {
  reset_hints(table_slot(o.cur).root, nullptr);
  return apply_queue();
}

Result<void> Vm::apply_queue() {
  std::vector<Deferred> queue = std::move(deferred_);
  deferred_.clear();
  for (const Deferred& d : queue) {
    reset_hints(d.root, nullptr);
    // These rows exist: the rewrite replaces them.
    VBK_TRY(BTree(*pager_, d.root).insert(d.rowid, d.record));
    ++changes_;
  }
  return {};
}

Result<bool> Vm::seek_index(IndexVmCursor& c, std::span<const uint8_t> key) {
  c.has_row = false;
  VBK_TRY(c.cursor.seek(key));
  c.has_row = VBK_TRY(c.cursor.next_into(c.current_key));
  c.key_read = c.key_read || c.has_row;
  return c.has_row;
}

// The keys equal to a pattern with z zeros lie in up to 2^z runs, one for
// each choice of signs, in the order of those choices; a key past one run
// seeks the start of the next run that can still match.
Result<bool> Vm::resume_equal(IndexVmCursor& c, std::span<const uint8_t> pattern) {
  for (;;) {
    switch (keyenc::match_pattern(c.current_key, pattern, c.probe)) {
      case keyenc::PatternMatch::Match: return true;
      case keyenc::PatternMatch::Beyond: return false;
      case keyenc::PatternMatch::Resume:
        if (!VBK_TRY(seek_index(c, c.probe))) return false;
        break;
    }
  }
}

Result<void> Vm::exec_idx_insert_unique(const Program& program, const Op::IdxInsertUnique& o) {
  const std::span<const uint8_t> prefix = VBK_TRY(blob_operand(reg(o.prefix_reg)));
  const std::span<const uint8_t> key = VBK_TRY(blob_operand(reg(o.key_reg)));
  const IndexBTree tree(*pager_, index_slot(o.cur).root);
  if (VBK_TRY(unique_conflict(program, tree.root(), prefix, o.values, o.stored))) {
    return std::unexpected(Error::Constraint("UNIQUE constraint failed: " + o.column));
  }
  return tree.insert(key);
}

Result<bool> Vm::unique_conflict(const Program& program, uint32_t index_root, std::span<const uint8_t> prefix,
                                 uint32_t values, uint32_t stored) {
  if (stored >= program.stored_keys.size()) operand_fault("stored key outside the program's");
  const StoredKey& sk = program.stored_keys[stored];
  const std::span<const Value> key = reg_run(values, static_cast<uint32_t>(sk.columns.size()));
  if (catalog::key_bytes_decide(key)) return IndexBTree(*pager_, index_root).contains_prefix(prefix);
  // The rows as this run has changed them: a rewrite queued until after the
  // scan is already the row, since its index entries already hold the new
  // values.
  class RunRows final : public catalog::RowSource {
   public:
    RunRows(Pager& pager, uint32_t root, std::span<const Deferred> queued)
        : pager_(&pager), root_(root), queued_(queued) {}
    Result<std::optional<Bytes>> record_of(int64_t rowid) override {
      for (auto it = queued_.rbegin(); it != queued_.rend(); ++it) {
        if (it->root == root_ && it->rowid == rowid) return it->record;
      }
      return BTree(*pager_, root_).search(rowid);
    }

   private:
    Pager* pager_;
    uint32_t root_;
    std::span<const Deferred> queued_;
  };
  RunRows rows(*pager_, table_slot(sk.table_cur).root, deferred_);
  return !VBK_TRY(catalog::unique_collisions(*pager_, {index_root, prefix, key, sk.columns}, rows, true)).empty();
}

void Vm::exec_func(const Op::Func& o) {
  arg_ptrs_.clear();
  for (uint32_t a : o.args) arg_ptrs_.push_back(&reg(a));
  Value r = eval_scalar(o.kind, arg_ptrs_);
  reg(o.dest) = std::move(r);
}

void Vm::operand_fault(const std::string& what) const {
  fault(what + (current_op_ ? ": " + current_op_->debug() : std::string()));
}

void Vm::bad_register(uint32_t r) const {
  operand_fault("register " + std::to_string(r) + " outside the " + std::to_string(regs_.size()) +
                " registers of the run");
}

void Vm::bad_register_run(uint32_t start, uint32_t count) const {
  operand_fault("registers " + std::to_string(start) + "+" + std::to_string(count) + " outside the " +
                std::to_string(regs_.size()) + " registers of the run");
}

void Vm::bad_table_slot(uint32_t c) const {
  operand_fault("table slot " + std::to_string(c) +
                (c < cursors_.size() ? " is closed" : " is outside the program's count"));
}

void Vm::bad_index_slot(uint32_t c) const {
  operand_fault("index slot " + std::to_string(c) +
                (c < index_cursors_.size() ? " is closed" : " is outside the program's count"));
}

}  // namespace vbk::vdbe
