#pragma once

// The quoted, escaped form in which debug texts show a text: values, tokens
// and error payloads all use it.

#include <string>
#include <string_view>

namespace vbk {

// Appends `utf8` between double quotes. Every character stands for itself
// except: " and \ get a backslash in front; newline, carriage return, tab and
// NUL are written \n \r \t \0; any other character that is not printable or
// that extends a grapheme (unicode::is_printable, is_grapheme_extend) is
// written \u{hex}, lower-case hex without leading zeros (U+0301 -> \u{301}).
// The single quote stays as it is. A byte sequence that is not valid UTF-8 is
// shown as U+FFFD, once per maximal invalid part.
void append_quoted_debug(std::string& out, std::string_view utf8);

}  // namespace vbk
