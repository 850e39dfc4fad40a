#include "record/value.h"

#include <charconv>

#include "util/debug_text.h"
#include "util/number_format.h"

namespace vbk {

namespace {

void append_int(std::string& out, int64_t v) {
  char buf[24];
  const std::to_chars_result r = std::to_chars(buf, buf + sizeof buf, v);
  out.append(buf, r.ptr);
}

}  // namespace

void Value::append_debug(std::string& out) const {
  switch (kind()) {
    case Kind::Null:
      out += "Null";
      return;
    case Kind::Int:
      out += "Int(";
      append_int(out, as_int());
      break;
    case Kind::Real:
      out += "Real(";
      append_real(out, as_real());
      break;
    case Kind::Text:
      out += "Text(";
      append_quoted_debug(out, as_text());
      break;
    case Kind::Blob: {
      out += "Blob([";
      bool first = true;
      for (uint8_t b : as_blob()) {
        if (!first) out += ", ";
        first = false;
        append_int(out, b);
      }
      out += ']';
      break;
    }
  }
  out += ')';
}

std::string Value::debug() const {
  std::string out;
  append_debug(out);
  return out;
}

}  // namespace vbk
