#pragma once

// Byte strings, and fixed-width big-endian integers as the database file, the
// rollback journal and the write-ahead log store them. Callers of the get/put
// functions check bounds first.

#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

namespace vbk {

// An owned byte string: records, keys, blobs.
using Bytes = std::vector<uint8_t>;

// The bytes of a text, borrowed.
inline std::span<const uint8_t> as_bytes(std::string_view text) {
  return {reinterpret_cast<const uint8_t*>(text.data()), text.size()};
}

// Bytes as text, borrowed: keys of the hash sets and maps of strings.
inline std::string_view as_chars(std::span<const uint8_t> bytes) {
  return {reinterpret_cast<const char*>(bytes.data()), bytes.size()};
}

inline uint16_t get_be16(const uint8_t* p) { return static_cast<uint16_t>((p[0] << 8) | p[1]); }

inline uint32_t get_be32(const uint8_t* p) {
  return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | uint32_t{p[3]};
}

inline uint64_t get_be64(const uint8_t* p) {
  return (uint64_t{get_be32(p)} << 32) | get_be32(p + 4);
}

inline void put_be16(uint8_t* p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v >> 8);
  p[1] = static_cast<uint8_t>(v);
}

inline void put_be32(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v >> 24);
  p[1] = static_cast<uint8_t>(v >> 16);
  p[2] = static_cast<uint8_t>(v >> 8);
  p[3] = static_cast<uint8_t>(v);
}

inline void put_be64(uint8_t* p, uint64_t v) {
  put_be32(p, static_cast<uint32_t>(v >> 32));
  put_be32(p + 4, static_cast<uint32_t>(v));
}

inline void append_be64(Bytes& out, uint64_t v) {
  uint8_t buf[8];
  put_be64(buf, v);
  out.insert(out.end(), buf, buf + 8);
}

}  // namespace vbk
