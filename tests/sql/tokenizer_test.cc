#include "sql/tokenizer.h"

#include <cmath>
#include <limits>
#include <string>

#include <gtest/gtest.h>

namespace vbk {
namespace {

// The token list as "Debug@pos" entries separated by blanks, or
// "error@pos: message".
std::string render(std::string_view sql) {
  auto tokens = token::tokenize(sql);
  if (!tokens) {
    EXPECT_TRUE(tokens.error().is(Error::Kind::Parse));
    return "error@" + std::to_string(tokens.error().pos()) + ": " + tokens.error().msg();
  }
  std::string out;
  for (const Spanned& s : *tokens) {
    if (!out.empty()) out += ' ';
    s.token.append_debug(out);
    out += '@' + std::to_string(s.pos);
  }
  return out;
}

struct Case {
  std::string_view sql;
  std::string_view expected;
};

TEST(Tokenizer, Cases) {
  const Case cases[] = {
      // Blanks and comments.
      {"", "Eof@0"},
      {" \t\r\n\f-- only a comment", "Eof@22"},
      {"1 -- to the end", "Int(1)@0 Eof@15"},
      {"-- first\n2", "Int(2)@9 Eof@10"},
      {"/**/", "Eof@4"},
      {"/*/", "error@0: unterminated block comment"},
      {"/*/ */1", "Int(1)@6 Eof@7"},
      {"/* a /* b */ c */", "Ident(\"c\")@13 Star@15 Slash@16 Eof@17"},
      {"1 /* open", "error@2: unterminated block comment"},
      {"\v", "error@0: unexpected character '\v'"},
      // Words and keywords.
      {"select SELECT SeLeCt", "Keyword(Select)@0 Keyword(Select)@7 Keyword(Select)@14 Eof@20"},
      {"SELECTS _select \"select\" `select`",
       "Ident(\"SELECTS\")@0 Ident(\"_select\")@8 Ident(\"select\")@16 Ident(\"select\")@25 "
       "Eof@33"},
      {"rollback DISTINCT by a",
       "Keyword(Rollback)@0 Keyword(Distinct)@9 Keyword(By)@18 Ident(\"a\")@21 Eof@22"},
      {"SELECT\xC3\xA9", "Ident(\"SELECT\xC3\xA9\")@0 Eof@8"},
      {"\xC3\xA9 = 1", "Ident(\"\xC3\xA9\")@0 Eq@3 Int(1)@5 Eof@6"},
      {"t.1 t.a", "Ident(\"t\")@0 Real(0.1)@1 Ident(\"t\")@4 Dot@5 Ident(\"a\")@6 Eof@7"},
      // Numbers.
      {"1. .5 1.e3 1.2.3",
       "Real(1.0)@0 Real(0.5)@3 Real(1000.0)@6 Real(1.2)@11 Real(0.3)@14 Eof@16"},
      {"1e", "error@0: invalid number"},
      {"x 2.5E+", "error@2: invalid number"},
      {"1else", "error@0: invalid number"},
      {"2e5x", "Real(200000.0)@0 Ident(\"x\")@3 Eof@4"},
      {"1e999 1E+400 1e-999 0.0e99999999999999999999",
       "Real(inf)@0 Real(inf)@6 Real(0.0)@13 Real(0.0)@20 Eof@44"},
      {"123456789012345678901234567890.5e-4000", "Real(0.0)@0 Eof@38"},
      {"0.000000000000000000001e330", "Real(inf)@0 Eof@27"},
      {"0x1F", "Int(0)@0 Ident(\"x1F\")@1 Eof@4"},
      {"12ab 007", "Int(12)@0 Ident(\"ab\")@2 Int(7)@5 Eof@8"},
      {"9223372036854775807", "Int(9223372036854775807)@0 Eof@19"},
      {"a 9223372036854775808", "error@2: integer out of range"},
      {"99999999999999999999999", "error@0: integer out of range"},
      // Quotes.
      {"'it''s'", "Str(\"it's\")@0 Eof@7"},
      {"''''", "Str(\"'\")@0 Eof@4"},
      {"''", "Str(\"\")@0 Eof@2"},
      {"'a''", "error@0: unterminated string literal"},
      {"'a\\b' 'x\ny'", "Str(\"a\\\\b\")@0 Str(\"x\\ny\")@6 Eof@11"},
      {"\"a\"\"b\" `x`` y` \"\"", "Ident(\"a\\\"b\")@0 Ident(\"x` y\")@7 Ident(\"\")@15 Eof@17"},
      {" \"x", "error@1: unterminated quoted identifier"},
      {"`x", "error@0: unterminated backtick identifier"},
      // Blobs.
      {"X'' x'ab' X'0aFF'", "Blob([])@0 Blob([171])@4 Blob([10, 255])@10 Eof@17"},
      {"X'ABC'", "error@0: blob literal needs an even number of hex digits"},
      {"1 X'0G'", "error@2: blob literal needs an even number of hex digits"},
      {"X'ab", "error@0: unterminated blob literal"},
      {"X x\"y\"", "Ident(\"X\")@0 Ident(\"x\")@2 Ident(\"y\")@3 Eof@6"},
      // Operators.
      {"a == b", "Ident(\"a\")@0 Eq@2 Eq@3 Ident(\"b\")@5 Eof@6"},
      {"<> != <= < >= >", "Ne@0 Ne@3 Le@6 Lt@9 Ge@11 Gt@14 Eof@15"},
      {"(),;*+-/%?.",
       "LParen@0 RParen@1 Comma@2 Semicolon@3 Star@4 Plus@5 Minus@6 Slash@7 "
       "Percent@8 Param@9 Dot@10 Eof@11"},
      {"a ! b", "error@2: unexpected '!' (did you mean '!=' ?)"},
      {"!", "error@0: unexpected '!' (did you mean '!=' ?)"},
      {"#", "error@0: unexpected character '#'"},
      {"a $", "error@2: unexpected character '$'"},
      {"\x7f", "error@0: unexpected character '\x7f'"},
      // A lexical error after complete statements still fails the text.
      {"SELECT 1; SELECT @", "error@17: unexpected character '@'"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(render(c.sql), c.expected) << "sql: " << c.sql;
  }
}

TEST(Tokenizer, TokenPayloads) {
  auto tokens = token::tokenize("1e999 'a' X'01' \"q\" 42 2.5");
  ASSERT_TRUE(tokens.has_value());
  ASSERT_EQ(tokens->size(), 7u);
  EXPECT_TRUE(std::isinf((*tokens)[0].token.real_value()));
  EXPECT_EQ((*tokens)[1].token, Token::Str("a"));
  EXPECT_EQ((*tokens)[2].token, Token::Blob({1}));
  EXPECT_EQ((*tokens)[3].token, Token::Ident("q"));
  EXPECT_EQ((*tokens)[4].token, Token::Int(42));
  EXPECT_EQ((*tokens)[5].token, Token::Real(2.5));
  EXPECT_EQ((*tokens)[6].token, Token(Token::Kind::Eof));
}

TEST(Tokenizer, SubnormalRealsSurvive) {
  auto tokens = token::tokenize("4.9406564584124654e-324 2.2250738585072009e-308");
  ASSERT_TRUE(tokens.has_value());
  EXPECT_EQ((*tokens)[0].token.real_value(), std::numeric_limits<double>::denorm_min());
  EXPECT_EQ((*tokens)[1].token.real_value(), 2.2250738585072009e-308);
}

}  // namespace
}  // namespace vbk
