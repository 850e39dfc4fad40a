#include "btree/btree.h"

#include <map>
#include <random>
#include <set>

#include <gtest/gtest.h>

#include "btree/cursor.h"
#include "btree/node.h"
#include "pager/pager.h"
#include "support/must.h"
#include "support/temp_dir.h"
#include "support/tree_check.h"
#include "vfs/os.h"

namespace vbk {
namespace {

using testing::TempDir;

using testing::must;

Bytes payload_of(int64_t rowid, size_t len, uint32_t salt = 0) {
  Bytes b(len);
  for (size_t i = 0; i < len; ++i) b[i] = static_cast<uint8_t>(rowid * 31 + i * 7 + salt);
  return b;
}

// A database file with one table tree, inside a write transaction.
class TreeFixture {
 public:
  explicit TreeFixture(uint64_t page_size = 4096)
      : path_(dir_.file("t.db")),
        pager_(must(Pager::create(OsVfs::instance(), path_, page_size))) {
    must(pager_.begin());
    root_ = must(BTree::create(pager_)).root();
  }

  BTree tree() { return BTree(pager_, root_); }
  Pager& pager() { return pager_; }

  // Commits, reopens the file and begins again.
  void reopen() {
    must(pager_.commit());
    pager_ = must(Pager::open(OsVfs::instance(), path_));
    must(pager_.begin());
  }

  ::testing::AssertionResult valid(std::map<int64_t, Bytes>* rows = nullptr) {
    std::set<uint32_t> pages;
    auto tree_ok = testing::check_table_tree(pager_, root_, pages, rows);
    if (!tree_ok) return tree_ok;
    return testing::check_page_accounting(pager_, pages);
  }

  size_t root_kind() { return node::kind(must(pager_.get_page(root_)).read().bytes()); }

 private:
  TempDir dir_;
  std::string path_;
  Pager pager_;
  uint32_t root_;
};

TEST(BTree, EmptyTree) {
  TreeFixture f;
  BTree t = f.tree();
  EXPECT_EQ(must(t.search(1)), std::nullopt);
  EXPECT_EQ(must(t.last_rowid()), std::nullopt);
  EXPECT_EQ(must(t.count_subtree(t.root())), 0u);
  EXPECT_FALSE(must(t.delete_(1)));
  EXPECT_EQ(must(t.truncate_from(INT64_MIN)), 0u);
}

TEST(BTree, SignedRowidsAndReplacement) {
  TreeFixture f;
  BTree t = f.tree();
  for (int64_t r : {INT64_MAX, int64_t{0}, int64_t{-1}, INT64_MIN, int64_t{7}}) {
    must(t.insert(r, payload_of(r, 10)));
  }
  Cursor c(f.pager(), t.root());
  must(c.rewind());
  std::vector<int64_t> order;
  while (auto row = must(c.next())) order.push_back(row->rowid);
  EXPECT_EQ(order, (std::vector<int64_t>{INT64_MIN, -1, 0, 7, INT64_MAX}));

  // Replacing a row with an overflow chain by a short one frees the chain.
  must(t.insert(7, payload_of(7, 10000)));
  const uint32_t free_before = f.pager().header().freelist_count;
  must(t.insert(7, payload_of(7, 5, 1)));
  EXPECT_EQ(f.pager().header().freelist_count, free_before + 2);  // 8022 bytes beyond the cell
  EXPECT_EQ(must(t.search(7)), payload_of(7, 5, 1));
  EXPECT_EQ(must(t.count_subtree(t.root())), 5u);
  EXPECT_TRUE(f.valid());
}

TEST(BTree, OverflowBoundaryAtMaxLocal) {
  // Payload length on 4096-byte pages -> overflow pages it needs.
  const std::pair<size_t, uint32_t> cases[] = {{1978, 0}, {1979, 1}, {6070, 1}, {6071, 2}};
  for (const auto& [len, chain] : cases) {
    TreeFixture f;
    BTree t = f.tree();
    const uint32_t pages_before = f.pager().header().page_count;
    must(t.insert(1, payload_of(1, len)));
    EXPECT_EQ(f.pager().header().page_count, pages_before + chain) << len;
    EXPECT_EQ(must(t.search(1)), payload_of(1, len));
    EXPECT_TRUE(f.valid());
  }
}

TEST(BTree, FirstSplitKeepsTheRootPage) {
  TreeFixture f(512);
  BTree t = f.tree();
  int64_t r = 0;
  while (f.root_kind() == node::kTableLeaf) {
    ++r;
    must(t.insert(r, payload_of(r, 50)));
  }
  PageRef root = must(f.pager().get_page(t.root()));
  EXPECT_EQ(must(node::count(root.read().bytes())), 1u);
  // Rows of equal size: the left page keeps ceil(n/2) and the separator is
  // its largest rowid.
  const int64_t n = r;
  const uint32_t left = must(node::child_at(root.read().bytes(), 0));
  PageRef left_page = must(f.pager().get_page(left));
  const size_t kept = must(node::count(left_page.read().bytes()));
  EXPECT_EQ(kept, static_cast<size_t>((n + 1) / 2));
  EXPECT_EQ(must(cell::interior_key(must(node::cell_start(root.read().bytes(), 0)))),
            static_cast<int64_t>(kept));
  EXPECT_TRUE(f.valid());
}

TEST(BTree, BalancedSplitNeverOverfillsTheLeftPage) {
  // Weights with pointers: 1400 in all, then the new cell 1100, then 1985,
  // then 600 in all; the balanced point would put 4485 bytes on the left.
  auto cell_of = [](size_t weight) { return Bytes(weight - 2, 0); };
  std::vector<Bytes> cells = {cell_of(700), cell_of(700), cell_of(1100), cell_of(1985),
                              cell_of(300), cell_of(300)};
  const size_t k = btree::balanced_split(cells, 4084);
  size_t left = 0, right = 0;
  for (size_t i = 0; i < cells.size(); ++i) (i < k ? left : right) += cells[i].size() + 2;
  EXPECT_LE(left, 4084u);
  EXPECT_LE(right, 4084u);
  // Equal cells: the left part keeps ceil(n/2).
  EXPECT_EQ(btree::balanced_split(std::vector<Bytes>(5, Bytes(10)), 4084), 3u);
  EXPECT_EQ(btree::balanced_split(std::vector<Bytes>(2, Bytes(10)), 4084), 1u);
}

TEST(BTree, MaximumSizeCellsNeverDropARow) {
  for (uint64_t page_size : {512u, 4096u}) {
    TreeFixture f(page_size);
    BTree t = f.tree();
    std::mt19937_64 rng(7);
    std::map<int64_t, Bytes> model;
    const size_t max_local = cell::max_local(page_size);
    for (int i = 0; i < 400; ++i) {
      const int64_t rowid = static_cast<int64_t>(rng() % 1000);
      // Cells right at the local limit, some just below, a few small.
      const size_t len = rng() % 4 == 0 ? rng() % 40 : max_local - rng() % 3;
      model[rowid] = payload_of(rowid, len, static_cast<uint32_t>(i));
      must(t.insert(rowid, model[rowid]));
    }
    std::map<int64_t, Bytes> stored;
    ASSERT_TRUE(f.valid(&stored)) << page_size;
    EXPECT_EQ(stored, model) << page_size;
  }
}

TEST(BTree, InsertFastAppendsAndFallsBack) {
  TreeFixture f(512);
  BTree t = f.tree();
  AppendHint hint;
  must(t.insert_fast(1, payload_of(1, 20), hint));  // empty hint: general path
  ASSERT_TRUE(hint.set);
  EXPECT_EQ(hint.leaf, t.root());
  EXPECT_EQ(hint.last, 1);
  for (int64_t r = 2; r <= 200; ++r) must(t.insert_fast(r, payload_of(r, 20), hint));
  EXPECT_EQ(hint.last, 200);
  EXPECT_EQ(must(t.last_rowid()), 200);
  // A rowid below the hint, a payload with overflow and a hint naming an
  // interior page all take the general path and keep key order.
  must(t.insert_fast(50, payload_of(50, 21), hint));
  must(t.insert_fast(201, payload_of(201, 1000), hint));
  AppendHint bogus{true, t.root(), 201};
  must(t.insert_fast(202, payload_of(202, 5), bogus));
  EXPECT_EQ(bogus.last, 202);
  std::map<int64_t, Bytes> rows;
  ASSERT_TRUE(f.valid(&rows));
  EXPECT_EQ(rows.size(), 202u);
  EXPECT_EQ(rows[50], payload_of(50, 21));
  EXPECT_EQ(rows[201].size(), 1000u);
}

// The refusing inserts keep a stored row and write nothing, not even an
// overflow chain for a long payload; an absent rowid is stored as insert
// would store it, on every path (in a leaf, through splits, appended by the
// hint, with overflow).
TEST(BTree, InsertNewRefusesAStoredRowidAndWritesNothing) {
  TreeFixture f(512);
  BTree t = f.tree();
  AppendHint hint;
  for (int64_t r = 1; r <= 300; r += 2) ASSERT_TRUE(must(t.insert_fast_new(r, payload_of(r, 20), hint)));
  ASSERT_TRUE(must(t.insert_new(1000, payload_of(1000, 900))));
  ASSERT_TRUE(must(t.insert_new(150, payload_of(150, 20))));
  ASSERT_TRUE(f.valid());
  const uint32_t pages_before = f.pager().header().page_count;

  struct Case {
    int64_t rowid;
    size_t len;
    bool fast;
  };
  const Case stored[] = {{1, 20, false}, {151, 5, true}, {299, 20, true}, {1000, 20, false},
                         {1, 900, false}, {151, 900, true}, {150, 20, true}};
  for (const Case& c : stored) {
    SCOPED_TRACE("rowid " + std::to_string(c.rowid) + " length " + std::to_string(c.len));
    AppendHint h = hint;
    const bool stored_new = c.fast ? must(t.insert_fast_new(c.rowid, payload_of(c.rowid, c.len, 9), h))
                                   : must(t.insert_new(c.rowid, payload_of(c.rowid, c.len, 9)));
    EXPECT_FALSE(stored_new);
    EXPECT_EQ(f.pager().header().page_count, pages_before);
  }
  std::map<int64_t, Bytes> rows;
  ASSERT_TRUE(f.valid(&rows));
  EXPECT_EQ(rows.size(), 152u);
  EXPECT_EQ(rows[1], payload_of(1, 20));
  EXPECT_EQ(rows[1000], payload_of(1000, 900));
  // Absent rowids still go in, long or short, below or above the hint.
  ASSERT_TRUE(must(t.insert_fast_new(2, payload_of(2, 900), hint)));
  ASSERT_TRUE(must(t.insert_fast_new(2000, payload_of(2000, 20), hint)));
  ASSERT_TRUE(f.valid(&rows));
  EXPECT_EQ(rows.size(), 154u);
  EXPECT_EQ(rows[2], payload_of(2, 900));
}

TEST(BTree, LastRowidSkipsEmptiedRightmostLeaf) {
  TreeFixture f(512);
  BTree t = f.tree();
  for (int64_t r = 1; r <= 100; ++r) must(t.insert(r, payload_of(r, 30)));
  int64_t r = 100;
  // Empty the right-most leaf (and more).
  for (; r > 60; --r) must(t.delete_(r));
  EXPECT_EQ(must(t.last_rowid()), 60);
  AppendHint hint;
  must(t.insert_fast(61, payload_of(61, 30), hint));
  EXPECT_TRUE(f.valid());
  for (int64_t i = 1; i <= 61; ++i) must(t.delete_(i));
  EXPECT_EQ(must(t.last_rowid()), std::nullopt);
  EXPECT_EQ(must(t.count_subtree(t.root())), 0u);
}

TEST(BTree, TruncateFrom) {
  TreeFixture f(512);
  BTree t = f.tree();
  for (int64_t r = 1; r <= 300; ++r) must(t.insert(r, payload_of(r, r % 10 == 0 ? 700 : 30)));
  EXPECT_EQ(must(t.truncate_from(400)), 0u);
  EXPECT_EQ(must(t.truncate_from(250)), 51u);  // the bound itself goes too
  EXPECT_EQ(must(t.search(250)), std::nullopt);
  EXPECT_TRUE(must(t.search(249)).has_value());
  EXPECT_EQ(must(t.count_subtree(t.root())), 249u);
  EXPECT_TRUE(f.valid());
  EXPECT_EQ(must(t.truncate_from(INT64_MIN)), 249u);
  EXPECT_EQ(f.root_kind(), node::kTableLeaf);
  std::set<uint32_t> used;
  EXPECT_TRUE(testing::check_table_tree(f.pager(), t.root(), used));
  EXPECT_EQ(used.size(), 1u);  // every page but the root is free
  EXPECT_TRUE(f.valid());
}

// Random operations against std::map, with the whole tree and the page
// accounting checked after every step and across commits and reopens.
class BTreeModel : public ::testing::TestWithParam<uint64_t> {};

TEST_P(BTreeModel, MatchesAMap) {
  const uint64_t page_size = GetParam();
  const uint64_t seed = 1000 + page_size;
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937_64 rng(seed);
  TreeFixture f(page_size);
  std::map<int64_t, Bytes> model;
  AppendHint hint;
  const size_t max_local = cell::max_local(page_size);
  const int steps = page_size == 65536 ? 600 : 4000;
  for (int step = 0; step < steps; ++step) {
    BTree t = f.tree();
    const int op = static_cast<int>(rng() % 100);
    const int64_t rowid = static_cast<int64_t>(rng() % 600) - 100;
    auto random_len = [&] {
      switch (rng() % 6) {
        case 0: return static_cast<size_t>(rng() % (3 * page_size));  // overflow
        case 1: return max_local - rng() % 4;
        default: return static_cast<size_t>(rng() % 60);
      }
    };
    if (op < 45) {
      model[rowid] = payload_of(rowid, random_len(), static_cast<uint32_t>(step));
      must(t.insert(rowid, model[rowid]));
      hint.reset();
    } else if (op < 60) {
      const int64_t next = model.empty() ? 0 : model.rbegin()->first + 1 + static_cast<int64_t>(rng() % 3);
      model[next] = payload_of(next, random_len(), static_cast<uint32_t>(step));
      must(t.insert_fast(next, model[next], hint));
    } else if (op < 85) {
      EXPECT_EQ(must(t.delete_(rowid)), model.erase(rowid) == 1);
    } else if (op < 88) {
      const int64_t bound = rowid + 200;
      uint64_t expect = 0;
      for (auto it = model.lower_bound(bound); it != model.end();) it = model.erase(it), ++expect;
      EXPECT_EQ(must(t.truncate_from(bound)), expect);
      hint.reset();
    } else if (op < 95) {
      auto got = must(t.search(rowid));
      auto it = model.find(rowid);
      ASSERT_EQ(got.has_value(), it != model.end());
      if (got) {
        EXPECT_EQ(*got, it->second);
      }
    } else if (op < 98) {
      f.reopen();
      hint.reset();
    } else {
      EXPECT_EQ(must(t.count_subtree(t.root())), model.size());
    }
    const auto last = must(f.tree().last_rowid());
    ASSERT_EQ(last, model.empty() ? std::nullopt : std::optional(model.rbegin()->first)) << step;
    std::map<int64_t, Bytes> stored;
    ASSERT_TRUE(f.valid(&stored)) << "step " << step;
    ASSERT_EQ(stored, model) << "step " << step;
  }
}

INSTANTIATE_TEST_SUITE_P(PageSizes, BTreeModel, ::testing::Values(512, 4096, 65536));

}  // namespace
}  // namespace vbk
