#pragma once

// Index B-trees: sets of byte-string keys, no payload, in bytewise order
// (unsigned bytes over the common length, then the shorter key first). The
// keys are order-preserving encodings of column values followed by the row's
// rowid (keyenc), so no two rows share a key; this tree treats them as
// opaque bytes.
//
// Leaves (kind 4) hold cells of (uvarint key length, key); interior pages
// (kind 3) hold (4-byte child, uvarint key length, key) cells and a right
// child. Every key under child j is at most the key of cell j and above the
// key of cell j-1. A cell's key is the largest key of its child when the
// split made it; deletes never change interior keys, merge or free pages, so
// leaves may be empty and keys may exceed what is left under them. The root
// page number is fixed for the life of the tree.
//
// Index cells never overflow: a key is at most max_key bytes, so that any
// leaf cell with its pointer takes less than half a page's cell area.
//
// An IndexBTree is a plain handle (pager, root), made whenever needed. No
// page borrow is held across a call into the pager or a recursive step.
// Operations do not undo their own partial work on an error; the caller's
// transaction rollback restores the pages. Pages are input: a page of a
// kind other than 3 and 4, a tree deeper than btree::kMaxDepth or an
// oversized cell is Corrupt.

#include <cstdint>
#include <optional>
#include <span>

#include "btree/cell.h"
#include "btree/node.h"
#include "btree/tree_pages.h"
#include "error.h"

namespace vbk {

class Pager;

namespace btree::index {

// The largest key: 242 bytes for 512-byte pages, 2034 for 4096, 32754 for
// 65536.
constexpr size_t max_key(size_t page_size) { return ((page_size - 12) >> 1) - 8; }

// Bytewise order: negative, zero or positive as a sorts before, with or
// after b.
int compare(cell::CBytes a, cell::CBytes b);

// Bisection of an index leaf: the cell with exactly `key`, or the first
// cell above it (the count when there is none).
Result<node::Position> leaf_find(node::CPage page, cell::CBytes key);
// Of an index interior page: the first cell whose key is not below `key`,
// or the count (the right child) when every key is below it.
Result<size_t> interior_child_index(node::CPage page, cell::CBytes key);
inline Result<uint32_t> child_at(node::CPage page, size_t slot) { return node::child_at(page, slot); }

using btree::balanced_split;
using btree::redirect_child;

}  // namespace btree::index

class IndexBTree {
 public:
  IndexBTree(Pager& pager, uint32_t root) : pager_(&pager), root_(root) {}

  // A new tree: one empty index leaf on a newly allocated page.
  static Result<IndexBTree> create(Pager& pager);

  Pager& pager() const { return *pager_; }
  uint32_t root() const { return root_; }

  // Adds `key`. A key that is already present changes nothing, not even a
  // page's dirty flag. Exec "index key too large (N bytes)" past max_key,
  // with nothing changed. Uniqueness is its users' business
  // (contains_prefix).
  Result<void> insert(cell::CBytes key) const;

  // Removes the byte-identical key; false when absent (no page changes
  // then). A key that differs only in its rowid suffix is another key.
  Result<bool> delete_(cell::CBytes key) const;

  // Whether any key starts with `prefix` (any key at all for the empty one).
  Result<bool> contains_prefix(cell::CBytes prefix) const;

  // A page split: keys up to `separator` stay in the old page, the rest are
  // under the new page `right`.
  struct Split {
    Bytes separator;
    uint32_t right;
  };
  // Inserts `key`, whose encoded leaf cell is `leaf_cell`, under page
  // `pgno`; the split of that page, if it had to split. `depth` is pgno's
  // distance from the root.
  Result<std::optional<Split>> insert_at(uint32_t pgno, cell::CBytes key, cell::CBytes leaf_cell,
                                         int depth = 0) const;

 private:
  Result<std::optional<Split>> insert_into_leaf(const PageRef& page, cell::CBytes key,
                                                cell::CBytes leaf_cell) const;

  Pager* pager_;
  uint32_t root_;
};

}  // namespace vbk
