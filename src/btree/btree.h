#pragma once

// Table B-trees: maps from a signed 64-bit rowid to a payload (a record).
//
// Leaves (kind 2) hold rows in increasing rowid order; interior pages (kind
// 1) hold (child, key) cells and a right child, every rowid under child i
// lying in (key i-1, key i]. A key is the largest rowid of the left part when
// its split happened; deletes never update keys, merge or free pages, so
// leaves may be empty and keys may exceed what is left under them. Only
// truncation gives pages back. The root page number is fixed for the life of
// the tree: a root split moves the root's content down instead.
//
// A BTree is a plain handle (pager, root) that caches nothing: build one
// whenever needed. No page borrow is held across a call into the pager or a
// recursive step. Operations do not undo their own partial work on an error;
// the caller's transaction rollback restores the pages.
//
// Pages are input: a page of the wrong kind, a tree deeper than kMaxDepth or
// a page reached twice in one walk is Corrupt rather than followed.

#include <cstdint>
#include <optional>
#include <span>
#include <unordered_set>

#include "btree/cell.h"
#include "btree/tree_pages.h"
#include "error.h"

namespace vbk {

class Pager;

// The right-most leaf of one tree and the largest rowid in it, kept by the
// caller across BTree::insert_fast calls for ascending rowids. Any change to
// the tree other than insert_fast with this hint and row deletions makes it
// stale: its owner must reset it before the next insert_fast.
struct AppendHint {
  bool set = false;
  uint32_t leaf = 0;
  int64_t last = 0;

  void reset() { set = false; }
};


class BTree {
 public:
  BTree(Pager& pager, uint32_t root) : pager_(&pager), root_(root) {}

  // A new tree: one empty leaf on a newly allocated page.
  static Result<BTree> create(Pager& pager);

  Pager& pager() const { return *pager_; }
  uint32_t root() const { return root_; }

  // The whole payload of the row, or nothing when absent.
  Result<std::optional<Bytes>> search(int64_t rowid) const;

  // Stores the row, replacing one with the same rowid (whose overflow chain
  // is freed).
  Result<void> insert(int64_t rowid, std::span<const uint8_t> payload) const;

  // insert, with an append path for ascending rowids: when the hint is set,
  // the rowid is above its last and the payload needs no overflow chain, the
  // row is appended to the hinted leaf without a descent. Otherwise, or when
  // that leaf is full or not a table leaf, the general path runs and the hint
  // is recomputed from the right spine.
  Result<void> insert_fast(int64_t rowid, std::span<const uint8_t> payload, AppendHint& hint) const;

  // insert and insert_fast that never replace: false, with nothing written,
  // when a row with the rowid is already stored. A row that needs no
  // overflow chain is checked on the descent that stores it; a longer one
  // is looked up first, so that no overflow page is written for a row that
  // is refused.
  Result<bool> insert_new(int64_t rowid, std::span<const uint8_t> payload) const;
  Result<bool> insert_fast_new(int64_t rowid, std::span<const uint8_t> payload, AppendHint& hint) const;

  // The largest rowid in the tree (also when the right-most leaf was emptied
  // by deletes), or nothing when no leaf holds a row.
  Result<std::optional<int64_t>> last_rowid() const;

  // A page split: rowids up to `separator` stay in the old page, the rest
  // moved to the new page `right`.
  struct Split {
    int64_t separator;
    uint32_t right;
  };
  // Inserts an encoded leaf cell under page `pgno`; the split of that page,
  // if it had to split. `depth` is pgno's distance from the root. With
  // `present` given, a stored row with the rowid is kept, nothing is changed
  // and *present is set; without it the row is replaced.
  Result<std::optional<Split>> insert_at(uint32_t pgno, int64_t rowid, cell::CBytes leaf_cell,
                                         int depth = 0, bool* present = nullptr) const;

  // Removes the row; false when there was none (no page changes then).
  Result<bool> delete_(int64_t rowid) const;

  // Removes every row with rowid >= bound, returning subtrees wholly above it
  // to the free list; the number of rows removed. The root stays (as an
  // empty leaf when nothing is left).
  Result<uint64_t> truncate_from(int64_t bound) const;

  // Rows under page `pgno` (callers pass the root).
  Result<uint64_t> count_subtree(uint32_t pgno) const;

  struct Truncated {
    uint64_t removed;
    bool empty;  // nothing left under the page: its caller frees it
  };
  // The recursive bodies of truncate_from. `freed` records every page that
  // one truncation reaches (tree pages on entry, the root included, and
  // overflow pages before their chain is freed), so that a page reached
  // twice is Corrupt, before anything under it is freed, rather than freed
  // twice.
  Result<Truncated> truncate_subtree(uint32_t pgno, int64_t bound, int depth,
                                     std::unordered_set<uint32_t>& freed) const;
  Result<uint64_t> free_subtree(uint32_t pgno, int depth, std::unordered_set<uint32_t>& freed) const;

 private:
  Result<std::optional<Split>> insert_into_leaf(const PageRef& page, int64_t rowid,
                                                cell::CBytes leaf_cell, bool* present) const;
  // insert (present null) or insert_new (present given).
  Result<void> insert_row(int64_t rowid, std::span<const uint8_t> payload, bool* present) const;
  // insert_fast or insert_fast_new.
  Result<void> insert_fast_row(int64_t rowid, std::span<const uint8_t> payload, AppendHint& hint,
                               bool* present) const;
  // Follows right children from the root to the right-most leaf.
  Result<uint32_t> rightmost_leaf() const;
  Result<std::optional<int64_t>> last_rowid_under(uint32_t pgno, int depth,
                                                  std::unordered_set<uint32_t>& seen) const;
  Result<uint64_t> count_under(uint32_t pgno, int depth, std::unordered_set<uint32_t>& seen) const;

  Pager* pager_;
  uint32_t root_;
};

}  // namespace vbk
