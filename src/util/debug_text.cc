#include "util/debug_text.h"

#include <cstdint>

#include "util/unicode.h"
#include "util/utf8.h"

namespace vbk {

namespace {

void append_unicode_escape(std::string& out, char32_t cp) {
  static constexpr char kHex[] = "0123456789abcdef";
  out += "\\u{";
  int shift = 20;
  while (shift > 0 && ((cp >> shift) & 0xF) == 0) shift -= 4;
  for (; shift >= 0; shift -= 4) out += kHex[(cp >> shift) & 0xF];
  out += '}';
}

}  // namespace

void append_quoted_debug(std::string& out, std::string_view utf8) {
  out += '"';
  size_t i = 0;
  while (i < utf8.size()) {
    const auto byte = static_cast<unsigned char>(utf8[i]);
    char32_t cp;
    size_t length;
    if (byte < 0x80) {
      cp = byte;
      length = 1;
    } else {
      const utf8::Decoded d = utf8::decode(utf8.substr(i));
      cp = d.cp;
      length = d.length;
    }
    switch (cp) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      case '\0': out += "\\0"; break;
      default:
        if (!unicode::is_printable(cp) || unicode::is_grapheme_extend(cp)) {
          append_unicode_escape(out, cp);
        } else if (cp == utf8::kReplacement) {
          utf8::append(out, cp);  // the input may have held an invalid sequence here
        } else {
          out.append(utf8.substr(i, length));
        }
    }
    i += length;
  }
  out += '"';
}

}  // namespace vbk
