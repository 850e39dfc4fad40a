#include "sql/tokenizer.h"

#include <cstdint>
#include <string>

#include "util/parse_real.h"
#include "util/unicode.h"

namespace vbk::token {

namespace {

bool is_ascii_letter(uint8_t c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
bool is_word_start(uint8_t c) { return is_ascii_letter(c) || c == '_' || c >= 128; }
bool is_word_byte(uint8_t c) { return is_word_start(c) || is_digit(c); }
bool is_blank(uint8_t c) { return c == '\t' || c == '\n' || c == '\f' || c == '\r' || c == ' '; }

int hex_value(uint8_t c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

class Scanner {
 public:
  explicit Scanner(std::string_view sql) : sql_(sql) {}

  Result<std::vector<Spanned>> run() {
    out_.reserve(sql_.size() / 3 + 8);
    while (i_ < sql_.size()) {
      uint8_t c = at(i_);
      if (is_blank(c)) {
        ++i_;
      } else if (c == '-' && at(i_ + 1) == '-') {
        while (i_ < sql_.size() && at(i_) != '\n') ++i_;
      } else if (c == '/' && at(i_ + 1) == '*') {
        VBK_TRY(skip_block_comment());
      } else if ((c == 'x' || c == 'X') && at(i_ + 1) == '\'') {
        VBK_TRY(blob());
      } else if (is_word_start(c)) {
        word();
      } else if (c == '\'' || c == '"' || c == '`') {
        VBK_TRY(quoted(static_cast<char>(c)));
      } else if (is_digit(c) || (c == '.' && is_digit(at(i_ + 1)))) {
        VBK_TRY(number());
      } else {
        VBK_TRY(operator_token(c));
      }
    }
    out_.push_back(Spanned{Token(Token::Kind::Eof), sql_.size()});
    return std::move(out_);
  }

 private:
  // The byte at `i`, or 0 past the end (0 never continues any token).
  uint8_t at(size_t i) const { return i < sql_.size() ? static_cast<uint8_t>(sql_[i]) : 0; }

  // The token is built in its slot of the list: no moves of it.
  void push(Token&& t, size_t start) { out_.emplace_back(std::move(t), start); }

  std::unexpected<Error> fail(const char* msg, size_t pos) const {
    return std::unexpected(Error::Parse(msg, pos));
  }

  Result<void> skip_block_comment() {
    // The closing asterisk must lie at least two bytes after the opening
    // slash, so "/*/" does not close itself.
    size_t close = sql_.find("*/", i_ + 2);
    if (close == std::string_view::npos) return fail("unterminated block comment", i_);
    i_ = close + 2;
    return {};
  }

  Result<void> blob() {
    size_t start = i_;
    size_t close = sql_.find('\'', i_ + 2);
    if (close == std::string_view::npos) return fail("unterminated blob literal", start);
    std::string_view digits = sql_.substr(i_ + 2, close - (i_ + 2));
    std::vector<uint8_t> bytes;
    bytes.reserve(digits.size() / 2);
    bool ok = digits.size() % 2 == 0;
    for (size_t k = 0; ok && k < digits.size(); k += 2) {
      int hi = hex_value(static_cast<uint8_t>(digits[k]));
      int lo = hex_value(static_cast<uint8_t>(digits[k + 1]));
      ok = hi >= 0 && lo >= 0;
      if (ok) bytes.push_back(static_cast<uint8_t>(hi << 4 | lo));
    }
    if (!ok) return fail("blob literal needs an even number of hex digits", start);
    push(Token::Blob(std::move(bytes)), start);
    i_ = close + 1;
    return {};
  }

  void word() {
    size_t start = i_;
    while (i_ < sql_.size() && is_word_byte(at(i_))) ++i_;
    std::string_view w = sql_.substr(start, i_ - start);
    if (w.size() >= 2 && w.size() <= 8) {
      char upper[8];
      for (size_t k = 0; k < w.size(); ++k) upper[k] = unicode::ascii_upper(w[k]);
      if (auto kw = keyword_from_upper(std::string_view(upper, w.size()))) {
        push(Token::Keyword(*kw), start);
        return;
      }
    }
    push(Token::Ident(std::string(w)), start);
  }

  Result<void> quoted(char quote) {
    size_t start = i_;
    std::string content;
    size_t k = i_ + 1;
    for (;;) {
      size_t next = sql_.find(quote, k);
      if (next == std::string_view::npos) {
        const char* msg = quote == '\'' ? "unterminated string literal"
                          : quote == '"' ? "unterminated quoted identifier"
                                         : "unterminated backtick identifier";
        return fail(msg, start);
      }
      content.append(sql_.substr(k, next - k));
      if (at(next + 1) == static_cast<uint8_t>(quote)) {
        content += quote;  // a doubled quote stands for one
        k = next + 2;
        continue;
      }
      i_ = next + 1;
      break;
    }
    push(quote == '\'' ? Token::Str(std::move(content)) : Token::Ident(std::move(content)), start);
    return {};
  }

  Result<void> number() {
    size_t start = i_;
    bool real = false;
    while (is_digit(at(i_))) ++i_;
    if (at(i_) == '.') {
      real = true;
      ++i_;
      while (is_digit(at(i_))) ++i_;
    }
    if (at(i_) == 'e' || at(i_) == 'E') {
      real = true;
      ++i_;
      if (at(i_) == '+' || at(i_) == '-') ++i_;
      if (!is_digit(at(i_))) return fail("invalid number", start);
      while (is_digit(at(i_))) ++i_;
    }
    std::string_view text = sql_.substr(start, i_ - start);
    if (real) {
      push(Token::Real(parse_real(text)), start);
      return {};
    }
    int64_t value = 0;
    for (char d : text) {
      if (__builtin_mul_overflow(value, 10, &value) ||
          __builtin_add_overflow(value, d - '0', &value)) {
        return fail("integer out of range", start);
      }
    }
    push(Token::Int(value), start);
    return {};
  }

  Result<void> operator_token(uint8_t c) {
    size_t start = i_;
    uint8_t next = at(i_ + 1);
    Token::Kind kind;
    size_t len = 1;
    switch (c) {
      case '(': kind = Token::Kind::LParen; break;
      case ')': kind = Token::Kind::RParen; break;
      case ',': kind = Token::Kind::Comma; break;
      case ';': kind = Token::Kind::Semicolon; break;
      case '.': kind = Token::Kind::Dot; break;
      case '*': kind = Token::Kind::Star; break;
      case '+': kind = Token::Kind::Plus; break;
      case '-': kind = Token::Kind::Minus; break;
      case '/': kind = Token::Kind::Slash; break;
      case '%': kind = Token::Kind::Percent; break;
      case '?': kind = Token::Kind::Param; break;
      case '=': kind = Token::Kind::Eq; break;
      case '!':
        if (next != '=') return fail("unexpected '!' (did you mean '!=' ?)", start);
        kind = Token::Kind::Ne;
        len = 2;
        break;
      case '<':
        if (next == '>' || next == '=') {
          kind = next == '>' ? Token::Kind::Ne : Token::Kind::Le;
          len = 2;
        } else {
          kind = Token::Kind::Lt;
        }
        break;
      case '>':
        if (next == '=') {
          kind = Token::Kind::Ge;
          len = 2;
        } else {
          kind = Token::Kind::Gt;
        }
        break;
      default: {
        std::string msg = "unexpected character '";
        msg += static_cast<char>(c);
        msg += '\'';
        return std::unexpected(Error::Parse(std::move(msg), start));
      }
    }
    push(Token(kind), start);
    i_ += len;
    return {};
  }

  std::string_view sql_;
  size_t i_ = 0;
  std::vector<Spanned> out_;
};

}  // namespace

Result<std::vector<Spanned>> tokenize(std::string_view sql) { return Scanner(sql).run(); }

}  // namespace vbk::token
