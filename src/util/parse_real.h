#pragma once

// Decimal text to the nearest 64-bit float, with the overflow and underflow
// directions that std::from_chars leaves out.

#include <cstddef>
#include <string_view>

namespace vbk {

// `text` must be an unsigned decimal number and nothing else: one or more
// digits with an optional "." and more digits, or "." and one or more digits,
// then optionally "e" or "E", an optional sign and one or more digits. The
// caller checks that shape. The result is the value correctly rounded (ties
// to even); a magnitude beyond the float range gives infinity, one below the
// smallest subnormal gives 0.0.
double parse_real(std::string_view text);

// An ASCII digit, '0' to '9'. Every other byte is not one, those of
// multi-byte UTF-8 characters included (whatever the signedness of char).
constexpr bool is_digit(char c) { return c >= '0' && c <= '9'; }

// The number of ASCII digits in `text` from `from` on, up to the first other
// byte or the end. Eight bytes at a time: numeric texts can be megabytes long.
size_t digit_run(std::string_view text, size_t from);

}  // namespace vbk
