// Damaged database files are input: every operation on a table or index
// tree read from one gives a result or an Error, never a crash, a hang, an
// out-of-bounds access or a page freed twice.

#include <cstdio>
#include <new>
#include <random>

#include <gtest/gtest.h>

#include "btree/btree.h"
#include "btree/cursor.h"
#include "btree/index.h"
#include "btree/index_cursor.h"
#include "btree/keyenc.h"
#include "btree/node.h"
#include "pager/pager.h"
#include "support/must.h"
#include "support/temp_dir.h"
#include "support/tree_check.h"
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

// Flips and truncates bytes of `clean` (mostly in the tree pages, now and
// then in the header), seeded, and runs `exercise` on every copy that opens.
template <typename Exercise>
void mutation_loop(const std::string& clean, uint64_t seed, int iterations, Exercise exercise) {
  testing::TempDir dir;
  const std::string path = dir.file("damaged.db");
  std::mt19937_64 rng(seed);
  for (int iter = 0; iter < iterations; ++iter) {
    SCOPED_TRACE("iteration " + std::to_string(iter));
    std::string bytes = clean;
    const int flips = 1 + static_cast<int>(rng() % 6);
    for (int i = 0; i < flips; ++i) {
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

TEST(CorruptTableTree, SeededByteMutations) {
  testing::TempDir dir;
  mutation_loop(make_database(dir.file("clean.db")), 20261210, 1500, exercise);
}

// Index keys of (text, integer) values with rowids.
Bytes index_key(int64_t i) {
  const Value values[] = {Value::Text("name" + std::to_string(i % 37)), Value::Int(i * 3)};
  return keyenc::encode_index_key(values, i);
}

// A 512-byte-page database whose schema root names an index tree of a few
// hundred keys, short and long, some deleted.
std::string make_index_database(const std::string& path) {
  Pager pager = must(Pager::create(OsVfs::instance(), path, 512));
  must(pager.begin());
  IndexBTree t = must(IndexBTree::create(pager));
  pager.set_schema_root(t.root());
  for (int64_t i = 1; i <= 400; ++i) {
    Bytes k = index_key(i);
    if (i % 11 == 0) k.insert(k.begin(), 200, static_cast<uint8_t>(i));
    must(t.insert(k));
  }
  for (int64_t i = 5; i <= 400; i += 6) must(t.delete_(index_key(i)));
  must(pager.commit());
  return testing::read_file(path);
}

// Runs every index-tree operation once, reading the rowid of every key it
// meets; errors are fine, crashes are not.
void exercise_index(Pager& pager) {
  const uint32_t root = pager.header().schema_root;
  if (!pager.begin()) return;
  IndexBTree t(pager, root);
  IndexCursor c(pager, root);
  if (c.seek({})) {
    Bytes key;
    for (int i = 0; i < 2000; ++i) {
      auto more = c.next_into(key);
      if (!more || !*more) break;
      (void)keyenc::key_rowid(key);
    }
  }
  if (c.seek(index_key(200))) (void)c.next();
  (void)t.contains_prefix(Bytes{0x20});
  (void)t.contains_prefix(index_key(77));
  for (int64_t i = 401; i <= 440; ++i) (void)t.insert(index_key(i));
  (void)t.insert(Bytes(242, 0x41));
  for (int64_t i = 1; i <= 60; ++i) (void)t.delete_(index_key(i));
  (void)pager.rollback();
}

TEST(CorruptIndexTree, SeededByteMutations) {
  testing::TempDir dir;
  mutation_loop(make_index_database(dir.file("clean.db")), 20261211, 1500, exercise_index);
}

// Hand-made damage to a tree of a few levels on 512-byte pages.
class Damage : public ::testing::Test {
 protected:
  // Writes `value` big-endian at `offset` of page `pgno`.
  void poke32(uint32_t pgno, size_t offset, uint32_t value) {
    PageRef page = must(pager_.get_page(pgno));
    put_be32(page.write().data() + offset, value);
  }
  uint32_t child(uint32_t pgno, size_t slot) {
    PageRef page = must(pager_.get_page(pgno));
    return must(node::child_at(page.read().bytes(), slot));
  }
  // Offset of cell i of page `pgno`.
  size_t cell_offset(uint32_t pgno, size_t i) {
    PageRef page = must(pager_.get_page(pgno));
    return get_be16(page.read().data() + 12 + 2 * i);
  }
  static bool corrupt(const Error& e) { return e.kind() == Error::Kind::Corrupt; }

  testing::TempDir dir_;
  Pager pager_ = must(Pager::create(OsVfs::instance(), dir_.file("x.db"), 512));
};

// Table trees: damage that would loop or free twice if followed.
class CorruptTree : public Damage {
 protected:
  void SetUp() override {
    must(pager_.begin());
    t_ = must(BTree::create(pager_));
    for (int64_t r = 1; r <= 200; ++r) must(t_->insert(r, Bytes(r == 100 ? 3000 : 30, 1)));
  }
  uint32_t first_child() { return child(t_->root(), 0); }

  std::optional<BTree> t_;
};

TEST_F(CorruptTree, ChildPointingAtAnAncestorIsTooDeep) {
  // The root's first child becomes the root itself.
  poke32(t_->root(), cell_offset(t_->root(), 0), t_->root());
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

// Two slots of the root name the leaf that holds row 100 and its overflow
// chain: a truncation reaches that leaf twice and must not free its chain
// (or the leaf) a second time.
TEST_F(CorruptTree, TruncationReachingALeafTwiceFreesNothingTwice) {
  const size_t slot = must(node::interior_child_index(must(pager_.get_page(t_->root())).read().bytes(), 100));
  const uint32_t leaf = child(t_->root(), slot);
  must(btree::redirect_child(must(pager_.get_page(t_->root())).write().bytes(), slot + 1, leaf));
  EXPECT_TRUE(corrupt(t_->truncate_from(INT64_MIN).error()));
  EXPECT_TRUE(testing::check_free_list(pager_));
}

// Rows 100 and 300 name one overflow chain: one truncation removing both
// rows frees that chain once.
TEST_F(CorruptTree, TruncationFreesAChainNamedByTwoCellsOnce) {
  must(t_->insert(300, Bytes(3000, 2)));
  auto overflow_field = [&](int64_t rowid) -> std::pair<uint32_t, size_t> {
    Cursor c(pager_, t_->root());
    must(c.seek(rowid));
    const uint32_t leaf = c.position()->leaf;
    PageRef page = must(pager_.get_page(leaf));
    PageRead r = page.read();
    const size_t i = must(node::leaf_find(r.bytes(), rowid)).index;
    const cell::LeafHead head = must(cell::parse_leaf_head(must(node::cell_start(r.bytes(), i))));
    return {leaf, cell_offset(leaf, i) + head.head_len + head.local};
  };
  const auto [leaf100, at100] = overflow_field(100);
  const auto [leaf300, at300] = overflow_field(300);
  const uint32_t chain = get_be32(must(pager_.get_page(leaf100)).read().data() + at100);
  poke32(leaf300, at300, chain);
  EXPECT_TRUE(corrupt(t_->truncate_from(50).error()));
  EXPECT_TRUE(testing::check_free_list(pager_));
}

// A damaged free list hands out the root, which is still in use, as the
// right page of a leaf split: the root then holds far fewer cells than the
// slot that is to be redirected. That is Corrupt, not a broken invariant.
TEST_F(CorruptTree, SplitWhoseNewPageWasTheParentIsCorrupt) {
  const uint32_t trunk = must(pager_.alloc_page());
  const uint32_t leaf = must(pager_.alloc_page());
  must(pager_.free_page(trunk));
  must(pager_.free_page(leaf));
  poke32(trunk, 8, t_->root());  // the trunk's one leaf entry
  Result<void> inserted;
  try {
    for (int64_t r = 1000; r < 1010 && inserted; ++r) inserted = t_->insert(r, Bytes(cell::max_local(512), 3));
  } catch (const InternalFault& f) {
    FAIL() << f.what();
  }
  ASSERT_FALSE(inserted);
  EXPECT_TRUE(corrupt(inserted.error()));
}

// A damaged free list hands out the root itself for the copy of the root's
// content when the root splits: Corrupt, not two borrows of one page.
TEST_F(Damage, RootSplitWhoseCopyIsTheRootIsCorrupt) {
  must(pager_.begin());
  const BTree t = must(BTree::create(pager_));
  const uint32_t trunk = must(pager_.alloc_page());
  const uint32_t right = must(pager_.alloc_page());
  const uint32_t spare = must(pager_.alloc_page());
  for (uint32_t pgno : {trunk, spare, right}) must(pager_.free_page(pgno));
  poke32(trunk, 8, t.root());  // handed out second, after `right`
  Result<void> inserted;
  try {
    for (int64_t r = 1; r <= 3 && inserted; ++r) inserted = t.insert(r, Bytes(cell::max_local(512), 1));
  } catch (const InternalFault& f) {
    FAIL() << f.what();
  }
  ASSERT_FALSE(inserted);
  EXPECT_TRUE(corrupt(inserted.error()));
}

// Two cell pointers of a leaf name the same cell, so the page's cells seem
// to need more room than it has: rewriting the current row with a shorter
// cell then finds no room, which is Corrupt rather than a broken invariant.
TEST_F(Damage, ShorterRewriteOnALeafWithOverlappingCellsIsCorrupt) {
  must(pager_.begin());
  const BTree t = must(BTree::create(pager_));
  must(t.insert(1, Bytes(cell::max_local(512), 1)));
  must(t.insert(2, Bytes(cell::max_local(512), 2)));
  {
    PageRef root = must(pager_.get_page(t.root()));
    PageWrite w = root.write();
    put_be16(w.data() + 12 + 4, get_be16(w.data() + 12 + 2));  // pointer 2 := pointer 1
    put_be16(w.data() + 1, 3);
  }
  Cursor c(pager_, t.root());
  must(c.rewind());
  ASSERT_EQ(must(c.next())->rowid, 1);
  Result<bool> rewritten;
  try {
    rewritten = c.update_current_inplace(1, Bytes(150, 3));
  } catch (const InternalFault& f) {
    FAIL() << f.what();
  }
  ASSERT_FALSE(rewritten);
  EXPECT_TRUE(corrupt(rewritten.error()));
}

// A cell that claims an enormous payload over a chain whose one page names
// itself: the repeat ends the walk at once, with nothing freed, instead of a
// walk as long as the claimed length.
TEST_F(Damage, SelfNamingChainUnderAHugeLengthIsCorruptAtOnce) {
  must(pager_.begin());
  const BTree t = must(BTree::create(pager_));
  const uint32_t loop = must(pager_.alloc_page());
  poke32(loop, 0, loop);
  const Bytes local(cell::max_local(512), 0x11);
  {
    PageRef root = must(pager_.get_page(t.root()));
    ASSERT_TRUE(must(node::push_cell(root.write().bytes(), 512, cell::encode_leaf(7, uint64_t{1} << 62, local, loop))));
  }
  const uint32_t free_before = pager_.header().freelist_count;
  EXPECT_EQ(t.delete_(7).error(), Error::Corrupt("overflow chain names a page twice"));
  EXPECT_TRUE(corrupt(t.truncate_from(0).error()));
  Cursor c(pager_, t.root());
  must(c.rewind());
  EXPECT_TRUE(corrupt(c.next().error()));  // the length exceeds the file
  EXPECT_EQ(pager_.header().freelist_count, free_before);
}

// A header whose page count is far beyond the file's length lends any
// claimed payload length plausibility; a reader must hold the claim against
// the pages that really exist, before it allocates for the claim, in every
// reader of rows.
TEST(CorruptTableFile, AClaimBeyondTheFileIsCorruptWithoutAllocatingForIt) {
  struct Case {
    uint32_t page_count;
    uint64_t claim;
  };
  const Case cases[] = {{0xFFFFFFF0u, 1'000'000'000'000ull}, {1'000'000u, 4'000'000'000ull}};
  struct Reader {
    const char* what;
    Result<void> (*read)(Pager&, uint32_t root);
  };
  const Reader readers[] = {
      {"Cursor::next",
       [](Pager& p, uint32_t root) -> Result<void> {
         Cursor c(p, root);
         VBK_TRY(c.rewind());
         VBK_TRY(c.next());
         return {};
       }},
      {"Cursor::next_into",
       [](Pager& p, uint32_t root) -> Result<void> {
         Cursor c(p, root);
         VBK_TRY(c.rewind());
         Bytes buf;
         VBK_TRY(c.next_into(buf));
         return {};
       }},
      {"BTree::search",
       [](Pager& p, uint32_t root) -> Result<void> {
         VBK_TRY(BTree(p, root).search(7));
         return {};
       }},
  };
  testing::TempDir dir;
  const std::string path = dir.file("claim.db");
  for (const Case& c : cases) {
    SCOPED_TRACE("page count " + std::to_string(c.page_count) + ", claim " + std::to_string(c.claim));
    std::remove(path.c_str());
    {
      // Row 7's cell claims the length; its chain is one real page that
      // ends the chain.
      Pager pager = must(Pager::create(OsVfs::instance(), path, 512));
      must(pager.begin());
      const BTree t = must(BTree::create(pager));
      pager.set_schema_root(t.root());
      const uint32_t chain = must(pager.alloc_page());
      const Bytes local(cell::max_local(512), 0x11);
      PageRef root = must(pager.get_page(t.root()));
      ASSERT_TRUE(must(node::push_cell(root.write().bytes(), 512, cell::encode_leaf(7, c.claim, local, chain))));
      root = PageRef();
      must(pager.commit());
    }
    std::string bytes = testing::read_file(path);
    put_be32(reinterpret_cast<uint8_t*>(bytes.data()) + 18, c.page_count);
    testing::write_file(path, bytes);
    Pager pager = must(Pager::open(OsVfs::instance(), path));
    ASSERT_EQ(pager.header().page_count, c.page_count);
    for (const Reader& r : readers) {
      SCOPED_TRACE(r.what);
      Result<void> read;
      try {
        read = r.read(pager, pager.header().schema_root);
      } catch (const std::bad_alloc&) {
        FAIL() << "allocated for the claim";
      }
      ASSERT_FALSE(read.has_value());
      EXPECT_EQ(read.error(), Error::Corrupt("payload length exceeds the file"));
    }
  }
}

// The bound counts every page a reader can reach: pages only the log holds,
// and pages a transaction has added but not yet written anywhere.
TEST(CorruptTableFile, RowsOnPagesOutsideTheDatabaseFileStillRead) {
  testing::TempDir dir;
  const std::string path = dir.file("log.db");
  const Bytes row(20000, 0x5a);
  uint32_t root = 0;
  {
    Pager pager = must(Pager::create(OsVfs::instance(), path, 512));
    must(pager.set_journal_mode_wal());
    must(pager.begin());
    const BTree t = must(BTree::create(pager));
    root = t.root();
    must(t.insert(1, row));
    EXPECT_EQ(*must(t.search(1)), row);  // uncommitted pages
    must(pager.commit());
  }
  Pager pager = must(Pager::open(OsVfs::instance(), path));
  ASSERT_TRUE(pager.in_wal_mode());
  EXPECT_EQ(testing::read_file(path).size(), 512u);  // every tree page is in the log
  must(pager.read_lock());
  EXPECT_EQ(*must(BTree(pager, root).search(1)), row);
  must(pager.read_unlock());
}

// Index trees: pages of the wrong kind, loops and keys too short for a rowid.
class CorruptIndex : public Damage {
 protected:
  void SetUp() override {
    must(pager_.begin());
    t_ = must(IndexBTree::create(pager_));
    for (int64_t i = 1; i <= 300; ++i) must(t_->insert(index_key(i)));
  }
  uint32_t root() { return t_->root(); }

  std::optional<IndexBTree> t_;
};

TEST_F(CorruptIndex, OnlyIndexPageKindsAreFollowed) {
  const uint32_t first = child(root(), 0);
  for (uint8_t kind : {node::kTableLeaf, node::kTableInterior, uint8_t{0}, uint8_t{9}}) {
    must(pager_.get_page(first)).write().data()[0] = kind;
    const Error expect = Error::Corrupt("page " + std::to_string(first) + " is not an index b-tree page");
    EXPECT_EQ(t_->insert(index_key(1000)).error(), expect);
    EXPECT_EQ(t_->delete_(index_key(1)).error(), expect);
    EXPECT_EQ(t_->contains_prefix({}).error(), expect);
    IndexCursor c(pager_, root());
    EXPECT_EQ(c.seek({}).error(), expect);
  }
}

TEST_F(CorruptIndex, ChildPointingAtAnAncestorIsTooDeep) {
  poke32(root(), cell_offset(root(), 0), root());
  EXPECT_EQ(t_->insert(Bytes{0x00}).error(), btree::too_deep());
  EXPECT_EQ(t_->delete_(Bytes{0x00}).error(), btree::too_deep());
  EXPECT_EQ(t_->contains_prefix({}).error(), btree::too_deep());
}

TEST_F(CorruptIndex, ASubtreeReachedTwiceEndsTheScan) {
  // Slots 0 and 1 of the root name the same leaf: a scan would return its
  // keys again, and with every level so damaged, again and again.
  const uint32_t first = child(root(), 0);
  must(btree::redirect_child(must(pager_.get_page(root())).write().bytes(), 1, first));
  IndexCursor c(pager_, root());
  must(c.seek({}));
  Result<std::optional<Bytes>> k;
  for (int i = 0; i < 1000; ++i) {
    k = c.next();
    if (!k || !*k) break;
  }
  ASSERT_FALSE(k);
  EXPECT_EQ(k.error(), Error::Corrupt("index keys out of order"));
}

TEST_F(CorruptIndex, KeyShorterThanItsRowidSuffixIsCorrupt) {
  // The first cell of the first leaf now says its key is 3 bytes long.
  IndexCursor c(pager_, root());
  must(c.seek({}));
  const uint32_t leaf = c.position()->leaf;
  const size_t at = cell_offset(leaf, 0);
  must(pager_.get_page(leaf)).write().data()[at] = 3;
  const Bytes key = *must(c.next());
  EXPECT_EQ(key.size(), 3u);
  EXPECT_TRUE(corrupt(keyenc::key_rowid(key).error()));
}

// Forty interior pages, each with both its slots naming the next one, over
// one empty leaf: 2^40 paths to that leaf, and no key or row to return.
TEST_F(Damage, ASubtreeNamedByEverySlotIsNotWalkedForEver) {
  must(pager_.begin());
  auto chain = [&](uint8_t interior, uint8_t leaf, const Bytes& cell_of_child0) {
    const uint32_t bottom = must(pager_.alloc_page());
    node::init(must(pager_.get_page(bottom)).write().bytes(), 512, leaf);
    uint32_t below = bottom;
    for (int level = 0; level < 40; ++level) {
      const uint32_t pgno = must(pager_.alloc_page());
      PageRef page = must(pager_.get_page(pgno));
      PageWrite w = page.write();
      node::init(w.bytes(), 512, interior);
      EXPECT_TRUE(must(node::push_cell(w.bytes(), 512, cell_of_child0)));
      must(btree::redirect_child(w.bytes(), 0, below));
      node::set_right_child(w.bytes(), below);
      below = pgno;
    }
    return below;
  };
  const uint32_t index_root = chain(node::kIndexInterior, node::kIndexLeaf, cell::encode_index_interior(0, Bytes{'k'}));
  IndexCursor ic(pager_, index_root);
  must(ic.seek({}));
  auto key = ic.next();
  ASSERT_FALSE(key);
  EXPECT_TRUE(corrupt(key.error()));

  const uint32_t table_root = chain(node::kTableInterior, node::kTableLeaf, cell::encode_interior(0, 5));
  Cursor tc(pager_, table_root);
  must(tc.rewind());
  auto row = tc.next();
  ASSERT_FALSE(row);
  EXPECT_TRUE(corrupt(row.error()));
  // The right-most leaf is empty, so the largest rowid is looked for in the
  // other leaves: the same one, 2^40 times over.
  const BTree t(pager_, table_root);
  EXPECT_TRUE(corrupt(t.last_rowid().error()));
  EXPECT_TRUE(corrupt(t.count_subtree(table_root).error()));
  EXPECT_TRUE(corrupt(t.truncate_from(INT64_MIN).error()));
}

}  // namespace
}  // namespace vbk
