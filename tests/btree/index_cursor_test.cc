#include "btree/index_cursor.h"

#include <algorithm>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "btree/index.h"
#include "index_fixture.h"

namespace vbk {
namespace {

using testing::IndexFixture;
using testing::key_of;
using testing::must;

std::optional<Bytes> first_at(IndexFixture& f, const Bytes& probe) {
  IndexCursor c = f.cursor();
  must(c.seek(probe));
  return must(c.next());
}

TEST(IndexCursor, EmptyIndex) {
  IndexFixture f;
  IndexCursor c = f.cursor();
  must(c.seek({}));
  ASSERT_TRUE(c.position().has_value());
  EXPECT_EQ(c.position()->leaf, f.root());
  EXPECT_EQ(must(c.next()), std::nullopt);
  EXPECT_FALSE(c.position().has_value());
  EXPECT_EQ(must(c.next()), std::nullopt);
  EXPECT_FALSE(must(f.tree().contains_prefix({})));
  EXPECT_FALSE(must(f.tree().contains_prefix(key_of("a"))));
}

TEST(IndexCursor, SeekGivesTheFirstKeyNotBelowTheProbe) {
  // Keys k100, k102, ..., k598 over several leaves of 512 bytes.
  IndexFixture f(512);
  for (int i = 100; i < 600; i += 2) must(f.tree().insert(key_of("k" + std::to_string(i))));
  struct Case {
    std::string probe;
    std::optional<std::string> next;
  } const cases[] = {
      {"", "k100"},       {"a", "k100"},         {"k", "k100"},  {"k100", "k100"},
      {"k101", "k102"},   {"k3", "k300"},        {"k30", "k300"}, {"k301", "k302"},
      {"k598", "k598"},   {"k5980", std::nullopt}, {"k599", std::nullopt}, {"l", std::nullopt},
  };
  for (const Case& k : cases) {
    EXPECT_EQ(first_at(f, key_of(k.probe)), k.next ? std::optional(key_of(*k.next)) : std::nullopt)
        << k.probe;
  }
  // Above the last key of each leaf: the first key of the next leaf.
  std::map<uint32_t, Bytes> last_of_leaf;
  std::vector<Bytes> order;
  IndexCursor scan = f.cursor();
  must(scan.seek({}));
  while (auto k = must(scan.next())) {
    last_of_leaf[scan.position()->leaf] = *k;
    order.push_back(*k);
  }
  ASSERT_GT(last_of_leaf.size(), 3u);
  for (const auto& [leaf, last] : last_of_leaf) {
    Bytes probe = last;
    probe.push_back(0);  // just above it
    const auto at = std::upper_bound(order.begin(), order.end(), last);
    EXPECT_EQ(first_at(f, probe), at == order.end() ? std::nullopt : std::optional(*at)) << leaf;
  }
}

TEST(IndexCursor, EmptiedLeavesArePassedOver) {
  IndexFixture f(512);
  for (int i = 100; i < 400; ++i) must(f.tree().insert(key_of("k" + std::to_string(i))));
  std::map<uint32_t, std::vector<Bytes>> by_leaf;
  IndexCursor scan = f.cursor();
  must(scan.seek({}));
  while (auto k = must(scan.next())) by_leaf[scan.position()->leaf].push_back(*k);
  ASSERT_GT(by_leaf.size(), 4u);
  // Empty the first leaf in key order, one in the middle and the last.
  std::vector<std::vector<Bytes>> leaves;
  for (auto& [leaf, keys] : by_leaf) leaves.push_back(keys);
  std::sort(leaves.begin(), leaves.end());
  std::set<Bytes> gone;
  for (size_t i : {size_t{0}, leaves.size() / 2, leaves.size() - 1}) {
    for (const Bytes& k : leaves[i]) {
      ASSERT_TRUE(must(f.tree().delete_(k)));
      gone.insert(k);
    }
  }
  std::vector<Bytes> expect;
  for (const auto& keys : leaves) {
    for (const Bytes& k : keys) {
      if (!gone.contains(k)) expect.push_back(k);
    }
  }
  EXPECT_EQ(f.scan(), expect);
  // A probe into the emptied middle leaf lands on the next leaf's first key.
  const std::vector<Bytes>& middle = leaves[leaves.size() / 2];
  EXPECT_EQ(first_at(f, middle.front()), leaves[leaves.size() / 2 + 1].front());
  // Into the emptied last leaf: nothing.
  EXPECT_EQ(first_at(f, leaves.back().front()), std::nullopt);
}

TEST(IndexCursor, ContainsPrefix) {
  IndexFixture f;
  IndexBTree t = f.tree();
  must(t.insert(key_of("a")));
  must(t.insert(key_of("b")));
  must(t.insert(key_of("cde")));
  struct Case {
    std::string prefix;
    bool found;
  } const cases[] = {
      {"", true},    {"a", true},   {"ab", false},  // the first key at or after ab is b
      {"b", true},   {"c", true},   {"cd", true},   {"cde", true},
      {"cdef", false}, {"ce", false}, {"0", false}, {"d", false},
  };
  for (const Case& k : cases) EXPECT_EQ(must(t.contains_prefix(key_of(k.prefix))), k.found) << k.prefix;
}

TEST(IndexCursor, NextIntoReusesTheBufferAndKeepsItAtTheEnd) {
  IndexFixture f;
  must(f.tree().insert(key_of("alpha")));
  must(f.tree().insert(key_of("be")));
  IndexCursor c = f.cursor();
  must(c.seek({}));
  Bytes buf = key_of("something longer");
  EXPECT_TRUE(must(c.next_into(buf)));
  EXPECT_EQ(buf, key_of("alpha"));
  EXPECT_TRUE(must(c.next_into(buf)));
  EXPECT_EQ(buf, key_of("be"));
  EXPECT_FALSE(must(c.next_into(buf)));
  EXPECT_EQ(buf, key_of("be"));
  EXPECT_FALSE(must(c.next_into(buf)));
}

}  // namespace
}  // namespace vbk
