#pragma once

// One B-tree page as bytes in memory: a 12-byte header, an array of 2-byte
// cell pointers growing from the front, and cells packed from the back.
//
//   offset size  field (big-endian)
//   0      1     kind: 1 table interior, 2 table leaf, 3 index interior, 4 index leaf
//   1      2     cell count
//   3      2     content start: first byte of the cell area (65536 stored as 0)
//   5      2     reserved, zero
//   7      4     right child (interior pages), zero in leaves
//   11     1     reserved, zero
//   12     2n    cell offsets, in key order
//
// Removing cells only shortens the pointer array; their bytes stay as dead
// space until an insert that finds the contiguous gap too small repacks the
// page. Interior pages have count + 1 children: child i < count is the page
// number at the front of cell i, child count is the right child. Every key
// under child i is at most the key of cell i and above the key of cell i-1.
//
// None of these operations touches the file, allocates pages or sets a dirty
// flag: callers borrow a page's bytes and do that. A page is input read from
// a file, so every read is bounded by the page and a pointer, count or cell
// length that does not fit it is reported as Corrupt.

#include <cstdint>
#include <span>

#include "btree/cell.h"
#include "error.h"

namespace vbk::node {

using Page = std::span<uint8_t>;
using CPage = std::span<const uint8_t>;

inline constexpr uint8_t kTableInterior = 1;
inline constexpr uint8_t kTableLeaf = 2;
inline constexpr uint8_t kIndexInterior = 3;
inline constexpr uint8_t kIndexLeaf = 4;
inline constexpr size_t kHeaderSize = 12;

inline uint8_t kind(CPage page) { return page[0]; }
inline size_t raw_count(CPage page) { return get_be16(page.data() + 1); }
inline uint32_t right_child(CPage page) { return get_be32(page.data() + 7); }

// The faults of the inline readers below, built out of line.
Error count_fault();
Error pointer_fault();
[[noreturn]] void cell_index_fault(size_t i, size_t n);

// The cell count, checked against the room for its pointers.
inline Result<size_t> count(CPage page) {
  const size_t n = raw_count(page);
  if (kHeaderSize + 2 * n > page.size()) return std::unexpected(count_fault());
  return n;
}

// Writes the header of an empty node. The pointer array and cell area keep
// their old bytes.
void init(Page page, size_t content_start, uint8_t kind);
inline void init_interior(Page page, size_t page_size) { init(page, page_size, kTableInterior); }
inline void init_leaf(Page page, size_t page_size) { init(page, page_size, kTableLeaf); }
inline void init_interior_index(Page page, size_t page_size) { init(page, page_size, kIndexInterior); }
inline void init_leaf_index(Page page, size_t page_size) { init(page, page_size, kIndexLeaf); }

void set_right_child(Page page, uint32_t child);

// The bytes from cell i's offset to the end of the page, for a page whose
// count `n` the caller took from count(): a bisection checks the count
// once, not at every cell it compares. The offset must lie past the pointer
// array and inside the page.
inline Result<cell::CBytes> cell_start_in(CPage page, size_t n, size_t i) {
  if (i >= n) cell_index_fault(i, n);
  const size_t offset = get_be16(page.data() + kHeaderSize + 2 * i);
  if (offset < kHeaderSize + 2 * n || offset >= page.size()) return std::unexpected(pointer_fault());
  return page.subspan(offset);
}
// The same, counting the cells first.
inline Result<cell::CBytes> cell_start(CPage page, size_t i) {
  const size_t n = VBK_TRY(count(page));
  return cell_start_in(page, n, i);
}

// The length of the cell at `offset`, read by the page's kind.
Result<size_t> cell_len_at(CPage page, size_t offset);
// Exactly the bytes of cell i.
Result<cell::CBytes> cell_at(CPage page, size_t i);

// Child i of an interior page: the right child when i is the count.
Result<uint32_t> child_at(CPage page, size_t i);

Result<int64_t> leaf_rowid_at(CPage page, size_t i);

struct Position {
  size_t index;  // the cell with the key, or the first cell above it
  bool found;
};

// The one bisection of every page search. Keys ascend strictly across a
// page's cells; `compare(cell)` reads only what it compares from the bytes
// at a cell's start and gives the cell's key against the one sought
// (negative, 0, positive), or an error. The answer is the cell with the key,
// or the first above it (the count when there is none). The count is
// checked once; each probed cell is parsed once.
template <class Compare>
Result<Position> bisect(CPage page, Compare&& compare) {
  const size_t n = VBK_TRY(count(page));
  size_t lo = 0, hi = n;
  while (lo < hi) {
    const size_t mid = (lo + hi) / 2;
    const int c = VBK_TRY(compare(VBK_TRY(cell_start_in(page, n, mid))));
    if (c == 0) return Position{mid, true};
    if (c < 0) {
      lo = mid + 1;
    } else {
      hi = mid;
    }
  }
  return Position{lo, false};
}
// Bisection of a table leaf.
Result<Position> leaf_find(CPage page, int64_t rowid);
// Of a table interior page: the first cell whose key is >= rowid, or the count.
Result<size_t> interior_child_index(CPage page, int64_t rowid);

// Inserts `cell` as cell i (i <= count), repacking the page first when the
// contiguous gap is too small but the total free space suffices. False when
// the page lacks room; the page is then unchanged.
Result<bool> insert_cell_raw(Page page, size_t page_size, size_t i, cell::CBytes cell);
inline Result<bool> push_cell(Page page, size_t page_size, cell::CBytes cell) {
  const size_t n = VBK_TRY(count(page));
  return insert_cell_raw(page, page_size, n, cell);
}

// Drops pointer i (i < count); the cell's bytes become dead space.
void remove_cell(Page page, size_t i);
// Drops cells n and after (n <= count).
void truncate_cells(Page page, size_t n);
// Copies `cell` over cell i, which must have exactly the same length.
Result<void> overwrite_cell(Page page, size_t i, cell::CBytes cell);

// The key bytes of index cells.
inline Result<cell::CBytes> index_leaf_key(cell::CBytes cell) { return cell::index_key(cell, 0); }
inline Result<cell::CBytes> index_interior_key(cell::CBytes cell) { return cell::index_key(cell, 4); }

}  // namespace vbk::node
