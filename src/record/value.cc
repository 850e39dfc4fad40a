#include "record/value.h"

#include "util/debug_text.h"
#include "util/number_format.h"

namespace vbk {

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
