#pragma once

// The four cell formats of B-tree pages, one per node kind.
//
//   table leaf (kind 2)      uvarint total payload length
//                            uvarint local payload length
//                            zigzag uvarint rowid
//                            the first `local` payload bytes
//                            [4-byte big-endian first overflow page, when local < total]
//   table interior (kind 1)  4-byte child page, zigzag uvarint key (rowid bound)
//   index leaf (kind 4)      uvarint key length, key bytes
//   index interior (kind 3)  4-byte child page, uvarint key length, key bytes
//
// Parsers take the bytes from the cell's start to the end of its page (what
// node::cell_start gives), read only what they need from the front and report
// a cell that runs past those bytes as Corrupt: a page is input, however
// unlikely it is to be damaged.

#include <cstdint>
#include <span>
#include <unordered_set>
#include <vector>

#include "error.h"
#include "record/varint.h"
#include "util/bytes.h"

namespace vbk::cell {

using CBytes = std::span<const uint8_t>;

// Bytes of a table row kept in its cell; the rest goes to an overflow chain.
// 186 for 512-byte pages, 1978 for 4096, 32698 for 65536. Any leaf cell with
// its pointer then takes less than half of a page's cell area.
constexpr size_t max_local(size_t page_size) { return ((page_size - 12) >> 1) - 64; }

struct LeafHead {
  uint64_t total;      // the whole payload's length
  uint64_t local;      // bytes of it kept in the cell
  int64_t rowid;
  size_t head_len;     // bytes of the three uvarints
  bool has_overflow;   // local < total: a first overflow page follows the local bytes
};

// Reads the head and checks that the local bytes (and the overflow page
// number) lie within `cell`.
Result<LeafHead> parse_leaf_head(CBytes cell);
// The rowid alone, which searches within a leaf compare: read inline,
// skipping the two lengths.
inline Result<int64_t> leaf_rowid(CBytes cell) {
  // Each read lies within `cell`, so `at` never passes its end.
  size_t at = VBK_TRY(varint::read_uvarint(cell)).length;
  at += VBK_TRY(varint::read_uvarint(cell.subspan(at))).length;
  return varint::zigzag_decode(VBK_TRY(varint::read_uvarint(cell.subspan(at))).value);
}
Result<CBytes> leaf_local(CBytes cell);
// The first overflow page, 0 when the cell has none.
Result<uint32_t> leaf_overflow(CBytes cell);
// head + local + 4 when it overflows.
Result<size_t> leaf_cell_len(CBytes cell);

// `first_overflow` is given exactly when local.size() < total.
Bytes encode_leaf(int64_t rowid, uint64_t total, CBytes local, uint32_t first_overflow = 0);
void encode_leaf_into(Bytes& out, int64_t rowid, uint64_t total, CBytes local,
                      uint32_t first_overflow = 0);

Bytes encode_interior(uint32_t child, int64_t key);
// The child page of an interior cell of either kind.
Result<uint32_t> interior_child(CBytes cell);
// "cell extends past page end".
Error overrun_fault();
inline Result<int64_t> interior_key(CBytes cell) {
  if (cell.size() < 4) return std::unexpected(overrun_fault());
  return varint::zigzag_decode(VBK_TRY(varint::read_uvarint(cell.subspan(4))).value);
}
Result<size_t> interior_cell_len(CBytes cell);

Bytes encode_index_leaf(CBytes key);
// The same into `out`, which is replaced (its storage reused).
void encode_index_leaf_into(Bytes& out, CBytes key);
Bytes encode_index_interior(uint32_t child, CBytes key);
Result<CBytes> index_key_slow(CBytes cell, size_t at);
// The key of an index cell whose key-length uvarint starts at `at` (0 in
// leaf cells, 4 in interior cells). Searches read this for every probed
// cell; most keys are shorter than 128 bytes, so a one-byte length that fits
// is read inline, and the rest (longer keys, every fault) out of line.
inline Result<CBytes> index_key(CBytes cell, size_t at) {
  if (at < cell.size() && cell[at] < 0x80 && cell[at] <= cell.size() - at - 1) {
    return cell.subspan(at + 1, cell[at]);
  }
  return index_key_slow(cell, at);
}
Result<size_t> index_leaf_cell_len(CBytes cell);
Result<size_t> index_interior_cell_len(CBytes cell);

}  // namespace vbk::cell

namespace vbk {
class Pager;
}

namespace vbk::cell {

// Where a payload went: its first `local_len` bytes stay in the cell, the
// rest is in the overflow chain starting at `first_overflow` (0: no chain).
struct Spill {
  size_t local_len;
  uint32_t first_overflow;
};

// Writes the part of `payload` beyond `local_limit` into a new overflow
// chain. Each page is allocated before the page that points to it is
// written. On an error, pages already allocated stay so until the enclosing
// transaction rolls back.
Result<Spill> write_payload(Pager& pager, CBytes payload, size_t local_limit);

// The whole payload: `local`, then the chain's bytes until `total` is
// reached. A chain that ends early gives a shorter payload. Corrupt when
// `total` is more than the local part and a chain of every page the files
// hold (Pager::readable_pages) could hold, before anything is allocated for
// it: memory never grows with a length the file cannot back. `out` is
// replaced.
Result<void> read_payload_into(Pager& pager, Bytes& out, uint64_t total, CBytes local,
                               uint32_t first_overflow);
Result<Bytes> read_payload(Pager& pager, uint64_t total, CBytes local, uint32_t first_overflow);

// The pages of the chain that holds the `overflow_bytes` bytes of a payload
// beyond its cell, in chain order, walked without freeing anything. Each is
// added to `seen`, which may already hold the pages an enclosing walk
// reached (a truncation's). Corrupt as soon as the chain names a page that
// `seen` holds, or grows longer than those bytes need or than the file has
// pages: a looping chain is never followed far, whatever length the cell
// claims.
Result<std::vector<uint32_t>> overflow_chain(Pager& pager, uint32_t first_overflow,
                                             uint64_t overflow_bytes,
                                             std::unordered_set<uint32_t>& seen);

// Frees every page of the chain that holds the `total - local` bytes of a
// payload beyond its cell. The whole chain is walked first (overflow_chain):
// when it is Corrupt, nothing is freed.
Result<void> free_overflow(Pager& pager, uint32_t first_overflow, uint64_t overflow_bytes);

// Pages a chain needs for `overflow_bytes` bytes.
inline uint64_t overflow_pages(uint64_t overflow_bytes, size_t page_size) {
  const uint64_t chunk = page_size - 4;
  return overflow_bytes / chunk + (overflow_bytes % chunk != 0 ? 1 : 0);
}

}  // namespace vbk::cell
