#include "sql/token.h"

#include <iterator>
#include <string>

#include "util/debug_text.h"
#include "util/number_format.h"
#include "util/unicode.h"

namespace vbk {

namespace {

constexpr std::string_view kKeywordNames[kKeywordCount] = {
    "Select", "From",    "Where",    "Insert", "Into",     "Values",  "Create",  "Table",
    "Drop",   "Update",  "Set",      "Delete", "Order",    "By",      "Asc",     "Desc",
    "Limit",  "And",     "Or",       "Not",    "Null",     "Is",      "Primary", "Key",
    "Unique", "Begin",   "Commit",   "Rollback", "If",     "Exists",  "As",      "Index",
    "On",     "Group",   "Having",   "Distinct", "Join",   "Inner",   "Cross",   "Pragma",
    "Left",   "Outer",   "Cast",     "In",     "Like",     "Offset",  "Default", "Union",
    "Right",
};

constexpr std::string_view kKindNames[24] = {
    "Int",   "Real",  "Str",       "Blob",  "Ident", "Keyword", "LParen", "RParen",
    "Comma", "Semicolon", "Dot",   "Star",  "Plus",  "Minus",   "Slash",  "Percent",
    "Eq",    "Ne",    "Lt",        "Le",    "Gt",    "Ge",      "Param",  "Eof",
};

}  // namespace

std::string_view keyword_name(Keyword k) { return kKeywordNames[static_cast<size_t>(k)]; }

std::optional<Keyword> keyword_from_upper(std::string_view upper_word) {
  // Every word of the text passes here: compare lengths and first letters
  // before whole names.
  const size_t n = upper_word.size();
  const char* w = upper_word.data();
  for (size_t i = 0; i < std::size(kKeywordNames); ++i) {
    const std::string_view& name = kKeywordNames[i];
    if (name.size() != n || name[0] != w[0]) continue;
    size_t j = 1;
    while (j < n && unicode::ascii_upper(name[j]) == w[j]) ++j;
    if (j == n) return static_cast<Keyword>(i);
  }
  return std::nullopt;
}

bool Token::is_word(std::string_view word) const {
  return kind_ == Kind::Ident && unicode::ascii_iequals(text(), word);
}

void Token::append_debug(std::string& out) const {
  out += kKindNames[static_cast<size_t>(kind_)];
  switch (kind_) {
    case Kind::Int:
      out += '(';
      out += std::to_string(int_value());
      out += ')';
      break;
    case Kind::Real:
      out += '(';
      append_real(out, real_value());
      out += ')';
      break;
    case Kind::Str:
    case Kind::Ident:
      out += '(';
      append_quoted_debug(out, text());
      out += ')';
      break;
    case Kind::Blob: {
      out += "([";
      const char* sep = "";
      for (uint8_t b : blob()) {
        out += sep;
        out += std::to_string(b);
        sep = ", ";
      }
      out += "])";
      break;
    }
    case Kind::Keyword:
      out += '(';
      out += keyword_name(keyword());
      out += ')';
      break;
    default: break;
  }
}

std::string Token::debug() const {
  std::string out;
  append_debug(out);
  return out;
}

bool operator==(const Token& a, const Token& b) {
  if (a.kind_ != b.kind_) return false;
  switch (a.kind_) {
    case Token::Kind::Int: return a.int_ == b.int_;
    case Token::Kind::Real: return a.real_ == b.real_;  // IEEE: NaN unequal, -0.0 == 0.0
    case Token::Kind::Str:
    case Token::Kind::Ident: return a.text_ == b.text_;
    case Token::Kind::Blob: return a.blob_ == b.blob_;
    case Token::Kind::Keyword: return a.keyword_ == b.keyword_;
    default: return true;
  }
}

}  // namespace vbk
