#pragma once

// A forward cursor over one table B-tree in rowid order: the only way to
// scan a table. It keeps page numbers and cell indexes only, never a page,
// so it survives evictions; but it is told of no change to its tree. While it
// is in use its tree changes only through its own delete_current and
// update_current_inplace; after any other change the user positions it
// afresh (clear the position, then seek or rewind).

#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

#include "btree/cell.h"
#include "btree/cursor_path.h"
#include "error.h"

namespace vbk {

class Pager;

class Cursor {
 public:
  // (leaf, i): cell i is the next row to return; cell i-1, when i >= 1, is
  // the current row (the one the last next returned).
  using Position = btree::CursorPath::Position;
  // (interior page, k): children 0..k-1 have been entered; child k (the
  // right child when k is the cell count) is the next one.
  using Level = btree::CursorPath::Level;

  // Unpositioned, with an empty stack. `pager` must outlive the cursor.
  Cursor(Pager& pager, uint32_t root) : path_(pager, root, btree::kTableKinds) {}

  // Stands before the first row.
  Result<void> rewind();
  // Extends the stack down the left spine from `pgno` to a leaf and stands
  // before that leaf's first cell.
  Result<void> descend_leftmost(uint32_t pgno);
  // Stands before the first row whose rowid is at least `rowid`. A target
  // inside the current leaf is found without a descent.
  Result<void> seek(int64_t rowid);

  struct Row {
    int64_t rowid;
    Bytes payload;
  };
  // The next row and its whole payload; nothing past the end.
  Result<std::optional<Row>> next();
  // The same, the payload replacing `buf`'s contents (its storage reused);
  // `buf` is untouched when nothing is returned, and empty when the row's
  // payload cannot be read.
  Result<std::optional<int64_t>> next_into(Bytes& buf);
  // Steps from an exhausted leaf to the next one (unpositioned past the end).
  Result<void> advance();

  // Removes the current row; the next call to next returns the row after it.
  Result<void> delete_current();
  // Rewrites the current row (whose own rowid is passed) where it stands,
  // when the new payload needs no overflow chain and its cell is no longer
  // than the old one, which must have no chain. False, with nothing changed,
  // otherwise: the caller then stores the row with BTree::insert once it no
  // longer steps this cursor.
  Result<bool> update_current_inplace(int64_t rowid, std::span<const uint8_t> payload);

  const std::optional<Position>& position() const { return path_.position; }
  const std::vector<Level>& stack() const { return path_.stack; }
  // Unpositioned, stack emptied.
  void clear() {
    path_.clear();
    last_returned_.reset();
  }

 private:
  // Reads the next row's head and moves past it; nothing past the end.
  struct Found {
    int64_t rowid;
    uint64_t total;
    uint32_t first_overflow;
  };
  Result<std::optional<Found>> step(Bytes& local);
  // Position of the current row (index >= 1); internal fault otherwise.
  Position current(const char* op) const;

  btree::CursorPath path_;
  // Rows come in strictly increasing rowid order; one that does not can only
  // come from a corrupt tree whose pages point back into it.
  std::optional<int64_t> last_returned_;
};

}  // namespace vbk
