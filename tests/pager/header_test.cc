#include "pager/header.h"

#include <array>
#include <cstring>
#include <vector>

#include <gtest/gtest.h>

namespace vbk {
namespace {

std::vector<uint8_t> valid_header_bytes() {
  auto h = DbHeader::new_(4096).value();
  auto bytes = h.encode();
  return std::vector<uint8_t>(bytes.begin(), bytes.end());
}

TEST(DbHeader, NewEncodesToMagicPageSizeAndPageCountOnly) {
  std::array<uint8_t, kHeaderSize> expected{};
  std::memcpy(expected.data(), "Velmarbrook v1", 14);
  expected[16] = 0x10;
  expected[17] = 0x00;
  expected[21] = 1;  // page count 1, big-endian at offset 18
  EXPECT_EQ(DbHeader::new_(4096).value().encode(), expected);
}

TEST(DbHeader, RoundTripKeepsEveryField) {
  DbHeader h = DbHeader::new_(65536).value();
  h.page_count = 0x01020304;
  h.freelist_head = 7;
  h.freelist_count = 0xfffffffe;
  h.change_counter = 42;
  h.reserved = 0xdeadbeef;
  h.schema_root = 2;
  h.journal_mode = 1;
  auto bytes = h.encode();
  EXPECT_EQ(bytes[16], 0x00);
  EXPECT_EQ(bytes[17], 0x01);  // 65536 is stored as 1
  EXPECT_EQ(bytes[18], 0x01);
  EXPECT_EQ(bytes[21], 0x04);
  for (size_t i = 43; i < kHeaderSize; ++i) EXPECT_EQ(bytes[i], 0) << i;
  EXPECT_EQ(DbHeader::decode(bytes).value(), h);
}

TEST(DbHeader, DecodeTakesUncheckedFieldsAsTheyStand) {
  auto bytes = valid_header_bytes();
  bytes[21] = 0;     // page count 0
  bytes[42] = 7;     // unknown journal mode
  bytes[99] = 0xff;  // the tail is ignored
  bytes.resize(150, 0xaa);
  auto h = DbHeader::decode(bytes).value();
  EXPECT_EQ(h.page_count, 0u);
  EXPECT_EQ(h.journal_mode, 7);
}

TEST(DbHeader, DecodeErrorsInOrderOfChecks) {
  struct Case {
    const char* name;
    std::vector<uint8_t> bytes;
    const char* message;
  };
  auto with = [](size_t at, std::vector<uint8_t> patch) {
    auto b = valid_header_bytes();
    std::copy(patch.begin(), patch.end(), b.begin() + static_cast<std::ptrdiff_t>(at));
    return b;
  };
  auto short99 = valid_header_bytes();
  short99.resize(99);
  const Case cases[] = {
      {"99 bytes", short99, "bad database header: need 100 bytes, got 99"},
      {"empty", {}, "bad database header: need 100 bytes, got 0"},
      {"short garbage", std::vector<uint8_t>(10, 0xff), "bad database header: need 100 bytes, got 10"},
      {"magic letter", with(0, {'v'}), "bad database header: magic mismatch"},
      {"magic trailing zero", with(15, {1}), "bad database header: magic mismatch"},
      {"bad magic and size", with(0, {'X'}), "bad database header: magic mismatch"},
      {"page size 256", with(16, {0x01, 0x00}), "bad database header: stored page size 256 is invalid"},
      {"page size 4097", with(16, {0x10, 0x01}), "bad database header: stored page size 4097 is invalid"},
      {"page size 0", with(16, {0x00, 0x00}), "bad database header: stored page size 0 is invalid"},
  };
  for (const Case& c : cases) {
    auto r = DbHeader::decode(c.bytes);
    ASSERT_FALSE(r.has_value()) << c.name;
    EXPECT_EQ(r.error().kind(), Error::Kind::BadHeader) << c.name;
    EXPECT_EQ(r.error().display(), c.message) << c.name;
  }
}

TEST(DbHeader, StoredPageSizes) {
  auto b = valid_header_bytes();
  b[16] = 0x00;
  b[17] = 0x01;
  EXPECT_EQ(DbHeader::decode(b).value().page_size, 65536u);
  b[16] = 0x02;
  b[17] = 0x00;
  EXPECT_EQ(DbHeader::decode(b).value().page_size, 512u);
}

TEST(DbHeader, PageSizeValidation) {
  for (uint64_t ok : {512u, 1024u, 4096u, 65536u}) {
    EXPECT_TRUE(header::validate_page_size(ok).has_value()) << ok;
    EXPECT_EQ(DbHeader::new_(ok).value().page_size, ok);
  }
  for (uint64_t bad : {0ull, 256ull, 1000ull, 131072ull, 4097ull, 1ull << 40}) {
    auto r = header::validate_page_size(bad);
    ASSERT_FALSE(r.has_value()) << bad;
    EXPECT_EQ(r.error(), Error::InvalidPageSize(bad));
    EXPECT_EQ(DbHeader::new_(bad).error(), Error::InvalidPageSize(bad));
  }
}

}  // namespace
}  // namespace vbk
