#include "record/varint.h"

#include <cstdint>
#include <limits>
#include <random>

#include <gtest/gtest.h>

namespace vbk {
namespace {

using varint::read_uvarint;

TEST(Uvarint, ReadsTable) {
  const struct {
    Bytes bytes;
    uint64_t value;
    size_t length;
  } cases[] = {
      {{0x00}, 0, 1},
      {{0x7F, 0xAA}, 127, 1},  // the bytes may continue
      {{0x80, 0x01}, 128, 2},
      {{0x80, 0x00}, 0, 2},    // longer than needed is accepted
      {{0xFF, 0x7F}, 16383, 2},
      {{0x80, 0x01, 0xAA}, 128, 2},
      {{0xFF, 0xFF, 0x7F}, 2097151, 3},
      {{0x80, 0x80, 0x00, 0x55}, 0, 3},
      {{0x81, 0x80, 0x80, 0x01}, 1 + (uint64_t{1} << 21), 4},
      {{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x01}, UINT64_MAX, 10},
      {{0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x01}, uint64_t{1} << 63, 10},
      {{0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x00}, 0, 10},
  };
  for (const auto& c : cases) {
    for (auto read : {varint::read_uvarint, varint::read_uvarint_slow}) {
      const auto r = read(c.bytes);
      ASSERT_TRUE(r.has_value()) << r.error().display();
      EXPECT_EQ(r->value, c.value);
      EXPECT_EQ(r->length, c.length);
    }
  }
}

TEST(Uvarint, ReadFailures) {
  const struct {
    Bytes bytes;
    const char* message;
  } cases[] = {
      {{}, "truncated uvarint"},
      {{0x80}, "truncated uvarint"},
      {{0x80, 0x80}, "truncated uvarint"},
      {{0x80, 0x80, 0x80}, "truncated uvarint"},
      {{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}, "truncated uvarint"},
      {{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x02}, "uvarint overflow / overlong"},
      {{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x81, 0x00}, "uvarint overflow / overlong"},
      {{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x80}, "uvarint overflow / overlong"},
  };
  for (const auto& c : cases) {
    const auto r = read_uvarint(c.bytes);
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error(), Error::Corrupt(c.message));
  }
}

TEST(Uvarint, ShortestFormRoundTrips) {
  std::mt19937_64 rng(7);
  for (int i = 0; i < 2000; ++i) {
    // Spread over all lengths: a random value shifted right by 0 to 63 bits.
    const uint64_t v = rng() >> (rng() % 64);
    Bytes out;
    varint::append_uvarint(out, v);
    ASSERT_EQ(out.size(), varint::uvarint_length(v));
    const auto r = read_uvarint(out);
    ASSERT_TRUE(r.has_value());
    EXPECT_EQ(r->value, v);
    EXPECT_EQ(r->length, out.size());
  }
  const struct {
    uint64_t v;
    size_t length;
  } lengths[] = {{0, 1}, {127, 1}, {128, 2}, {16383, 2}, {16384, 3}, {(uint64_t{1} << 63) - 1, 9},
                 {uint64_t{1} << 63, 10}, {UINT64_MAX, 10}};
  for (const auto& c : lengths) EXPECT_EQ(varint::uvarint_length(c.v), c.length) << c.v;
  Bytes top;
  varint::append_uvarint(top, uint64_t{1} << 63);
  EXPECT_EQ(top.back(), 0x01);
}

TEST(Zigzag, MapsSignedOntoUnsigned) {
  const int64_t kMin = std::numeric_limits<int64_t>::min();
  const int64_t kMax = std::numeric_limits<int64_t>::max();
  const struct {
    int64_t n;
    uint64_t u;
  } cases[] = {{0, 0}, {-1, 1}, {1, 2}, {-2, 3}, {2, 4}, {kMax, UINT64_MAX - 1}, {kMin, UINT64_MAX}};
  for (const auto& c : cases) {
    EXPECT_EQ(varint::zigzag_encode(c.n), c.u);
    EXPECT_EQ(varint::zigzag_decode(c.u), c.n);
  }
}

}  // namespace
}  // namespace vbk
