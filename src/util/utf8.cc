#include "util/utf8.h"

#include <cstring>

namespace vbk::utf8 {

namespace {

// The lowest and highest allowed second byte after each lead byte; the later
// continuation bytes are always 0x80..0xBF. These bounds are what exclude
// overlong forms (E0, F0), surrogates (ED) and code points above U+10FFFF (F4).
struct Lead {
  uint32_t length;  // 0: not a lead byte
  uint8_t lo, hi;
  char32_t bits;
};

Lead classify(uint8_t b) {
  if (b < 0xC2) return {0, 0, 0, 0};  // continuation bytes and overlong C0/C1
  if (b < 0xE0) return {2, 0x80, 0xBF, char32_t{b} & 0x1Fu};
  if (b == 0xE0) return {3, 0xA0, 0xBF, 0};
  if (b == 0xED) return {3, 0x80, 0x9F, 0xD};
  if (b < 0xF0) return {3, 0x80, 0xBF, char32_t{b} & 0x0Fu};
  if (b == 0xF0) return {4, 0x90, 0xBF, 0};
  if (b < 0xF4) return {4, 0x80, 0xBF, char32_t{b} & 0x07u};
  if (b == 0xF4) return {4, 0x80, 0x8F, 4};
  return {0, 0, 0, 0};
}

}  // namespace

Decoded decode(std::span<const uint8_t> bytes) {
  const uint8_t b0 = bytes[0];
  if (b0 < 0x80) return {b0, 1, true};
  const Lead lead = classify(b0);
  if (lead.length == 0) return {kReplacement, 1, false};
  char32_t cp = lead.bits;
  for (uint32_t i = 1; i < lead.length; ++i) {
    if (i >= bytes.size()) return {kReplacement, i, false};
    const uint8_t b = bytes[i];
    const uint8_t lo = i == 1 ? lead.lo : 0x80;
    const uint8_t hi = i == 1 ? lead.hi : 0xBF;
    if (b < lo || b > hi) return {kReplacement, i, false};
    cp = (cp << 6) | (b & 0x3Fu);
  }
  return {cp, lead.length, true};
}

bool is_valid(std::span<const uint8_t> bytes) {
  size_t i = 0;
  const size_t n = bytes.size();
  while (i < n) {
    // Step over ASCII eight bytes at a time: most text is mostly ASCII.
    while (i + 8 <= n) {
      uint64_t word;
      std::memcpy(&word, bytes.data() + i, 8);
      if ((word & 0x8080808080808080ull) != 0) break;
      i += 8;
    }
    if (i >= n) break;
    if (bytes[i] < 0x80) {
      ++i;
      continue;
    }
    const Decoded d = decode(bytes.subspan(i));
    if (!d.valid) return false;
    i += d.length;
  }
  return true;
}

void append(std::string& out, char32_t cp) {
  if (cp >= 0xD800 && (cp <= 0xDFFF || cp > 0x10FFFF)) cp = kReplacement;
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

}  // namespace vbk::utf8
