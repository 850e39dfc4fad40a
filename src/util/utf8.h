#pragma once

// UTF-8 decoding and validation. Valid UTF-8 here is the strict form: no
// overlong encodings, no surrogates (U+D800..U+DFFF), nothing above U+10FFFF.
// Every function takes a bounded byte span and never reads past its end.

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "util/bytes.h"

namespace vbk::utf8 {

// Stands in for an invalid sequence where a caller wants to go on.
inline constexpr char32_t kReplacement = 0xFFFD;

struct Decoded {
  char32_t cp;  // the code point, or kReplacement when !valid
  // Bytes consumed, at least 1 for a non-empty input. For an invalid sequence
  // this is its longest prefix that could have begun a valid one (at least the
  // first byte), so a caller that steps over it resynchronises on the next
  // possible start byte.
  uint32_t length;
  bool valid;
};

// Decodes the code point at the start of `bytes`, which must not be empty.
Decoded decode(std::span<const uint8_t> bytes);

inline Decoded decode(std::string_view text) {
  return decode(as_bytes(text));
}

// True when all of `bytes` is valid UTF-8 (the empty string included).
bool is_valid(std::span<const uint8_t> bytes);

inline bool is_valid(std::string_view text) {
  return is_valid(as_bytes(text));
}

// Appends the UTF-8 form of `cp`, which must be a Unicode scalar value
// (anything else is written as kReplacement).
void append(std::string& out, char32_t cp);

}  // namespace vbk::utf8
