#include "btree/keyenc.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "record/compare.h"

namespace vbk {
namespace {

constexpr int64_t kMin = std::numeric_limits<int64_t>::min();
constexpr int64_t kMax = std::numeric_limits<int64_t>::max();
constexpr double kInf = std::numeric_limits<double>::infinity();

Bytes key_of(const Value& v) {
  Bytes out;
  keyenc::encode_value(out, v);
  return out;
}

int cmp_bytes(const Bytes& a, const Bytes& b) {
  const size_t n = std::min(a.size(), b.size());
  const int c = n == 0 ? 0 : std::memcmp(a.data(), b.data(), n);
  if (c != 0) return c < 0 ? -1 : 1;
  return a.size() < b.size() ? -1 : a.size() > b.size() ? 1 : 0;
}

TEST(Keyenc, GoldenEncodings) {
  const struct {
    Value v;
    Bytes key;
  } cases[] = {
      {Value::Null(), {0x00}},
      {Value::Int(0), {0x10, 0x80, 0, 0, 0, 0, 0, 0, 0}},
      {Value::Real(0.0), {0x10, 0x80, 0, 0, 0, 0, 0, 0, 0}},
      {Value::Real(-0.0), {0x10, 0x7F, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}},
      {Value::Int(1), {0x10, 0xBF, 0xF0, 0, 0, 0, 0, 0, 0}},
      {Value::Real(1.0), {0x10, 0xBF, 0xF0, 0, 0, 0, 0, 0, 0}},
      {Value::Int(-1), {0x10, 0x40, 0x0F, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}},
      {Value::Int(5), {0x10, 0xC0, 0x14, 0, 0, 0, 0, 0, 0}},
      {Value::Real(kInf), {0x10, 0xFF, 0xF0, 0, 0, 0, 0, 0, 0}},
      {Value::Real(-kInf), {0x10, 0x00, 0x0F, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}},
      {Value::Text("ab"), {0x20, 0x61, 0x62, 0x00, 0x00}},
      {Value::Text(""), {0x20, 0x00, 0x00}},
      {Value::Text(std::string("\0", 1)), {0x20, 0x00, 0xFF, 0x00, 0x00}},
      {Value::Blob({0x00, 0x01}), {0x30, 0x00, 0xFF, 0x01, 0x00, 0x00}},
      {Value::Blob({0x00, 0x00, 0xFF}), {0x30, 0x00, 0xFF, 0x00, 0xFF, 0xFF, 0x00, 0x00}},
  };
  for (const auto& c : cases) EXPECT_EQ(key_of(c.v), c.key) << c.v.debug();

  // Integers that round to the same double encode alike.
  const int64_t p53 = int64_t{1} << 53;
  EXPECT_EQ(key_of(Value::Int(p53)), key_of(Value::Int(p53 + 1)));
  EXPECT_EQ(key_of(Value::Int(kMax)), key_of(Value::Real(9223372036854775808.0)));
}

TEST(Keyenc, IndexKeys) {
  const std::vector<Value> values = {Value::Text("a"), Value::Int(5)};
  const Bytes prefix = {0x20, 0x61, 0x00, 0x00, 0x10, 0xC0, 0x14, 0, 0, 0, 0, 0, 0};
  EXPECT_EQ(keyenc::encode_key_prefix(values), prefix);

  Bytes k7 = prefix;
  k7.insert(k7.end(), {0x80, 0, 0, 0, 0, 0, 0, 0x07});
  EXPECT_EQ(keyenc::encode_index_key(values, 7), k7);
  Bytes k_neg = prefix;
  k_neg.insert(k_neg.end(), {0x7F, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF});
  EXPECT_EQ(keyenc::encode_index_key(values, -1), k_neg);
  EXPECT_LT(cmp_bytes(k_neg, k7), 0);

  // The inclusive upper bound of a prefix is its key with the largest rowid.
  Bytes bound = prefix;
  bound.insert(bound.end(), 8, 0xFF);
  EXPECT_EQ(keyenc::encode_index_key(values, kMax), bound);

  for (int64_t rowid : {kMin, int64_t{-1}, int64_t{0}, int64_t{7}, kMax}) {
    const auto r = keyenc::key_rowid(keyenc::encode_index_key(values, rowid));
    ASSERT_TRUE(r.has_value());
    EXPECT_EQ(*r, rowid);
    EXPECT_EQ(*keyenc::key_rowid(keyenc::encode_index_key({}, rowid)), rowid);
  }

  // Reused output: emptied first.
  Bytes out = {1, 2, 3};
  keyenc::encode_key_prefix_into(out, values);
  EXPECT_EQ(out, prefix);
}

Bytes exact_key_of(const Value& v) {
  Bytes out;
  keyenc::encode_value_exact(out, v);
  return out;
}

TEST(Keyenc, ExactKeysAddATieBreakToNumbers) {
  const int64_t p53 = int64_t{1} << 53;
  const struct {
    Value v;
    Bytes key;
  } golden[] = {
      {Value::Int(1), {0x10, 0xBF, 0xF0, 0, 0, 0, 0, 0, 0, 0x80, 0x00}},
      {Value::Real(1.0), {0x10, 0xBF, 0xF0, 0, 0, 0, 0, 0, 0, 0x80, 0x00}},
      // 2^53 + 1 rounds down to 2^53: one above its double.
      {Value::Int(p53 + 1), {0x10, 0xC3, 0x40, 0, 0, 0, 0, 0, 0, 0x80, 0x01}},
      // 2^63 - 1 rounds up to 2^63, which only 128 bits hold: one below.
      {Value::Int(kMax), {0x10, 0xC3, 0xE0, 0, 0, 0, 0, 0, 0, 0x7F, 0xFF}},
      {Value::Null(), {0x00}},
      {Value::Text("ab"), {0x20, 0x61, 0x62, 0x00, 0x00}},
      {Value::Blob({0x00}), {0x30, 0x00, 0xFF, 0x00, 0x00}},
  };
  for (const auto& c : golden) EXPECT_EQ(exact_key_of(c.v), c.key) << c.v.debug();

  // Equal values share a key; distinct integers that one double rounds
  // together do not.
  const struct {
    Value a, b;
    bool same;
  } pairs[] = {
      {Value::Int(p53), Value::Real(9007199254740992.0), true},
      {Value::Int(p53 + 1), Value::Int(p53), false},
      {Value::Int(p53 + 1), Value::Real(9007199254740992.0), false},
      {Value::Int(kMax), Value::Int(kMax - 1), false},
      {Value::Int(kMax), Value::Real(9223372036854775808.0), false},
      {Value::Int(kMin), Value::Real(-9223372036854775808.0), true},
      {Value::Real(0.0), Value::Real(-0.0), false},
  };
  for (const auto& c : pairs) {
    EXPECT_EQ(exact_key_of(c.a) == exact_key_of(c.b), c.same) << c.a.debug() << " " << c.b.debug();
  }

  // Strictly ascending values give strictly ascending keys, also where the
  // file's key form ties.
  const std::vector<Value> ascending = {
      Value::Null(),
      Value::Real(-kInf),
      Value::Int(kMin),
      Value::Int(kMin + 1),
      Value::Int(-p53 - 1),
      Value::Int(-p53),
      Value::Real(-0.0),
      Value::Int(0),
      Value::Real(0.5),
      Value::Int(p53),
      Value::Int(p53 + 1),
      Value::Int(p53 + 2),
      Value::Int(p53 + 3),
      Value::Int(p53 + 4),
      Value::Int(kMax - 512),
      Value::Int(kMax - 1),
      Value::Int(kMax),
      Value::Real(9223372036854775808.0),
      Value::Real(kInf),
      Value::Text(""),
      Value::Text("a"),
      Value::Blob({}),
  };
  for (size_t i = 1; i < ascending.size(); ++i) {
    EXPECT_LT(cmp_bytes(exact_key_of(ascending[i - 1]), exact_key_of(ascending[i])), 0)
        << ascending[i - 1].debug() << " " << ascending[i].debug();
  }

  // A key of several values is their exact encodings back to back.
  const std::vector<Value> values = {Value::Int(p53 + 1), Value::Text("x")};
  Bytes key = {0xAA};
  keyenc::encode_key_exact_into(key, values);
  Bytes expect = exact_key_of(values[0]);
  const Bytes second = exact_key_of(values[1]);
  expect.insert(expect.end(), second.begin(), second.end());
  EXPECT_EQ(key, expect);
}

TEST(Keyenc, ShortKeyHasNoRowid) {
  for (size_t n = 0; n < keyenc::kRowidSuffixLength; ++n) {
    const std::vector<uint8_t> key(n, 0xAB);  // exact size: ASan sees any overread
    const auto r = keyenc::key_rowid(key);
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error(), Error::Corrupt("index key shorter than its rowid"));
  }
}

TEST(Keyenc, OrderOfSelectedKeys) {
  // Ascending, each strictly below the next.
  const double kNaN = std::numeric_limits<double>::quiet_NaN();
  const std::vector<std::vector<Value>> ascending = {
      {},
      {Value::Null()},
      {Value::Null(), Value::Null()},
      {Value::Real(-kNaN)},
      {Value::Real(-kInf)},
      {Value::Int(kMin)},
      {Value::Real(-1.5)},
      {Value::Int(-1)},
      {Value::Real(-0.0)},
      {Value::Int(0)},
      {Value::Real(5e-324)},
      {Value::Int(1)},
      {Value::Int(kMax)},
      {Value::Real(kInf)},
      {Value::Real(kNaN)},
      {Value::Text("")},
      {Value::Text(""), Value::Null()},
      {Value::Text(std::string("\0", 1))},
      {Value::Text("a")},
      {Value::Text("a"), Value::Null()},
      {Value::Text("ab"), Value::Null()},
      {Value::Text("\xC3\xA9")},
      {Value::Blob({})},
      {Value::Blob({0x00})},
      {Value::Blob({0x00, 0x00})},
      {Value::Blob({0x01})},
      {Value::Blob({0xFF})},
  };
  for (size_t i = 0; i + 1 < ascending.size(); ++i) {
    EXPECT_LT(cmp_bytes(keyenc::encode_key_prefix(ascending[i]), keyenc::encode_key_prefix(ascending[i + 1])), 0)
        << "entry " << i;
  }
}

// Values whose key order and cmp_value order must agree: no NaN, no -0.0,
// and integers exact as doubles. A small pool, so that ties and prefixes are
// frequent.
Value pool_value(std::mt19937_64& rng) {
  static const char* const kTexts[] = {"", "a", "ab", "b", "\xC3\xA9", "a\0b", "\0"};
  static const size_t kTextLengths[] = {0, 1, 2, 1, 2, 3, 1};
  switch (rng() % 7) {
    case 0: return Value::Null();
    case 1: return Value::Int(static_cast<int64_t>(rng() % 7) - 3);
    case 2: return Value::Real((static_cast<double>(rng() % 13) - 6) / 2);
    case 3: return Value::Int(static_cast<int64_t>(rng() >> 11) - (int64_t{1} << 52));
    case 4: {
      const size_t t = rng() % 7;
      return Value::Text(std::string(kTexts[t], kTextLengths[t]));
    }
    case 5: return Value::Real(std::ldexp(static_cast<double>(rng() % 1000) - 500, static_cast<int>(rng() % 80) - 40));
    default: {
      Bytes b(rng() % 3);
      for (uint8_t& x : b) x = static_cast<uint8_t>(std::vector<int>{0, 1, 0xFF}[rng() % 3]);
      return Value::Blob(std::move(b));
    }
  }
}

int cmp_lists(const std::vector<Value>& a, const std::vector<Value>& b) {
  for (size_t i = 0; i < a.size() && i < b.size(); ++i) {
    const auto c = compare::cmp_value(a[i], b[i]);
    if (c != 0) return c < 0 ? -1 : 1;
  }
  return a.size() < b.size() ? -1 : a.size() > b.size() ? 1 : 0;
}

std::string show(const std::vector<Value>& values) {
  std::string out;
  for (const Value& v : values) out += v.debug() + " ";
  return out;
}

TEST(Keyenc, KeyOrderIsValueOrder) {
  std::mt19937_64 rng(20261210);
  for (int iter = 0; iter < 20000; ++iter) {
    std::vector<Value> a, b;
    for (size_t n = rng() % 4; n > 0; --n) a.push_back(pool_value(rng));
    if (rng() % 3 == 0) {
      b = a;  // a shared start, to reach the later values
      b.resize(rng() % (a.size() + 1));
    }
    for (size_t n = rng() % 3; n > 0; --n) b.push_back(pool_value(rng));
    const int want = cmp_lists(a, b);
    ASSERT_EQ(cmp_bytes(keyenc::encode_key_prefix(a), keyenc::encode_key_prefix(b)), want)
        << show(a) << "vs " << show(b);
    // Index keys of one index (as many values each): the values decide,
    // then the rowid.
    if (a.size() != b.size()) continue;
    const int64_t ra = static_cast<int64_t>(rng() % 5) - 2;
    const int64_t rb = static_cast<int64_t>(rng() % 5) - 2;
    const int want_index = want != 0 ? want : ra < rb ? -1 : ra > rb ? 1 : 0;
    ASSERT_EQ(cmp_bytes(keyenc::encode_index_key(a, ra), keyenc::encode_index_key(b, rb)), want_index)
        << show(a) << ra << " vs " << show(b) << rb;
  }
}

// An equality lookup over a sorted index, as the machine runs it: seek the
// pattern with its zeros as -0.0, take keys that begin with the pattern's
// bytes or match it, resume where match_pattern says. Over random keys of
// three columns drawn from values with zeros of both signs, it finds exactly
// the keys whose leading values equal the pattern's, a zero matching a zero.
TEST(Keyenc, EqualityLookupFindsBothZerosInEveryColumn) {
  const std::vector<Value> pool = {Value::Int(0),  Value::Real(0.0), Value::Real(-0.0), Value::Int(-1),
                                   Value::Real(1e-300), Value::Int(1), Value::Text(""),  Value::Null()};
  auto encoded = [](const Value& v) {
    Bytes out;
    keyenc::encode_value(out, v);
    return out;
  };
  auto is_zero = [](const Value& v) {
    return (v.kind() == Value::Kind::Int && v.as_int() == 0) ||
           (v.kind() == Value::Kind::Real && v.as_real() == 0.0);
  };
  std::mt19937_64 rng(7);
  for (int round = 0; round < 200; ++round) {
    std::vector<std::vector<Value>> rows;
    std::vector<Bytes> index;
    for (int64_t rowid = 1; rowid <= 60; ++rowid) {
      std::vector<Value> row;
      for (int c = 0; c < 3; ++c) row.push_back(pool[rng() % pool.size()]);
      index.push_back(keyenc::encode_index_key(row, rowid));
      rows.push_back(std::move(row));
    }
    std::sort(index.begin(), index.end());
    std::vector<Value> pattern_values;
    for (size_t n = 1 + rng() % 3; n > 0; --n) pattern_values.push_back(pool[rng() % pool.size()]);
    const Bytes pattern = keyenc::encode_key_prefix(pattern_values);

    std::vector<int64_t> want;
    for (size_t r = 0; r < rows.size(); ++r) {
      bool equal = true;
      for (size_t c = 0; c < pattern_values.size(); ++c) {
        const Value& have = rows[r][c];
        const Value& wanted = pattern_values[c];
        equal = equal && (encoded(have) == encoded(wanted) || (is_zero(have) && is_zero(wanted)));
      }
      if (equal) want.push_back(static_cast<int64_t>(r) + 1);
    }

    std::vector<int64_t> got;
    Bytes probe = pattern;
    keyenc::set_zero_signs(probe, true);
    auto at = std::lower_bound(index.begin(), index.end(), probe);
    int seeks = 1;
    while (at != index.end()) {
      const Bytes& key = *at;
      Bytes next;
      const bool begins = key.size() >= pattern.size() && std::equal(pattern.begin(), pattern.end(), key.begin());
      const keyenc::PatternMatch m = begins ? keyenc::PatternMatch::Match : keyenc::match_pattern(key, pattern, next);
      if (m == keyenc::PatternMatch::Beyond) break;
      if (m == keyenc::PatternMatch::Resume) {
        ASSERT_GT(next, key) << "a resume must move forward";
        at = std::lower_bound(index.begin(), index.end(), next);
        ASSERT_LE(++seeks, 1 << pattern_values.size()) << "more seeks than runs of signs";
        continue;
      }
      got.push_back(*keyenc::key_rowid(key));
      ++at;
    }
    std::sort(got.begin(), got.end());
    ASSERT_EQ(got, want) << "round " << round << ": pattern " << show(pattern_values);
  }
}

// Mutated keys: key_rowid reads only inside them and fails only when they are
// too short.
TEST(Keyenc, MutationLoop) {
  std::mt19937_64 rng(0xC0FFEE);
  for (int iter = 0; iter < 3000; ++iter) {
    std::vector<Value> values;
    for (size_t n = rng() % 3; n > 0; --n) values.push_back(pool_value(rng));
    const int64_t rowid = static_cast<int64_t>(rng());
    Bytes key = keyenc::encode_index_key(values, rowid);
    switch (rng() % 3) {
      case 0: key[rng() % key.size()] ^= static_cast<uint8_t>(1u << (rng() % 8)); break;
      case 1: key.resize(rng() % key.size()); break;
      default: key.push_back(static_cast<uint8_t>(rng())); break;
    }
    const std::vector<uint8_t> tight(key.begin(), key.end());
    const auto r = keyenc::key_rowid(tight);
    if (tight.size() < keyenc::kRowidSuffixLength) {
      ASSERT_FALSE(r.has_value());
      EXPECT_EQ(r.error(), Error::Corrupt("index key shorter than its rowid"));
    } else {
      ASSERT_TRUE(r.has_value());
    }
  }
}

}  // namespace
}  // namespace vbk
