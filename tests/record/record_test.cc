#include "record/record.h"

#include <bit>
#include <cstdint>
#include <limits>
#include <memory>
#include <random>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "record/column_offsets.h"
#include "record/corrupt.h"
#include "record/serial.h"
#include "record/varint.h"

namespace vbk {
namespace {

// A row's debug texts, one per value: compares kinds and payloads (Real bit
// patterns up to NaN payloads) and reads well in failures.
std::string show(const std::vector<Value>& values) {
  std::string out = "[";
  for (const Value& v : values) {
    if (out.size() > 1) out += ", ";
    v.append_debug(out);
  }
  return out + "]";
}

std::string show(const Result<std::vector<Value>>& r) {
  return r.has_value() ? show(*r) : r.error().debug();
}

std::string show(const Result<Value>& r) { return r.has_value() ? r->debug() : r.error().debug(); }

Bytes concat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

TEST(Record, GoldenEncodings) {
  const int64_t kMin = std::numeric_limits<int64_t>::min();
  const struct {
    std::vector<Value> row;
    Bytes bytes;
  } cases[] = {
      {{}, {0x01}},
      {{Value::Null(), Value::Real(1.5), Value::Text("ab"), Value::Blob({0x00, 0xFF})},
       {0x05, 0x00, 0x07, 0x11, 0x10, 0x3F, 0xF8, 0, 0, 0, 0, 0, 0, 0x61, 0x62, 0x00, 0xFF}},
      {{Value::Int(0), Value::Int(1), Value::Int(-1), Value::Int(127), Value::Int(128), Value::Int(-129),
        Value::Int(1 << 23), Value::Int(int64_t{1} << 31), Value::Int(int64_t{1} << 47),
        Value::Int((int64_t{1} << 47) - 1), Value::Int(kMin)},
       concat({{0x0C, 8, 9, 1, 1, 2, 2, 4, 5, 6, 5, 6},
               {0xFF},
               {0x7F},
               {0x00, 0x80},
               {0xFF, 0x7F},
               {0x00, 0x80, 0x00, 0x00},
               {0x00, 0x00, 0x80, 0x00, 0x00, 0x00},
               {0x00, 0x00, 0x80, 0x00, 0x00, 0x00, 0x00, 0x00},
               {0x7F, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF},
               {0x80, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00}})},
      {{Value::Real(-0.0), Value::Int(-8388608), Value::Int(8388608)},
       {0x04, 0x07, 0x03, 0x04, 0x80, 0, 0, 0, 0, 0, 0, 0, 0x80, 0x00, 0x00, 0x00, 0x80, 0x00, 0x00}},
      {{Value::Text(std::string("\0", 1)), Value::Text(""), Value::Blob({})}, {0x04, 0x0F, 0x0D, 0x0C, 0x00}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(record::encode_record(c.row), c.bytes) << show(c.row);
    EXPECT_EQ(show(record::decode_record(c.bytes)), show(c.row));
    for (size_t i = 0; i <= c.row.size(); ++i) {
      EXPECT_EQ(show(record::decode_column(c.bytes, i)), i < c.row.size() ? c.row[i].debug() : "Null");
    }
  }
}

TEST(Record, SerialTypeAndHeaderSizeBoundaries) {
  // A text of 57 bytes takes serial type 127 in one byte; 58 bytes take 129.
  Bytes r57 = record::encode_record(std::vector<Value>{Value::Text(std::string(57, 'x'))});
  EXPECT_EQ(Bytes(r57.begin(), r57.begin() + 2), (Bytes{0x02, 127}));
  Bytes r58 = record::encode_record(std::vector<Value>{Value::Text(std::string(58, 'x'))});
  EXPECT_EQ(Bytes(r58.begin(), r58.begin() + 3), (Bytes{0x03, 0x81, 0x01}));

  // 126 one-byte serial types: S = 127 in one byte; 127 of them: S = 129 in two.
  const std::vector<Value> nulls126(126);
  const Bytes r126 = record::encode_record(nulls126);
  EXPECT_EQ(r126.size(), 127u);
  EXPECT_EQ(r126[0], 127);
  const std::vector<Value> nulls127(127);
  const Bytes r127 = record::encode_record(nulls127);
  ASSERT_EQ(r127.size(), 129u);
  EXPECT_EQ(r127[0], 0x81);
  EXPECT_EQ(r127[1], 0x01);
  const auto back = record::decode_record(r127);
  ASSERT_TRUE(back.has_value());
  EXPECT_EQ(back->size(), 127u);
}

TEST(Record, CorruptRecords) {
  const Bytes nine_ff = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
  const struct {
    const char* what;
    Bytes bytes;
    const char* record_error;  // decode_record; nullptr: decodes
    size_t column;
    const char* column_result;  // decode_column(column): an error message or a debug text
  } cases[] = {
      {"empty", {}, "truncated uvarint", 0, "truncated uvarint"},
      {"reserved type", {0x02, 0x0A}, "reserved serial type", 0, "reserved serial type"},
      {"reserved type, later column", {0x02, 0x0A}, "reserved serial type", 1, "Null"},
      {"header size past end", {0x03, 0x81}, "record header size exceeds buffer", 0,
       "record header size exceeds buffer"},
      {"type runs past header", {0x02, 0x81}, "truncated uvarint", 0, "truncated uvarint"},
      {"type runs past header, bytes follow", {0x02, 0x81, 0x01}, "truncated uvarint", 0, "truncated uvarint"},
      {"size uvarint overflows", concat({nine_ff, {0x02}}), "uvarint overflow / overlong", 0,
       "uvarint overflow / overlong"},
      {"body past end", {0x02, 0x06, 1, 2, 3}, "record body exceeds buffer", 0, "record body exceeds buffer"},
      {"text body past end", {0x02, 0x11, 'a'}, "record body exceeds buffer", 0, "record body exceeds buffer"},
      {"bad UTF-8", {0x02, 0x11, 0xC3, 0x28}, "text body is not valid UTF-8", 0, "text body is not valid UTF-8"},
      {"bad UTF-8 elsewhere", {0x03, 0x11, 0x09, 0xC3, 0x28}, "text body is not valid UTF-8", 1, "Int(1)"},
      // The second column's length is 2^61 - 6, so the third starts far beyond the end.
      {"huge earlier body", concat({{0x0C, 0x09, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x40, 0x09}}),
       "record body exceeds buffer", 2, "record body exceeds buffer"},
      // Two columns of length ~2^63 each: their sum wraps past 2^64.
      {"body lengths wrap", concat({{0x17, 0x00}, nine_ff, {0x01}, nine_ff, {0x01}, {0x09}}),
       "record body exceeds buffer", 3, "record body length overflow"},
      {"body lengths wrap, column absent", concat({{0x17, 0x00}, nine_ff, {0x01}, nine_ff, {0x01}, {0x09}}),
       "record body exceeds buffer", 4, "Null"},
      {"one huge column", concat({{0x0C, 0x00}, nine_ff, {0x01}}), "record body exceeds buffer", 1,
       "record body exceeds buffer"},
      {"trailing bytes ignored", {0x02, 0x01, 0x05, 0xEE, 0xEE}, nullptr, 0, "Int(5)"},
      {"size uvarint longer than S", {0x81, 0x00, 0x09}, nullptr, 0, "Null"},
      {"overlong serial type", {0x03, 0x89, 0x00}, nullptr, 0, "Int(1)"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const auto all = record::decode_record(c.bytes);
    if (c.record_error == nullptr) {
      EXPECT_TRUE(all.has_value()) << show(all);
    } else {
      EXPECT_EQ(show(all), Error::Corrupt(c.record_error).debug());
    }
    const auto one = record::decode_column(c.bytes, c.column);
    const std::string want = one.has_value() ? c.column_result : Error::Corrupt(c.column_result).debug();
    EXPECT_EQ(show(one), want);
  }
}

TEST(Record, SerialBodies) {
  EXPECT_EQ(serial::decode_body(7, Bytes{1, 2, 3}).error(), Error::Corrupt("float body must be 8 bytes"));
  EXPECT_EQ(serial::decode_body(3, Bytes{0x80, 0x00, 0x01})->as_int(), -8388607);
  EXPECT_EQ(serial::decode_body(13, Bytes{})->debug(), "Text(\"\")");
  EXPECT_EQ(serial::decode_body(12, Bytes{})->debug(), "Blob([])");
  const struct {
    uint64_t type, length;
  } lengths[] = {{0, 0}, {1, 1}, {4, 4}, {5, 6}, {6, 8}, {7, 8}, {8, 0}, {9, 0}, {10, 0}, {11, 0},
                 {12, 0}, {13, 0}, {14, 1}, {15, 1}, {127, 57}};
  for (const auto& c : lengths) EXPECT_EQ(serial::body_length(c.type), c.length) << c.type;
  EXPECT_EQ(serial::body_length(UINT64_MAX), (UINT64_MAX - 12) / 2);
}

TEST(Record, Splice) {
  const Bytes old = record::encode_record(std::vector<Value>{Value::Int(5), Value::Text("x")});
  const std::vector<Value> values = {Value::Int(7), Value::Int(8), Value::Int(9)};
  const bool keep[] = {true, false, true};
  Bytes out = {0xAA};
  ASSERT_TRUE(record::splice_record_into(out, old, values, keep).has_value());
  EXPECT_EQ(out, record::encode_record(std::vector<Value>{Value::Int(5), Value::Int(8), Value::Null()}));

  const std::vector<Value> one_null = {Value::Null()};
  const bool no_keep[] = {false};
  ASSERT_TRUE(record::splice_record_into(out, old, one_null, no_keep).has_value());
  EXPECT_EQ(out, (Bytes{0x02, 0x00}));

  // Kept columns keep their bodies byte for byte; their serial types, here in
  // longer-than-needed forms (1 and 9), are rewritten in the shortest form.
  const Bytes with_body = {0x05, 0x81, 0x00, 0x89, 0x00, 0x2A};
  const bool keep_both[] = {true, true};
  const std::vector<Value> two(2);
  ASSERT_TRUE(record::splice_record_into(out, with_body, two, keep_both).has_value());
  EXPECT_EQ(out, (Bytes{0x03, 0x01, 0x09, 0x2A}));
}

TEST(Record, SpliceFailuresLeaveOutputAlone) {
  const std::vector<Value> values = {Value::Int(1), Value::Int(2)};
  const bool keep[] = {false, true};
  const bool keep_none[] = {false, false};
  const struct {
    const char* what;
    Bytes old;
    const bool* keep;
    const char* message;
  } cases[] = {
      {"empty", {}, keep, "truncated uvarint"},
      {"header size past end", {0x05, 0x01}, keep, "record header size exceeds buffer"},
      {"kept body past end", {0x03, 0x01, 0x01}, keep, "record body exceeds buffer"},
      // Column 0 is replaced, yet its range is still checked.
      {"replaced body past end", {0x02, 0x06, 0x01}, keep_none, "record body exceeds buffer"},
      {"type runs past header", {0x02, 0x80, 0x01}, keep, "truncated uvarint"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Bytes out = {0xAB, 0xCD};
    const auto r = record::splice_record_into(out, c.old, values, std::span<const bool>(c.keep, 2));
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error(), Error::Corrupt(c.message));
    EXPECT_EQ(out, (Bytes{0xAB, 0xCD}));
  }
  // Old columns past the new row's width are never looked at.
  Bytes out;
  const Bytes bad_tail = {0x03, 0x09, 0x0A};
  const std::vector<Value> one = {Value::Null()};
  const bool keep_one[] = {true};
  ASSERT_TRUE(record::splice_record_into(out, bad_tail, one, keep_one).has_value());
  EXPECT_EQ(out, (Bytes{0x02, 0x09}));
}

// Encoding reuses per-thread buffers: interleaving long and short rows on two
// threads must not leak bytes from one record into another.
TEST(Record, ScratchBuffersAreReusedCleanly) {
  auto work = [](int seed, std::string* failure) {
    Bytes out;
    for (int i = 0; i < 200; ++i) {
      std::vector<Value> row;
      for (int k = 0; k < (i * seed) % 7; ++k) row.push_back(Value::Text(std::string(static_cast<size_t>(k * 20), 'a' + k)));
      record::encode_record_into(out, row);
      const auto back = record::decode_record(out);
      if (!back.has_value() || show(*back) != show(row)) {
        *failure = "row " + std::to_string(i);
        return;
      }
    }
  };
  std::string f1, f2;
  std::thread t(work, 3, &f1);
  work(5, &f2);
  t.join();
  EXPECT_EQ(f1, "");
  EXPECT_EQ(f2, "");
}

Value random_value(std::mt19937_64& rng) {
  switch (rng() % 9) {
    case 0: return Value::Null();
    case 1: return Value::Int(static_cast<int64_t>(rng() % 3));
    case 2: return Value::Int(static_cast<int64_t>(rng()) >> (rng() % 64));
    case 3: return Value::Real(std::bit_cast<double>(rng()));
    case 4: return Value::Text(std::string(rng() % 4, 'q'));
    case 5: return Value::Text("\xC3\xA9t\xC3\xA9");
    case 6: return Value::Text(std::string(60 + rng() % 10, 'l'));
    case 7: return Value::Blob(Bytes(rng() % 5, static_cast<uint8_t>(rng())));
    default: return Value::Blob(Bytes(130, 0x00));
  }
}

bool is_record_message(const Error& e) {
  using namespace record::msg;
  if (!e.is(Error::Kind::Corrupt)) return false;
  for (std::string_view m : {kTruncatedUvarint, kUvarintOverflow, kHeaderSizeExceeds, kBodyExceeds,
                             kBodyLengthOverflow, kFloatBody, kReservedSerialType, kTextNotUtf8}) {
    if (e.text() == m) return true;
  }
  return false;
}

void mutate(std::mt19937_64& rng, Bytes& bytes) {
  const int edits = 1 + static_cast<int>(rng() % 3);
  for (int e = 0; e < edits; ++e) {
    switch (rng() % 5) {
      case 0:
        if (!bytes.empty()) bytes[rng() % bytes.size()] ^= static_cast<uint8_t>(1u << (rng() % 8));
        break;
      case 1:
        if (!bytes.empty()) bytes[rng() % bytes.size()] = static_cast<uint8_t>(rng());
        break;
      case 2:
        bytes.resize(bytes.empty() ? 0 : rng() % bytes.size());
        break;
      case 3:
        for (int k = static_cast<int>(rng() % 4); k >= 0; --k) bytes.push_back(static_cast<uint8_t>(rng()));
        break;
      default:
        // Serial types are where the interesting faults hide: hit the header.
        if (bytes.size() > 1) bytes[1 + rng() % std::min<size_t>(bytes.size() - 1, 4)] = static_cast<uint8_t>(rng());
        break;
    }
  }
}

// Every reader, on every mutation of valid records, gives a value or a
// Corrupt error with one of the fixed messages; the sanitizers see any read
// outside the buffer. When the whole record decodes, every column agrees.
// The column-offset table, asked for columns in any order and repeatedly,
// reads each exactly as decode_column does, value or error.
TEST(Record, MutationLoop) {
  std::mt19937_64 rng(0x5EEDu);
  record::ColumnOffsets offsets;  // reused across records, as a scan does
  for (int iter = 0; iter < 20000; ++iter) {
    std::vector<Value> row;
    for (int n = static_cast<int>(rng() % 6); n > 0; --n) row.push_back(random_value(rng));
    Bytes bytes = record::encode_record(row);
    mutate(rng, bytes);
    SCOPED_TRACE("iteration " + std::to_string(iter));

    // A tight copy, so that ASan flags any read past the end.
    const std::vector<uint8_t> tight(bytes.begin(), bytes.end());
    const auto all = record::decode_record(tight);
    if (!all.has_value()) {
      ASSERT_TRUE(is_record_message(all.error())) << all.error().debug();
    }
    for (size_t i = 0; i < row.size() + 2; ++i) {
      const auto one = record::decode_column(tight, i);
      if (!one.has_value()) {
        ASSERT_TRUE(is_record_message(one.error())) << one.error().debug();
        ASSERT_FALSE(all.has_value()) << "column " << i << " failed alone";
      } else if (all.has_value()) {
        ASSERT_EQ(one->debug(), i < all->size() ? (*all)[i].debug() : "Null");
      }
    }
    offsets.clear();
    for (int ask = 0; ask < 8; ++ask) {
      const size_t i = rng() % (row.size() + 2);
      Value out = random_value(rng);  // a buffer of any kind to decode into
      const std::string before = out.debug();
      const auto cached = offsets.column_into(tight, i, out);
      const std::string expected = show(record::decode_column(tight, i));
      if (cached.has_value()) {
        ASSERT_EQ(out.debug(), expected) << "column " << i;
      } else {
        ASSERT_EQ(cached.error().debug(), expected) << "column " << i;
        ASSERT_EQ(out.debug(), before) << "a failed column changed its destination";
      }
    }
    std::vector<Value> values;
    std::unique_ptr<bool[]> keep(new bool[row.size() + 2]);
    for (size_t i = 0; i < row.size() + 1; ++i) {
      values.push_back(random_value(rng));
      keep[i] = (rng() & 1) != 0;
    }
    Bytes out = {0x42};
    const auto spliced = record::splice_record_into(out, tight, values, std::span<const bool>(keep.get(), values.size()));
    if (!spliced.has_value()) {
      ASSERT_TRUE(is_record_message(spliced.error())) << spliced.error().debug();
      ASSERT_EQ(out, Bytes{0x42});
    } else {
      ASSERT_TRUE(record::decode_column(out, values.size()).has_value());
    }
  }
}

}  // namespace
}  // namespace vbk
