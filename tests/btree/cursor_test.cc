#include "btree/cursor.h"

#include <map>
#include <vector>

#include <gtest/gtest.h>

#include "btree/btree.h"
#include "btree/cell.h"
#include "btree/node.h"
#include "pager/pager.h"
#include "support/must.h"
#include "support/temp_dir.h"
#include "support/tree_check.h"
#include "vfs/os.h"

namespace vbk {
namespace {

using testing::must;

Bytes payload_of(int64_t rowid, size_t len) { return Bytes(len, static_cast<uint8_t>(rowid)); }

// A 512-byte-page table of rows 10, 20, ..., 10 * n, several leaves deep.
class CursorTest : public ::testing::Test {
 protected:
  void SetUp() override {
    must(pager_.begin());
    root_ = must(BTree::create(pager_)).root();
  }
  void fill(int n, size_t len = 40) {
    for (int64_t i = 1; i <= n; ++i) must(tree().insert(10 * i, payload_of(i, len)));
  }
  BTree tree() { return BTree(pager_, root_); }
  std::vector<int64_t> scan_from(Cursor& c) {
    std::vector<int64_t> out;
    while (auto row = must(c.next())) out.push_back(row->rowid);
    return out;
  }
  std::vector<int64_t> scan() {
    Cursor c(pager_, root_);
    must(c.rewind());
    return scan_from(c);
  }

  testing::TempDir dir_;
  Pager pager_ = must(Pager::create(OsVfs::instance(), dir_.file("c.db"), 512));
  uint32_t root_ = 0;
};

TEST_F(CursorTest, EmptyTable) {
  Cursor c(pager_, root_);
  must(c.rewind());
  ASSERT_TRUE(c.position().has_value());
  EXPECT_EQ(c.position()->leaf, root_);
  EXPECT_EQ(c.position()->next, 0u);
  EXPECT_EQ(must(c.next()), std::nullopt);
  EXPECT_FALSE(c.position().has_value());
  EXPECT_EQ(must(c.next()), std::nullopt);
}

TEST_F(CursorTest, SeekLowerBounds) {
  fill(100);
  struct Case {
    int64_t target;
    std::optional<int64_t> next;
  } const cases[] = {{INT64_MIN, 10}, {-5, 10}, {10, 10}, {11, 20}, {555, 560},
                     {1000, 1000},    {1001, std::nullopt}, {INT64_MAX, std::nullopt}};
  for (const Case& k : cases) {
    Cursor c(pager_, root_);
    must(c.seek(k.target));
    auto row = must(c.next());
    ASSERT_EQ(row.has_value(), k.next.has_value()) << k.target;
    if (row) {
      EXPECT_EQ(row->rowid, *k.next) << k.target;
    }
  }
  // Every gap between rows, whichever leaf holds the larger neighbour.
  Cursor c(pager_, root_);
  for (int64_t r = 15; r < 1000; r += 10) {
    c.clear();
    must(c.seek(r));
    EXPECT_EQ(must(c.next())->rowid, r + 5) << r;
  }
}

TEST_F(CursorTest, SeekInsideTheCurrentLeafKeepsTheStack) {
  fill(100);
  Cursor c(pager_, root_);
  must(c.seek(500));
  const auto stack = c.stack();
  const auto leaf = c.position()->leaf;
  must(c.seek(500));  // the row next would return anyway
  EXPECT_EQ(c.position()->leaf, leaf);
  must(c.next());
  must(c.seek(500));  // inside the leaf: found by its search
  EXPECT_EQ(c.position()->leaf, leaf);
  EXPECT_EQ(c.stack().size(), stack.size());
  EXPECT_EQ(must(c.next())->rowid, 500);
}

TEST_F(CursorTest, DeletingEveryRowDuringAScanVisitsEachOnce) {
  fill(150);
  Cursor c(pager_, root_);
  must(c.rewind());
  std::vector<int64_t> seen;
  while (auto row = must(c.next())) {
    seen.push_back(row->rowid);
    must(c.delete_current());
  }
  ASSERT_EQ(seen.size(), 150u);
  for (size_t i = 0; i < seen.size(); ++i) EXPECT_EQ(seen[i], 10 * static_cast<int64_t>(i + 1));
  EXPECT_TRUE(scan().empty());
  EXPECT_EQ(must(tree().count_subtree(root_)), 0u);
}

TEST_F(CursorTest, EmptiedLeavesArePassedOver) {
  fill(150);
  // Empty the first leaf, some leaf in the middle and the last leaf.
  Cursor probe(pager_, root_);
  must(probe.rewind());
  const uint32_t first_leaf = probe.position()->leaf;
  std::map<uint32_t, std::vector<int64_t>> by_leaf;
  while (auto row = must(probe.next())) by_leaf[probe.position()->leaf].push_back(row->rowid);
  ASSERT_GT(by_leaf.size(), 4u);
  std::vector<int64_t> gone = by_leaf[first_leaf];
  auto middle = std::next(by_leaf.begin(), static_cast<long>(by_leaf.size() / 2));
  gone.insert(gone.end(), middle->second.begin(), middle->second.end());
  const auto& last = by_leaf.rbegin()->second;
  gone.insert(gone.end(), last.begin(), last.end());
  for (int64_t r : gone) ASSERT_TRUE(must(tree().delete_(r)));
  std::vector<int64_t> expect;
  for (int64_t r = 10; r <= 1500; r += 10) {
    if (std::find(gone.begin(), gone.end(), r) == gone.end()) expect.push_back(r);
  }
  EXPECT_EQ(scan(), expect);
}

TEST_F(CursorTest, DeleteCurrentOfALeafsLastRow) {
  fill(100);
  Cursor c(pager_, root_);
  must(c.rewind());
  const uint32_t leaf = c.position()->leaf;
  std::optional<int64_t> last_in_leaf;
  while (true) {
    auto row = must(c.next());
    ASSERT_TRUE(row);
    if (c.position()->leaf != leaf) break;
    last_in_leaf = row->rowid;
  }
  Cursor d(pager_, root_);
  must(d.seek(*last_in_leaf));
  must(d.next());
  must(d.delete_current());
  EXPECT_EQ(must(d.next())->rowid, *last_in_leaf + 10);
}

TEST_F(CursorTest, UpdateInPlace) {
  must(tree().insert(1, payload_of(1, 40)));
  must(tree().insert(2, payload_of(2, 40)));
  must(tree().insert(3, payload_of(3, 300)));  // overflows on 512-byte pages
  Cursor c(pager_, root_);
  must(c.rewind());
  must(c.next());
  EXPECT_TRUE(must(c.update_current_inplace(1, payload_of(9, 40))));  // same length
  EXPECT_FALSE(must(c.update_current_inplace(1, payload_of(9, 41))));  // one byte longer
  EXPECT_FALSE(must(c.update_current_inplace(1, payload_of(9, cell::max_local(512) + 1))));
  must(c.next());
  EXPECT_TRUE(must(c.update_current_inplace(2, payload_of(8, 5))));  // shorter: keeps its index
  EXPECT_EQ(c.position()->next, 2u);
  must(c.next());
  EXPECT_FALSE(must(c.update_current_inplace(3, payload_of(7, 1))));  // old row has a chain
  EXPECT_EQ(must(tree().search(1)), payload_of(9, 40));
  EXPECT_EQ(must(tree().search(2)), payload_of(8, 5));
  EXPECT_EQ(must(tree().search(3)), payload_of(3, 300));
}

TEST_F(CursorTest, NoCurrentRowIsAnInternalFault) {
  fill(3);
  Cursor c(pager_, root_);
  EXPECT_THROW((void)c.delete_current(), InternalFault);
  must(c.rewind());
  EXPECT_THROW((void)c.delete_current(), InternalFault);  // before the first row
  EXPECT_THROW((void)c.update_current_inplace(10, payload_of(1, 1)), InternalFault);
}

TEST_F(CursorTest, NextIntoReusesTheBufferAndKeepsItAtTheEnd) {
  must(tree().insert(1, payload_of(1, 40)));
  must(tree().insert(2, payload_of(2, 1000)));
  Cursor c(pager_, root_);
  must(c.rewind());
  Bytes buf;
  EXPECT_EQ(must(c.next_into(buf)), 1);
  EXPECT_EQ(buf, payload_of(1, 40));
  EXPECT_EQ(must(c.next_into(buf)), 2);
  EXPECT_EQ(buf, payload_of(2, 1000));
  EXPECT_EQ(must(c.next_into(buf)), std::nullopt);
  EXPECT_EQ(buf, payload_of(2, 1000));
}

// A chain that breaks off after its first page (its next page lies past
// the file): the row is passed, the error returned, and the buffer left
// empty rather than holding part of the payload.
TEST_F(CursorTest, NextIntoEmptiesTheBufferWhenThePayloadCannotBeRead) {
  must(tree().insert(1, payload_of(1, 40)));
  must(tree().insert(2, payload_of(2, 1000)));
  {
    PageRef leaf = must(pager_.get_page(root_));
    const uint32_t first = must(cell::leaf_overflow(must(node::cell_start(leaf.read().bytes(), 1))));
    PageRef chain = must(pager_.get_page(first));
    put_be32(chain.write().data(), 100000);
  }
  Cursor c(pager_, root_);
  must(c.rewind());
  Bytes buf;
  EXPECT_EQ(must(c.next_into(buf)), 1);
  const Result<std::optional<int64_t>> broken = c.next_into(buf);
  ASSERT_FALSE(broken);
  EXPECT_EQ(broken.error(), Error::InvalidPage(100000));
  EXPECT_TRUE(buf.empty());
  EXPECT_EQ(c.position()->next, 2u);
  EXPECT_EQ(must(c.next_into(buf)), std::nullopt);
}

}  // namespace
}  // namespace vbk
