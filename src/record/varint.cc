#include "record/varint.h"

#include "record/corrupt.h"

namespace vbk::varint {

Result<Uvarint> read_uvarint_slow(std::span<const uint8_t> bytes) {
  uint64_t value = 0;
  for (size_t i = 0; i < kMaxUvarintLength - 1; ++i) {
    if (i >= bytes.size()) return std::unexpected(record::corrupt(record::msg::kTruncatedUvarint));
    const uint8_t b = bytes[i];
    value |= uint64_t{b & 0x7Fu} << (7 * i);
    if (b < 0x80) return Uvarint{value, i + 1};
  }
  // The 10th byte supplies bit 63 alone.
  if (bytes.size() < kMaxUvarintLength) return std::unexpected(record::corrupt(record::msg::kTruncatedUvarint));
  const uint8_t last = bytes[kMaxUvarintLength - 1];
  if (last >= 2) return std::unexpected(record::corrupt(record::msg::kUvarintOverflow));
  return Uvarint{value | (uint64_t{last} << 63), kMaxUvarintLength};
}

}  // namespace vbk::varint
