#pragma once

// The database header: the first 100 bytes of page 1. The rest of page 1 is
// zero; page 1 never holds a B-tree.
//
//   offset size  content (integers big-endian)
//   0      16    magic: "Velmarbrook v1" and two zero bytes
//   16     2     page size; 65536 is stored as 1
//   18     4     page_count
//   22     4     freelist_head
//   26     4     freelist_count
//   30     4     change_counter
//   34     4     reserved
//   38     4     schema_root
//   42     1     journal_mode (0 rollback journal, 1 write-ahead log)
//   43     57    zero when written, ignored when read

#include <array>
#include <cstdint>
#include <span>

#include "error.h"

namespace vbk {

inline constexpr size_t kHeaderSize = 100;

struct DbHeader {
  uint64_t page_size = 0;       // a power of two from 512 to 65536
  uint32_t page_count = 0;      // pages in the file, page 1 included
  uint32_t freelist_head = 0;   // first free-list trunk page, 0 when empty
  uint32_t freelist_count = 0;  // pages on the free list, trunks included
  uint32_t change_counter = 0;  // bumped by every commit that wrote pages
  uint32_t reserved = 0;        // carried unchanged; nothing interprets it
  uint32_t schema_root = 0;     // root of the schema table, 0 until created
  uint8_t journal_mode = 0;     // 0 rollback journal, 1 write-ahead log

  // A header for a new file: this page size, page count 1, the rest zero.
  // InvalidPageSize when the page size fails validate_page_size.
  static Result<DbHeader> new_(uint64_t page_size);

  // Reads a header from the first 100 bytes. Only the length, the magic and
  // the page size are checked, in that order; every other field is taken as
  // it stands (a page count of 0 or a journal-mode byte of 7 decode fine).
  static Result<DbHeader> decode(std::span<const uint8_t> bytes);

  // The file form. The page size must be valid.
  std::array<uint8_t, kHeaderSize> encode() const;

  friend bool operator==(const DbHeader&, const DbHeader&) = default;
};

namespace header {

// A power of two from 512 to 65536, else InvalidPageSize(n).
Result<void> validate_page_size(uint64_t n);

}  // namespace header

}  // namespace vbk
