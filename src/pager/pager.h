#pragma once

// The pager: the page manager of one open database file. It owns the file's
// descriptor, a bounded cache of pages 2 and up, the database header in memory
// and the handle's transaction state, and it is the only code that writes the
// database file (through the rollback journal at commit, or by copying the
// write-ahead log into it at a checkpoint).
//
// Page 1 holds only the header (kept in memory as `header()`), so it is never
// cached or handed out. Page numbers are 1-based; the byte offset of page n is
// (n - 1) * page_size, always computed in 64 bits.
//
// The journal mode is the database's, stated by the header: 0 (rollback
// journal: a commit rewrites the database file behind a "-journal") or 1
// (write-ahead log: a commit appends to "-wal", and a checkpoint later copies
// the log into the database file). A handle works in log mode exactly while
// it has the log attached, and follows the mode the file states: change
// detection attaches or detaches the log when another handle switched.
//
// Between handles, in this process or others, the only coordination is
// whole-file locks on each handle's own descriptors and the header's change
// counter:
//   begin .. commit/rollback  exclusive lock on the database file
//   read_lock .. read_unlock  shared lock on the database file, or in log
//                             mode on the log file, so that in log mode
//                             readers and one writer run side by side
//   checkpoint, a cut of the  exclusive lock on the log file, inside the
//   log's uncommitted tail    exclusive lock on the database file
//   mode switches and an      exclusive lock on the database file
//   explicit checkpoint
//   open                      exclusive lock while it recovers, reads the
//                             header and attaches or discards the log
// Whoever holds both takes the database file's lock first. Locks are waited
// for without a time-out. On the database file shared locks are granted
// while an exclusive request waits, so in journal mode readers that keep
// overlapping hold off a writer for as long as they do. On the log file a
// waiting writer goes first (see Wal): a checkpoint or a cut waits only for
// the reads already under way, and readers that come after it wait behind
// it. A commit's own checkpoint does not wait at all below a ceiling (see
// commit), so readers of the log hold up no commit. A thread that holds a
// lock through one handle and waits for a conflicting one through another
// waits for ever. No lock outlives a failed unlock: the descriptor is
// closed and opened afresh instead.
//
// A leftover journal (a writer died or failed mid-commit) is played back by
// whoever takes the lock next: open, begin, read_lock (which briefly takes the
// exclusive lock for it) and a commit retried after a failure.
//
// One thread uses a Pager and its pages at a time. Every operation takes the
// whole pager for its run; calling one from inside another (from a file layer,
// say) is an internal fault.

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "error.h"
#include "pager/header.h"
#include "pager/wal.h"
#include "vfs/vfs.h"

namespace vbk {

class PageRef;
class PageRead;
class PageWrite;
class BufferCarver;
struct BufferBlock;

// One page's bytes with its number and dirty flag. Owned jointly by the
// PageRefs that name it, the cache's among them; a page dropped from the cache
// (by rollback or change detection) lives on, detached, for its other holders.
class Page {
 public:
  Page(const Page&) = delete;
  Page& operator=(const Page&) = delete;

  uint32_t pgno() const { return pgno_; }
  // Changed since it was read or last committed.
  bool dirty() const { return dirty_; }
  size_t size() const { return size_; }

 private:
  friend class PageRef;
  friend class PageRead;
  friend class PageWrite;
  friend class Pager;
  friend class BufferCarver;
  friend void destroy_page(Page* page) noexcept;

  Page(uint8_t* data, size_t size, BufferBlock* block)
      : data_(data), block_(block), size_(static_cast<uint32_t>(size)) {}
  ~Page();

  uint8_t* data_;
  // The block the buffer was carved from; the page keeps it alive.
  BufferBlock* block_;
  uint32_t size_;
  uint32_t pgno_ = 0;
  uint32_t refs_ = 0;
  int32_t borrows_ = 0;  // > 0: that many shared borrows; -1: one exclusive borrow
  bool dirty_ = false;
  // On the cache's use list (see Pager::lru_head_).
  bool listed_ = false;
  // The pager's use clock at the page's last use while cached.
  uint64_t tick_ = 0;
  Page* lru_prev_ = nullptr;
  Page* lru_next_ = nullptr;
};

// A counted handle to a Page. The count is plain (not atomic): pages never
// cross threads. Copying costs an increment; no operation allocates.
//
// The bytes are reached through borrows, checked at run time: any number of
// shared borrows (read) or one exclusive borrow (write), never both. A
// conflicting borrow is an internal fault. Hold a borrow for one operation on
// the page only, never across a call into the pager: freeing and allocating
// borrow free-list pages, and commit refuses to run while any page is
// borrowed.
class PageRef {
 public:
  PageRef() = default;
  PageRef(const PageRef& other) : page_(other.page_) {
    if (page_ != nullptr) ++page_->refs_;
  }
  PageRef(PageRef&& other) noexcept : page_(other.page_) { other.page_ = nullptr; }
  PageRef& operator=(PageRef other) noexcept {
    std::swap(page_, other.page_);
    return *this;
  }
  ~PageRef() { release(); }

  explicit operator bool() const { return page_ != nullptr; }
  uint32_t pgno() const { return page_->pgno_; }
  bool dirty() const { return page_->dirty_; }
  // Holders of this page, the cache included.
  uint32_t ref_count() const { return page_->refs_; }

  // A shared borrow, for reading the bytes.
  PageRead read() const;
  // The exclusive borrow, for changing the bytes. Taking it marks the page
  // dirty: whatever is changed under it reaches the file at commit.
  PageWrite write() const;

  // Handles to the same Page.
  friend bool operator==(const PageRef& a, const PageRef& b) { return a.page_ == b.page_; }

 private:
  friend class Pager;
  friend class PageRead;
  friend class PageWrite;

  // Takes a new reference to `page`.
  explicit PageRef(Page* page) : page_(page) { ++page_->refs_; }
  void release();

  Page* page_ = nullptr;
};

// A shared borrow of a page's bytes; ends when destroyed.
class PageRead {
 public:
  PageRead(PageRead&&) noexcept = default;
  PageRead& operator=(PageRead&&) = delete;
  ~PageRead() {
    if (ref_) --ref_.page_->borrows_;
  }

  std::span<const uint8_t> bytes() const { return {ref_.page_->data_, ref_.page_->size_}; }
  const uint8_t* data() const { return ref_.page_->data_; }
  size_t size() const { return ref_.page_->size_; }

 private:
  friend class PageRef;
  explicit PageRead(const PageRef& ref);
  PageRef ref_;
};

// The exclusive borrow of a page's bytes; ends when destroyed.
class PageWrite {
 public:
  PageWrite(PageWrite&&) noexcept = default;
  PageWrite& operator=(PageWrite&&) = delete;
  ~PageWrite() {
    if (ref_) ref_.page_->borrows_ = 0;
  }

  std::span<uint8_t> bytes() const { return {ref_.page_->data_, ref_.page_->size_}; }
  uint8_t* data() const { return ref_.page_->data_; }
  size_t size() const { return ref_.page_->size_; }

 private:
  friend class PageRef;
  explicit PageWrite(const PageRef& ref);
  PageRef ref_;
};

// Page buffers come from blocks of kBlockPages buffers, mapped from the
// system at once rather than one heap allocation each. A block goes back
// to the system when the last page carved from it is gone and the carver
// has moved on from it; a buffer is reused only through the pager's pool,
// with the Page that owns it. Pages are carved in order, and a cache trims
// its oldest pages first, so the blocks of a large transaction's pages
// empty together once they leave the cache and the pool.
class BufferCarver {
 public:
  static constexpr size_t kBlockPages = 64;

  BufferCarver() = default;
  BufferCarver(BufferCarver&& other) noexcept
      : block_(std::exchange(other.block_, nullptr)), next_(other.next_), mapped_(other.mapped_) {}
  BufferCarver& operator=(BufferCarver&& other) noexcept {
    if (this != &other) {
      drop();
      block_ = std::exchange(other.block_, nullptr);
      next_ = other.next_;
      mapped_ = other.mapped_;
    }
    return *this;
  }
  ~BufferCarver() { drop(); }

  // A new page, clean and numbered 0, whose buffer of `size` bytes (with
  // unspecified contents) is the next one of the current block, or the first
  // of a new block when that one is used up. Every page of one carver must
  // have the same size.
  Page* carve(size_t size);
  // Blocks mapped and not yet returned, in this process: for tests.
  static size_t live_blocks();

 private:
  // Lets go of the current block.
  void drop() noexcept;

  BufferBlock* block_ = nullptr;
  size_t next_ = 0;      // buffers of the block handed out
  bool mapped_ = false;  // whether this carver has mapped a block before
};

// The cache's index from page number to page: open addressing with linear
// probing in a power-of-two table kept at most half full, the page pointer
// stored inline, so that a hit costs one multiplicative hash and, mostly,
// one probe, with no allocation and no node to chase. Deletion shifts the
// entries behind back into the gap, so no tombstones build up. Page numbers
// are never 0 (0 marks an empty slot). The table only points: whoever
// enters a page keeps it alive while it is entered (the pager holds one
// reference per cached page).
class PageTable {
 public:
  PageTable() = default;
  PageTable(PageTable&& other) noexcept { *this = std::move(other); }
  // Leaves `other` empty.
  PageTable& operator=(PageTable&& other) noexcept {
    slots_ = std::move(other.slots_);
    other.slots_.clear();
    size_ = std::exchange(other.size_, 0);
    mask_ = std::exchange(other.mask_, 0);
    return *this;
  }

  Page* find(uint32_t pgno) const {
    if (slots_.empty()) return nullptr;
    for (size_t i = home(pgno);; i = (i + 1) & mask_) {
      const Entry& e = slots_[i];
      if (e.pgno == pgno) return e.page;
      if (e.pgno == 0) return nullptr;
    }
  }
  // Enters `page` under its number, replacing whatever was there.
  void assign(uint32_t pgno, Page* page);
  void erase(uint32_t pgno);
  void clear() noexcept;
  size_t size() const { return size_; }
  // Calls `f(page)` for every entered page, in no particular order. `f`
  // must not change the table.
  template <class F>
  void for_each(F&& f) const {
    for (const Entry& e : slots_) {
      if (e.pgno != 0) f(e.page);
    }
  }
  // After a large transaction: a table far larger than its entries need is
  // rebuilt smaller, so that walks over it (each commit makes one) cost what
  // the cache holds, not what it once held.
  void shrink_to_fit();

 private:
  struct Entry {
    uint32_t pgno = 0;
    Page* page = nullptr;
  };
  // The home slot: the low bits of the page number's product with an odd
  // constant. Multiplying by an odd number permutes the residues modulo the
  // table size, so pages whose numbers lie within one table's length of
  // each other (a scan's leaves, a tree's recent pages) never share a home.
  // The high bits would not do: the constant is 2^64/pi, and 355/113 comes
  // so close to pi that pages 355 apart land side by side, building long
  // probe runs in a cache of consecutive pages.
  size_t home(uint32_t pgno) const {
    return static_cast<size_t>(uint64_t{pgno} * 0x517cc1b727220a95ull) & mask_;
  }
  // Rebuilds the table with `capacity` slots (a power of two).
  void rehash(size_t capacity);

  // A new table starts small, so that a handle that reads a few pages
  // holds a small table; a table is cleared in place, and shrunk no
  // further, at the size a full cache grows it to.
  static constexpr size_t kFirstSlots = 64;
  static constexpr size_t kMinSlots = 8192;

  std::vector<Entry> slots_;
  size_t size_ = 0;
  size_t mask_ = 0;
};

class Pager {
 public:
  // Cached pages at which a miss starts evicting, and the largest number of
  // pooled page buffers. Eviction trims the cache to nine tenths of it.
  static constexpr size_t kCacheCapacity = 4000;

  // Committed frames in the log (each copy of a page, and each commit's
  // header frame, counted) at which a commit checkpoints if no reader holds
  // the log; otherwise the next commit tries again.
  static constexpr size_t kCheckpointThreshold = 1000;
  // The ceiling, in thresholds: a commit that brings the log to this many
  // times the threshold waits for the log's readers and checkpoints, so that
  // while checkpoints succeed the log never holds more than the ceiling plus
  // one commit's batch (10,000 frames, about 41 MB with 4,096-byte pages).
  static constexpr size_t kCheckpointCeiling = 10;

  // Opens an existing database file: takes the exclusive lock, plays back or
  // removes a leftover journal, reads the header, attaches the log when the
  // header (the log's last committed one, when there is a log) says log
  // mode, else removes a stray log, and releases the lock.
  // NotFound for a missing path; ShortRead for a file shorter than a header;
  // BadHeader for a wrong magic or page size, or a log header whose page size
  // is not the file's; Corrupt for a damaged journal, which is then kept.
  static Result<Pager> open(Vfs& vfs, std::string_view path);

  // Makes a new database of the given page size at `path`: page 1 with a new
  // header, synced. The file is created if missing and locked exclusively; a
  // file that another process filled in the meantime is opened instead (with
  // its own page size), and only an empty one gets a header, after any
  // leftover "-journal" and "-wal" beside it are removed.
  // InvalidPageSize (nothing touched) unless a power of two from 512 to 65536.
  static Result<Pager> create(Vfs& vfs, std::string_view path, uint64_t page_size);

  Pager(Pager&&) noexcept;
  Pager& operator=(Pager&&) noexcept;
  ~Pager();

  // A handle to page `pgno`, read into the cache on a miss. InvalidPage
  // outside 2..page_count; a read error (ShortRead for a page past the end of
  // the file) caches nothing.
  Result<PageRef> get_page(uint32_t pgno);

  // A page for the caller: the most recently freed one, or a new one past the
  // end of the file. It is cached, zero-filled and dirty. Corrupt when the
  // free list names a page outside 2..page_count or a trunk holds more leaves
  // than fit. Both this and free_page change the header's counters, which
  // only rollback can restore: outside a write transaction they are internal
  // faults.
  Result<uint32_t> alloc_page();
  // Puts a page on the free list. The caller guarantees that it is in use and
  // not already free. InvalidPage outside 2..page_count.
  Result<void> free_page(uint32_t pgno);

  // Opens a write transaction: exclusive lock, recovery of a leftover
  // journal, change detection. Tx "a transaction is already active".
  Result<void> begin();
  // Makes the transaction durable and releases the lock. Tx "no active
  // transaction to commit". After a failure before the commit point the
  // database file and the log hold the state before the transaction (or a
  // journal that restores it is left for the next lock holder) and the
  // transaction stays open with its changes: roll back or commit again.
  // Nothing after the commit point fails the commit. The lock goes even when
  // its unlock fails (the descriptor is closed and the file opened afresh;
  // should that fail, the handle's next operation reports it). In log mode,
  // once the log holds the checkpoint threshold of committed frames (this
  // commit's included) a checkpoint runs if it can take the log's lock
  // without waiting; from the ceiling on it waits for the reads under way.
  // Should it fail, or give way to readers, it is tried again at the next
  // commit (wal_checkpoint reports its error). A commit that fails after its
  // frames may have reached the log spends its change counter: no later
  // commit writes it again (see rollback).
  Result<void> commit();
  // Abandons the transaction: drops its changed pages from the cache, restores
  // the page count, free list and schema root, releases the lock. In log mode
  // it also cuts off what a failed commit may have left beyond the log's
  // committed end, and after such a failure appends a commit of the header
  // alone, whose change counter passes the one the failed commit spent;
  // otherwise no file I/O but the unlock. Tx "no active transaction to roll
  // back".
  Result<void> rollback();

  // The shared lock for a read outside a transaction (on the log file in log
  // mode, else on the database file), with change detection; inside a
  // transaction both do nothing. In log mode it waits behind a writer that
  // waits for the log's exclusive lock, and reads only the log's frames
  // committed since this handle last looked, unless the log was emptied
  // meanwhile.
  Result<void> read_lock();
  Result<void> read_unlock();

  // Copies the log into the database file and empties it; nothing to do in
  // journal mode. Outside a transaction it takes the exclusive database lock
  // and catches up with other handles' commits first, so none is lost. It
  // waits for the log's reads under way, as the switch to journal mode does.
  Result<void> wal_checkpoint();
  // Switch the database's journal mode: to the write-ahead log (opening or
  // adopting "-wal") or back to the rollback journal (checkpointing and
  // removing the log). Both take the exclusive database lock and catch up
  // with other handles first; the header's change counter is not changed.
  // Tx "cannot change journal_mode inside a transaction".
  Result<void> set_journal_mode_wal();
  Result<void> set_journal_mode_delete();
  // In log mode: the log is attached.
  bool in_wal_mode() const { return wal_.has_value(); }

  const std::string& path() const { return path_; }
  uint64_t page_size() const { return page_size_; }
  const DbHeader& header() const { return header_; }
  // The schema table's root; reaches the file with the next commit that
  // writes pages (a transaction that changed no page writes nothing), and
  // a rollback puts back the root the transaction began with.
  void set_schema_root(uint32_t root) { header_.schema_root = root; }
  bool in_tx() const { return in_tx_; }
  // Durability level 0, 1 or 2; 2 on every open. A rollback-journal commit
  // always syncs the journal and the database file, whatever the level. In
  // log mode a commit syncs the log only at level 2, so that below it a
  // power loss may take the latest commits; a checkpoint syncs the database
  // file unless the level is 0, and the emptied log always. At level 1 a
  // checkpoint first syncs a log whose commits may not be on disk yet: a
  // power loss may lose the latest commits, but never leaves part of one
  // in the database file.
  uint8_t synchronous() const { return synchronous_; }
  void set_synchronous(uint8_t level) { synchronous_ = level; }
  // For tests, which cannot afford logs of kCheckpointThreshold frames at
  // every crash point. The ceiling follows it.
  void set_checkpoint_threshold(size_t frames) { checkpoint_threshold_ = frames; }

  // At most how many distinct pages reads can deliver: the page count, but
  // no more than the database file, the log and this transaction's new pages
  // hold between them. The header's page count is file input like any other:
  // a reader that sizes work or memory by what a page claims (an overflow
  // chain's length) bounds the claim by this instead.
  Result<uint64_t> readable_pages();

  // For tests and diagnostics.
  size_t cached_pages() const { return table_.size(); }
  size_t pooled_buffers() const { return free_buffers_.size(); }

 private:
  // The header's fields that a transaction changes, as it began.
  struct TxSnapshot {
    uint32_t page_count = 0;
    uint32_t freelist_head = 0;
    uint32_t freelist_count = 0;
    uint32_t schema_root = 0;
    static TxSnapshot of(const DbHeader& h) {
      return {h.page_count, h.freelist_head, h.freelist_count, h.schema_root};
    }
  };
  class Busy;

  Pager(Vfs& vfs, std::string path, std::unique_ptr<VfsFile> file, const DbHeader& header);

  // The page, cached or read; the caller has checked the range (pgno >= 2).
  Result<PageRef> load_or_get(uint32_t pgno);
  // Fills `buf` with page `pgno` as committed (from the database file; the
  // write-ahead log, when there is one, comes first here).
  Result<void> read_committed(uint32_t pgno, std::span<uint8_t> buf);
  // Makes room for one more page; evicts only clean pages that nobody but
  // the cache holds.
  void evict_if_needed();
  // Evicts, least recently used first, clean pages that only the cache holds
  // until the cache is at its target size or no such page is left.
  void evict_to_target();
  // At the end of a transaction: a cache that a large transaction left above
  // its capacity goes back to the target, so that the transaction's pages
  // do not stay in memory for the life of the handle.
  void trim_after_tx();
  // Commit's end: the changed pages `dirty` (every cached page that is
  // dirty) are clean again and rejoin the use list in their places by tick.
  void mark_clean(const std::vector<uint32_t>& dirty);
  // The use list: appends a page as the most recently used, or takes one off.
  void lru_push_back(Page* page);
  void lru_unlink(Page* page);
  // A pooled buffer (the one pooled last) or a new one, as a page numbered
  // `pgno`, clean, with unspecified bytes.
  PageRef take_page(uint32_t pgno);
  // Enters `page` in the cache (the cache takes a reference), replacing a
  // page cached under its number; `cache_remove` takes it out and hands
  // the cache's reference over.
  void cache_insert(const PageRef& page);
  PageRef cache_remove(Page* page);
  // The cache's reference to `page`, as a PageRef (no count changes).
  static PageRef adopt_cache_ref(Page* page);
  // A cached page, which the caller knows to be there.
  PageRef cached(uint32_t pgno) const;
  // Drops every cached page; holders keep detached copies.
  void drop_cache() noexcept;
  // drop_cache, with the buffers of pages only the cache held pooled.
  void drop_cache_keeping_buffers();
  // Checks a page number read from the free list.
  Result<void> check_freelist_pgno(uint32_t pgno, const char* what) const;

  // Change detection: adopts the newest committed header and drops the cache
  // when another handle has committed since this one last looked, and
  // attaches or detaches the log when the header's journal mode says so.
  // `db_locked`: a lock on the database file is held, which keeps others
  // from removing the log; without it a log found replaced is only detached.
  Result<void> sync_from_disk(bool db_locked);
  // The database file's header; nothing when it does not decode or states
  // another page size. A failed read is an error.
  Result<std::optional<DbHeader>> read_file_header() const;
  // Makes `found` the header, dropping the cache, when its change counter or
  // journal mode differs (or always, with `force`).
  void adopt(const DbHeader& found, bool force);
  // Opens "-wal" for a file whose header says log mode, and adopts the log's
  // newest header. A log whose own newest header says otherwise is left
  // alone, unattached. A lock on the database file is held.
  Result<void> attach_wal(const DbHeader& file_header);
  // Closes the log (the file stays) and drops the cache.
  void detach_wal();
  // begin's locking and catching up, for the operations that take the
  // exclusive database lock outside a transaction.
  Result<void> lock_and_sync();
  // Drops this handle's lock on the database file, for certain: should the
  // unlock fail, the descriptor is closed and the file opened afresh, and
  // should that fail, every later use of the file fails (release_lock).
  // Success when the handle goes on as before.
  Result<void> release_db_lock();
  // Runs `op` under that lock, then releases it.
  Result<void> with_db_lock(Result<void> (Pager::*op)());
  // The checkpoint under the exclusive log lock; nothing in journal mode.
  // checkpoint waits for the log's readers (those already reading, not those
  // that come while it waits); checkpoint_unless_read does nothing while any
  // reader holds the log. checkpoint_locked is their common part, run with
  // the lock held, which it releases.
  Result<void> checkpoint();
  Result<void> checkpoint_unless_read();
  Result<void> checkpoint_locked();
  // The change counter of the next commit: one past the header's, or past
  // a counter that a failed commit spent, whichever is newer.
  uint32_t next_change_counter() const;
  Result<void> commit_wal(const std::vector<uint32_t>& dirty);
  // Appends a commit of the pages `dirty` (which may be none) with the
  // header raised to the next change counter, and makes that the header.
  // On failure the counter is spent and the header unchanged.
  Result<void> append_commit(const std::vector<uint32_t>& dirty);
  Result<void> switch_to_wal();
  Result<void> switch_to_delete();
  // Writes the in-memory header at offset 0 of the database file and syncs.
  Result<void> write_header();
  // Plays back or removes a leftover journal; the exclusive lock is held.
  Result<void> recover_journal();
  Result<void> commit_journal(const std::vector<uint32_t>& dirty);
  // Ends a commit that failed after the journal may exist: plays it back
  // so that the file is as before the transaction. Returns `cause`.
  Error undo_failed_commit(Error cause);

  Vfs* vfs_;
  std::string path_;
  std::string journal_path_;
  std::unique_ptr<VfsFile> file_;
  DbHeader header_;
  uint64_t page_size_;
  // The cached pages, each holding one reference for the cache.
  PageTable table_;
  // Pages of evicted entries, kept with their buffers for reuse (last in,
  // first out); nobody else holds them. At most kCacheCapacity.
  std::vector<PageRef> free_buffers_;
  // Where buffers of new pages come from.
  BufferCarver carver_;
  // The use list: every cached page that is clean, oldest tick first, and
  // perhaps some that became dirty since they were listed (eviction takes
  // those off as it meets them, and commit puts them back). Eviction walks
  // it from the oldest end, so it finds the least recently used clean pages
  // without looking at the dirty pages of a large transaction.
  Page* lru_head_ = nullptr;
  Page* lru_tail_ = nullptr;
  // While dirty or held pages keep the cache above its target, the cache
  // size at which eviction is tried again (0: at capacity, as usual).
  size_t evict_again_at_ = 0;
  // The use clock: +1 at every hit and every insertion, so ticks are unique.
  uint64_t tick_ = 0;
  TxSnapshot tx_snapshot_;
  bool in_tx_ = false;
  uint8_t synchronous_ = 2;
  bool busy_ = false;
  // A commit of this transaction failed after creating the journal and could
  // not remove it; a retried commit recovers it first.
  bool journal_left_ = false;
  // The write-ahead log, present exactly while the handle works in log mode.
  std::optional<Wal> wal_;
  // Counts attaches and detaches, so that read_lock sees when the lock it
  // took no longer fits the mode.
  uint64_t wal_generation_ = 0;
  size_t checkpoint_threshold_ = kCheckpointThreshold;
  // The counter of a log commit that failed after its batch may have reached
  // the log, until a commit passes it; no later commit reuses it.
  std::optional<uint32_t> spent_counter_;
};

// Frees a page whose last holder let go. Out of line: the count lives in the
// page, and inlined deletes through it defeat the compiler's use-after-free
// analysis.
void destroy_page(Page* page) noexcept;

inline void PageRef::release() {
  Page* page = page_;
  page_ = nullptr;
  if (page != nullptr && --page->refs_ == 0) destroy_page(page);
}

// A conflicting borrow of page `pgno`: an internal fault.
[[noreturn]] void page_borrow_fault(uint32_t pgno, bool want_exclusive);

inline PageRead::PageRead(const PageRef& ref) : ref_(ref) {
  if (ref_.page_->borrows_ < 0) page_borrow_fault(ref_.page_->pgno_, false);
  ++ref_.page_->borrows_;
}

inline PageWrite::PageWrite(const PageRef& ref) : ref_(ref) {
  if (ref_.page_->borrows_ != 0) page_borrow_fault(ref_.page_->pgno_, true);
  ref_.page_->borrows_ = -1;
  ref_.page_->dirty_ = true;
}

inline PageRead PageRef::read() const { return PageRead(*this); }
inline PageWrite PageRef::write() const { return PageWrite(*this); }

}  // namespace vbk
