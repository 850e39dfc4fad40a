#pragma once

// Unsigned LEB128 varints (uvarints), as records and B-tree cells store them:
// 7 bits a byte, least significant group first, bit 7 set when another byte
// follows, at most 10 bytes (the 10th holds only bit 63, so it is 0 or 1).
// Writers use the shortest form; readers also accept longer ones (0x80 0x00
// reads as 0). Zigzag maps signed integers onto uvarints for the rowids of
// table cells.

#include <cstddef>
#include <cstdint>
#include <span>

#include "error.h"
#include "util/bytes.h"

namespace vbk::varint {

inline constexpr size_t kMaxUvarintLength = 10;

struct Uvarint {
  uint64_t value;
  size_t length;  // bytes read, 1 to 10
};

// Reads one uvarint from the start of `bytes`, which may continue beyond it.
// Fails with "truncated uvarint" when the bytes end first (also when empty)
// and with "uvarint overflow / overlong" when a 10th byte is 2 or more.
Result<Uvarint> read_uvarint_slow(std::span<const uint8_t> bytes);

// The same, with the cases of one to three bytes inline: lengths, and the
// rowids that searches compare, mostly take no more.
inline Result<Uvarint> read_uvarint(std::span<const uint8_t> bytes) {
  const uint8_t* p = bytes.data();
  if (bytes.size() >= 3) [[likely]] {
    if (p[0] < 0x80) return Uvarint{p[0], 1};
    const uint64_t low = p[0] & 0x7Fu;
    if (p[1] < 0x80) return Uvarint{low | uint64_t{p[1]} << 7, 2};
    if (p[2] < 0x80) return Uvarint{low | uint64_t{p[1] & 0x7Fu} << 7 | uint64_t{p[2]} << 14, 3};
  } else if (!bytes.empty() && p[0] < 0x80) {
    return Uvarint{p[0], 1};
  }
  return read_uvarint_slow(bytes);
}

// Bytes that the shortest form of `v` takes (1 to 10).
constexpr size_t uvarint_length(uint64_t v) {
  size_t n = 1;
  while (v >= 0x80) {
    v >>= 7;
    ++n;
  }
  return n;
}

// Writes the shortest form of `v` at `out`, which has room for
// uvarint_length(v) bytes; returns the number of bytes written.
inline size_t put_uvarint(uint8_t* out, uint64_t v) {
  size_t n = 0;
  while (v >= 0x80) {
    out[n++] = static_cast<uint8_t>(v | 0x80);
    v >>= 7;
  }
  out[n++] = static_cast<uint8_t>(v);
  return n;
}

inline void append_uvarint(Bytes& out, uint64_t v) {
  if (v < 0x80) [[likely]] {
    out.push_back(static_cast<uint8_t>(v));
    return;
  }
  uint8_t buf[kMaxUvarintLength];
  const size_t n = put_uvarint(buf, v);
  out.insert(out.end(), buf, buf + n);
}

// 0, -1, 1, -2, 2 ... become 0, 1, 2, 3, 4 ...; INT64_MIN becomes 2^64 - 1.
constexpr uint64_t zigzag_encode(int64_t n) {
  return (static_cast<uint64_t>(n) << 1) ^ static_cast<uint64_t>(n >> 63);
}

constexpr int64_t zigzag_decode(uint64_t u) {
  return static_cast<int64_t>((u >> 1) ^ (0 - (u & 1)));
}

}  // namespace vbk::varint
