#include "util/parse_real.h"

#include <charconv>
#include <cstdint>
#include <cstring>
#include <limits>
#include <system_error>

namespace vbk {

double parse_real(std::string_view text) {
  double value = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value,
                                   std::chars_format::general);
  (void)end;
  if (ec != std::errc::result_out_of_range) return value;

  // std::from_chars reports both overflow and underflow as out of range
  // without a value, so the direction is worked out from the text: the
  // position of the first significant digit plus the exponent.
  const size_t n = text.size();
  size_t i = 0;
  while (i < n && text[i] == '0') ++i;
  const size_t whole = digit_run(text, i);
  int64_t magnitude = static_cast<int64_t>(whole);  // decimal exponent of the first significant digit, plus one
  bool significant = whole > 0;
  i += whole;
  if (i < n && text[i] == '.') {
    ++i;
    if (!significant) {
      const size_t zeros = i;
      while (i < n && text[i] == '0') ++i;
      magnitude = -static_cast<int64_t>(i - zeros);
      significant = i < n && is_digit(text[i]);
    }
    i += digit_run(text, i);
  }
  if (!significant) return 0.0;
  int64_t exponent = 0;
  if (i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
    ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
    // Saturate: any exponent beyond this range is out of range either way.
    for (; i < text.size() && is_digit(text[i]); ++i) {
      if (exponent < 1'000'000'000) exponent = exponent * 10 + (text[i] - '0');
    }
    if (negative) exponent = -exponent;
  }
  return magnitude + exponent > 0 ? std::numeric_limits<double>::infinity() : 0.0;
}

size_t digit_run(std::string_view text, size_t from) {
  size_t i = from;
  // A chunk is all digits when no byte lies below '0' (subtracting 0x30 sets
  // its top bit) or above '9' (adding 0x46 sets it, or the subtraction does
  // for 0xBA and up). Carries and borrows start only at a failing byte, and
  // the least significant failing byte receives none, so its own top bit
  // shows.
  constexpr uint64_t kZeros = 0x3030303030303030;
  constexpr uint64_t kToTop = 0x4646464646464646;
  constexpr uint64_t kTops = 0x8080808080808080;
  while (text.size() - i >= 8) {
    uint64_t chunk = 0;
    std::memcpy(&chunk, text.data() + i, 8);
    if ((((chunk - kZeros) | (chunk + kToTop)) & kTops) != 0) break;
    i += 8;
  }
  while (i < text.size() && is_digit(text[i])) ++i;
  return i - from;
}

}  // namespace vbk
