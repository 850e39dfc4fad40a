#include "btree/index.h"

#include <algorithm>
#include <map>
#include <random>
#include <set>
#include <string>

#include <gtest/gtest.h>

#include "btree/index_cursor.h"
#include "btree/keyenc.h"
#include "btree/node.h"
#include "index_fixture.h"

namespace vbk {
namespace {

using testing::IndexFixture;
using testing::key_of;
using testing::must;

// A key of exactly `len` bytes that starts with `lead` (and sorts by it).
Bytes filled(uint8_t lead, size_t len, uint8_t fill = 'x') {
  Bytes k(len, fill);
  if (len > 0) k[0] = lead;
  return k;
}

size_t cell_count(Pager& pager, uint32_t pgno) {
  return must(node::count(must(pager.get_page(pgno)).read().bytes()));
}

TEST(IndexBTree, RootStaysALeafUntilItsFirstSplit) {
  IndexFixture f(512);
  IndexBTree t = f.tree();
  std::vector<Bytes> inserted;
  auto root_kind = [&] { return node::kind(must(f.pager().get_page(t.root())).read().bytes()); };
  for (int i = 0; root_kind() == node::kIndexLeaf; ++i) {
    ASSERT_LT(i, 100);
    inserted.push_back(key_of("key" + std::to_string(100 + i)));
    must(t.insert(inserted.back()));
  }
  // The root keeps its number; its one cell names the page that took the
  // left half and carries that half's largest key; the right child took the
  // rest.
  EXPECT_EQ(root_kind(), node::kIndexInterior);
  PageRef root = must(f.pager().get_page(t.root()));
  ASSERT_EQ(must(node::count(root.read().bytes())), 1u);
  const uint32_t left = must(node::child_at(root.read().bytes(), 0));
  const uint32_t right = node::right_child(root.read().bytes());
  const cell::CBytes sep = must(node::index_interior_key(must(node::cell_at(root.read().bytes(), 0))));
  const size_t kept = cell_count(f.pager(), left);
  EXPECT_EQ(kept + cell_count(f.pager(), right), inserted.size());
  EXPECT_EQ(Bytes(sep.begin(), sep.end()), inserted[kept - 1]);
  std::vector<Bytes> keys;
  ASSERT_TRUE(f.valid(&keys));
  EXPECT_EQ(keys, inserted);
}

TEST(IndexBTree, KeySizeLimitIsExactAtEachPageSize) {
  const std::pair<uint64_t, size_t> cases[] = {{512, 242}, {1024, 498}, {4096, 2034}, {65536, 32754}};
  for (const auto& [page_size, largest] : cases) {
    SCOPED_TRACE(page_size);
    IndexFixture f(page_size);
    IndexBTree t = f.tree();
    EXPECT_EQ(btree::index::max_key(page_size), largest);
    must(t.insert(filled('a', largest)));
    const uint32_t pages = f.pager().header().page_count;
    auto refused = t.insert(filled('b', largest + 1));
    ASSERT_FALSE(refused);
    EXPECT_EQ(refused.error().kind(), Error::Kind::Exec);
    EXPECT_EQ(refused.error().display(),
              "execution error: index key too large (" + std::to_string(largest + 1) + " bytes)");
    EXPECT_EQ(f.pager().header().page_count, pages);
    EXPECT_EQ(f.scan(), std::vector<Bytes>{filled('a', largest)});
    EXPECT_TRUE(f.valid());
  }
}

TEST(IndexBTree, PrefixesSortFirstInLeavesAndInteriorPages) {
  // Every string over {a, b} up to 7 letters, shuffled: many keys are
  // prefixes of others, and the tree has several levels at 512 bytes.
  std::set<Bytes> all;
  for (int len = 0; len <= 7; ++len) {
    for (int bits = 0; bits < (1 << len); ++bits) {
      Bytes k;
      for (int i = 0; i < len; ++i) k.push_back((bits >> i) & 1 ? 'b' : 'a');
      all.insert(k);
    }
  }
  std::vector<Bytes> order(all.begin(), all.end());
  std::shuffle(order.begin(), order.end(), std::mt19937_64(3));
  IndexFixture f(512);
  for (const Bytes& k : order) must(f.tree().insert(k));
  std::vector<Bytes> keys;
  ASSERT_TRUE(f.valid(&keys));
  EXPECT_EQ(keys, std::vector<Bytes>(all.begin(), all.end()));
  EXPECT_EQ(f.scan(), keys);
}

TEST(IndexBTree, DuplicateInsertLeavesEveryPageClean) {
  IndexFixture f(512);
  for (int i = 0; i < 300; ++i) must(f.tree().insert(key_of("k" + std::to_string(i * 7919 % 1000))));
  f.reopen();  // commits: no page is dirty now
  const uint32_t pages = f.pager().header().page_count;
  for (const char* k : {"k0", "k919", "k838"}) must(f.tree().insert(key_of(k)));
  std::set<uint32_t> used;
  ASSERT_TRUE(f.valid(nullptr, &used));
  for (uint32_t pgno : used) EXPECT_FALSE(must(f.pager().get_page(pgno)).dirty()) << pgno;
  EXPECT_EQ(f.pager().header().page_count, pages);
}

TEST(IndexBTree, DeleteRemovesOnlyTheByteIdenticalKey) {
  IndexFixture f(512);
  IndexBTree t = f.tree();
  const Value values[] = {Value::Text("abc"), Value::Int(5)};
  for (int64_t rowid = 1; rowid <= 200; ++rowid) must(t.insert(keyenc::encode_index_key(values, rowid)));
  f.reopen();
  const Bytes key = keyenc::encode_index_key(values, 77);
  const Bytes prefix = keyenc::encode_key_prefix(values);
  EXPECT_FALSE(must(t.delete_(prefix)));                                   // the values alone
  EXPECT_FALSE(must(t.delete_(keyenc::encode_index_key(values, 1000))));  // another rowid
  std::set<uint32_t> used;
  ASSERT_TRUE(f.valid(nullptr, &used));
  for (uint32_t pgno : used) EXPECT_FALSE(must(f.pager().get_page(pgno)).dirty()) << pgno;
  EXPECT_TRUE(must(t.delete_(key)));
  EXPECT_FALSE(must(t.delete_(key)));
  std::vector<Bytes> keys;
  ASSERT_TRUE(f.valid(&keys));
  EXPECT_EQ(keys.size(), 199u);
  EXPECT_FALSE(std::binary_search(keys.begin(), keys.end(), key));
  EXPECT_TRUE(must(t.contains_prefix(prefix)));
}

TEST(IndexBTree, EmptiedLeavesTakeTheSameKeysAgain) {
  IndexFixture f(512);
  IndexBTree t = f.tree();
  std::vector<Bytes> all;
  for (int i = 0; i < 250; ++i) all.push_back(key_of("entry" + std::to_string(1000 + i * 37 % 250)));
  for (const Bytes& k : all) must(t.insert(k));
  // The leaf that holds each key, read off a scan.
  auto leaves = [&] {
    std::map<Bytes, uint32_t> at;
    IndexCursor c = f.cursor();
    must(c.seek({}));
    while (auto k = must(c.next())) at[*k] = c.position()->leaf;
    return at;
  };
  const std::map<Bytes, uint32_t> before = leaves();
  const uint32_t pages = f.pager().header().page_count;
  for (const Bytes& k : all) ASSERT_TRUE(must(t.delete_(k)));
  EXPECT_TRUE(f.scan().empty());
  EXPECT_EQ(f.pager().header().page_count, pages);
  ASSERT_TRUE(f.valid());
  for (const Bytes& k : all) must(t.insert(k));
  EXPECT_EQ(leaves(), before);
  EXPECT_EQ(f.pager().header().page_count, pages);
  EXPECT_TRUE(f.valid());
}

// A leaf holding cells weighing 1400, 2038 and 600 bytes with their
// pointers, into which a cell weighing 1100 comes between the first two:
// the balanced point (3) would leave 4538 bytes on the left of a 4084-byte
// cell area.
TEST(IndexBTree, LeafSplitExampleKeepsEveryKey) {
  IndexFixture f(4096);
  IndexBTree t = f.tree();
  // A key of n bytes makes a leaf cell of n + 2 bytes (two-byte length),
  // weighing n + 4 with its pointer.
  const Bytes a = filled('a', 1396), b = filled('b', 1096), c = filled('c', 2034), d = filled('d', 596);
  for (const Bytes* k : {&a, &c, &d}) must(t.insert(*k));
  ASSERT_EQ(cell_count(f.pager(), t.root()), 3u);  // one full leaf
  must(t.insert(b));
  std::vector<Bytes> keys;
  ASSERT_TRUE(f.valid(&keys));
  EXPECT_EQ(keys, (std::vector<Bytes>{a, b, c, d}));
  PageRef root = must(f.pager().get_page(t.root()));
  const cell::CBytes sep = must(node::index_interior_key(must(node::cell_at(root.read().bytes(), 0))));
  EXPECT_EQ(Bytes(sep.begin(), sep.end()), b);  // the left part is a, b
}

// An interior page holding cells weighing 2000, 2000, 28, 28 and 28 bytes
// with their pointers, into which a cell weighing 2042 comes at the front:
// the middle point (3) would leave 6042 bytes on the left.
TEST(IndexBTree, InteriorSplitExampleKeepsEveryKey) {
  IndexFixture f(4096);
  Pager& pager = f.pager();
  const size_t page_size = 4096;
  // Leaf under slot 0 holds two keys of the largest size; the third one
  // splits it, sending a 2034-byte separator (a 2040-byte cell) up to slot 0.
  const Bytes x0 = filled('a', 2034, '0'), x1 = filled('a', 2034, '1'), x2 = filled('a', 2034, '2');
  // Interior keys: 1992 bytes make 1998-byte cells, 21 bytes 26-byte cells.
  const Bytes k1 = filled('b', 1992), k2 = filled('c', 1992), k3 = filled('d', 21),
              k4 = filled('e', 21), k5 = filled('f', 21);
  std::vector<uint32_t> leaves;
  for (int i = 0; i < 6; ++i) {
    leaves.push_back(must(pager.alloc_page()));
    node::init_leaf_index(must(pager.get_page(leaves.back())).write().bytes(), page_size);
  }
  {
    PageRef leaf = must(pager.get_page(leaves[0]));
    PageWrite w = leaf.write();
    ASSERT_TRUE(must(node::push_cell(w.bytes(), page_size, cell::encode_index_leaf(x0))));
    ASSERT_TRUE(must(node::push_cell(w.bytes(), page_size, cell::encode_index_leaf(x1))));
  }
  {
    PageRef root = must(pager.get_page(f.root()));
    PageWrite w = root.write();
    node::init_interior_index(w.bytes(), page_size);
    const Bytes* keys[] = {&k1, &k2, &k3, &k4, &k5};
    for (size_t i = 0; i < 5; ++i) {
      ASSERT_TRUE(must(node::push_cell(w.bytes(), page_size, cell::encode_index_interior(leaves[i], *keys[i]))));
    }
    node::set_right_child(w.bytes(), leaves[5]);
  }
  ASSERT_TRUE(f.valid());
  must(f.tree().insert(x2));
  std::vector<Bytes> keys;
  ASSERT_TRUE(f.valid(&keys));
  EXPECT_EQ(keys, (std::vector<Bytes>{x0, x1, x2}));
  // The root split above the interior split: its one key is the promoted k2.
  PageRef root = must(pager.get_page(f.root()));
  ASSERT_EQ(must(node::count(root.read().bytes())), 1u);
  const cell::CBytes sep = must(node::index_interior_key(must(node::cell_at(root.read().bytes(), 0))));
  EXPECT_EQ(Bytes(sep.begin(), sep.end()), k2);
}

TEST(IndexBTree, InteriorSplitPoint) {
  auto cells = [](std::initializer_list<size_t> weights) {
    std::vector<Bytes> out;
    for (size_t w : weights) out.emplace_back(w - 2);
    return out;
  };
  // The middle when both sides fit.
  EXPECT_EQ(btree::interior_split_point(cells({10, 10, 10, 10, 10}), 4084), 2u);
  // Neither side fits at the middle: the nearest point that does.
  EXPECT_EQ(btree::interior_split_point(cells({2042, 2000, 2000, 28, 28, 28}), 4084), 2u);
  // Two cells of more than half the area: one side keeps no cell.
  const size_t m = btree::interior_split_point(cells({32763, 32763}), 65524);
  EXPECT_TRUE(m == 0 || m == 1);
}

TEST(IndexBTree, LargestKeysAt65536BytePagesLeaveInteriorPagesWithOnlyARightChild) {
  // An interior cell of the largest key weighs more than half the cell
  // area, so interior pages hold one cell and split into one side with none.
  IndexFixture f(65536);
  IndexBTree t = f.tree();
  const size_t largest = btree::index::max_key(65536);
  std::vector<Bytes> expect;
  std::mt19937_64 rng(11);
  for (int i = 0; i < 24; ++i) {
    Bytes k = filled(static_cast<uint8_t>(rng()), largest, static_cast<uint8_t>(i));
    must(t.insert(k));
    expect.push_back(k);
  }
  std::sort(expect.begin(), expect.end());
  expect.erase(std::unique(expect.begin(), expect.end()), expect.end());
  std::vector<Bytes> keys;
  std::set<uint32_t> used;
  ASSERT_TRUE(f.valid(&keys, &used));
  EXPECT_EQ(keys, expect);
  size_t bare = 0;  // interior pages with no cell, only a right child
  for (uint32_t pgno : used) {
    PageRef page = must(f.pager().get_page(pgno));
    bare += node::kind(page.read().bytes()) == node::kIndexInterior && cell_count(f.pager(), pgno) == 0;
  }
  EXPECT_GT(bare, 0u);
  f.reopen();
  EXPECT_EQ(f.scan(), expect);
}

// Random inserts (short keys that are prefixes of one another, and keys at
// or near the size limit), deletes, prefix probes and seeks against a
// std::set, with the whole tree and the page accounting checked after every
// step and across commits and reopens.
class IndexModel : public ::testing::TestWithParam<uint64_t> {};

TEST_P(IndexModel, MatchesASet) {
  const uint64_t page_size = GetParam();
  const uint64_t seed = 2000 + page_size;
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937_64 rng(seed);
  IndexFixture f(page_size);
  std::set<Bytes> model;
  const size_t largest = btree::index::max_key(page_size);
  const uint8_t alphabet[] = {0x00, 0x01, 'a', 'b', 0xFF};
  auto short_key = [&] {
    Bytes k(rng() % 10);
    for (auto& b : k) b = alphabet[rng() % 5];
    return k;
  };
  auto random_key = [&] {
    switch (rng() % 10) {
      case 0: {
        Bytes k = short_key();
        k.resize(largest - rng() % 3, static_cast<uint8_t>(rng()));
        return k;
      }
      case 1: {
        Bytes k = short_key();
        k.resize(std::min<size_t>(largest, 20 + rng() % 300), static_cast<uint8_t>(rng()));
        return k;
      }
      default: return short_key();
    }
  };
  const int steps = page_size == 65536 ? 500 : 2500;
  for (int step = 0; step < steps; ++step) {
    IndexBTree t = f.tree();
    const int op = static_cast<int>(rng() % 100);
    if (op < 50) {
      const Bytes k = random_key();
      model.insert(k);
      must(t.insert(k));
    } else if (op < 75) {
      Bytes k = random_key();
      if (!model.empty() && rng() % 2 == 0) k = *std::next(model.begin(), static_cast<long>(rng() % model.size()));
      EXPECT_EQ(must(t.delete_(k)), model.erase(k) == 1) << step;
    } else if (op < 88) {
      const Bytes prefix = short_key();
      auto it = model.lower_bound(prefix);
      const bool expect = it != model.end() && it->size() >= prefix.size() &&
                          std::equal(prefix.begin(), prefix.end(), it->begin());
      EXPECT_EQ(must(t.contains_prefix(prefix)), expect) << step;
    } else if (op < 97) {
      const Bytes probe = random_key();
      IndexCursor c = f.cursor();
      must(c.seek(probe));
      auto it = model.lower_bound(probe);
      for (int i = 0; i < 3; ++i, ++it) {
        auto got = must(c.next());
        ASSERT_EQ(got.has_value(), it != model.end()) << step;
        if (!got) break;
        EXPECT_EQ(*got, *it) << step;
      }
    } else {
      f.reopen();
    }
    std::vector<Bytes> keys;
    ASSERT_TRUE(f.valid(&keys)) << "step " << step;
    ASSERT_EQ(keys, std::vector<Bytes>(model.begin(), model.end())) << "step " << step;
  }
}

INSTANTIATE_TEST_SUITE_P(PageSizes, IndexModel, ::testing::Values(512, 4096, 65536));

}  // namespace
}  // namespace vbk
