#pragma once

// The virtual machine: one run of a Program against the table and index
// B-trees of one pager.
//
// The engine builds a fresh Vm for every execution of a statement, calls run
// once, then reads changes() and last_rowid() (data-changing statements) or
// takes the output rows (queries). A correlated sub-program runs in a child
// Vm of its own, nested inside the parent's instruction, on the same thread
// and the same pager.
//
// A run takes no lock of its own: the engine holds whatever file lock the
// statement needs around it. An Error ends the run at once and undoes
// nothing: registers, slots, output rows, the change count and every change
// already made to the B-trees stay as they are (undoing them is the engine's
// transaction rollback). A program that breaks its own invariants (an
// operand outside its counts, an instruction on a closed slot) is a bug of
// the compiler, reported as an internal fault.

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "btree/btree.h"
#include "btree/cursor.h"
#include "btree/index_cursor.h"
#include "error.h"
#include "record/column_offsets.h"
#include "record/value.h"
#include "util/bytes.h"
#include "util/hash.h"
#include "vdbe/aggregate.h"
#include "vdbe/finish.h"
#include "vdbe/program.h"

namespace vbk {
class Pager;
}

namespace vbk::vdbe {

// The error of a NotNullGuard that meets NULL in `column`.
Error not_null_failed(std::string_view column);

// An open table cursor slot.
struct VmCursor {
  VmCursor(Pager& pager, uint32_t root) : cursor(pager, root), root(root) {}

  Cursor cursor;  // over the table B-tree at root
  uint32_t root;  // B-tree handles for counting, inserting and truncating
  // The current row: this rowid with record_buf, except after
  // CursorSetRowid, which sets the rowid without reading the table.
  std::optional<int64_t> current_rowid;
  // The record the B-tree cursor last read; positioning refills it in place.
  Bytes record_buf;
  // Where the serial types of record_buf's columns say their bodies are, as
  // far as Column has needed them; cleared whenever record_buf is refilled.
  record::ColumnOffsets offsets;
  // The append position for Insert; reset by every change to the tree that
  // could leave it naming anything but the right-most leaf.
  AppendHint hint;
  // hint.last is the largest rowid of the whole table: set by this slot's
  // Insert, cleared by any delete or rewrite, so NewRowid may answer from
  // the hint without reading the tree.
  bool hint_exact = false;
  // While set, the slot's row reads as all NULL (the LEFT JOIN null row).
  bool null_row = false;
  // The row the B-tree cursor last returned: the one DeleteCurrent and
  // UpdateCurrent change. None after a delete, until the next step.
  std::optional<int64_t> cursor_rowid;

  // One step of the B-tree cursor into `buf`, remembering the row returned.
  Result<std::optional<int64_t>> step_into(Bytes& buf) {
    cursor_rowid.reset();
    cursor_rowid = VBK_TRY(cursor.next_into(buf));
    return cursor_rowid;
  }
};

// An open index cursor slot.
struct IndexVmCursor {
  IndexVmCursor(Pager& pager, uint32_t root) : cursor(pager, root), root(root) {}

  IndexCursor cursor;
  uint32_t root;
  Bytes current_key;     // the key the cursor last returned, refilled in place
  bool has_row = false;  // on an entry: set by IdxSeek and IdxNext
  bool key_read = false;  // current_key holds a key read from the index
  Bytes probe;            // the key an equality lookup seeks next, reused
};

class Vm {
 public:
  // `binds` are the statement's `?` values in order; they are borrowed and
  // must outlive the machine, as must the pager.
  Vm(Pager& pager, std::span<const Value> binds);

  // Runs the program to its end: Halt, falling off the end or a jump at or
  // beyond it. Output rows are appended to those of earlier runs; the change
  // count and the last rowid keep growing across runs.
  Result<void> run(const Program& program);

  // The output rows in the order ResultRow appended them.
  std::vector<Row> into_output() &&;
  // Rows inserted, deleted, updated and truncated so far.
  uint64_t changes() const { return changes_; }
  // The rowid of the last Insert; 0 before the first.
  int64_t last_rowid() const { return last_rowid_; }

  // The values a parent run hands to a sub-program run (Op::Param).
  void set_params(std::vector<Value> params) { params_ = std::move(params); }

  // The value of one sub-program parameter in this running machine: a slot's
  // current rowid or column (NULL under its null-row flag or without a
  // current row), or one of this run's own handed-in values.
  Result<Value> param_value(const ParamSrc& src);

  // Register r of the running program; internal fault outside the file.
  Value& reg(uint32_t r) {
    if (r >= regs_.size()) [[unlikely]]
      bad_register(r);
    return regs_[r];
  }
  // The open table slot c; internal fault when closed or outside the count.
  VmCursor& table_slot(uint32_t c) {
    if (c >= cursors_.size() || !cursors_[c]) [[unlikely]]
      bad_table_slot(c);
    return *cursors_[c];
  }
  IndexVmCursor& index_slot(uint32_t c) {
    if (c >= index_cursors_.size() || !index_cursors_[c]) [[unlikely]]
      bad_index_slot(c);
    return *index_cursors_[c];
  }
  // The registers start..start+count-1; internal fault unless all exist.
  std::span<Value> reg_run(uint32_t start, uint32_t count) {
    if (start > regs_.size() || count > regs_.size() - start) [[unlikely]]
      bad_register_run(start, count);
    return std::span<Value>(regs_).subspan(start, count);
  }

 private:
  // The instruction loop of run.
  Result<void> run_loop(const Program& program);
  // Stores every queued rewrite, in queue order, and empties the queue.
  Result<void> apply_queue();

  // Instructions too long to sit in the dispatch switch, each in a function
  // of its own.
  Result<void> exec_make_updated_record(const Op::MakeUpdatedRecord& o);
  Result<void> exec_new_rowid(const Op::NewRowid& o);
  Result<void> exec_insert(const Op::Insert& o);
  Result<void> exec_update_current(const Op::UpdateCurrent& o);
  Result<void> exec_apply_deferred(const Op::ApplyDeferred& o);
  Result<bool> exec_seek_rowid(const Op::SeekRowid& o);
  bool exec_take_held_row(const Op::TakeHeldRow& o);
  Result<bool> exec_rowid_exists(const Op::RowidExistsJump& o);
  Result<void> exec_idx_insert_unique(const Program& program, const Op::IdxInsertUnique& o);
  // Whether a stored entry of the index collides with the new key (the
  // operands of the UNIQUE probes, program.h).
  Result<bool> unique_conflict(const Program& program, uint32_t index_root, std::span<const uint8_t> prefix,
                               uint32_t values, uint32_t stored);
  // Seeks `c` to the first key at or after `key` and reads it; false at the
  // end of the index.
  Result<bool> seek_index(IndexVmCursor& c, std::span<const uint8_t> key);
  // Whether `c`, on a key that does not begin with `pattern`'s bytes, reaches
  // a key equal to its values (a zero of either sign matching a zero) before
  // passing the last that could be: moves `c` there. An equality lookup's
  // guard.
  Result<bool> resume_equal(IndexVmCursor& c, std::span<const uint8_t> pattern);
  void exec_func(const Op::Func& o);

  // A slot's column `col` into `out`: NULL under the null-row flag or
  // without a current row, else decoded from the record buffer.
  Result<void> column_into(VmCursor& c, uint32_t col, Value& out);
  // Resets the append hint of every open slot on `root` but `except` (null:
  // all of them). A write through one slot makes the hints of the others
  // stale; a rewrite or a truncation makes every hint on the tree stale.
  void reset_hints(uint32_t root, const VmCursor* except);

  // Aggregate groups (aggregate.cc) and correlated sub-programs.
  Result<void> exec_agg_start(const Op::AggStart& o);
  Result<void> exec_agg_step(const Op::AggStep& o);
  Result<bool> exec_agg_rewind(const Op::AggRewind& o);
  Result<bool> exec_agg_next(const Op::AggNext& o);
  Result<void> exec_agg_result(const Op::AggResult& o);
  Result<void> exec_scalar_sub(const Program& program, const Op::ScalarSub& o);

  // A broken invariant of the program, with the instruction being run.
  [[noreturn]] void operand_fault(const std::string& what) const;
  [[noreturn]] void bad_register(uint32_t r) const;
  [[noreturn]] void bad_register_run(uint32_t start, uint32_t count) const;
  [[noreturn]] void bad_table_slot(uint32_t c) const;
  [[noreturn]] void bad_index_slot(uint32_t c) const;

  Pager* pager_;
  std::span<const Value> binds_;
  std::vector<Value> params_;

  std::vector<Value> regs_;
  std::vector<std::optional<VmCursor>> cursors_;
  std::vector<std::optional<IndexVmCursor>> index_cursors_;
  std::vector<Row> rows_;

  // Rewrites that did not fit in place, queued by UpdateCurrent until
  // ApplyDeferred.
  struct Deferred {
    uint32_t root;  // of the table
    int64_t rowid;
    Bytes record;
  };
  std::vector<Deferred> deferred_;

  // The rows HoldRow kept, value after value, and how many values
  // TakeHeldRow has taken. A row is only ever taken whole, once; the values
  // taken are moved out, so a text's memory goes as its row is taken.
  std::vector<Value> held_;
  size_t held_taken_ = 0;

  // Copies key value i of the group at the walk's position into register
  // key_dest + i, for i below key_count (NULL past the group's key values).
  void load_group_key(uint32_t key_dest, uint32_t key_count);

  // The aggregate slots of the running program and the run's groups.
  std::span<const AggSpec> aggs_;
  GroupTable groups_;

  // Sub-program results of this run: the sub-program's index (4 bytes) and
  // the exact key of its parameter values map to the value it gave. Never
  // invalidated within a run: a statement whose sub-programs read a table it
  // changes (UPDATE or DELETE of that table) runs them all in a first pass
  // that changes nothing.
  std::unordered_map<std::string, Value, NameHash, NameEq> subquery_cache_;
  // Scratch for the parameter values and the cache key; a cache hit
  // allocates nothing once they have grown.
  std::vector<Value> sub_params_;
  Bytes sub_key_buf_;
  // 0 for the statement's own program, one more for each sub-program level.
  uint32_t depth_ = 0;

  uint64_t changes_ = 0;
  int64_t last_rowid_ = 0;

  // Scratch reused across instructions so that steady loops allocate
  // nothing: the flags of MakeUpdatedRecord, the argument pointers of Func,
  // the rows RowidExistsJump reads.
  std::unique_ptr<bool[]> kept_buf_;
  size_t kept_cap_ = 0;
  std::vector<const Value*> arg_ptrs_;
  Bytes probe_buf_;
  // The op being executed, for fault messages.
  const Op* current_op_ = nullptr;
};

}  // namespace vbk::vdbe
