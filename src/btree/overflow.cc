// Overflow chains: the part of a table row beyond its cell's local limit.
//
//   offset 0  4-byte big-endian next page of the chain, 0 on the last
//   offset 4  payload bytes; every page but the last is full

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "btree/cell.h"
#include "pager/pager.h"

namespace vbk::cell {

Result<Spill> write_payload(Pager& pager, CBytes payload, size_t local_limit) {
  if (payload.size() <= local_limit) return Spill{payload.size(), 0};
  const size_t chunk_max = pager.page_size() - 4;
  const uint32_t first = VBK_TRY(pager.alloc_page());
  uint32_t current = first;
  size_t at = local_limit;
  while (true) {
    const size_t chunk = std::min(chunk_max, payload.size() - at);
    const bool more = at + chunk < payload.size();
    const uint32_t next = more ? VBK_TRY(pager.alloc_page()) : 0;
    PageRef page = VBK_TRY(pager.get_page(current));
    {
      PageWrite w = page.write();
      put_be32(w.data(), next);
      std::memcpy(w.data() + 4, payload.data() + at, chunk);
    }
    at += chunk;
    if (!more) break;
    current = next;
  }
  return Spill{local_limit, first};
}

Result<void> read_payload_into(Pager& pager, Bytes& out, uint64_t total, CBytes local,
                               uint32_t first_overflow) {
  const size_t chunk_max = pager.page_size() - 4;
  if (total < local.size()) return std::unexpected(Error::Corrupt("payload length exceeds the file"));
  // The buffer is reserved at the claimed length at once, so a large claim
  // is held against the pages the files really have, not the header's page
  // count: a damaged count would let any claim through, and with it an
  // allocation of any size. Asking the files costs a system call, which a
  // claim of a few pages is not worth: reserving it is harmless, and the
  // walk below is bounded by it anyway.
  constexpr uint64_t kUncheckedClaim = uint64_t{1} << 20;
  if (total - local.size() > kUncheckedClaim &&
      total - local.size() > VBK_TRY(pager.readable_pages()) * chunk_max) {
    return std::unexpected(Error::Corrupt("payload length exceeds the file"));
  }
  out.clear();
  out.reserve(total);
  out.insert(out.end(), local.begin(), local.end());
  uint32_t pgno = first_overflow;
  // Each step appends at least one byte, so the walk ends after the pages
  // the total needs, whatever the chain's pointers say.
  while (pgno != 0 && out.size() < total) {
    PageRef page = VBK_TRY(pager.get_page(pgno));
    PageRead r = page.read();
    const size_t chunk = std::min<uint64_t>(chunk_max, total - out.size());
    out.insert(out.end(), r.data() + 4, r.data() + 4 + chunk);
    pgno = get_be32(r.data());
  }
  return {};
}

Result<Bytes> read_payload(Pager& pager, uint64_t total, CBytes local, uint32_t first_overflow) {
  Bytes out;
  VBK_TRY(read_payload_into(pager, out, total, local, first_overflow));
  return out;
}

Result<std::vector<uint32_t>> overflow_chain(Pager& pager, uint32_t first_overflow,
                                             uint64_t overflow_bytes,
                                             std::unordered_set<uint32_t>& seen) {
  std::vector<uint32_t> chain;
  if (first_overflow == 0) return chain;
  const uint64_t bound =
      std::min<uint64_t>(overflow_pages(overflow_bytes, pager.page_size()), pager.header().page_count);
  for (uint32_t pgno = first_overflow; pgno != 0;) {
    if (chain.size() >= bound) {
      return std::unexpected(Error::Corrupt("overflow chain longer than its payload"));
    }
    if (!seen.insert(pgno).second) return std::unexpected(Error::Corrupt("overflow chain names a page twice"));
    chain.push_back(pgno);
    PageRef page = VBK_TRY(pager.get_page(pgno));
    pgno = get_be32(page.read().data());
  }
  return chain;
}

Result<void> free_overflow(Pager& pager, uint32_t first_overflow, uint64_t overflow_bytes) {
  if (first_overflow == 0) return {};
  std::unordered_set<uint32_t> seen;
  const std::vector<uint32_t> chain = VBK_TRY(overflow_chain(pager, first_overflow, overflow_bytes, seen));
  for (uint32_t pgno : chain) VBK_TRY(pager.free_page(pgno));
  return {};
}

}  // namespace vbk::cell
