#include "btree/keyenc.h"

#include <bit>
#include <cstring>

namespace vbk::keyenc {

namespace {

constexpr uint8_t kTagNull = 0x00;
constexpr uint8_t kTagNumber = 0x10;
constexpr uint8_t kTagText = 0x20;
constexpr uint8_t kTagBlob = 0x30;
constexpr uint64_t kSignBit = uint64_t{1} << 63;

void append_be64(Bytes& out, uint64_t v) {
  uint8_t buf[8];
  put_be64(buf, v);
  out.insert(out.end(), buf, buf + 8);
}

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

Result<int64_t> key_rowid(std::span<const uint8_t> key) {
  if (key.size() < kRowidSuffixLength) return std::unexpected(Error::Corrupt("index key shorter than its rowid"));
  return static_cast<int64_t>(get_be64(key.data() + key.size() - kRowidSuffixLength) ^ kSignBit);
}

}  // namespace vbk::keyenc
