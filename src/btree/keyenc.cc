#include "btree/keyenc.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>
#include <cstring>

#include "btree/index.h"

namespace vbk::keyenc {

namespace {

constexpr uint8_t kTagNull = 0x00;
constexpr uint8_t kTagNumber = 0x10;
constexpr uint8_t kTagText = 0x20;
constexpr uint8_t kTagBlob = 0x30;
constexpr uint64_t kSignBit = uint64_t{1} << 63;

void encode_number(Bytes& out, double d) {
  const uint64_t bits = std::bit_cast<uint64_t>(d);
  out.push_back(kTagNumber);
  append_be64(out, (bits & kSignBit) ? ~bits : bits | kSignBit);
}

// The exact tie-break of a number: its distance from the double it encodes
// as, biased so that the bytes order as the signed distance.
constexpr uint16_t kTieBias = 0x8000;

void append_tie_break(Bytes& out, uint16_t biased) {
  out.push_back(static_cast<uint8_t>(biased >> 8));
  out.push_back(static_cast<uint8_t>(biased));
}

// i minus its rounded double. The double of an integer near 2^63 may be 2^63
// itself, which no int64_t holds, so the difference is taken in 128 bits; it
// is at most half a unit in the last place, 1024, in either direction.
uint16_t int_tie_break(int64_t i) {
  const double d = static_cast<double>(i);
  const __int128 rounded = static_cast<__int128>(d);
  const __int128 diff = static_cast<__int128>(i) - rounded;
  return static_cast<uint16_t>(static_cast<int32_t>(kTieBias) + static_cast<int32_t>(diff));
}

// The length of the value whose encoding starts at `at`; the rest of the
// bytes when they hold no whole value (a pattern this engine encoded always
// does).
size_t value_length(std::span<const uint8_t> key, size_t at) {
  const size_t rest = key.size() - at;
  switch (key[at]) {
    case kTagNull: return 1;
    case kTagNumber: return std::min<size_t>(rest, 9);
    case kTagText:
    case kTagBlob:
      // An escaped zero is 0x00 0xFF, the terminator 0x00 0x00.
      for (size_t i = at + 1; i + 1 < key.size(); ++i) {
        if (key[i] != 0x00) continue;
        if (key[i + 1] == 0x00) return i + 2 - at;
        ++i;
      }
      return rest;
    default: return rest;
  }
}

constexpr size_t kNumberLength = 9;
constexpr uint64_t kMinusZeroBody = ~kSignBit;
constexpr uint64_t kZeroBody = kSignBit;

// The encoding of -0.0 (`negative`) or 0.0.
std::array<uint8_t, kNumberLength> zero_encoding(bool negative) {
  std::array<uint8_t, kNumberLength> out{kTagNumber};
  put_be64(out.data() + 1, negative ? kMinusZeroBody : kZeroBody);
  return out;
}

bool is_zero(std::span<const uint8_t> value) {
  if (value.size() != kNumberLength || value[0] != kTagNumber) return false;
  const uint64_t body = get_be64(value.data() + 1);
  return body == kMinusZeroBody || body == kZeroBody;
}

}  // namespace

void escape_into(Bytes& out, std::span<const uint8_t> bytes) {
  // Copy the runs between zero bytes whole.
  while (!bytes.empty()) {
    const void* zero = std::memchr(bytes.data(), 0, bytes.size());
    if (zero == nullptr) {
      out.insert(out.end(), bytes.begin(), bytes.end());
      break;
    }
    const size_t run = static_cast<size_t>(static_cast<const uint8_t*>(zero) - bytes.data());
    out.insert(out.end(), bytes.begin(), bytes.begin() + static_cast<ptrdiff_t>(run));
    out.push_back(0x00);
    out.push_back(0xFF);
    bytes = bytes.subspan(run + 1);
  }
  out.push_back(0x00);
  out.push_back(0x00);
}

void encode_value(Bytes& out, const Value& v) {
  switch (v.kind()) {
    case Value::Kind::Null:
      out.push_back(kTagNull);
      return;
    case Value::Kind::Int:
      encode_number(out, static_cast<double>(v.as_int()));
      return;
    case Value::Kind::Real:
      encode_number(out, v.as_real());
      return;
    case Value::Kind::Text:
      out.push_back(kTagText);
      escape_into(out, as_bytes(v.as_text()));
      return;
    case Value::Kind::Blob:
      out.push_back(kTagBlob);
      escape_into(out, v.as_blob());
      return;
  }
}

void encode_key_prefix_into(Bytes& out, std::span<const Value> values) {
  out.clear();
  for (const Value& v : values) encode_value(out, v);
}

void encode_value_exact(Bytes& out, const Value& v) {
  encode_value(out, v);
  switch (v.kind()) {
    case Value::Kind::Int:
      append_tie_break(out, int_tie_break(v.as_int()));
      return;
    case Value::Kind::Real:
      append_tie_break(out, kTieBias);
      return;
    case Value::Kind::Null:
    case Value::Kind::Text:
    case Value::Kind::Blob:
      return;
  }
}

void encode_key_exact_into(Bytes& out, std::span<const Value> values) {
  out.clear();
  for (const Value& v : values) encode_value_exact(out, v);
}

Bytes encode_key_prefix(std::span<const Value> values) {
  Bytes out;
  encode_key_prefix_into(out, values);
  return out;
}

void encode_index_key_into(Bytes& out, std::span<const Value> values, int64_t rowid) {
  encode_key_prefix_into(out, values);
  append_be64(out, static_cast<uint64_t>(rowid) ^ kSignBit);
}

Bytes encode_index_key(std::span<const Value> values, int64_t rowid) {
  Bytes out;
  encode_index_key_into(out, values, rowid);
  return out;
}

void set_zero_signs(std::span<uint8_t> prefix, bool negative) {
  for (size_t at = 0; at < prefix.size();) {
    const size_t n = value_length(prefix, at);
    if (is_zero(prefix.subspan(at, n))) put_be64(prefix.data() + at + 1, negative ? kMinusZeroBody : kZeroBody);
    at += n;
  }
}

PatternMatch match_pattern(std::span<const uint8_t> key, std::span<const uint8_t> pattern, Bytes& next) {
  static constexpr size_t kNone = SIZE_MAX;
  const auto minus_zero = zero_encoding(true);
  const auto zero = zero_encoding(false);
  // Where the key's last -0.0 standing for a pattern zero starts: the place
  // to move to 0.0 once the key has passed everything that -0.0 allows.
  size_t last_minus_zero = kNone;
  // The pattern from `from` on, each zero as -0.0, after the key's first
  // `kept` bytes and (when `bumped`) a 0.0.
  auto resume = [&](size_t kept, bool bumped, size_t from) {
    next.assign(key.begin(), key.begin() + static_cast<ptrdiff_t>(kept));
    if (bumped) next.insert(next.end(), zero.begin(), zero.end());
    const size_t tail = next.size();
    next.insert(next.end(), pattern.begin() + static_cast<ptrdiff_t>(from), pattern.end());
    set_zero_signs(std::span(next).subspan(tail), true);
    return PatternMatch::Resume;
  };
  for (size_t at = 0; at < pattern.size();) {
    const size_t n = value_length(pattern, at);
    const std::span<const uint8_t> want = pattern.subspan(at, n);
    // Every value before `at` matched, so the key has at least `at` bytes.
    const std::span<const uint8_t> have = key.subspan(at, std::min(n, key.size() - at));
    int order = 0;
    if (is_zero(want)) {
      order = btree::index::compare(have, minus_zero);
      if (order == 0) last_minus_zero = at;
      if (order > 0) order = btree::index::compare(have, zero) > 0 ? 1 : 0;
    } else {
      order = btree::index::compare(have, want);
    }
    if (order < 0) return resume(at, false, at);
    if (order > 0) {
      if (last_minus_zero == kNone) return PatternMatch::Beyond;
      return resume(last_minus_zero, true, last_minus_zero + kNumberLength);
    }
    at += n;
  }
  return PatternMatch::Match;
}

Result<int64_t> key_rowid(std::span<const uint8_t> key) {
  if (key.size() < kRowidSuffixLength) return std::unexpected(Error::Corrupt("index key shorter than its rowid"));
  return static_cast<int64_t>(get_be64(key.data() + key.size() - kRowidSuffixLength) ^ kSignBit);
}

}  // namespace vbk::keyenc
