#include "util/parse_real.h"

#include <charconv>
#include <cstdint>
#include <limits>
#include <system_error>

namespace vbk {

namespace {

bool is_digit(char c) { return c >= '0' && c <= '9'; }

}  // namespace

double parse_real(std::string_view text) {
  double value = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value,
                                   std::chars_format::general);
  (void)end;
  if (ec != std::errc::result_out_of_range) return value;

  // std::from_chars reports both overflow and underflow as out of range
  // without a value, so the direction is worked out from the text: the
  // position of the first significant digit plus the exponent.
  size_t i = 0;
  int64_t magnitude = 0;  // decimal exponent of the first significant digit, plus one
  bool significant = false;
  while (i < text.size() && is_digit(text[i])) {
    if (text[i] != '0') significant = true;
    if (significant) ++magnitude;
    ++i;
  }
  if (i < text.size() && text[i] == '.') {
    ++i;
    while (i < text.size() && is_digit(text[i])) {
      if (!significant) {
        if (text[i] != '0') {
          significant = true;
        } else {
          --magnitude;
        }
      }
      ++i;
    }
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

}  // namespace vbk
