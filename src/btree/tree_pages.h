#pragma once

// What table and index B-trees do alike with their pages: telling a leaf
// from an interior page, the descent from the root to a leaf, and the three
// kinds of split (leaf, interior, root). The trees differ only in their keys
// (a signed rowid, a byte string) and their node kinds; each passes its kinds
// and reads its own separators from the cells these functions hand back.
//
// Pages are input: a page of the other tree's kinds, a tree deeper than
// kMaxDepth or a cell too long for any page this engine writes is Corrupt,
// and so is a new page that the free list hands out while it is the very
// node being split.

#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "btree/cell.h"
#include "btree/node.h"
#include "error.h"
#include "pager/pager.h"

namespace vbk::btree {

// Valid trees stay far below this many levels.
inline constexpr int kMaxDepth = 64;

Error too_deep();

// The node kinds of one sort of tree, and how a page of neither is named in
// the Corrupt message ("page 7 is not an index b-tree page").
struct TreeKinds {
  uint8_t interior;
  uint8_t leaf;
  const char* name;  // "a table", "an index"
};
inline constexpr TreeKinds kTableKinds{node::kTableInterior, node::kTableLeaf, "a table"};
inline constexpr TreeKinds kIndexKinds{node::kIndexInterior, node::kIndexLeaf, "an index"};

// Whether a page met in a tree of `kinds` is its leaf or its interior page;
// any other kind byte is Corrupt.
Result<bool> page_is_leaf(std::span<const uint8_t> page, uint32_t pgno, const TreeKinds& kinds);

// The leaf split point: the number of cells that stay in the left page. Each
// cell weighs its length plus its 2-byte pointer; k is the smallest count
// whose weight is at least half the total, clamped to 1..n-1, then moved one
// cell left if the left part would not fit `cell_area` bytes (both halves
// then fit, as long as every cell weighs less than half the area). Needs at
// least 2 cells.
size_t balanced_split(std::span<const Bytes> cells, size_t cell_area);

// The interior split point: the index m of the cell that moves up, cells
// before it staying left and cells after it going right. The middle, n / 2,
// when both sides fit `cell_area`; otherwise the index nearest to it for
// which they do. The index of the cell just inserted into a page whose old
// cells fitted always qualifies, so one exists. Either side may be left with
// no cell (an interior page with only a right child is valid): at 65536-byte
// pages one index cell of the largest key weighs more than half the area.
size_t interior_split_point(std::span<const Bytes> cells, size_t cell_area);

// Writes `child` into child slot `slot` of an interior page (either kind):
// the cell's child field, or the right child when slot is the cell count.
// A slot past the count is Corrupt.
Result<void> redirect_child(std::span<uint8_t> page, size_t slot, uint32_t child);

// A new tree's root: an empty leaf of kind `leaf_kind` on a newly
// allocated page; its number.
Result<uint32_t> new_root(Pager& pager, uint8_t leaf_kind);

// One level of a descent towards a key: page `pgno`, whether it is a leaf,
// and on an interior page the child slot that covers the key and its child.
struct Descent {
  PageRef page;
  bool leaf;
  size_t slot;
  uint32_t child;
};
// `slot_of(page)` gives the child slot to follow on an interior page (a
// Result<size_t>).
template <typename SlotOf>
Result<Descent> step_down(Pager& pager, uint32_t pgno, const TreeKinds& kinds, SlotOf slot_of) {
  Descent d{VBK_TRY(pager.get_page(pgno)), false, 0, 0};
  PageRead r = d.page.read();
  d.leaf = VBK_TRY(page_is_leaf(r.bytes(), pgno, kinds));
  if (!d.leaf) {
    d.slot = VBK_TRY(slot_of(r.bytes()));
    d.child = VBK_TRY(node::child_at(r.bytes(), d.slot));
  }
  return d;
}

// Descends from `root` to the leaf that covers a key.
template <typename SlotOf>
Result<PageRef> find_leaf(Pager& pager, uint32_t root, const TreeKinds& kinds, SlotOf slot_of) {
  uint32_t pgno = root;
  for (int depth = 0; depth < kMaxDepth; ++depth) {
    Descent d = VBK_TRY(step_down(pager, pgno, kinds, slot_of));
    if (d.leaf) return std::move(d.page);
    pgno = d.child;
  }
  return std::unexpected(too_deep());
}

// A leaf that split: the page keeps the lower cells and `right` was
// allocated for the upper ones. `last_left` is a copy of the left part's
// last cell, from which the tree reads its separator (the largest key left).
struct LeafSplit {
  Bytes last_left;
  uint32_t right;
};

// Splits leaf `page` of kind `kind`, which has no room for `new_cell` at
// index `at`: its cells and the new one are shared out by balanced_split
// over the page and a newly allocated right page. A cell of the page longer
// than `max_cell` is Corrupt (nothing written): only cells this engine wrote
// are known to split into two fitting halves.
Result<LeafSplit> split_leaf(Pager& pager, const PageRef& page, uint8_t kind, size_t at,
                             cell::CBytes new_cell, size_t max_cell);

// An interior page that split: `promoted` is a copy of the cell that moves
// up. Its key is the separator to insert into the parent; its child became
// the left page's right child. `right` was allocated for the upper cells.
struct InteriorSplit {
  Bytes promoted;
  uint32_t right;
};

// After the child in slot `slot` of interior page `page` split, the slot is
// redirected to the split's right page `right` and `new_cell` (the old
// child, under the split's separator) is inserted at `slot`. When the page
// has no room for it, the page splits at interior_split_point: nothing, or
// that split.
Result<std::optional<InteriorSplit>> insert_after_child_split(Pager& pager, const PageRef& page,
                                                              uint8_t kind, size_t slot,
                                                              uint32_t right, cell::CBytes new_cell);

// The root split. The root's whole content moves to `lower` (a page the
// caller allocated for it, zero-filled), and the root becomes an empty
// interior page of kind `interior_kind` whose right child is `right` and
// whose one cell is `cell`: (lower, the split's separator). The root page
// number never changes. A `lower` that is the root itself (handed out by a
// damaged free list) is Corrupt.
Result<void> grow_root(Pager& pager, uint32_t root, uint32_t lower, uint32_t right,
                       uint8_t interior_kind, cell::CBytes cell);

}  // namespace vbk::btree
