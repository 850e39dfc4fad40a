#include "util/number_format.h"

#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <string>

#include <gtest/gtest.h>

namespace vbk {
namespace {

std::string real_text(double v) {
  std::string out;
  append_real(out, v);
  return out;
}

TEST(NumberFormat, DebugTextByMagnitude) {
  const double kNaN = std::numeric_limits<double>::quiet_NaN();
  const double kInf = std::numeric_limits<double>::infinity();
  const struct {
    double v;
    const char* text;
  } cases[] = {
      {0.0, "0.0"},
      {-0.0, "-0.0"},
      {1.0, "1.0"},
      {-1.0, "-1.0"},
      {0.5, "0.5"},
      {0.1, "0.1"},
      {0.25, "0.25"},
      {12345.678, "12345.678"},
      {1234.5, "1234.5"},
      {0.0001, "0.0001"},
      {0.00012, "0.00012"},
      {1e-5, "1e-5"},
      {9.99e-5, "9.99e-5"},
      {1.5e-7, "1.5e-7"},
      {1e15, "1000000000000000.0"},
      {9999999999999998.0, "9999999999999998.0"},
      {1e16, "1e16"},
      {-2.5e20, "-2.5e20"},
      {9223372036854775808.0, "9.223372036854776e18"},
      {1.7976931348623157e308, "1.7976931348623157e308"},
      {5e-324, "5e-324"},
      {-2.2250738585072014e-308, "-2.2250738585072014e-308"},
      {kNaN, "NaN"},
      {-kNaN, "NaN"},
      {kInf, "inf"},
      {-kInf, "-inf"},
  };
  for (const auto& c : cases) EXPECT_EQ(real_text(c.v), c.text) << c.text;
}

// The scientific digits laid out positionally; fixed-format conversion would
// print the binary expansion of large powers of two instead.
TEST(NumberFormat, PositionalUsesShortestDigits) {
  const struct {
    double v;
    const char* text;
  } cases[] = {
      {9223372036854775808.0, "9223372036854776000.0"},
      {1e22, "10000000000000000000000.0"},
      {1.5e-7, "0.00000015"},
      {-123.0, "-123.0"},
      {0.0, "0.0"},
  };
  for (const auto& c : cases) {
    std::string out;
    append_real_positional(out, c.v);
    EXPECT_EQ(out, c.text);
  }
  std::string out;
  append_real_exponent(out, 0.0);
  EXPECT_EQ(out, "0e0");
}

// Appended after what the string holds, the ends of the range included.
TEST(NumberFormat, IntegersInDecimal) {
  const struct {
    int64_t v;
    const char* text;
  } cases[] = {
      {0, "x0"},
      {7, "x7"},
      {-1, "x-1"},
      {1000000, "x1000000"},
      {std::numeric_limits<int64_t>::max(), "x9223372036854775807"},
      {std::numeric_limits<int64_t>::min(), "x-9223372036854775808"},
  };
  for (const auto& c : cases) {
    std::string out = "x";
    append_int(out, c.v);
    EXPECT_EQ(out, c.text);
  }
}

// Every text reads back as the same double, for random bit patterns.
TEST(NumberFormat, RoundTripsRandomDoubles) {
  std::mt19937_64 rng(20261210);
  for (int i = 0; i < 20000; ++i) {
    const uint64_t bits = rng();
    double v;
    std::memcpy(&v, &bits, sizeof v);
    if (!std::isfinite(v)) continue;
    const std::string text = real_text(v);
    double back = 0;
    const auto r = std::from_chars(text.data(), text.data() + text.size(), back);
    ASSERT_EQ(r.ec, std::errc()) << text;
    ASSERT_EQ(r.ptr, text.data() + text.size()) << text;
    ASSERT_EQ(std::memcmp(&back, &v, sizeof v), 0) << text;
  }
}

}  // namespace
}  // namespace vbk
