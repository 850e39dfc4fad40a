#include <cstdlib>
#include <map>
#include <new>
#include <random>
#include <set>
#include <vector>

#include <gtest/gtest.h>

#include "pager/pager.h"
#include "pager/pager_util.h"
#include "support/temp_dir.h"
#include "vfs/os.h"

// Counts every allocation through the ordinary operator new, so that a test
// can check that a path allocates nothing. The count is plain: the tests run
// on one thread.
namespace {
uint64_t g_allocations = 0;
}  // namespace

// The replacements pair malloc with free; the compiler, seeing the library's
// allocations inlined next to this free, takes them for a mismatch.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void* operator new(std::size_t size) {
  ++g_allocations;
  if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
  throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }

namespace vbk::testing {
namespace {

class PagerCacheTest : public ::testing::Test {
 protected:
  // A database of `pages` pages of 512 bytes (page 1 included), each page
  // from 2 up filled by fill_page with its number's low byte.
  Pager make_db(uint32_t pages) {
    make_filled_db(path_, pages, kOwnNumber);
    return must(Pager::open(OsVfs::instance(), path_));
  }

  TempDir dir_;
  std::string path_ = dir_.file("cache.db");
};

TEST_F(PagerCacheTest, PageNumbersOutsideTheFileAreInvalid) {
  Pager pager = make_db(5);
  for (uint32_t pgno : {0u, 1u, 6u, 0xffffffffu}) {
    auto r = pager.get_page(pgno);
    ASSERT_FALSE(r.has_value()) << pgno;
    EXPECT_EQ(r.error(), Error::InvalidPage(pgno));
  }
  EXPECT_EQ(pager.cached_pages(), 0u);
}

TEST_F(PagerCacheTest, PageBeyondTheEndOfTheFileIsAShortReadAndNotCached) {
  make_db(5);
  // The header still counts 5 pages; the file ends inside page 4.
  write_file(path_, read_file(path_).substr(0, 3 * 512 + 100));
  Pager pager = must(Pager::open(OsVfs::instance(), path_));
  EXPECT_EQ(page_value(pager, 3), 3);

  auto partial = pager.get_page(4);
  ASSERT_FALSE(partial.has_value());
  EXPECT_EQ(partial.error(), Error::ShortRead(3 * 512, 512, 100));
  auto past = pager.get_page(5);
  ASSERT_FALSE(past.has_value());
  EXPECT_EQ(past.error(), Error::ShortRead(4 * 512, 512, 0));
  EXPECT_EQ(pager.cached_pages(), 1u);
  EXPECT_EQ(pager.pooled_buffers(), 0u);
}

TEST_F(PagerCacheTest, AMissInAFullCacheEvictsTheLeastRecentlyUsedTenth) {
  Pager pager = make_db(4100);
  for (uint32_t i = 2; i <= 4001; ++i) must(pager.get_page(i));
  EXPECT_EQ(pager.cached_pages(), 4000u);
  EXPECT_EQ(pager.pooled_buffers(), 0u);

  must(pager.get_page(2));     // now the most recently used page
  must(pager.get_page(4002));  // a miss in a full cache
  EXPECT_EQ(pager.cached_pages(), 3601u);
  EXPECT_EQ(pager.pooled_buffers(), 399u);

  // Evicted: pages 3..401 (the 399 oldest) and 402 (the 400th); page 2 was
  // used last and stays. A hit leaves the counts alone, a miss takes a
  // pooled buffer.
  must(pager.get_page(2));
  must(pager.get_page(403));
  EXPECT_EQ(pager.cached_pages(), 3601u);
  EXPECT_EQ(page_value(pager, 402), 402 & 0xff);
  EXPECT_EQ(pager.cached_pages(), 3602u);
  EXPECT_EQ(pager.pooled_buffers(), 398u);

  // The pool feeds the next misses; the cache refills to exactly 4000
  // without evicting, and every page reads its own bytes from a reused buffer.
  for (uint32_t i = 3; i <= 400; ++i) EXPECT_EQ(page_value(pager, i), static_cast<int>(i & 0xff));
  EXPECT_EQ(pager.cached_pages(), 4000u);
  EXPECT_EQ(pager.pooled_buffers(), 0u);
}

TEST_F(PagerCacheTest, HeldPagesAreNeverEvicted) {
  Pager pager = make_db(4100);
  PageRef held = must(pager.get_page(2));  // the oldest page of all
  for (uint32_t i = 3; i <= 4100; ++i) must(pager.get_page(i));
  EXPECT_LT(pager.cached_pages(), 4000u);
  PageRef again = must(pager.get_page(2));
  EXPECT_TRUE(again == held);
  EXPECT_EQ(held.ref_count(), 3u);
  EXPECT_EQ(page_value(pager, 2), 2);
}

TEST_F(PagerCacheTest, DirtyPagesGrowTheCacheUntilCommitThenItTrims) {
  Pager pager = make_db(10);
  must(pager.begin());
  PageRef first = must(pager.get_page(2));
  first.write().data()[100] = 0xee;  // a held, dirty page
  first = PageRef();
  for (int i = 0; i < 4100; ++i) must(pager.alloc_page());
  EXPECT_EQ(pager.cached_pages(), 4101u);  // nothing evictable
  must(pager.get_page(3));                 // a miss: nothing to evict either
  EXPECT_EQ(pager.cached_pages(), 4102u);
  must(pager.commit());

  must(pager.get_page(4));  // first miss after commit trims to 3600 first
  EXPECT_EQ(pager.cached_pages(), 3601u);
  EXPECT_EQ(pager.pooled_buffers(), 501u);  // 502 evicted, one reused
}

// A transaction larger than the cache leaves it no larger than the target
// when it ends, whichever way: its pages do not stay in memory until the
// next miss. After a commit the victims are the least recently used clean
// pages that only the cache holds; a rollback drops the changed pages and
// keeps the rest.
TEST_F(PagerCacheTest, ATransactionLargerThanTheCacheEndsWithTheCacheAtItsTarget) {
  struct Case {
    const char* what;
    bool commit;
    size_t cached;
    size_t pooled;
  };
  const Case cases[] = {
      // 4102 pages: 502 go, the appended pages 201..702, the oldest.
      {"commit", true, 3600, 502},
      // The 100 clean pages 3..102 were evicted inside the transaction, and
      // their buffers reused; the changed pages go without being pooled.
      {"rollback", false, 2, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    path_ = dir_.file(std::string(c.what) + ".db");
    Pager pager = make_db(200);
    must(pager.begin());
    PageRef held = must(pager.get_page(2));  // the oldest page of all
    for (uint32_t i = 3; i <= 102; ++i) must(pager.get_page(i));
    for (int i = 0; i < 4100; ++i) must(pager.alloc_page());  // pages 201..4300
    must(pager.get_page(103));  // the newest page
    EXPECT_EQ(pager.cached_pages(), 4102u);
    must(c.commit ? pager.commit() : pager.rollback());
    EXPECT_EQ(pager.cached_pages(), c.cached);
    EXPECT_EQ(pager.pooled_buffers(), c.pooled);

    // The held page and the newest one stayed: reading them misses nothing.
    must(pager.read_lock());
    EXPECT_EQ(page_value(pager, 103), 103);
    EXPECT_TRUE(must(pager.get_page(2)) == held);
    if (c.commit) {
      EXPECT_EQ(page_copy(pager, 4300), std::vector<uint8_t>(512, 0));
      EXPECT_EQ(page_copy(pager, 703), std::vector<uint8_t>(512, 0));
      EXPECT_EQ(pager.cached_pages(), c.cached);
      EXPECT_EQ(page_copy(pager, 702), std::vector<uint8_t>(512, 0));  // a miss
    } else {
      EXPECT_EQ(pager.header().page_count, 200u);
      EXPECT_EQ(pager.cached_pages(), c.cached);
    }
    must(pager.read_unlock());
    EXPECT_EQ(pager.cached_pages(), c.cached + (c.commit ? 1 : 0));
  }
}

// Page buffers come from blocks that go back to the system once no page
// uses them: what a transaction larger than the cache no longer keeps when
// it ends (dropped by rollback, or evicted by the commit's trim beyond what
// the pool holds) is returned, and all of it when the handle goes.
TEST_F(PagerCacheTest, BuffersOfPagesThatLeaveTheCacheGoBackToTheSystem) {
  constexpr size_t kBlock = BufferCarver::kBlockPages;
  struct Case {
    const char* what;
    bool commit;
    size_t most_blocks;  // the pages kept, rounded up, and the block in use
  };
  const Case cases[] = {
      {"rollback", false, 2},                                             // pages 2..10
      {"commit", true, (Pager::kCacheCapacity + 3600) / kBlock + 3},  // the pool and the cache
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    path_ = dir_.file(std::string(c.what) + ".db");
    const size_t before = BufferCarver::live_blocks();
    {
      Pager pager = make_db(10);
      must(pager.begin());
      for (int i = 0; i < 20000; ++i) must(pager.alloc_page());
      EXPECT_GE(BufferCarver::live_blocks() - before, 20000 / kBlock);
      must(c.commit ? pager.commit() : pager.rollback());
      EXPECT_LE(BufferCarver::live_blocks() - before, c.most_blocks);
      must(pager.read_lock());
      EXPECT_EQ(page_value(pager, 10), 10);
      must(pager.read_unlock());
    }
    EXPECT_EQ(BufferCarver::live_blocks(), before);
  }
}

// The page table against a plain map, through growth and deletions that
// shift runs of entries back across the table's wrap-around: every number
// entered and not erased is found with its page, no other is.
TEST(PageTable, AgreesWithAMapThroughInsertsAndErases) {
  struct Case {
    const char* what;
    uint32_t first, stride, count;
  };
  const Case cases[] = {
      {"dense", 2, 1, 20000},
      {"strided by the table size", 2, 8192, 3000},
      {"high numbers", 0xfffff000u, 1, 4000},
  };
  alignas(8) static uint64_t anchors[20000];
  auto page_of = [](uint32_t i) { return reinterpret_cast<Page*>(&anchors[i]); };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::mt19937 rng(7);
    PageTable table;
    std::map<uint32_t, Page*> model;
    std::vector<uint32_t> keys;
    for (uint32_t i = 0; i < c.count; ++i) keys.push_back(c.first + i * c.stride);
    auto check_all = [&] {
      ASSERT_EQ(table.size(), model.size());
      for (uint32_t k : keys) {
        auto it = model.find(k);
        ASSERT_EQ(table.find(k), it == model.end() ? nullptr : it->second) << k;
      }
      std::multiset<Page*> walked, entered;
      table.for_each([&](Page* p) { walked.insert(p); });
      for (const auto& [k, p] : model) entered.insert(p);
      ASSERT_EQ(walked, entered);
    };
    for (int round = 0; round < 3; ++round) {
      for (uint32_t i = 0; i < c.count; ++i) {
        const uint32_t k = keys[rng() % keys.size()];
        table.assign(k, page_of(i));
        model[k] = page_of(i);
      }
      check_all();
      for (uint32_t i = 0; i < c.count; ++i) {
        const uint32_t k = keys[rng() % keys.size()];
        table.erase(k);
        model.erase(k);
      }
      check_all();
      // Most entries gone: a shrunken table still finds the rest.
      for (uint32_t k : keys) {
        if (k % 16 != 0) {
          table.erase(k);
          model.erase(k);
        }
      }
      table.shrink_to_fit();
      check_all();
    }
    table.clear();
    model.clear();
    check_all();
  }
}

TEST_F(PagerCacheTest, ACacheHitAllocatesNothing) {
  Pager pager = make_db(5);
  must(pager.get_page(3));
  const uint64_t before = g_allocations;
  for (int i = 0; i < 100; ++i) {
    auto page = pager.get_page(3);
    ASSERT_TRUE(page.has_value());
    EXPECT_EQ(page->read().data()[4], 3);
  }
  EXPECT_EQ(g_allocations, before);
}

TEST_F(PagerCacheTest, ConflictingBorrowsAreInternalFaults) {
  Pager pager = make_db(5);
  PageRef page = must(pager.get_page(2));
  {
    PageRead r1 = page.read();
    PageRead r2 = page.read();  // shared borrows coexist
    EXPECT_THROW(page.write(), InternalFault);
  }
  {
    PageWrite w = page.write();
    EXPECT_TRUE(page.dirty());
    EXPECT_THROW(page.read(), InternalFault);
    EXPECT_THROW(page.write(), InternalFault);
  }
  PageRead after = page.read();  // every borrow above ended cleanly
  EXPECT_EQ(after.data()[4], 2);
}

TEST_F(PagerCacheTest, PagerOperationsRefuseToRunUnderABorrow) {
  Pager pager = make_db(5);
  must(pager.begin());
  must(pager.free_page(3));  // page 3 becomes the free-list trunk
  {
    PageRef trunk = must(pager.get_page(3));
    PageRead r = trunk.read();
    // Freeing writes the trunk; committing clears dirty flags: neither may
    // run under a borrow.
    EXPECT_THROW((void)pager.free_page(4), InternalFault);
    EXPECT_THROW((void)pager.commit(), InternalFault);
  }
  must(pager.free_page(4));
  must(pager.commit());
}

// A file layer whose reads call back into the pager, as nothing in the
// engine may do.
class ReentrantVfs final : public Vfs {
 public:
  class File final : public VfsFile {
   public:
    File(ReentrantVfs& vfs, std::unique_ptr<VfsFile> inner) : vfs_(vfs), inner_(std::move(inner)) {}
    Result<void> write_all_at(std::span<const uint8_t> b, uint64_t o) const override {
      return inner_->write_all_at(b, o);
    }
    Result<void> read_exact_at(std::span<uint8_t> b, uint64_t o) const override {
      if (vfs_.pager != nullptr) (void)vfs_.pager->get_page(2);
      return inner_->read_exact_at(b, o);
    }
    Result<void> lock(bool e) const override { return inner_->lock(e); }
    Result<bool> try_lock(bool e) const override { return inner_->try_lock(e); }
    Result<void> unlock() const override { return inner_->unlock(); }
    Result<void> lock_turnstile() const override { return inner_->lock_turnstile(); }
    Result<void> unlock_turnstile() const override { return inner_->unlock_turnstile(); }
    Result<uint64_t> size() const override { return inner_->size(); }
    Result<void> sync() const override { return inner_->sync(); }
    Result<void> truncate(uint64_t n) const override { return inner_->truncate(n); }

   private:
    ReentrantVfs& vfs_;
    std::unique_ptr<VfsFile> inner_;
  };

  Result<std::unique_ptr<VfsFile>> open(std::string_view path, bool create) override {
    auto inner = VBK_TRY(OsVfs::instance().open(path, create));
    return std::unique_ptr<VfsFile>(std::make_unique<File>(*this, std::move(inner)));
  }
  Result<void> delete_(std::string_view path) override { return OsVfs::instance().delete_(path); }
  bool exists(std::string_view path) override { return OsVfs::instance().exists(path); }
  std::optional<FileId> identity(std::string_view path) override {
    return OsVfs::instance().identity(path);
  }
  Result<void> sync_dir(std::string_view path) override { return OsVfs::instance().sync_dir(path); }

  Pager* pager = nullptr;
};

TEST_F(PagerCacheTest, ReenteringThePagerIsAnInternalFault) {
  make_db(5);
  ReentrantVfs vfs;
  Pager pager = must(Pager::open(vfs, path_));
  vfs.pager = &pager;
  EXPECT_THROW((void)pager.get_page(3), InternalFault);
  vfs.pager = nullptr;
  EXPECT_EQ(pager.cached_pages(), 0u);
  EXPECT_EQ(page_value(pager, 3), 3);  // the pager is usable afterwards
}

}  // namespace
}  // namespace vbk::testing
