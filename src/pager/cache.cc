// The page cache: page buffers carved from mapped blocks, the table from
// page number to cached page, and the use list that eviction walks. The
// pager's own operations, which read the files and take the whole pager for
// their run, are in pager.cc.

#include "pager/pager.h"

#include <sys/mman.h>

#include <algorithm>
#include <atomic>
#include <new>
#include <string>
#include <vector>

namespace vbk {

// The one place a Page is deleted: PageRefs own pages jointly.
[[gnu::noinline]] void destroy_page(Page* page) noexcept { delete page; }

// One mapping of page buffers. `holds` counts the pages carved from it that
// are alive, plus one while a carver still hands out its buffers.
struct BufferBlock {
  void* base;
  size_t bytes;
  size_t holds;
};

namespace {

// Handles on other threads carve and release blocks at the same time.
std::atomic<size_t> g_live_blocks{0};

void release_block(BufferBlock* block) noexcept {
  if (--block->holds != 0) return;
  munmap(block->base, block->bytes);
  delete block;
  g_live_blocks.fetch_sub(1, std::memory_order_relaxed);
}

}  // namespace

Page::~Page() { release_block(block_); }

size_t BufferCarver::live_blocks() { return g_live_blocks.load(std::memory_order_relaxed); }

void BufferCarver::drop() noexcept {
  if (block_ != nullptr) release_block(block_);
  block_ = nullptr;
}

Page* BufferCarver::carve(size_t size) {
  if (block_ == nullptr || next_ == kBlockPages) {
    drop();
    const size_t bytes = size * kBlockPages;
    // A block's buffers are handed out in order and the next block is
    // mapped only when all of them are out, so the mapping itself faults the
    // whole block in: one call instead of a trap at each buffer's first
    // touch (a quarter of a large append's time when taken one by one). The
    // first block faults in buffer by buffer, so that a handle that reads
    // only a few pages holds only those.
    const int populate = mapped_ ? MAP_POPULATE : 0;
    void* base = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | populate, -1, 0);
    // Out of memory, as a failed operator new reports it.
    if (base == MAP_FAILED) throw std::bad_alloc();
    block_ = new BufferBlock{base, bytes, 1};
    mapped_ = true;
    g_live_blocks.fetch_add(1, std::memory_order_relaxed);
    next_ = 0;
  }
  uint8_t* data = static_cast<uint8_t*>(block_->base) + next_ * size;
  ++next_;
  Page* page = new Page(data, size, block_);
  ++block_->holds;
  return page;
}

void page_borrow_fault(uint32_t pgno, bool want_exclusive) {
  fault("page " + std::to_string(pgno) +
        (want_exclusive ? " borrowed for writing while it is already borrowed"
                        : " borrowed for reading while it is borrowed for writing"));
}

void PageTable::rehash(size_t capacity) {
  std::vector<Entry> old = std::move(slots_);
  slots_.assign(capacity, Entry{});
  mask_ = capacity - 1;
  for (const Entry& e : old) {
    if (e.pgno == 0) continue;
    size_t i = home(e.pgno);
    while (slots_[i].pgno != 0) i = (i + 1) & mask_;
    slots_[i] = e;
  }
}

void PageTable::assign(uint32_t pgno, Page* page) {
  if (pgno == 0) fault("page 0 entered in the page table");
  if (2 * (size_ + 1) > slots_.size()) rehash(slots_.empty() ? kFirstSlots : slots_.size() * 2);
  size_t i = home(pgno);
  while (slots_[i].pgno != 0 && slots_[i].pgno != pgno) i = (i + 1) & mask_;
  if (slots_[i].pgno == 0) ++size_;
  slots_[i] = Entry{pgno, page};
}

void PageTable::erase(uint32_t pgno) {
  if (slots_.empty()) return;
  size_t gap = home(pgno);
  while (slots_[gap].pgno != pgno) {
    if (slots_[gap].pgno == 0) return;
    gap = (gap + 1) & mask_;
  }
  // Every entry of the run after the gap that may live at the gap (its home
  // is not cyclically within (gap, here]) moves into it, leaving a new gap.
  for (size_t here = (gap + 1) & mask_; slots_[here].pgno != 0; here = (here + 1) & mask_) {
    const size_t h = home(slots_[here].pgno);
    const bool stays = gap < here ? (h > gap && h <= here) : (h > gap || h <= here);
    if (!stays) {
      slots_[gap] = slots_[here];
      gap = here;
    }
  }
  slots_[gap] = Entry{};
  --size_;
}

void PageTable::clear() noexcept {
  size_ = 0;
  if (slots_.size() <= kMinSlots) {
    std::fill(slots_.begin(), slots_.end(), Entry{});
    return;
  }
  // A table grown by a large transaction goes back to the system.
  std::vector<Entry>().swap(slots_);
  mask_ = 0;
}

void PageTable::shrink_to_fit() {
  // Down to the smallest table that holds the entries at most a quarter
  // full, so that growing back needs a doubling of them first.
  size_t capacity = kMinSlots;
  while (capacity < 4 * size_) capacity *= 2;
  if (capacity * 4 <= slots_.size()) rehash(capacity);
}

Result<PageRef> Pager::load_or_get(uint32_t pgno) {
  if (pgno < 2) fault("page 1 is never cached");
  if (Page* page = table_.find(pgno)) {
    page->tick_ = ++tick_;
    if (page->listed_ && page != lru_tail_) {
      lru_unlink(page);
      lru_push_back(page);
    }
    return PageRef(page);
  }
  evict_if_needed();
  PageRef page = take_page(pgno);
  // On failure the page (and its buffer) goes; nothing is cached.
  VBK_TRY(read_committed(pgno, {page.page_->data_, page_size_}));
  cache_insert(page);
  return page;
}

PageRef Pager::take_page(uint32_t pgno) {
  PageRef page;
  if (!free_buffers_.empty()) {
    page = std::move(free_buffers_.back());
    free_buffers_.pop_back();
  } else {
    page = PageRef(carver_.carve(page_size_));
  }
  page.page_->pgno_ = pgno;
  page.page_->dirty_ = false;
  return page;
}

void Pager::cache_insert(const PageRef& page) {
  Page* p = page.page_;
  if (Page* old = table_.find(p->pgno_)) (void)cache_remove(old);
  p->tick_ = ++tick_;
  // A new page is dirty and stays off the use list until commit.
  if (!p->dirty_) lru_push_back(p);
  ++p->refs_;
  table_.assign(p->pgno_, p);
}

PageRef Pager::cache_remove(Page* page) {
  if (page->listed_) lru_unlink(page);
  table_.erase(page->pgno_);
  return adopt_cache_ref(page);
}

PageRef Pager::adopt_cache_ref(Page* page) {
  PageRef ref(page);
  --page->refs_;
  return ref;
}

PageRef Pager::cached(uint32_t pgno) const {
  Page* page = table_.find(pgno);
  if (page == nullptr) fault("page " + std::to_string(pgno) + " is not cached");
  return PageRef(page);
}

void Pager::lru_push_back(Page* page) {
  page->lru_prev_ = lru_tail_;
  page->lru_next_ = nullptr;
  if (lru_tail_ != nullptr) {
    lru_tail_->lru_next_ = page;
  } else {
    lru_head_ = page;
  }
  lru_tail_ = page;
  page->listed_ = true;
}

void Pager::lru_unlink(Page* page) {
  if (page->lru_prev_ != nullptr) {
    page->lru_prev_->lru_next_ = page->lru_next_;
  } else {
    lru_head_ = page->lru_next_;
  }
  if (page->lru_next_ != nullptr) {
    page->lru_next_->lru_prev_ = page->lru_prev_;
  } else {
    lru_tail_ = page->lru_prev_;
  }
  page->lru_prev_ = page->lru_next_ = nullptr;
  page->listed_ = false;
}

void Pager::evict_if_needed() {
  if (table_.size() < std::max(kCacheCapacity, evict_again_at_)) return;
  evict_to_target();
}

void Pager::evict_to_target() {
  const size_t target = kCacheCapacity - std::max<size_t>(kCacheCapacity / 10, 1);
  // Candidates: pages only the cache holds. A dirty page is never one, in a
  // transaction or out of it: its change exists nowhere else, and writing it
  // to the file here would put it there behind the journal's back. The list
  // runs in tick order, so the first candidates met are the least recently
  // used ones; a page held elsewhere stays listed, a dirty one leaves the
  // list until commit.
  Page* p = lru_head_;
  while (p != nullptr && table_.size() > target) {
    Page* next = p->lru_next_;
    if (p->dirty_) {
      lru_unlink(p);
    } else if (p->refs_ == 1) {
      PageRef page = cache_remove(p);
      if (free_buffers_.size() < kCacheCapacity) free_buffers_.push_back(std::move(page));
    }
    p = next;
  }
  // Dirty or held pages can keep the cache above its target (a transaction
  // larger than the cache). The next pass then waits for another batch of
  // pages to come in, or for the transaction to end.
  evict_again_at_ = table_.size() > target ? table_.size() + kCacheCapacity / 10 : 0;
}

void Pager::trim_after_tx() {
  evict_again_at_ = 0;
  if (table_.size() > kCacheCapacity) evict_to_target();
  table_.shrink_to_fit();
}

void Pager::mark_clean(const std::vector<uint32_t>& dirty) {
  // A page leaves the use list only by being changed, so the pages to put
  // back are among the changed ones.
  std::vector<Page*> relist;
  for (uint32_t pgno : dirty) {
    Page* p = table_.find(pgno);
    p->dirty_ = false;
    if (!p->listed_) relist.push_back(p);
  }
  std::sort(relist.begin(), relist.end(), [](const Page* a, const Page* b) { return a->tick_ < b->tick_; });
  // Merge by tick: each returning page goes before the first listed page
  // used after it.
  Page* at = lru_head_;
  for (Page* p : relist) {
    while (at != nullptr && at->tick_ < p->tick_) at = at->lru_next_;
    if (at == nullptr) {
      lru_push_back(p);
      continue;
    }
    p->lru_next_ = at;
    p->lru_prev_ = at->lru_prev_;
    if (at->lru_prev_ != nullptr) {
      at->lru_prev_->lru_next_ = p;
    } else {
      lru_head_ = p;
    }
    at->lru_prev_ = p;
    p->listed_ = true;
  }
}

void Pager::drop_cache_keeping_buffers() {
  // The buffers of pages that only the cache holds go to the pool first,
  // for the misses that follow, rather than back to the system.
  std::vector<Page*> only_cached;
  table_.for_each([&](Page* p) {
    if (p->refs_ == 1 && free_buffers_.size() + only_cached.size() < kCacheCapacity) only_cached.push_back(p);
  });
  for (Page* p : only_cached) free_buffers_.push_back(cache_remove(p));
  drop_cache();
}

void Pager::drop_cache() noexcept {
  // The cache's references go; holders elsewhere keep detached pages. A
  // page whose last reference this was is freed here, and the table, which
  // only points, forgets it next.
  table_.for_each([](Page* p) {
    p->listed_ = false;
    p->lru_prev_ = p->lru_next_ = nullptr;
    adopt_cache_ref(p).release();
  });
  lru_head_ = lru_tail_ = nullptr;
  table_.clear();
  evict_again_at_ = 0;
}

}  // namespace vbk
