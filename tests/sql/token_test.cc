#include "sql/token.h"

#include <cctype>
#include <cmath>
#include <limits>
#include <string>

#include <gtest/gtest.h>

namespace vbk {
namespace {

TEST(Token, DebugTextOfEveryKind) {
  struct Case {
    Token token;
    std::string_view expected;
  };
  const Case cases[] = {
      {Token::Int(42), "Int(42)"},
      {Token::Int(0), "Int(0)"},
      {Token::Real(1.5), "Real(1.5)"},
      {Token::Str("it's"), "Str(\"it's\")"},
      {Token::Str("say \"hi\"\\"), "Str(\"say \\\"hi\\\"\\\\\")"},
      {Token::Str(std::string("\t\r\n\0\x01", 5)), "Str(\"\\t\\r\\n\\0\\u{1}\")"},
      {Token::Str("e\xCC\x81 \xC3\xA9"), "Str(\"e\\u{301} \xC3\xA9\")"},  // combining acute escaped
      {Token::Blob({1, 171, 255}), "Blob([1, 171, 255])"},
      {Token::Blob({}), "Blob([])"},
      {Token::Ident(""), "Ident(\"\")"},
      {Token::Ident("x"), "Ident(\"x\")"},
      {Token::Keyword(Keyword::Select), "Keyword(Select)"},
      {Token::Keyword(static_cast<Keyword>(27)), "Keyword(Rollback)"},
      {Token::Keyword(static_cast<Keyword>(35)), "Keyword(Distinct)"},
      {Token::Keyword(static_cast<Keyword>(48)), "Keyword(Right)"},
      {Token::Kind::LParen, "LParen"},
      {Token::Kind::RParen, "RParen"},
      {Token::Kind::Comma, "Comma"},
      {Token::Kind::Semicolon, "Semicolon"},
      {Token::Kind::Dot, "Dot"},
      {Token::Kind::Star, "Star"},
      {Token::Kind::Plus, "Plus"},
      {Token::Kind::Minus, "Minus"},
      {Token::Kind::Slash, "Slash"},
      {Token::Kind::Percent, "Percent"},
      {Token::Kind::Eq, "Eq"},
      {Token::Kind::Ne, "Ne"},
      {Token::Kind::Lt, "Lt"},
      {Token::Kind::Le, "Le"},
      {Token::Kind::Gt, "Gt"},
      {Token::Kind::Ge, "Ge"},
      {Token::Kind::Param, "Param"},
      {Token::Kind::Eof, "Eof"},
  };
  for (const Case& c : cases) EXPECT_EQ(c.token.debug(), c.expected);
}

TEST(Token, RealDebugTextIsPositionalOnlyInItsRange) {
  const std::pair<double, std::string_view> cases[] = {
      {1.0, "Real(1.0)"},
      {0.0, "Real(0.0)"},
      {0.25, "Real(0.25)"},
      {1234.5, "Real(1234.5)"},
      {1e15, "Real(1000000000000000.0)"},
      {1e16, "Real(1e16)"},
      {0.0001, "Real(0.0001)"},
      {0.00001, "Real(1e-5)"},
      {2.5e-5, "Real(2.5e-5)"},
      {0.1, "Real(0.1)"},
      {std::numeric_limits<double>::infinity(), "Real(inf)"},
  };
  for (const auto& [v, expected] : cases) EXPECT_EQ(Token::Real(v).debug(), expected);
}

TEST(Token, KeywordNamesAndLookup) {
  EXPECT_EQ(keyword_name(Keyword::Select), "Select");
  EXPECT_EQ(keyword_name(Keyword::Right), "Right");
  for (int i = 0; i < kKeywordCount; ++i) {
    auto k = static_cast<Keyword>(i);
    std::string upper(keyword_name(k));
    for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    EXPECT_EQ(keyword_from_upper(upper), k) << upper;
    EXPECT_EQ(keyword_from_upper(keyword_name(k)), std::nullopt) << "mixed case is no match";
  }
  EXPECT_EQ(keyword_from_upper("REPLACE"), std::nullopt);
}

TEST(Token, Equality) {
  EXPECT_NE(Token::Int(1), Token::Int(2));
  EXPECT_EQ(Token::Int(7), Token::Int(7));
  EXPECT_EQ(Token::Keyword(Keyword::Select), Token::Keyword(Keyword::Select));
  EXPECT_NE(Token::Keyword(Keyword::Select), Token::Ident("select"));
  EXPECT_NE(Token::Str("a"), Token::Ident("a"));
  EXPECT_NE(Token::Str("a"), Token::Str("A"));
  EXPECT_EQ(Token::Real(0.0), Token::Real(-0.0));
  Token nan = Token::Real(std::nan(""));
  EXPECT_NE(nan, nan);
  EXPECT_EQ(Token(Token::Kind::Comma), Token(Token::Kind::Comma));
  EXPECT_NE(Token(Token::Kind::Comma), Token(Token::Kind::Dot));
  EXPECT_TRUE(Token::Ident("eLsE").is_word("ELSE"));
  EXPECT_FALSE(Token::Str("else").is_word("ELSE"));
}

TEST(Token, CloneOwnsItsPayload) {
  Token original = Token::Blob({1, 2, 3});
  Token copy = original.clone();
  original = Token(Token::Kind::Eof);
  EXPECT_EQ(copy, Token::Blob({1, 2, 3}));
  Token text = Token::Ident("name");
  Token text_copy = text.clone();
  EXPECT_EQ(text.take_text(), "name");
  EXPECT_EQ(text_copy.text(), "name");
}

}  // namespace
}  // namespace vbk
