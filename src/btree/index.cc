#include "btree/index.h"

#include <algorithm>
#include <cstring>
#include <string>

#include "btree/index_cursor.h"
#include "pager/pager.h"

namespace vbk {

namespace btree::index {

int compare(cell::CBytes a, cell::CBytes b) {
  const size_t common = std::min(a.size(), b.size());
  if (common > 0) {
    if (const int c = std::memcmp(a.data(), b.data(), common); c != 0) return c;
  }
  return a.size() < b.size() ? -1 : a.size() > b.size() ? 1 : 0;
}

Result<node::Position> leaf_find(node::CPage page, cell::CBytes key) {
  return node::bisect(page, [key](cell::CBytes cell) -> Result<int> {
    return compare(VBK_TRY(node::index_leaf_key(cell)), key);
  });
}

Result<size_t> interior_child_index(node::CPage page, cell::CBytes key) {
  const node::Position pos = VBK_TRY(node::bisect(page, [key](cell::CBytes cell) -> Result<int> {
    return compare(VBK_TRY(node::index_interior_key(cell)), key);
  }));
  return pos.index;
}

}  // namespace btree::index

namespace {

// The child slot that covers `key` on an interior page.
auto slot_for(cell::CBytes key) {
  return [key](node::CPage page) { return btree::index::interior_child_index(page, key); };
}

}  // namespace

Result<IndexBTree> IndexBTree::create(Pager& pager) {
  return IndexBTree(pager, VBK_TRY(btree::new_root(pager, node::kIndexLeaf)));
}

Result<void> IndexBTree::insert(cell::CBytes key) const {
  if (key.size() > btree::index::max_key(pager_->page_size())) {
    return std::unexpected(Error::Exec("index key too large (" + std::to_string(key.size()) + " bytes)"));
  }
  thread_local Bytes leaf_cell;
  cell::encode_index_leaf_into(leaf_cell, key);
  const std::optional<Split> split = VBK_TRY(insert_at(root_, key, leaf_cell));
  if (!split) return {};
  const uint32_t lower = VBK_TRY(pager_->alloc_page());
  return btree::grow_root(*pager_, root_, lower, split->right, node::kIndexInterior,
                          cell::encode_index_interior(lower, split->separator));
}

Result<std::optional<IndexBTree::Split>> IndexBTree::insert_at(uint32_t pgno, cell::CBytes key,
                                                               cell::CBytes leaf_cell,
                                                               int depth) const {
  if (depth >= btree::kMaxDepth) return std::unexpected(btree::too_deep());
  const btree::Descent at = VBK_TRY(btree::step_down(*pager_, pgno, btree::kIndexKinds, slot_for(key)));
  if (at.leaf) return insert_into_leaf(at.page, key, leaf_cell);
  const std::optional<Split> split = VBK_TRY(insert_at(at.child, key, leaf_cell, depth + 1));
  if (!split) return std::nullopt;
  const std::optional<btree::InteriorSplit> up = VBK_TRY(btree::insert_after_child_split(
      *pager_, at.page, node::kIndexInterior, at.slot, split->right,
      cell::encode_index_interior(at.child, split->separator)));
  if (!up) return std::nullopt;
  const cell::CBytes promoted = VBK_TRY(node::index_interior_key(up->promoted));
  return Split{Bytes(promoted.begin(), promoted.end()), up->right};
}

Result<std::optional<IndexBTree::Split>> IndexBTree::insert_into_leaf(const PageRef& page,
                                                                      cell::CBytes key,
                                                                      cell::CBytes leaf_cell) const {
  const size_t page_size = pager_->page_size();
  size_t at;
  {
    // Decided under a read borrow: a key already present leaves the page
    // clean.
    PageRead r = page.read();
    const node::Position pos = VBK_TRY(btree::index::leaf_find(r.bytes(), key));
    if (pos.found) return std::nullopt;
    at = pos.index;
  }
  if (VBK_TRY(node::insert_cell_raw(page.write().bytes(), page_size, at, leaf_cell))) {
    return std::nullopt;
  }
  // Any two cells of keys within max_key (whose length takes at most 3
  // uvarint bytes) fit one page, which the split relies on; a longer cell
  // can only come from a damaged page.
  const size_t max_cell = btree::index::max_key(page_size) + 3;
  const btree::LeafSplit split =
      VBK_TRY(btree::split_leaf(*pager_, page, node::kIndexLeaf, at, leaf_cell, max_cell));
  const cell::CBytes separator = VBK_TRY(node::index_leaf_key(split.last_left));
  return Split{Bytes(separator.begin(), separator.end()), split.right};
}

Result<bool> IndexBTree::delete_(cell::CBytes key) const {
  PageRef leaf = VBK_TRY(btree::find_leaf(*pager_, root_, btree::kIndexKinds, slot_for(key)));
  node::Position pos;
  {
    PageRead r = leaf.read();
    pos = VBK_TRY(btree::index::leaf_find(r.bytes(), key));
    if (!pos.found) return false;
  }
  node::remove_cell(leaf.write().bytes(), pos.index);
  return true;
}

Result<bool> IndexBTree::contains_prefix(cell::CBytes prefix) const {
  IndexCursor cursor(*pager_, root_);
  VBK_TRY(cursor.seek(prefix));
  thread_local Bytes key;
  if (!VBK_TRY(cursor.next_into(key))) return false;
  return key.size() >= prefix.size() && std::equal(prefix.begin(), prefix.end(), key.begin());
}

}  // namespace vbk
