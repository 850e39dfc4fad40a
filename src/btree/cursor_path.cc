#include "btree/cursor_path.h"

namespace vbk::btree {

Result<void> CursorPath::descend_leftmost(uint32_t pgno) {
  auto first = [](node::CPage) -> Result<size_t> { return size_t{0}; };
  return descend(pgno, first, first);
}

Result<void> CursorPath::advance() {
  while (!stack.empty()) {
    const Level top = stack.back();
    stack.pop_back();
    uint32_t child;
    {
      PageRef page = VBK_TRY(pager_->get_page(top.page));
      PageRead r = page.read();
      const size_t n = VBK_TRY(node::count(r.bytes()));
      if (top.next_child > n) continue;  // exhausted
      child = VBK_TRY(node::child_at(r.bytes(), top.next_child));
    }
    stack.push_back(Level{top.page, top.next_child + 1});
    return descend_leftmost(child);
  }
  position.reset();
  return {};
}

Result<PageRef> CursorPath::leaf_with_next() {
  while (position) {
    PageRef page = VBK_TRY(pager_->get_page(position->leaf));
    if (position->next < VBK_TRY(node::count(page.read().bytes()))) return page;
    VBK_TRY(advance());
  }
  return PageRef();
}

}  // namespace vbk::btree
