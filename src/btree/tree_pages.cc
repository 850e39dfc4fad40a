#include "btree/tree_pages.h"

#include <algorithm>
#include <cstring>
#include <vector>

namespace vbk::btree {

namespace {

size_t weight(const Bytes& cell) { return cell.size() + 2; }

size_t weight_of(std::span<const Bytes> cells) {
  size_t w = 0;
  for (const Bytes& c : cells) w += weight(c);
  return w;
}

// The page's cells in order, with `new_cell` inserted at index `at`. The
// old cells fitted the page (insert_cell_raw checked their total before it
// refused the new one).
Result<std::vector<Bytes>> cells_with(node::CPage page, size_t at, cell::CBytes new_cell,
                                      size_t max_cell) {
  const size_t n = VBK_TRY(node::count(page));
  std::vector<Bytes> cells;
  cells.reserve(n + 1);
  for (size_t i = 0; i < n; ++i) {
    const cell::CBytes c = VBK_TRY(node::cell_at(page, i));
    if (c.size() > max_cell) return std::unexpected(Error::Corrupt("oversized b-tree cell"));
    cells.emplace_back(c.begin(), c.end());
  }
  cells.emplace(cells.begin() + static_cast<std::ptrdiff_t>(at), new_cell.begin(), new_cell.end());
  return cells;
}

// Appends to a page rebuilt by a split. The split point guarantees room, so
// a cell that does not fit is a broken invariant: a key is never dropped.
void push_or_fault(node::Page page, size_t page_size, cell::CBytes c) {
  auto pushed = node::push_cell(page, page_size, c);
  if (!pushed.has_value() || !*pushed) fault("b-tree split: a cell does not fit its new page");
}

// A page handed out by the free list that is still the node being split:
// only a damaged free list does that.
Error handed_out_in_use(uint32_t pgno) {
  return Error::Corrupt("the free list hands out page " + std::to_string(pgno) + ", which is in use");
}

// Re-initialises a page as an empty node and appends `cells`.
void rebuild(node::Page page, size_t page_size, uint8_t kind, uint32_t right_child,
             std::span<const Bytes> cells) {
  node::init(page, page_size, kind);
  node::set_right_child(page, right_child);
  for (const Bytes& c : cells) push_or_fault(page, page_size, c);
}

// Shares `cells` out: [0, left_end) stay in `page` under right child
// `left_right`, [right_begin, n) go to a newly allocated page under right
// child `right_right`. The new page is allocated before `page` is rewritten.
Result<uint32_t> write_split(Pager& pager, const PageRef& page, uint8_t kind,
                             std::span<const Bytes> cells, size_t left_end, size_t right_begin,
                             uint32_t left_right, uint32_t right_right) {
  const size_t page_size = pager.page_size();
  const uint32_t right = VBK_TRY(pager.alloc_page());
  if (right == page.pgno()) return std::unexpected(handed_out_in_use(right));
  rebuild(page.write().bytes(), page_size, kind, left_right, cells.first(left_end));
  PageRef right_page = VBK_TRY(pager.get_page(right));
  rebuild(right_page.write().bytes(), page_size, kind, right_right, cells.subspan(right_begin));
  return right;
}

}  // namespace

Error too_deep() {
  return Error::Corrupt("b-tree deeper than " + std::to_string(kMaxDepth) + " levels");
}

Result<bool> page_is_leaf(std::span<const uint8_t> page, uint32_t pgno, const TreeKinds& kinds) {
  const uint8_t kind = node::kind(page);
  if (kind == kinds.leaf) return true;
  if (kind == kinds.interior) return false;
  return std::unexpected(Error::Corrupt("page " + std::to_string(pgno) + " is not " + kinds.name +
                                        " b-tree page"));
}

Result<uint32_t> new_root(Pager& pager, uint8_t leaf_kind) {
  const uint32_t pgno = VBK_TRY(pager.alloc_page());
  PageRef page = VBK_TRY(pager.get_page(pgno));
  node::init(page.write().bytes(), pager.page_size(), leaf_kind);
  return pgno;
}

size_t balanced_split(std::span<const Bytes> cells, size_t cell_area) {
  const size_t n = cells.size();
  if (n < 2) fault("balanced_split needs two cells");
  const size_t total = weight_of(cells);
  size_t k = 0, left = 0;
  while (k < n && 2 * left < total) left += weight(cells[k++]);
  k = std::clamp<size_t>(k, 1, n - 1);
  // The balanced point can leave a large cell at the end of the left part
  // and the left part too heavy; the right part is then at most half, so one
  // cell more on the right keeps both within a page.
  if (weight_of(cells.first(k)) > cell_area && k > 1) --k;
  return k;
}

size_t interior_split_point(std::span<const Bytes> cells, size_t cell_area) {
  const size_t n = cells.size();
  if (n == 0) fault("interior_split_point needs a cell");
  auto fits = [&](size_t m) {
    return weight_of(cells.first(m)) <= cell_area && weight_of(cells.subspan(m + 1)) <= cell_area;
  };
  const size_t mid = n >> 1;
  // Nearest first; below the middle before above it.
  for (size_t d = 0; d <= n; ++d) {
    if (d <= mid && fits(mid - d)) return mid - d;
    if (d > 0 && mid + d < n && fits(mid + d)) return mid + d;
  }
  fault("interior split: no split point fits");
}

Result<void> redirect_child(std::span<uint8_t> page, size_t slot, uint32_t child) {
  const size_t n = VBK_TRY(node::count(page));
  if (slot == n) {
    node::set_right_child(page, child);
    return {};
  }
  // The slot was found on this page on the way down. A page that has fewer
  // cells now was rewritten in between: a damaged free list handed it out
  // again while it was still in the tree.
  if (slot > n) return std::unexpected(Error::Corrupt("child slot past the cell count"));
  const cell::CBytes c = VBK_TRY(node::cell_start(page, slot));
  if (c.size() < 4) return std::unexpected(Error::Corrupt("cell extends past page end"));
  put_be32(page.data() + (c.data() - page.data()), child);
  return {};
}

Result<LeafSplit> split_leaf(Pager& pager, const PageRef& page, uint8_t kind, size_t at,
                             cell::CBytes new_cell, size_t max_cell) {
  const size_t page_size = pager.page_size();
  const std::vector<Bytes> cells = VBK_TRY(cells_with(page.read().bytes(), at, new_cell, max_cell));
  const size_t k = balanced_split(cells, page_size - node::kHeaderSize);
  const uint32_t right = VBK_TRY(write_split(pager, page, kind, cells, k, k, 0, 0));
  return LeafSplit{cells[k - 1], right};
}

Result<std::optional<InteriorSplit>> insert_after_child_split(Pager& pager, const PageRef& page,
                                                              uint8_t kind, size_t slot,
                                                              uint32_t right, cell::CBytes new_cell) {
  const size_t page_size = pager.page_size();
  // The old child keeps the keys up to the separator; the slot now names the
  // split's right page, and the new cell in front of it names the old child.
  {
    PageWrite w = page.write();
    VBK_TRY(redirect_child(w.bytes(), slot, right));
    if (VBK_TRY(node::insert_cell_raw(w.bytes(), page_size, slot, new_cell))) return std::nullopt;
  }
  const size_t area = page_size - node::kHeaderSize;
  std::vector<Bytes> cells;
  uint32_t old_right;
  {
    PageRead r = page.read();
    // Any cell that fits an empty page with its pointer; past the split,
    // the promoted one must still fit a parent or a new root.
    cells = VBK_TRY(cells_with(r.bytes(), slot, new_cell, area - 2));
    old_right = node::right_child(r.bytes());
  }
  const size_t m = interior_split_point(cells, area);
  const uint32_t middle_child = VBK_TRY(cell::interior_child(cells[m]));
  const uint32_t new_right =
      VBK_TRY(write_split(pager, page, kind, cells, m, m + 1, middle_child, old_right));
  return InteriorSplit{cells[m], new_right};
}

Result<void> grow_root(Pager& pager, uint32_t root, uint32_t lower, uint32_t right,
                       uint8_t interior_kind, cell::CBytes cell) {
  const size_t page_size = pager.page_size();
  if (lower == root) return std::unexpected(handed_out_in_use(lower));
  PageRef root_page = VBK_TRY(pager.get_page(root));
  PageRef copy = VBK_TRY(pager.get_page(lower));
  {
    PageRead from = root_page.read();
    std::memcpy(copy.write().data(), from.data(), page_size);
  }
  PageWrite w = root_page.write();
  rebuild(w.bytes(), page_size, interior_kind, right, {});
  push_or_fault(w.bytes(), page_size, cell);
  return {};
}

}  // namespace vbk::btree
