#pragma once

// A forward cursor over one index B-tree in bytewise key order, giving each
// key as bytes: seek to the first key at or after a probe (a whole key or
// any prefix of one), then step. Like the table cursor it keeps page numbers
// and cell indexes only and is told of no change to its tree: after an
// insert or delete on the same index, keys can be skipped or returned twice
// until the next seek, which always starts from the root.

#include <cstdint>
#include <optional>
#include <vector>

#include "btree/cell.h"
#include "btree/cursor_path.h"
#include "error.h"

namespace vbk {

class IndexCursor {
 public:
  using Position = btree::CursorPath::Position;
  using Level = btree::CursorPath::Level;

  // Unpositioned, with an empty stack. `pager` must outlive the cursor.
  IndexCursor(Pager& pager, uint32_t root) : path_(pager, root, btree::kIndexKinds) {}

  // Stands before the first key not below `key`, descending from the root.
  // The empty key rewinds.
  Result<void> seek(cell::CBytes key);

  // The next key; nothing past the end.
  Result<std::optional<Bytes>> next();
  // The same into `buf`, whose contents are replaced (its storage reused);
  // false past the end, `buf` then untouched.
  Result<bool> next_into(Bytes& buf);
  // Steps from an exhausted leaf to the next one (unpositioned past the end).
  Result<void> advance() { return path_.advance(); }

  const std::optional<Position>& position() const { return path_.position; }
  const std::vector<Level>& stack() const { return path_.stack; }
  // Unpositioned, stack emptied.
  void clear() {
    path_.clear();
    has_last_ = false;
  }

 private:
  // Copies the next key into `out` and moves past it; false past the end,
  // `out` then untouched.
  Result<bool> step(Bytes& out);

  btree::CursorPath path_;
  // Keys come in strictly increasing order; one that does not can only come
  // from a corrupt tree whose pages point back into it, which would otherwise
  // be walked again and again. The last key of the last leaf left behind.
  Bytes last_;
  bool has_last_ = false;
};

}  // namespace vbk
