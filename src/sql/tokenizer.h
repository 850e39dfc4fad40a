#pragma once

// The tokenizer: the whole text of one SQL request becomes a list of tokens in
// one pass, before any statement is parsed, so a lexical error anywhere fails
// the whole request.

#include <string_view>
#include <vector>

#include "error.h"
#include "sql/token.h"

namespace vbk::token {

// The tokens of `sql` in text order, ending with exactly one Eof whose pos is
// the text's length. The text is read byte by byte, never decoded: every byte
// of 128 or more outside quotes and comments belongs to an identifier. On
// failure: Error::Parse at the first byte of the token that failed.
Result<std::vector<Spanned>> tokenize(std::string_view sql);

}  // namespace vbk::token
