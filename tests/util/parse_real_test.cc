#include "util/parse_real.h"

#include <cmath>
#include <limits>
#include <string>
#include <string_view>

#include <gtest/gtest.h>

namespace vbk {
namespace {

TEST(ParseReal, OutOfRangeTakesTheDirectionOfTheText) {
  const double inf = std::numeric_limits<double>::infinity();
  const struct {
    std::string text;
    double want;
  } cases[] = {
      {"1.5", 1.5},
      {"5.", 5.0},
      {".25e1", 2.5},
      {"4.9e-324", 4.9e-324},
      {"1e309", inf},
      {"1e-400", 0.0},
      {"0000000000000000000001e308", 1e308},
      {"0." + std::string(330, '0') + "1e340", 1e9},
      {"0." + std::string(330, '0') + "1e-1", 0.0},
      {std::string(400, '0') + "1e308", 1e308},
      {std::string(400, '7'), inf},
      {std::string(400, '7') + "e-800", 0.0},
      {std::string(200, '7') + "." + std::string(200, '7') + "e-400", 7.7777777777777777e-201},
      {"1e99999999999999999999", inf},
      {"1e-99999999999999999999", 0.0},
      {"0.0e99999999999999999999", 0.0},
  };
  for (const auto& c : cases) EXPECT_EQ(parse_real(c.text), c.want) << c.text;
}

TEST(ParseReal, DigitRunStopsAtTheFirstOtherByteInEveryLane) {
  // Each byte that is no digit, at every position of a 20-digit run, from
  // every start offset: the eight-byte chunks must stop exactly there.
  for (const char stop : {'\0', '/', ':', '.', 'e', '\x7f', '\x80', '\xb9', '\xba', '\xff'}) {
    for (size_t at = 0; at < 20; ++at) {
      std::string s(20, '5');
      s[at] = stop;
      for (size_t from = 0; from <= at; ++from) {
        EXPECT_EQ(digit_run(s, from), at - from) << static_cast<int>(stop) << " at " << at << " from " << from;
      }
    }
  }
  EXPECT_EQ(digit_run("0123456789012345678", 0), 19u);
  EXPECT_EQ(digit_run("", 0), 0u);
  EXPECT_EQ(digit_run("12", 2), 0u);
}

// Every byte value, those of multi-byte UTF-8 characters included (negative
// where char is signed): only the ten ASCII digits count, for the one-byte
// test and the chunked run alike.
TEST(ParseReal, IsDigitTakesOnlyTheTenAsciiDigits) {
  const std::string_view digits = "0123456789";
  for (int b = 0; b < 256; ++b) {
    const char c = static_cast<char>(b);
    const bool want = digits.find(c) != std::string_view::npos;
    EXPECT_EQ(is_digit(c), want) << b;
    EXPECT_EQ(digit_run(std::string(9, c), 0), want ? 9u : 0u) << b;
  }
}

}  // namespace
}  // namespace vbk
