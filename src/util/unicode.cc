#include "util/unicode.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <span>

#include "util/utf8.h"
#include "util/unicode_tables.inc"

namespace vbk::unicode {

namespace {

using tables::CaseRun;
using tables::Range;
using tables::SpecialCase;

bool in_ranges(std::span<const Range> ranges, char32_t cp) {
  // The first range that ends at or after cp is the only one that can hold it.
  auto it = std::lower_bound(ranges.begin(), ranges.end(), cp,
                             [](const Range& r, char32_t c) { return r.last < c; });
  return it != ranges.end() && it->first <= cp;
}

char32_t map_simple(std::span<const CaseRun> runs, char32_t cp) {
  auto it = std::lower_bound(runs.begin(), runs.end(), cp,
                             [](const CaseRun& r, char32_t c) { return r.last < c; });
  if (it == runs.end() || cp < it->first || (cp - it->first) % it->step != 0) return cp;
  return static_cast<char32_t>(static_cast<int64_t>(cp) + it->delta);
}

const SpecialCase* find_special(std::span<const SpecialCase> table, char32_t cp) {
  auto it = std::lower_bound(table.begin(), table.end(), cp,
                             [](const SpecialCase& s, char32_t c) { return s.cp < c; });
  return it != table.end() && it->cp == cp ? &*it : nullptr;
}

bool is_cased(char32_t cp) { return in_ranges(tables::kCased, cp); }
bool is_case_ignorable(char32_t cp) { return in_ranges(tables::kCaseIgnorable, cp); }

constexpr char32_t kCapitalSigma = 0x3A3;
constexpr char32_t kSmallSigma = 0x3C3;
constexpr char32_t kFinalSigma = 0x3C2;

// True when a cased letter follows, case-ignorable characters skipped.
bool cased_follows(std::string_view rest) {
  while (!rest.empty()) {
    const utf8::Decoded d = utf8::decode(rest);
    if (!d.valid) return false;
    if (!is_case_ignorable(d.cp)) return is_cased(d.cp);
    rest.remove_prefix(d.length);
  }
  return false;
}

enum class Direction { Upper, Lower };

void append_mapped(std::string& out, std::string_view text, Direction dir) {
  const bool up = dir == Direction::Upper;
  std::span<const CaseRun> runs = up ? std::span<const CaseRun>(tables::kUpperRuns)
                                     : std::span<const CaseRun>(tables::kLowerRuns);
  std::span<const SpecialCase> special = up ? std::span<const SpecialCase>(tables::kSpecialUpper)
                                            : std::span<const SpecialCase>(tables::kSpecialLower);
  out.reserve(out.size() + text.size());
  // Whether the last character that was not case-ignorable was cased: the
  // left half of the final-sigma condition.
  bool after_cased = false;
  size_t i = 0;
  while (i < text.size()) {
    const char c = text[i];
    if (static_cast<unsigned char>(c) < 0x80) {
      out += up ? ascii_upper(c) : ascii_lower(c);
      // The same rule as below: ASCII letters are cased and never ignorable.
      const bool letter = (c | 0x20) >= 'a' && (c | 0x20) <= 'z';
      if (letter || !is_case_ignorable(static_cast<char32_t>(c))) after_cased = letter;
      ++i;
      continue;
    }
    const utf8::Decoded d = utf8::decode(text.substr(i));
    if (!d.valid) {
      out.append(text.substr(i, d.length));
      after_cased = false;
      i += d.length;
      continue;
    }
    i += d.length;
    if (!up && d.cp == kCapitalSigma) {
      utf8::append(out, after_cased && !cased_follows(text.substr(i)) ? kFinalSigma : kSmallSigma);
    } else if (const SpecialCase* s = find_special(special, d.cp)) {
      for (uint32_t k = 0; k < s->count; ++k) utf8::append(out, s->to[k]);
    } else {
      utf8::append(out, map_simple(runs, d.cp));
    }
    if (!is_case_ignorable(d.cp)) after_cased = is_cased(d.cp);
  }
}

}  // namespace

bool is_printable(char32_t cp) {
  if (cp < 0x80) return cp >= 0x20 && cp < 0x7F;
  return in_ranges(tables::kPrintable, cp);
}

bool is_grapheme_extend(char32_t cp) {
  return cp >= tables::kGraphemeExtend[0].first && in_ranges(tables::kGraphemeExtend, cp);
}

bool is_white_space(char32_t cp) {
  if (cp < 0x80) return cp == ' ' || (cp >= 0x09 && cp <= 0x0D);
  return in_ranges(tables::kWhiteSpace, cp);
}

std::string_view trim_white_space(std::string_view text) {
  size_t begin = 0;
  // Long runs of plain spaces (padding) go eight bytes at a time.
  constexpr uint64_t kSpaces = 0x2020202020202020;
  for (uint64_t chunk = 0; text.size() - begin >= 8; begin += 8) {
    std::memcpy(&chunk, text.data() + begin, 8);
    if (chunk != kSpaces) break;
  }
  while (begin < text.size()) {
    const auto b = static_cast<uint8_t>(text[begin]);
    if (b < 0x80) {
      if (!is_white_space(b)) break;
      ++begin;
      continue;
    }
    const utf8::Decoded d = utf8::decode(text.substr(begin));
    if (!d.valid || !is_white_space(d.cp)) break;
    begin += d.length;
  }
  size_t end = text.size();
  while (end > begin) {
    const auto b = static_cast<uint8_t>(text[end - 1]);
    if (b < 0x80) {
      if (!is_white_space(b)) break;
      --end;
      continue;
    }
    // The last character starts at the last byte that is no continuation
    // byte (10xxxxxx); a valid one is at most four bytes long.
    size_t start = end - 1;
    while (start > begin && end - start < 4 && (static_cast<uint8_t>(text[start]) & 0xC0) == 0x80) --start;
    const utf8::Decoded d = utf8::decode(text.substr(start, end - start));
    if (!d.valid || d.length != end - start || !is_white_space(d.cp)) break;
    end = start;
  }
  return text.substr(begin, end - begin);
}

void append_upper(std::string& out, std::string_view utf8) { append_mapped(out, utf8, Direction::Upper); }

void append_lower(std::string& out, std::string_view utf8) { append_mapped(out, utf8, Direction::Lower); }

void append_ascii_upper(std::string& out, std::string_view text) {
  out.reserve(out.size() + text.size());
  for (char c : text) out += ascii_upper(c);
}

void append_ascii_lower(std::string& out, std::string_view text) {
  out.reserve(out.size() + text.size());
  for (char c : text) out += ascii_lower(c);
}

bool ascii_iequals(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (ascii_lower(a[i]) != ascii_lower(b[i])) return false;
  }
  return true;
}

}  // namespace vbk::unicode
