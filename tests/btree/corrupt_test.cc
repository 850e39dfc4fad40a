// Damaged database files are input: every operation on a table tree read
// from one gives a result or an Error, never a crash, a hang, an
// out-of-bounds access or a page freed twice.

#include <random>

#include <gtest/gtest.h>

#include "btree/btree.h"
#include "btree/cursor.h"
#include "btree/node.h"
#include "pager/pager.h"
#include "support/must.h"
#include "support/temp_dir.h"
#include "vfs/os.h"

namespace vbk {
namespace {

using testing::must;

// A 512-byte-page database whose schema root names a table tree of a few
// hundred rows, some with overflow chains, some deleted.
std::string make_database(const std::string& path) {
  Pager pager = must(Pager::create(OsVfs::instance(), path, 512));
  must(pager.begin());
  BTree t = must(BTree::create(pager));
  pager.set_schema_root(t.root());
  for (int64_t r = 1; r <= 300; ++r) must(t.insert(r, Bytes(r % 25 == 0 ? 900 : 20 + r % 50, 0x42)));
  for (int64_t r = 3; r <= 300; r += 7) must(t.delete_(r));
  must(pager.commit());
  return testing::read_file(path);
}

// Runs every table-tree operation once; errors are fine, crashes are not.
void exercise(Pager& pager) {
  const uint32_t root = pager.header().schema_root;
  if (!pager.begin()) return;
  BTree t(pager, root);
  Cursor c(pager, root);
  if (c.rewind()) {
    for (int i = 0; i < 1000; ++i) {
      auto row = c.next();
      if (!row || !*row) break;
      if (i % 9 == 0) {
        if (!c.delete_current()) break;
      } else if (i % 13 == 0) {
        if (!c.update_current_inplace((*row)->rowid, Bytes(5, 1))) break;
      }
    }
  }
  (void)c.seek(150);
  (void)c.next();
  (void)t.search(77);
  (void)t.search(100);
  (void)t.count_subtree(root);
  (void)t.last_rowid();
  (void)t.insert(42, Bytes(700, 7));
  AppendHint hint;
  (void)t.insert_fast(1000, Bytes(30, 8), hint);
  (void)t.insert_fast(1001, Bytes(30, 8), hint);
  (void)t.delete_(50);
  (void)t.delete_(75);
  (void)t.truncate_from(200);
  (void)t.truncate_from(INT64_MIN);
  (void)pager.rollback();
}

TEST(CorruptTableTree, SeededByteMutations) {
  testing::TempDir dir;
  const std::string clean = make_database(dir.file("clean.db"));
  const std::string path = dir.file("damaged.db");
  std::mt19937_64 rng(20261210);
  for (int iter = 0; iter < 1500; ++iter) {
    SCOPED_TRACE("iteration " + std::to_string(iter));
    std::string bytes = clean;
    const int flips = 1 + static_cast<int>(rng() % 6);
    for (int i = 0; i < flips; ++i) {
      // Mostly tree pages; now and then the header.
      const size_t at = rng() % 10 == 0 ? rng() % 100 : 512 + rng() % (bytes.size() - 512);
      bytes[at] = static_cast<char>(rng() % 4 == 0 ? 0 : rng());
    }
    if (rng() % 20 == 0) bytes.resize(rng() % bytes.size());
    testing::write_file(path, bytes);
    auto pager = Pager::open(OsVfs::instance(), path);
    if (!pager) continue;
    try {
      exercise(*pager);
    } catch (const std::exception& e) {
      FAIL() << e.what();
    }
  }
}

// Hand-made damage that would loop or free twice if followed.
class CorruptTree : public ::testing::Test {
 protected:
  void SetUp() override {
    must(pager_.begin());
    t_ = must(BTree::create(pager_));
    for (int64_t r = 1; r <= 200; ++r) must(t_->insert(r, Bytes(r == 100 ? 3000 : 30, 1)));
  }
  // Writes `value` big-endian at `offset` of page `pgno`.
  void poke32(uint32_t pgno, size_t offset, uint32_t value) {
    PageRef page = must(pager_.get_page(pgno));
    put_be32(page.write().data() + offset, value);
  }
  uint32_t first_child() {
    PageRef root = must(pager_.get_page(t_->root()));
    return must(node::child_at(root.read().bytes(), 0));
  }
  static bool corrupt(const Error& e) { return e.kind() == Error::Kind::Corrupt; }

  testing::TempDir dir_;
  Pager pager_ = must(Pager::create(OsVfs::instance(), dir_.file("x.db"), 512));
  std::optional<BTree> t_;
};

TEST_F(CorruptTree, ChildPointingAtAnAncestorIsTooDeep) {
  // The root's first child becomes the root itself.
  PageRef root = must(pager_.get_page(t_->root()));
  const size_t cell0 = get_be16(root.read().data() + 12);
  root = PageRef();
  poke32(t_->root(), cell0, t_->root());
  EXPECT_TRUE(corrupt(t_->search(1).error()));
  EXPECT_TRUE(corrupt(t_->insert(1, Bytes(3, 0)).error()));
  EXPECT_TRUE(corrupt(t_->count_subtree(t_->root()).error()));
  EXPECT_TRUE(corrupt(t_->truncate_from(INT64_MIN).error()));
  Cursor c(pager_, t_->root());
  EXPECT_TRUE(corrupt(c.rewind().error()));
}

TEST_F(CorruptTree, WrongPageKindIsCorrupt) {
  PageRef child = must(pager_.get_page(first_child()));
  child.write().data()[0] = node::kIndexLeaf;
  child = PageRef();
  EXPECT_EQ(t_->search(1).error(), Error::Corrupt("page " + std::to_string(first_child()) +
                                                  " is not a table b-tree page"));
}

TEST_F(CorruptTree, LoopingOverflowChainIsNeverFreedTwice) {
  // Row 100's chain: make its second page point back at the first.
  auto head_of_row = [&]() -> std::pair<uint32_t, uint32_t> {
    Cursor c(pager_, t_->root());
    must(c.seek(100));
    const uint32_t leaf = c.position()->leaf;
    PageRef page = must(pager_.get_page(leaf));
    PageRead r = page.read();
    auto pos = must(node::leaf_find(r.bytes(), 100));
    return {leaf, must(cell::leaf_overflow(must(node::cell_start(r.bytes(), pos.index))))};
  };
  const uint32_t first = head_of_row().second;
  PageRef p = must(pager_.get_page(first));
  const uint32_t second = get_be32(p.read().data());
  p = PageRef();
  poke32(second, 0, first);
  const uint32_t free_before = pager_.header().freelist_count;
  EXPECT_TRUE(corrupt(t_->delete_(100).error()));
  EXPECT_EQ(pager_.header().freelist_count, free_before);  // nothing freed
  // A chain that merely ends early still reads (shorter payload).
  poke32(second, 0, 0);
  poke32(first, 0, 0);
  EXPECT_EQ(must(t_->search(100))->size(), cell::max_local(512) + 508u);
}

}  // namespace
}  // namespace vbk
