#pragma once

// Where a forward cursor stands in a B-tree, shared by the table and the
// index cursor: the leaf and the index of the next cell, and the interior
// pages above that leaf with the next child of each. It holds page numbers
// only, never a page, and is told of no change to its tree.

#include <cstdint>
#include <optional>
#include <vector>

#include "btree/tree_pages.h"
#include "error.h"
#include "pager/pager.h"

namespace vbk::btree {

class CursorPath {
 public:
  // (leaf, i): cell i is the next entry to return; cell i-1, when i >= 1,
  // is the one the last step returned.
  struct Position {
    uint32_t leaf;
    size_t next;
  };
  // (interior page, k): children 0..k-1 have been entered; child k (the
  // right child when k is the cell count) is the next one, and k past the
  // count means the page is exhausted.
  struct Level {
    uint32_t page;
    size_t next_child;
  };

  // `pager` must outlive the path.
  CursorPath(Pager& pager, uint32_t root, const TreeKinds& kinds)
      : pager_(&pager), root_(root), kinds_(&kinds) {}

  Pager& pager() const { return *pager_; }
  uint32_t root() const { return root_; }

  // Extends the stack from `pgno` down to a leaf. On each interior page
  // `slot_of(page)` (a Result<size_t>) gives the child to enter; at the leaf
  // `leaf_index(page)` gives the next cell index. Deeper than kMaxDepth, or
  // a page of the wrong kind, is Corrupt.
  template <typename SlotOf, typename LeafIndex>
  Result<void> descend(uint32_t pgno, SlotOf slot_of, LeafIndex leaf_index) {
    stack.reserve(kTypicalDepth);  // one allocation for a new cursor, not one per level
    while (true) {
      if (stack.size() >= static_cast<size_t>(kMaxDepth)) return std::unexpected(too_deep());
      PageRef page = VBK_TRY(pager_->get_page(pgno));
      PageRead r = page.read();
      if (VBK_TRY(page_is_leaf(r.bytes(), pgno, *kinds_))) {
        // One walk enters each leaf of a sound tree once. Damaged pages
        // whose slots name one subtree again and again would, over a few
        // dozen levels, be walked for ever, even with no key to return.
        if (++leaves_entered_ > pager_->header().page_count) {
          return std::unexpected(Error::Corrupt("b-tree walk enters more leaves than the file has pages"));
        }
        position = Position{pgno, VBK_TRY(leaf_index(r.bytes()))};
        return {};
      }
      const size_t slot = VBK_TRY(slot_of(r.bytes()));
      const uint32_t child = VBK_TRY(node::child_at(r.bytes(), slot));
      stack.push_back(Level{pgno, slot + 1});
      pgno = child;
    }
  }

  // descend along the left spine: before the first cell of the left-most
  // leaf under `pgno`.
  Result<void> descend_leftmost(uint32_t pgno);

  // Steps from an exhausted leaf to the first leaf of the next child on the
  // stack; unpositioned when the stack runs out. The level whose page fails
  // to load has been popped.
  Result<void> advance();

  // The position's leaf once it has a next cell, after passing over leaves
  // left without one (emptied by deletes, or a seek past a leaf's last key);
  // an empty handle when the walk runs past the last leaf.
  Result<PageRef> leaf_with_next();

  // Unpositioned, stack emptied: a new walk.
  void clear() {
    position.reset();
    stack.clear();
    leaves_entered_ = 0;
  }

  std::optional<Position> position;
  std::vector<Level> stack;

 private:
  static constexpr size_t kTypicalDepth = 8;
  size_t leaves_entered_ = 0;  // since the walk began

  Pager* pager_;
  uint32_t root_;
  const TreeKinds* kinds_;
};

}  // namespace vbk::btree
