#include "btree/index_cursor.h"

#include "btree/index.h"
#include "pager/pager.h"

namespace vbk {

Result<void> IndexCursor::seek(cell::CBytes key) {
  clear();
  return path_.descend(
      path_.root(), [key](node::CPage page) { return btree::index::interior_child_index(page, key); },
      [key](node::CPage page) -> Result<size_t> {
        return VBK_TRY(btree::index::leaf_find(page, key)).index;
      });
}

Result<bool> IndexCursor::step(Bytes& out) {
  const PageRef page = VBK_TRY(path_.leaf_with_next());
  if (!page) return false;
  PageRead r = page.read();
  const size_t i = path_.position->next;
  const cell::CBytes key = VBK_TRY(node::index_leaf_key(VBK_TRY(node::cell_start(r.bytes(), i))));
  // Each key must sort above the one before it: within a leaf that is cell
  // i - 1 of the page, across leaves the last key of the previous leaf,
  // which is the only key ever copied for the check.
  bool ascending = true;
  if (i > 0) {
    const cell::CBytes prev = VBK_TRY(node::index_leaf_key(VBK_TRY(node::cell_start(r.bytes(), i - 1))));
    ascending = btree::index::compare(prev, key) < 0;
  } else if (has_last_) {
    ascending = btree::index::compare(last_, key) < 0;
  }
  if (!ascending) return std::unexpected(Error::Corrupt("index keys out of order"));
  if (i + 1 == VBK_TRY(node::count(r.bytes()))) {
    last_.assign(key.begin(), key.end());
    has_last_ = true;
  }
  path_.position->next = i + 1;
  out.assign(key.begin(), key.end());
  return true;
}

Result<std::optional<Bytes>> IndexCursor::next() {
  Bytes key;
  if (!VBK_TRY(step(key))) return std::nullopt;
  return key;
}

Result<bool> IndexCursor::next_into(Bytes& buf) { return step(buf); }

}  // namespace vbk
