#include "pager/header.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <string>

#include "util/bytes.h"

namespace vbk {

namespace {

constexpr uint8_t kMagic[16] = {'V', 'e', 'l', 'm', 'a', 'r', 'b', 'r',
                                'o', 'o', 'k', ' ', 'v', '1', 0, 0};

bool valid_page_size(uint64_t n) { return n >= 512 && n <= 65536 && std::has_single_bit(n); }

}  // namespace

Result<void> header::validate_page_size(uint64_t n) {
  if (!valid_page_size(n)) return std::unexpected(Error::InvalidPageSize(n));
  return {};
}

Result<DbHeader> DbHeader::new_(uint64_t page_size) {
  VBK_TRY(header::validate_page_size(page_size));
  DbHeader h;
  h.page_size = page_size;
  h.page_count = 1;
  return h;
}

Result<DbHeader> DbHeader::decode(std::span<const uint8_t> bytes) {
  if (bytes.size() < kHeaderSize) {
    return std::unexpected(Error::BadHeader("need " + std::to_string(kHeaderSize) + " bytes, got " +
                                            std::to_string(bytes.size())));
  }
  if (!std::equal(std::begin(kMagic), std::end(kMagic), bytes.begin())) {
    return std::unexpected(Error::BadHeader("magic mismatch"));
  }
  const uint16_t stored = get_be16(bytes.data() + 16);
  const uint64_t page_size = stored == 1 ? 65536 : stored;
  if (!valid_page_size(page_size)) {
    return std::unexpected(
        Error::BadHeader("stored page size " + std::to_string(page_size) + " is invalid"));
  }
  DbHeader h;
  h.page_size = page_size;
  h.page_count = get_be32(bytes.data() + 18);
  h.freelist_head = get_be32(bytes.data() + 22);
  h.freelist_count = get_be32(bytes.data() + 26);
  h.change_counter = get_be32(bytes.data() + 30);
  h.reserved = get_be32(bytes.data() + 34);
  h.schema_root = get_be32(bytes.data() + 38);
  h.journal_mode = bytes[42];
  return h;
}

std::array<uint8_t, kHeaderSize> DbHeader::encode() const {
  std::array<uint8_t, kHeaderSize> out{};
  std::memcpy(out.data(), kMagic, sizeof kMagic);
  put_be16(out.data() + 16, page_size == 65536 ? 1 : static_cast<uint16_t>(page_size));
  put_be32(out.data() + 18, page_count);
  put_be32(out.data() + 22, freelist_head);
  put_be32(out.data() + 26, freelist_count);
  put_be32(out.data() + 30, change_counter);
  put_be32(out.data() + 34, reserved);
  put_be32(out.data() + 38, schema_root);
  out[42] = journal_mode;
  return out;
}

}  // namespace vbk
