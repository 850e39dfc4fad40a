#include "btree/cell.h"

#include "record/varint.h"

namespace vbk::cell {

Error overrun_fault() { return Error::Corrupt("cell extends past page end"); }

namespace {

// A uvarint within `cell` from `at`.
Result<varint::Uvarint> uvarint_at(CBytes cell, size_t at) {
  if (at > cell.size()) return std::unexpected(overrun_fault());
  return varint::read_uvarint(cell.subspan(at));
}

// `at + len` within `cell`, without overflowing.
bool fits(CBytes cell, size_t at, uint64_t len) {
  return at <= cell.size() && len <= cell.size() - at;
}

}  // namespace

Result<LeafHead> parse_leaf_head(CBytes cell) {
  // Each read lies within `cell`, so the next one starts inside it or at
  // its end.
  const auto total = VBK_TRY(varint::read_uvarint(cell));
  const auto local = VBK_TRY(varint::read_uvarint(cell.subspan(total.length)));
  const auto rowid = VBK_TRY(varint::read_uvarint(cell.subspan(total.length + local.length)));
  LeafHead head;
  head.total = total.value;
  head.local = local.value;
  head.rowid = varint::zigzag_decode(rowid.value);
  head.head_len = total.length + local.length + rowid.length;
  head.has_overflow = local.value < total.value;
  if (local.value > total.value) return std::unexpected(Error::Corrupt("cell local length exceeds total"));
  const uint64_t tail = head.has_overflow ? 4 : 0;
  if (!fits(cell, head.head_len, head.local) || !fits(cell, head.head_len + head.local, tail)) {
    return std::unexpected(overrun_fault());
  }
  return head;
}

Result<CBytes> leaf_local(CBytes cell) {
  const LeafHead head = VBK_TRY(parse_leaf_head(cell));
  return cell.subspan(head.head_len, head.local);
}

Result<uint32_t> leaf_overflow(CBytes cell) {
  const LeafHead head = VBK_TRY(parse_leaf_head(cell));
  if (!head.has_overflow) return 0u;
  return get_be32(cell.data() + head.head_len + head.local);
}

Result<size_t> leaf_cell_len(CBytes cell) {
  const LeafHead head = VBK_TRY(parse_leaf_head(cell));
  return head.head_len + head.local + (head.has_overflow ? 4 : 0);
}

void encode_leaf_into(Bytes& out, int64_t rowid, uint64_t total, CBytes local,
                      uint32_t first_overflow) {
  out.clear();
  varint::append_uvarint(out, total);
  varint::append_uvarint(out, local.size());
  varint::append_uvarint(out, varint::zigzag_encode(rowid));
  out.insert(out.end(), local.begin(), local.end());
  if (local.size() < total) {
    uint8_t page[4];
    put_be32(page, first_overflow);
    out.insert(out.end(), page, page + 4);
  }
}

Bytes encode_leaf(int64_t rowid, uint64_t total, CBytes local, uint32_t first_overflow) {
  Bytes out;
  encode_leaf_into(out, rowid, total, local, first_overflow);
  return out;
}

Bytes encode_interior(uint32_t child, int64_t key) {
  Bytes out(4);
  put_be32(out.data(), child);
  varint::append_uvarint(out, varint::zigzag_encode(key));
  return out;
}

Result<uint32_t> interior_child(CBytes cell) {
  if (cell.size() < 4) return std::unexpected(overrun_fault());
  return get_be32(cell.data());
}

Result<size_t> interior_cell_len(CBytes cell) {
  const auto key = VBK_TRY(uvarint_at(cell, 4));
  return 4 + key.length;
}

void encode_index_leaf_into(Bytes& out, CBytes key) {
  out.clear();
  varint::append_uvarint(out, key.size());
  out.insert(out.end(), key.begin(), key.end());
}

Bytes encode_index_leaf(CBytes key) {
  Bytes out;
  encode_index_leaf_into(out, key);
  return out;
}

Bytes encode_index_interior(uint32_t child, CBytes key) {
  Bytes out(4);
  put_be32(out.data(), child);
  varint::append_uvarint(out, key.size());
  out.insert(out.end(), key.begin(), key.end());
  return out;
}

// The lengths the inline path leaves: longer keys, and every fault.
Result<CBytes> index_key_slow(CBytes cell, size_t at) {
  const auto len = VBK_TRY(uvarint_at(cell, at));
  if (!fits(cell, at + len.length, len.value)) return std::unexpected(overrun_fault());
  return cell.subspan(at + len.length, static_cast<size_t>(len.value));
}

Result<size_t> index_leaf_cell_len(CBytes cell) {
  const CBytes key = VBK_TRY(index_key(cell, 0));
  return static_cast<size_t>(key.data() + key.size() - cell.data());
}

Result<size_t> index_interior_cell_len(CBytes cell) {
  const CBytes key = VBK_TRY(index_key(cell, 4));
  return static_cast<size_t>(key.data() + key.size() - cell.data());
}

}  // namespace vbk::cell
