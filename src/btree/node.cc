#include "btree/node.h"

#include <cstring>
#include <string>
#include <vector>

namespace vbk::node {

namespace {

Error corrupt(const char* what) { return Error::Corrupt(what); }

size_t content_start_of(CPage page) {
  const size_t stored = get_be16(page.data() + 3);
  return stored == 0 && page.size() == 65536 ? 65536 : stored;
}

void set_content_start(Page page, size_t start) {
  put_be16(page.data() + 3, static_cast<uint16_t>(start));  // 65536 wraps to 0
}

void set_count(Page page, size_t n) { put_be16(page.data() + 1, static_cast<uint16_t>(n)); }

size_t pointer_at(CPage page, size_t i) { return get_be16(page.data() + kHeaderSize + 2 * i); }

void set_pointer(Page page, size_t i, size_t offset) {
  put_be16(page.data() + kHeaderSize + 2 * i, static_cast<uint16_t>(offset));
}

// Offset of cell i, checked as cell_start_in checks it.
Result<size_t> cell_offset(CPage page, size_t i) {
  const size_t n = VBK_TRY(count(page));
  const cell::CBytes start = VBK_TRY(cell_start_in(page, n, i));
  return static_cast<size_t>(start.data() - page.data());
}

}  // namespace

Error count_fault() { return corrupt("cell count exceeds page"); }
Error pointer_fault() { return corrupt("cell pointer out of range"); }
void cell_index_fault(size_t i, size_t n) {
  fault("cell index " + std::to_string(i) + " out of range " + std::to_string(n));
}

void init(Page page, size_t content_start, uint8_t kind) {
  page[0] = kind;
  set_count(page, 0);
  set_content_start(page, content_start);
  std::memset(page.data() + 5, 0, 7);  // reserved, right child, reserved
}

void set_right_child(Page page, uint32_t child) { put_be32(page.data() + 7, child); }

Result<size_t> cell_len_at(CPage page, size_t offset) {
  if (offset >= page.size()) return std::unexpected(corrupt("cell pointer out of range"));
  const cell::CBytes bytes = page.subspan(offset);
  switch (kind(page)) {
    case kTableInterior: return cell::interior_cell_len(bytes);
    case kTableLeaf: return cell::leaf_cell_len(bytes);
    case kIndexLeaf: return cell::index_leaf_cell_len(bytes);
    default: return cell::index_interior_cell_len(bytes);
  }
}

Result<cell::CBytes> cell_at(CPage page, size_t i) {
  const size_t offset = VBK_TRY(cell_offset(page, i));
  const size_t len = VBK_TRY(cell_len_at(page, offset));
  return page.subspan(offset, len);
}

Result<uint32_t> child_at(CPage page, size_t i) {
  const size_t n = VBK_TRY(count(page));
  if (i == n) return right_child(page);
  return cell::interior_child(VBK_TRY(cell_start_in(page, n, i)));
}

Result<int64_t> leaf_rowid_at(CPage page, size_t i) {
  return cell::leaf_rowid(VBK_TRY(cell_start(page, i)));
}

namespace {

int three_way(int64_t a, int64_t b) { return a < b ? -1 : a > b ? 1 : 0; }

}  // namespace

Result<Position> leaf_find(CPage page, int64_t rowid) {
  return bisect(page, [rowid](cell::CBytes cell) -> Result<int> {
    return three_way(VBK_TRY(cell::leaf_rowid(cell)), rowid);
  });
}

Result<size_t> interior_child_index(CPage page, int64_t rowid) {
  // A cell whose key equals the rowid is the first at or above it: its
  // child holds the rowid.
  const Position pos = VBK_TRY(bisect(page, [rowid](cell::CBytes cell) -> Result<int> {
    return three_way(VBK_TRY(cell::interior_key(cell)), rowid);
  }));
  return pos.index;
}

namespace {

// Rewrites the n live cells back to back from the end of the page, which
// reclaims all dead space at once. Every cell was checked to lie in the page.
void repack(Page page, size_t n, std::span<const size_t> lengths) {
  thread_local std::vector<uint8_t> scratch;
  scratch.resize(page.size());
  size_t used = 0;
  for (size_t j = 0; j < n; ++j) {
    std::memcpy(scratch.data() + used, page.data() + pointer_at(page, j), lengths[j]);
    used += lengths[j];
  }
  size_t end = page.size(), from = 0;
  for (size_t j = 0; j < n; ++j) {
    end -= lengths[j];
    std::memcpy(page.data() + end, scratch.data() + from, lengths[j]);
    from += lengths[j];
    set_pointer(page, j, end);
  }
  set_content_start(page, end);
}

}  // namespace

Result<bool> insert_cell_raw(Page page, size_t page_size, size_t i, cell::CBytes cell) {
  const size_t n = VBK_TRY(count(page));
  if (i > n) fault("insert_cell_raw at " + std::to_string(i) + " past count " + std::to_string(n));
  const size_t len = cell.size();
  const size_t pointers_end = kHeaderSize + 2 * n;
  size_t start = content_start_of(page);
  if (start > page_size) return std::unexpected(corrupt("content start past page end"));
  size_t gap = start > pointers_end ? start - pointers_end : 0;
  if (gap < len + 2) {
    thread_local std::vector<size_t> lengths;
    lengths.resize(n);
    size_t live = 0;
    for (size_t j = 0; j < n; ++j) {
      const size_t offset = VBK_TRY(cell_offset(page, j));
      lengths[j] = VBK_TRY(cell_len_at(page, offset));
      live += lengths[j];
    }
    if (pointers_end + live > page_size) return std::unexpected(corrupt("cells exceed page"));
    if (page_size - pointers_end - live < len + 2) return false;
    repack(page, n, lengths);
    start = content_start_of(page);
    gap = start - pointers_end;
  }
  start -= len;
  std::memcpy(page.data() + start, cell.data(), len);
  set_content_start(page, start);
  uint8_t* pointers = page.data() + kHeaderSize;
  std::memmove(pointers + 2 * (i + 1), pointers + 2 * i, 2 * (n - i));
  set_pointer(page, i, start);
  set_count(page, n + 1);
  return true;
}

void remove_cell(Page page, size_t i) {
  const size_t n = raw_count(page);
  if (i >= n) fault("remove_cell " + std::to_string(i) + " past count " + std::to_string(n));
  uint8_t* pointers = page.data() + kHeaderSize;
  std::memmove(pointers + 2 * i, pointers + 2 * (i + 1), 2 * (n - i - 1));
  set_count(page, n - 1);
}

void truncate_cells(Page page, size_t n) {
  if (n > raw_count(page)) fault("truncate_cells past count");
  set_count(page, n);
}

Result<void> overwrite_cell(Page page, size_t i, cell::CBytes cell) {
  const size_t offset = VBK_TRY(cell_offset(page, i));
  const size_t len = VBK_TRY(cell_len_at(page, offset));
  if (len != cell.size()) fault("overwrite_cell with a cell of another length");
  std::memcpy(page.data() + offset, cell.data(), len);
  return {};
}

}  // namespace vbk::node
