#include <cstdio>
#include <random>

#include <gtest/gtest.h>

#include "pager/pager.h"
#include "pager/pager_util.h"
#include "support/temp_dir.h"
#include "util/bytes.h"
#include "vfs/os.h"

namespace vbk::testing {
namespace {

struct Trunk {
  uint32_t next;
  std::vector<uint32_t> leaves;
};

Trunk read_trunk(Pager& pager, uint32_t pgno) {
  PageRef page = must(pager.get_page(pgno));
  PageRead r = page.read();
  Trunk t{get_be32(r.data()), {}};
  const uint32_t n = get_be32(r.data() + 4);
  for (uint32_t i = 0; i < n; ++i) t.leaves.push_back(get_be32(r.data() + 8 + 4 * i));
  return t;
}

class FreeListTest : public ::testing::Test {
 protected:
  // A database of `pages` pages of 512 bytes, every page from 2 up filled.
  Pager make_db(uint32_t pages) {
    make_filled_db(path_, pages, 0xab);
    return must(Pager::open(OsVfs::instance(), path_));
  }

  // Rewrites 4 bytes of the file in place.
  void poke32(uint64_t offset, uint32_t value) {
    std::string bytes = read_file(path_);
    put_be32(reinterpret_cast<uint8_t*>(bytes.data()) + offset, value);
    write_file(path_, bytes);
  }

  TempDir dir_;
  std::string path_ = dir_.file("free.db");
};

TEST_F(FreeListTest, AnEmptyListExtendsTheFile) {
  Pager pager = must(Pager::create(OsVfs::instance(), path_, 512));
  // Outside a transaction no rollback could undo the header's new counters.
  EXPECT_THROW((void)pager.alloc_page(), InternalFault);
  must(pager.begin());
  EXPECT_EQ(must(pager.alloc_page()), 2u);
  EXPECT_EQ(must(pager.alloc_page()), 3u);
  EXPECT_EQ(pager.header().page_count, 3u);
  PageRef page = must(pager.get_page(3));
  EXPECT_TRUE(page.dirty());
}

TEST_F(FreeListTest, FreedPagesComeBackLastInFirstOut) {
  Pager pager = make_db(8);
  must(pager.begin());
  must(pager.free_page(5));
  EXPECT_EQ(pager.header().freelist_head, 5u);
  EXPECT_EQ(pager.header().freelist_count, 1u);
  Trunk t = read_trunk(pager, 5);
  EXPECT_EQ(t.next, 0u);
  EXPECT_TRUE(t.leaves.empty());

  must(pager.free_page(6));
  EXPECT_EQ(pager.header().freelist_count, 2u);
  EXPECT_EQ(read_trunk(pager, 5).leaves, std::vector<uint32_t>{6});

  EXPECT_EQ(must(pager.alloc_page()), 6u);
  EXPECT_TRUE(read_trunk(pager, 5).leaves.empty());
  EXPECT_EQ(pager.header().freelist_count, 1u);
  // A page from the list is handed out zeroed and dirty.
  std::vector<uint8_t> zero(512, 0);
  EXPECT_EQ(page_copy(pager, 6), zero);

  EXPECT_EQ(must(pager.alloc_page()), 5u);
  EXPECT_EQ(pager.header().freelist_head, 0u);
  EXPECT_EQ(pager.header().freelist_count, 0u);
  EXPECT_EQ(page_copy(pager, 5), zero);
  EXPECT_TRUE(must(pager.get_page(5)).dirty());
  EXPECT_EQ(pager.header().page_count, 8u);
  must(pager.commit());

  // The list survives a commit and a reopen.
  must(pager.begin());
  must(pager.free_page(7));
  must(pager.commit());
  Pager reopened = must(Pager::open(OsVfs::instance(), path_));
  EXPECT_EQ(reopened.header().freelist_head, 7u);
  must(reopened.begin());
  EXPECT_EQ(must(reopened.alloc_page()), 7u);
}

TEST_F(FreeListTest, AFullTrunkStartsANewOne) {
  Pager pager = make_db(140);
  must(pager.begin());
  must(pager.free_page(2));  // the first trunk
  for (uint32_t p = 3; p <= 128; ++p) must(pager.free_page(p));
  Trunk full = read_trunk(pager, 2);
  EXPECT_EQ(full.leaves.size(), 126u);  // (512 - 8) / 4
  must(pager.free_page(129));
  EXPECT_EQ(pager.header().freelist_head, 129u);
  EXPECT_EQ(read_trunk(pager, 129).next, 2u);
  EXPECT_EQ(pager.header().freelist_count, 128u);
  // The new trunk goes first, then the old one's leaves from the last.
  EXPECT_EQ(must(pager.alloc_page()), 129u);
  EXPECT_EQ(must(pager.alloc_page()), 128u);
}

TEST_F(FreeListTest, FreeingOutsideTheFileIsInvalid) {
  Pager pager = make_db(5);
  must(pager.begin());
  for (uint32_t pgno : {0u, 1u, 6u}) {
    auto r = pager.free_page(pgno);
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error(), Error::InvalidPage(pgno));
  }
  EXPECT_EQ(pager.header().freelist_count, 0u);
}

TEST_F(FreeListTest, RollbackUndoesAllocationsAndFrees) {
  Pager pager = make_db(8);
  must(pager.begin());
  must(pager.free_page(4));
  must(pager.free_page(5));
  must(pager.commit());
  const DbHeader before = pager.header();
  const std::vector<uint8_t> trunk_before = page_copy(pager, 4);
  const std::string file_before = read_file(path_);

  must(pager.begin());
  EXPECT_EQ(must(pager.alloc_page()), 5u);
  must(pager.free_page(7));
  must(pager.free_page(8));
  EXPECT_EQ(must(pager.alloc_page()), 8u);
  EXPECT_EQ(must(pager.alloc_page()), 7u);
  EXPECT_EQ(must(pager.alloc_page()), 4u);
  EXPECT_EQ(must(pager.alloc_page()), 9u);
  must(pager.rollback());

  EXPECT_EQ(pager.header(), before);
  EXPECT_EQ(page_copy(pager, 4), trunk_before);
  EXPECT_EQ(page_value(pager, 7), 0xab);
  EXPECT_EQ(read_file(path_), file_before);
}

// Free-list numbers come from the file and are checked before use.
TEST_F(FreeListTest, DamagedListsAreCorruptAndChangeNothing) {
  struct Case {
    const char* what;
    uint32_t head;
    uint32_t count;
    uint32_t next;    // written into the trunk at page 5
    uint32_t leaves;  // leaf count written into the trunk
    uint32_t leaf;    // the last leaf
  };
  const Case cases[] = {
      {"head past the page count", 11, 1, 0, 0, 0},
      {"head is page 1", 1, 1, 0, 0, 0},
      {"count of zero", 5, 0, 0, 0, 0},
      {"leaf is page 0", 5, 2, 0, 1, 0},
      {"leaf is page 1", 5, 2, 0, 1, 1},
      {"leaf past the page count", 5, 2, 0, 1, 11},
      {"next trunk past the page count", 5, 1, 12, 0, 0},
      {"next trunk is page 1", 5, 1, 1, 0, 0},
      {"next trunk is itself", 5, 1, 5, 0, 0},
      {"leaf count over capacity", 5, 200, 0, 127, 6},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    make_db(10);
    poke32(22, c.head);
    poke32(26, c.count);
    poke32(4 * 512, c.next);
    poke32(4 * 512 + 4, c.leaves);
    if (c.leaves > 0 && c.leaves <= 126) poke32(4 * 512 + 4 + 4 * c.leaves, c.leaf);
    Pager pager = must(Pager::open(OsVfs::instance(), path_));
    const DbHeader before = pager.header();
    must(pager.begin());
    auto r = pager.alloc_page();
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error().kind(), Error::Kind::Corrupt) << r.error().display();
    EXPECT_EQ(pager.header(), before);
    must(pager.rollback());
    std::remove(path_.c_str());
  }
}

TEST_F(FreeListTest, APageCountWithNoRoomLeftIsCorrupt) {
  for (uint32_t count : {0u, 0xffffffffu}) {
    make_db(3);
    poke32(18, count);
    Pager pager = must(Pager::open(OsVfs::instance(), path_));
    must(pager.begin());
    auto r = pager.alloc_page();  // never page 1, never page 0
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error().kind(), Error::Kind::Corrupt);
    EXPECT_EQ(pager.header().page_count, count);
    must(pager.rollback());
    std::remove(path_.c_str());
  }
}

TEST_F(FreeListTest, FreeingOntoAnOverfullTrunkStartsANewOne) {
  make_db(10);
  poke32(22, 5);
  poke32(26, 1);
  poke32(4 * 512 + 4, 1000);  // more leaves than a 512-byte page holds
  Pager pager = must(Pager::open(OsVfs::instance(), path_));
  must(pager.begin());
  must(pager.free_page(7));
  EXPECT_EQ(pager.header().freelist_head, 7u);
  EXPECT_EQ(read_trunk(pager, 7).next, 5u);
  EXPECT_EQ(must(pager.alloc_page()), 7u);
  auto r = pager.alloc_page();  // now the damaged trunk is the head
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error().kind(), Error::Kind::Corrupt);
}

// Random damage to the free list's header fields and trunk: every allocation
// either fails with an error or hands out a page inside the file, never page 1.
TEST_F(FreeListTest, RandomlyDamagedListsNeverHandOutPagesOutsideTheFile) {
  make_db(12);
  Pager setup = must(Pager::open(OsVfs::instance(), path_));
  must(setup.begin());
  for (uint32_t p : {5u, 6u, 7u, 9u}) must(setup.free_page(p));
  must(setup.commit());
  const std::string good = read_file(path_);
  std::mt19937 rng(1210);
  for (int i = 0; i < 200; ++i) {
    SCOPED_TRACE("iteration " + std::to_string(i));
    std::string bytes = good;
    for (int f = 0; f < 3; ++f) {
      // The header's head and count (offsets 22-29) and trunk 5's first 20 bytes.
      const size_t at = rng() % 2 == 0 ? 22 + rng() % 8 : 4 * 512 + rng() % 20;
      bytes[at] = static_cast<char>(rng() % 3 == 0 ? rng() % 16 : rng());
    }
    write_file(path_, bytes);
    Pager pager = must(Pager::open(OsVfs::instance(), path_));
    must(pager.begin());
    for (int step = 0; step < 8; ++step) {
      if (step % 3 == 2) {
        auto freed = pager.free_page(2 + rng() % 12);
        if (!freed) {
          EXPECT_NE(freed.error().kind(), Error::Kind::Io);
        }
        continue;
      }
      auto page = pager.alloc_page();
      if (!page) {
        EXPECT_TRUE(page.error().is(Error::Kind::Corrupt) || page.error().is(Error::Kind::ShortRead))
            << page.error().display();
        continue;
      }
      EXPECT_GE(*page, 2u);
      EXPECT_LE(*page, pager.header().page_count);
    }
    must(pager.rollback());
  }
}

}  // namespace
}  // namespace vbk::testing
