#pragma once

// The lexical vocabulary of the SQL dialect. Tokens never leave the SQL front
// end, but their debug texts do: every parse error that names a token shows
// it (expected RParen, found Comma), so those texts are part of the messages
// users see.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vbk {

// The 49 reserved words; the numbers are fixed. In SQL text a keyword is
// written in any mix of ASCII case. Other words the grammar knows (REPLACE,
// CASE, WHEN, ALL, ...) are identifiers recognised by their text.
enum class Keyword : uint8_t {
  Select, From, Where, Insert, Into, Values, Create, Table, Drop, Update,
  Set, Delete, Order, By, Asc, Desc, Limit, And, Or, Not,
  Null, Is, Primary, Key, Unique, Begin, Commit, Rollback, If, Exists,
  As, Index, On, Group, Having, Distinct, Join, Inner, Cross, Pragma,
  Left, Outer, Cast, In, Like, Offset, Default, Union, Right,
};

inline constexpr int kKeywordCount = 49;

// The keyword's debug text, its name in mixed case: "Select", "Rollback".
std::string_view keyword_name(Keyword k);

// The keyword whose upper-case name is `upper_word` exactly, if any.
std::optional<Keyword> keyword_from_upper(std::string_view upper_word);

class Token {
 public:
  // The 24 kinds, in their fixed order.
  enum class Kind : uint8_t {
    Int, Real, Str, Blob, Ident, Keyword,
    LParen, RParen, Comma, Semicolon, Dot, Star, Plus, Minus, Slash, Percent,
    Eq, Ne, Lt, Le, Gt, Ge, Param, Eof,
  };

  Token() = default;  // Eof
  // A token without payload (LParen ... Eof).
  Token(Kind k) : kind_(k) {}  // NOLINT: implicit on purpose

  static Token Int(int64_t v) {
    Token t(Kind::Int);
    t.int_ = v;
    return t;
  }
  static Token Real(double v) {
    Token t(Kind::Real);
    t.real_ = v;
    return t;
  }
  static Token Str(std::string text) {
    Token t(Kind::Str);
    t.text_ = std::move(text);
    return t;
  }
  static Token Blob(std::vector<uint8_t> bytes) {
    Token t(Kind::Blob);
    t.blob_ = std::move(bytes);
    return t;
  }
  static Token Ident(std::string text) {
    Token t(Kind::Ident);
    t.text_ = std::move(text);
    return t;
  }
  static Token Keyword(vbk::Keyword k) {
    Token t(Kind::Keyword);
    t.keyword_ = k;
    return t;
  }

  Kind kind() const { return kind_; }
  bool is(Kind k) const { return kind_ == k; }
  bool is_keyword(vbk::Keyword k) const { return kind_ == Kind::Keyword && keyword() == k; }
  // An identifier (quoted or not) whose text equals `word`, ASCII case ignored.
  bool is_word(std::string_view word) const;

  // Payloads; each is meaningful only for its kind (zero or empty otherwise).
  int64_t int_value() const { return int_; }
  double real_value() const { return real_; }
  const std::string& text() const { return text_; }  // Str, Ident
  const std::vector<uint8_t>& blob() const { return blob_; }
  vbk::Keyword keyword() const { return keyword_; }
  std::string take_text() { return std::move(text_); }
  std::vector<uint8_t> take_blob() { return std::move(blob_); }

  // Becomes Eof; whatever text or bytes it held are dropped.
  void reset() {
    kind_ = Kind::Eof;
    text_.clear();
    blob_.clear();
  }

  // A deep copy (texts and bytes included); the same as copying.
  Token clone() const { return *this; }

  // Int(42), Real(1.0), Str("it's"), Ident(""), Blob([1, 171, 255]),
  // Keyword(Select), LParen, Eof ...
  std::string debug() const;
  void append_debug(std::string& out) const;

  // Same kind and equal payloads; reals by IEEE comparison (0.0 == -0.0, a
  // NaN equals nothing), texts and bytes byte for byte.
  friend bool operator==(const Token& a, const Token& b);

 private:
  // Plain fields rather than a variant: tokens are made and moved by the
  // million, and only the field of the token's kind is ever set.
  Kind kind_ = Kind::Eof;
  vbk::Keyword keyword_ = vbk::Keyword::Select;
  int64_t int_ = 0;
  double real_ = 0;
  std::string text_;
  std::vector<uint8_t> blob_;
};

// One entry of the token list: the token and the byte offset of its first
// byte in the SQL text (for Eof: the text's length).
struct Spanned {
  Token token;
  uint64_t pos = 0;
  friend bool operator==(const Spanned&, const Spanned&) = default;
};

}  // namespace vbk
