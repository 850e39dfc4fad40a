#include <cstdint>
#include <string>
#include <string_view>

#include <gtest/gtest.h>

#include "util/debug_text.h"
#include "util/unicode.h"
#include "util/utf8.h"

namespace vbk {
namespace {

TEST(Utf8, DecodeAcceptsAndRejects) {
  const struct {
    std::string_view bytes;
    char32_t cp;
    uint32_t length;
    bool valid;
  } cases[] = {
      {"a", 'a', 1, true},
      {"\xC3\xA9z", 0xE9, 2, true},
      {"\xE2\x82\xAC", 0x20AC, 3, true},
      {"\xF0\x9F\x98\x80", 0x1F600, 4, true},
      {"\xF4\x8F\xBF\xBF", 0x10FFFF, 4, true},
      {"\xC3\x28", utf8::kReplacement, 1, false},      // bad continuation
      {"\xC0\x80", utf8::kReplacement, 1, false},      // overlong NUL
      {"\xE0\x80\x80", utf8::kReplacement, 1, false},  // overlong
      {"\xED\xA0\x80", utf8::kReplacement, 1, false},  // surrogate U+D800
      {"\xF4\x90\x80\x80", utf8::kReplacement, 1, false},  // above U+10FFFF
      {"\xF5\x80", utf8::kReplacement, 1, false},
      {"\x80", utf8::kReplacement, 1, false},
      {"\xE2\x82", utf8::kReplacement, 2, false},  // truncated: stops at the end
      {"\xF0\x9F\x98", utf8::kReplacement, 3, false},
  };
  for (const auto& c : cases) {
    const utf8::Decoded d = utf8::decode(c.bytes);
    EXPECT_EQ(d.cp, c.cp);
    EXPECT_EQ(d.length, c.length);
    EXPECT_EQ(d.valid, c.valid);
    EXPECT_EQ(utf8::is_valid(c.bytes.substr(0, c.length)), c.valid);
  }
}

TEST(Utf8, ValidatesWholeStrings) {
  EXPECT_TRUE(utf8::is_valid(""));
  EXPECT_TRUE(utf8::is_valid(std::string_view("abc\0def", 7)));
  EXPECT_TRUE(utf8::is_valid("long ascii run before \xC3\xA9 and after it, more ascii"));
  EXPECT_FALSE(utf8::is_valid("long ascii run before \xC3 and after it"));
  EXPECT_FALSE(utf8::is_valid("01234567\xE2\x82"));
}

TEST(Utf8, AppendRoundTrips) {
  for (char32_t cp : {char32_t{0}, char32_t{0x7F}, char32_t{0x80}, char32_t{0x7FF}, char32_t{0x800},
                      char32_t{0xFFFF}, char32_t{0x10000}, char32_t{0x10FFFF}}) {
    std::string s;
    utf8::append(s, cp);
    const utf8::Decoded d = utf8::decode(s);
    EXPECT_TRUE(d.valid);
    EXPECT_EQ(d.cp, cp);
    EXPECT_EQ(d.length, s.size());
  }
  std::string s;
  utf8::append(s, 0xD800);
  EXPECT_EQ(s, "\xEF\xBF\xBD");
}

TEST(Unicode, Properties) {
  const struct {
    char32_t cp;
    bool printable, extend, space;
  } cases[] = {
      {' ', true, false, true},        {'a', true, false, false},
      {'\t', false, false, true},      {0x7F, false, false, false},
      {0xA0, false, false, true},      // no-break space: a space separator
      {0xAD, false, false, false},     // soft hyphen: format
      {0xE9, true, false, false},      {0x301, true, true, false},  // combining acute: Mn
      {0x200C, false, true, false},    // zero width non-joiner: format and extending
      {0x2028, false, false, true},    // line separator
      {0x3000, false, false, true},    // ideographic space
      {0x378, false, false, false},    // unassigned
      {0xE000, false, false, false},   // private use
      {0xFFFD, true, false, false},    {0x1F600, true, false, false},
      {0x4E00, true, false, false},    // inside a range of UnicodeData
      {0xFFFF, false, false, false},   // noncharacter
      {0xE0100, true, true, false},    // variation selector
  };
  for (const auto& c : cases) {
    EXPECT_EQ(unicode::is_printable(c.cp), c.printable) << std::hex << static_cast<uint32_t>(c.cp);
    EXPECT_EQ(unicode::is_grapheme_extend(c.cp), c.extend) << std::hex << static_cast<uint32_t>(c.cp);
    EXPECT_EQ(unicode::is_white_space(c.cp), c.space) << std::hex << static_cast<uint32_t>(c.cp);
  }
}

TEST(Unicode, TrimWhiteSpace) {
  const struct {
    std::string_view in, out;
  } cases[] = {
      {"", ""},
      {" \t\n\v\f\r", ""},
      {"\u00a0\u3000a b\u2029\u0085", "a b"},
      {"\u200ba\u200b", "\u200ba\u200b"},  // zero width space: no White_Space
      {"\u00e9", "\u00e9"},
      {" \xff ", "\xff"},                   // an invalid byte stops the trim
      {"a\x80 ", "a\x80"},
      {"\xe3\x80 ", "\xe3\x80"},          // a truncated ideographic space is no space
      {"          \t\u3000x y  ", "x y"},  // past a run of eight spaces
      {"        x", "x"},
      {"         ", ""},
  };
  for (const auto& c : cases) EXPECT_EQ(unicode::trim_white_space(c.in), c.out) << c.in;
}

TEST(Unicode, FullCaseMapping) {
  const struct {
    std::string_view in, upper, lower;
  } cases[] = {
      {"Hello, World!", "HELLO, WORLD!", "hello, world!"},
      {"stra\xC3\x9F" "e", "STRASSE", "stra\xC3\x9F" "e"},             // ß
      {"\xEF\xAC\x81le", "FILE", "\xEF\xAC\x81le"},                     // ﬁ ligature
      {"\xC4\xB0", "\xC4\xB0", "i\xCC\x87"},                            // İ -> i + dot above
      {"\xC3\xA9t\xC3\xA9", "\xC3\x89T\xC3\x89", "\xC3\xA9t\xC3\xA9"},  // été
      {"\xC4\x81\xC4\x80", "\xC4\x80\xC4\x80", "\xC4\x81\xC4\x81"},     // ā Ā (alternating run)
      {"\xF0\x90\x90\xA8", "\xF0\x90\x90\x80", "\xF0\x90\x90\xA8"},     // Deseret, 4 bytes
      {"\xE1\xBE\x80", "\xE1\xBC\x88\xCE\x99", "\xE1\xBE\x80"},         // ᾀ -> ἈΙ
      {"k\xE2\x84\xAA", "K\xE2\x84\xAA", "kk"},                         // Kelvin sign lowers to k
      {"a\xFF" "b", "A\xFF" "B", "a\xFF" "b"},                          // invalid byte kept
      {"", "", ""},
  };
  for (const auto& c : cases) {
    std::string up, low;
    unicode::append_upper(up, c.in);
    unicode::append_lower(low, c.in);
    EXPECT_EQ(up, c.upper) << c.in;
    EXPECT_EQ(low, c.lower) << c.in;
  }
}

TEST(Unicode, FinalSigma) {
  // Σ = CE A3, σ = CF 83, ς = CF 82.
  const struct {
    std::string_view in, lower;
  } cases[] = {
      {"\xCE\x9F\xCE\xA3", "\xCE\xBF\xCF\x82"},                      // ΟΣ: end of word
      {"\xCE\x9F\xCE\xA3\xCE\x9F", "\xCE\xBF\xCF\x83\xCE\xBF"},      // ΟΣΟ: inside a word
      {"\xCE\xA3", "\xCF\x83"},                                      // alone: no cased letter before
      {"\xCE\x9F\xCE\xA3 x", "\xCE\xBF\xCF\x82 x"},                  // a space ends the word
      {"\xCE\x9F'\xCE\xA3'", "\xCE\xBF'\xCF\x82'"},                  // apostrophes are skipped
      {"\xCE\x9F\xCE\xA3'\xCE\x9F", "\xCE\xBF\xCF\x83'\xCE\xBF"},    // ...on both sides
      {"A\xCE\xA3\xCE\xA3", "a\xCF\x83\xCF\x82"},                    // two in a row
      {"\xCE\x9F\xCC\x81\xCE\xA3.", "\xCE\xBF\xCC\x81\xCF\x82."},     // a combining mark before
  };
  for (const auto& c : cases) {
    std::string low;
    unicode::append_lower(low, c.in);
    EXPECT_EQ(low, c.lower) << c.in;
  }
}

TEST(Unicode, AsciiFolding) {
  std::string up, low;
  unicode::append_ascii_upper(up, "select \xC3\xA9_x9");
  unicode::append_ascii_lower(low, "SELECT \xC3\x89_X9");
  EXPECT_EQ(up, "SELECT \xC3\xA9_X9");
  EXPECT_EQ(low, "select \xC3\x89_x9");
  EXPECT_TRUE(unicode::ascii_iequals("Name", "nAME"));
  EXPECT_FALSE(unicode::ascii_iequals("\xC3\xA9", "\xC3\x89"));
  EXPECT_FALSE(unicode::ascii_iequals("ab", "abc"));
  EXPECT_FALSE(unicode::ascii_iequals("@", "`"));  // 0x40 and 0x60 differ only in bit 5
}

TEST(DebugText, QuotesAndEscapes) {
  const struct {
    std::string_view in;
    const char* out;
  } cases[] = {
      {"", R"("")"},
      {"x", R"("x")"},
      {"it's", R"("it's")"},
      {"a\"b\\c", R"("a\"b\\c")"},
      {"\t\r\n", R"("\t\r\n")"},
      {std::string_view("\0", 1), R"("\0")"},
      {"\x01\x1F\x7F", R"("\u{1}\u{1f}\u{7f}")"},
      {"e\xCC\x81", R"("e\u{301}")"},               // combining acute accent
      {"\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80", "\"\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80\""},
      {"\xC2\xA0", R"("\u{a0}")"},                  // no-break space
      {"\xE2\x80\x8B", R"("\u{200b}")"},            // zero width space: format
      {"\xF3\xA0\x84\x80", R"("\u{e0100}")"},       // variation selector: extending
      {"\xEE\x80\x80", R"("\u{e000}")"},            // private use
      {"a\xFF" "b\xE2\x82", "\"a\xEF\xBF\xBD" "b\xEF\xBF\xBD\""},  // invalid: U+FFFD each
  };
  for (const auto& c : cases) {
    std::string out = "prefix ";
    append_quoted_debug(out, c.in);
    EXPECT_EQ(out, std::string("prefix ") + c.out);
  }
}

}  // namespace
}  // namespace vbk
