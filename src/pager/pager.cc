#include "pager/pager.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <optional>
#include <string>

#include "pager/journal.h"
#include "util/bytes.h"
#include "vfs/release.h"

namespace vbk {

// Marks the pager busy for one operation; a second operation started before
// the first returns is a re-entry, which nothing in the engine may do.
class Pager::Busy {
 public:
  explicit Busy(Pager& pager) : pager_(pager) {
    if (pager_.busy_) fault("pager operation started while another one is running");
    pager_.busy_ = true;
  }
  ~Busy() { pager_.busy_ = false; }
  Busy(const Busy&) = delete;
  Busy& operator=(const Busy&) = delete;

 private:
  Pager& pager_;
};

namespace {

uint64_t page_offset(uint32_t pgno, uint64_t page_size) {
  if (pgno == 0) fault("file offset asked for page 0");
  return uint64_t{pgno - 1} * page_size;
}

// Hot-journal recovery; the caller holds the exclusive lock on `db`. A
// complete journal is played back (its own page size decides the offsets)
// and then deleted; a malformed one was never complete, so the database file
// was never touched behind it, and it is just deleted. Any failure keeps the
// journal, so the next lock holder starts over; playback only rewrites the
// same before-images, so it may run any number of times.
Result<void> recover_hot_journal(Vfs& vfs, const std::string& path, const VfsFile& db) {
  if (!vfs.exists(path)) return {};
  std::optional<journal::Journal> found;
  {
    auto file = VBK_TRY(vfs.open(path, false));
    found = VBK_TRY(journal::read_valid(*file));
  }
  if (!found) return vfs.delete_(path);
  VBK_TRY(journal::check_playable(*found));
  for (const journal::Record& r : found->records) {
    VBK_TRY(db.write_all_at(r.bytes, page_offset(r.pgno, found->page_size)));
  }
  // Pages the interrupted transaction appended go with the truncation.
  VBK_TRY(db.truncate(uint64_t{found->orig_page_count} * found->page_size));
  VBK_TRY(db.sync());
  return vfs.delete_(path);
}

// What open does under the exclusive lock: recovery first, so that the
// header read is never one that a dead writer left half-written.
Result<DbHeader> recover_and_read_header(Vfs& vfs, std::string_view path, const VfsFile& db) {
  VBK_TRY(recover_hot_journal(vfs, journal::journal_path(path), db));
  uint8_t bytes[kHeaderSize];
  VBK_TRY(db.read_exact_at(bytes, 0));
  return DbHeader::decode(bytes);
}

// Page 1 of a new database, written while the file is empty and locked.
// Leftovers beside the path belong to a database that no longer exists: an
// old journal would be played back over the new file, an old log adopted.
Result<void> init_empty_file(Vfs& vfs, std::string_view path, const VfsFile& db,
                             const DbHeader& header) {
  const std::string journal = journal::journal_path(path);
  if (vfs.exists(journal)) VBK_TRY(vfs.delete_(journal));
  const std::string wal = Wal::path_for(path);
  if (vfs.exists(wal)) VBK_TRY(vfs.delete_(wal));
  // Header and zero fill in one write, so that no crash leaves a page 1
  // without a header.
  std::vector<uint8_t> page(header.page_size, 0);
  const auto encoded = header.encode();
  std::memcpy(page.data(), encoded.data(), encoded.size());
  VBK_TRY(db.write_all_at(page, 0));
  return db.sync();
}

// The header of the log's last commit (its page 1); nothing when the log
// holds no commit. The log is read with the database file's page size, so a
// header stating another one belongs to some other file, or is damaged.
Result<std::optional<DbHeader>> read_log_header(const Wal& wal, uint64_t page_size) {
  uint8_t bytes[kHeaderSize];
  if (!VBK_TRY(wal.read_page(1, bytes))) return std::optional<DbHeader>();
  const DbHeader found = VBK_TRY(DbHeader::decode(bytes));
  if (found.page_size != page_size) {
    return std::unexpected(Error::BadHeader("log header states page size " +
                                            std::to_string(found.page_size) +
                                            ", the database file " + std::to_string(page_size)));
  }
  return std::optional<DbHeader>(found);
}

// The log beside the database with the header of its last commit, or
// `file_header` when it holds none.
Result<std::pair<Wal, DbHeader>> open_log(Vfs& vfs, std::string_view path, const DbHeader& file_header) {
  Wal wal = VBK_TRY(Wal::open(vfs, path, file_header.page_size));
  const std::optional<DbHeader> logged = VBK_TRY(read_log_header(wal, file_header.page_size));
  return std::pair<Wal, DbHeader>(std::move(wal), logged ? *logged : file_header);
}

}  // namespace

Pager::Pager(Vfs& vfs, std::string path, std::unique_ptr<VfsFile> file, const DbHeader& header)
    : vfs_(&vfs),
      path_(std::move(path)),
      journal_path_(journal::journal_path(path_)),
      file_(std::move(file)),
      header_(header),
      page_size_(header.page_size),
      tx_snapshot_(TxSnapshot::of(header)) {}

Pager::Pager(Pager&&) noexcept = default;

Pager& Pager::operator=(Pager&& other) noexcept {
  // The cache's references are held by hand (the table only points), so
  // the pages this handle cached are let go before it takes the other's.
  if (this != &other) {
    this->~Pager();
    new (this) Pager(std::move(other));
  }
  return *this;
}

Pager::~Pager() { drop_cache(); }

Result<Pager> Pager::open(Vfs& vfs, std::string_view path) {
  auto file = VBK_TRY(vfs.open(path, false));
  VBK_TRY(file->lock(true));
  Result<DbHeader> header = recover_and_read_header(vfs, path, *file);
  std::optional<Wal> wal;
  if (header && (header->journal_mode == 1 || vfs.exists(Wal::path_for(path)))) {
    Result<std::pair<Wal, DbHeader>> log = open_log(vfs, path, *header);
    if (!log) {
      header = std::unexpected(std::move(log).error());
    } else if (log->second.journal_mode == 1) {
      wal = std::move(log->first);
      *header = log->second;
    } else {
      // A stray log beside a database in journal mode: its frames are
      // discarded, and with them the header they carried, so the file's
      // header stays.
      Result<void> deleted = Wal::delete_(std::move(log->first), vfs);
      if (!deleted) header = std::unexpected(std::move(deleted).error());
    }
  }
  // The first begin or read_lock looks again for commits made after this.
  // A failed unlock fails the open, and the descriptor's closing drops the
  // lock.
  Result<void> unlocked = file->unlock();
  if (!header) return std::unexpected(std::move(header).error());
  VBK_TRY(std::move(unlocked));
  Pager pager(vfs, std::string(path), std::move(file), *header);
  pager.wal_ = std::move(wal);
  return pager;
}

Result<Pager> Pager::create(Vfs& vfs, std::string_view path, uint64_t page_size) {
  const DbHeader header = VBK_TRY(DbHeader::new_(page_size));
  auto file = VBK_TRY(vfs.open(path, true));
  VBK_TRY(file->lock(true));
  // Another process may have created the file and committed to it since the
  // caller saw no file: only an empty file is ours to initialise.
  // Until the file is made, closing it (which drops the lock) is all the
  // releasing a failure needs.
  Result<uint64_t> size = file->size();
  if (size && *size != 0) {
    file.reset();
    return open(vfs, path);
  }
  Result<void> made = size ? init_empty_file(vfs, path, *file, header)
                           : Result<void>(std::unexpected(size.error()));
  if (!made) return std::unexpected(std::move(made).error());
  // The database exists now; a failed unlock does not undo that.
  VBK_TRY(release_lock(vfs, path, file));
  return Pager(vfs, std::string(path), std::move(file), header);
}

// ---- page access ----

Result<PageRef> Pager::get_page(uint32_t pgno) {
  Busy busy(*this);
  if (pgno < 2 || pgno > header_.page_count) return std::unexpected(Error::InvalidPage(pgno));
  return load_or_get(pgno);
}

Result<uint64_t> Pager::readable_pages() {
  Busy busy(*this);
  const uint64_t file_size = VBK_TRY(file_->size());
  uint64_t held = file_size / page_size_;
  if (wal_) held += wal_->pages();
  // Pages allocated past the page count the transaction began with live in
  // the cache until commit.
  if (in_tx_ && header_.page_count > tx_snapshot_.page_count) {
    held += header_.page_count - tx_snapshot_.page_count;
  }
  return std::min<uint64_t>(held, header_.page_count);
}

Result<void> Pager::read_committed(uint32_t pgno, std::span<uint8_t> buf) {
  if (wal_ && VBK_TRY(wal_->read_page(pgno, buf))) return {};
  return file_->read_exact_at(buf, page_offset(pgno, page_size_));
}

// ---- free list ----
//
// A chain of trunk pages from the header's freelist_head:
//   offset 0   next trunk's page number, 0 on the last
//   offset 4   leaf count L, at most (page_size - 8) / 4
//   offset 8   L leaf page numbers; the rest of the page is left as it was
// freelist_count counts trunks and leaves. The most recently freed page is
// handed out first; a trunk goes once all its leaves are gone.

Result<void> Pager::check_freelist_pgno(uint32_t pgno, const char* what) const {
  if (pgno >= 2 && pgno <= header_.page_count) return {};
  return std::unexpected(Error::Corrupt("free-list " + std::string(what) + " " +
                                        std::to_string(pgno) + " is outside pages 2.." +
                                        std::to_string(header_.page_count)));
}

Result<uint32_t> Pager::alloc_page() {
  Busy busy(*this);
  if (!in_tx_) fault("alloc_page outside a write transaction");
  const uint32_t head = header_.freelist_head;
  if (head != 0) {
    VBK_TRY(check_freelist_pgno(head, "trunk"));
    if (header_.freelist_count == 0) {
      return std::unexpected(Error::Corrupt("free list has a trunk but a count of 0"));
    }
    PageRef trunk = VBK_TRY(load_or_get(head));
    const uint64_t capacity = (page_size_ - 8) / 4;
    uint32_t next = 0;
    uint32_t leaves = 0;
    uint32_t leaf = 0;
    {
      PageRead r = trunk.read();
      next = get_be32(r.data());
      leaves = get_be32(r.data() + 4);
      if (leaves > capacity) {
        return std::unexpected(Error::Corrupt("free-list trunk " + std::to_string(head) +
                                              " holds " + std::to_string(leaves) +
                                              " leaves, more than fit"));
      }
      if (leaves > 0) leaf = get_be32(r.data() + 4 + 4 * uint64_t{leaves});
    }
    uint32_t out = 0;
    if (leaves > 0) {
      VBK_TRY(check_freelist_pgno(leaf, "leaf"));
      put_be32(trunk.write().data() + 4, leaves - 1);
      out = leaf;
    } else {
      if (next != 0) {
        VBK_TRY(check_freelist_pgno(next, "trunk"));
        if (next == head) {
          return std::unexpected(Error::Corrupt("free-list trunk " + std::to_string(head) +
                                                " names itself as the next trunk"));
        }
      }
      header_.freelist_head = next;
      out = head;
    }
    header_.freelist_count -= 1;
    // The page is already off the list; should loading it fail, rollback
    // puts the list back.
    PageRef page = VBK_TRY(load_or_get(out));
    std::memset(page.write().data(), 0, page_size_);
    return out;
  }

  // Page 1 always exists, so a page count of 0 is a damaged header; and the
  // next number must not wrap to 0.
  if (header_.page_count == 0 || header_.page_count == UINT32_MAX) {
    return std::unexpected(Error::Corrupt("page count " + std::to_string(header_.page_count) +
                                          " leaves no page to allocate"));
  }
  const uint32_t pgno = ++header_.page_count;
  evict_if_needed();
  PageRef page = take_page(pgno);
  std::memset(page.page_->data_, 0, page_size_);
  page.page_->dirty_ = true;
  cache_insert(page);
  return pgno;
}

Result<void> Pager::free_page(uint32_t pgno) {
  Busy busy(*this);
  if (!in_tx_) fault("free_page outside a write transaction");
  if (pgno < 2 || pgno > header_.page_count) return std::unexpected(Error::InvalidPage(pgno));
  const uint32_t head = header_.freelist_head;
  if (head != 0) {
    VBK_TRY(check_freelist_pgno(head, "trunk"));
    PageRef trunk = VBK_TRY(load_or_get(head));
    const uint32_t leaves = get_be32(trunk.read().data() + 4);
    // A count over capacity (a damaged trunk) counts as full: a new trunk
    // starts and the damaged one is left alone.
    if (leaves < (page_size_ - 8) / 4) {
      PageWrite w = trunk.write();
      put_be32(w.data() + 8 + 4 * uint64_t{leaves}, pgno);
      put_be32(w.data() + 4, leaves + 1);
      header_.freelist_count += 1;
      return {};
    }
  }
  PageRef page = VBK_TRY(load_or_get(pgno));
  PageWrite w = page.write();
  put_be32(w.data(), head);
  put_be32(w.data() + 4, 0);
  header_.freelist_head = pgno;
  header_.freelist_count += 1;
  return {};
}

// ---- transactions, locks, change detection ----

// What this handle sees is the newest committed header: in journal mode the
// database file's, in log mode the log's last commit frame's (the file's when
// the log holds none). A header that states another page size is never
// adopted.
Result<void> Pager::sync_from_disk(bool db_locked) {
  if (wal_ && wal_->replaced(*vfs_)) {
    // Another handle removed the log (switching to journal mode, and perhaps
    // back): its frames are in the database file now, or were never
    // committed. A new log is opened only under a database lock, which keeps
    // it from being removed meanwhile.
    detach_wal();
    if (!db_locked) return {};
  }
  if (!wal_) {
    const std::optional<DbHeader> found = VBK_TRY(read_file_header());
    if (!found) return {};
    if (found->journal_mode == 1) return attach_wal(*found);
    adopt(*found, false);
    return {};
  }

  // The log's last commit is still the one this view ends with, and
  // nothing was committed after it: nobody committed or checkpointed since.
  // A log that only grew is read from the view's end on.
  if (!VBK_TRY(wal_->catch_up(header_.change_counter))) return {};
  std::optional<DbHeader> found = VBK_TRY(read_log_header(*wal_, page_size_));
  if (!found) {
    found = VBK_TRY(read_file_header());
    if (!found) return {};
  }
  if (found->journal_mode != 1) detach_wal();
  adopt(*found, false);
  return {};
}

Result<std::optional<DbHeader>> Pager::read_file_header() const {
  // A read that fails says nothing about the file: going on with this
  // handle's view could commit over another handle's commit, so the error
  // is the caller's. A header that reads but does not decode, or states
  // another page size, is damage; the view stays as it is, and the next
  // commit rewrites the header.
  uint8_t bytes[kHeaderSize];
  VBK_TRY(file_->read_exact_at(bytes, 0));
  Result<DbHeader> found = DbHeader::decode(bytes);
  if (!found || found->page_size != page_size_) return std::optional<DbHeader>();
  return std::optional<DbHeader>(*found);
}

void Pager::adopt(const DbHeader& found, bool force) {
  // Any other counter means another handle committed: every cached page may
  // be stale. The page size is this handle's for good.
  if (force || found.change_counter != header_.change_counter ||
      found.journal_mode != header_.journal_mode) {
    drop_cache_keeping_buffers();
    header_ = found;
    tx_snapshot_ = TxSnapshot::of(header_);
  }
}

Result<void> Pager::attach_wal(const DbHeader& file_header) {
  auto [wal, found] = VBK_TRY(open_log(*vfs_, path_, file_header));
  if (found.journal_mode != 1) {
    adopt(file_header, false);
    return {};
  }
  wal_ = std::move(wal);
  ++wal_generation_;
  adopt(found, true);
  return {};
}

void Pager::detach_wal() {
  wal_.reset();
  ++wal_generation_;
  drop_cache_keeping_buffers();
}

Result<void> Pager::recover_journal() {
  VBK_TRY(recover_hot_journal(*vfs_, journal_path_, *file_));
  journal_left_ = false;
  return {};
}

Result<void> Pager::release_db_lock() { return release_lock(*vfs_, path_, file_); }

Result<void> Pager::lock_and_sync() {
  VBK_TRY(file_->lock(true));
  Result<void> ready = recover_journal();
  if (ready) ready = sync_from_disk(true);
  if (!ready) (void)release_db_lock();
  return ready;
}

Result<void> Pager::begin() {
  Busy busy(*this);
  if (in_tx_) return std::unexpected(Error::Tx("a transaction is already active"));
  VBK_TRY(lock_and_sync());
  in_tx_ = true;
  tx_snapshot_ = TxSnapshot::of(header_);
  return {};
}

Result<void> Pager::rollback() {
  Busy busy(*this);
  if (!in_tx_) return std::unexpected(Error::Tx("no active transaction to roll back"));
  // Nothing of the transaction reached the database file (a failed commit
  // put it back, or left the journal that does so for the next lock holder),
  // so clean pages still match the file and only dirty ones go. The header's
  // counters and schema root go back to where the transaction began: a root
  // kept from it would name a page it never committed.
  std::vector<Page*> changed;
  table_.for_each([&](Page* p) {
    if (p->dirty_) changed.push_back(p);
  });
  for (Page* p : changed) (void)cache_remove(p);
  header_.page_count = tx_snapshot_.page_count;
  header_.freelist_head = tx_snapshot_.freelist_head;
  header_.freelist_count = tx_snapshot_.freelist_count;
  header_.schema_root = tx_snapshot_.schema_root;
  in_tx_ = false;
  trim_after_tx();
  // A failed append may have left its batch beyond the log's end, where it
  // would read as a commit; the append cut it already unless that failed
  // too. Best effort again: should it survive, the whole batch is adopted
  // (the header in memory still has the change counter from before it, so
  // change detection takes the batch's header along with its pages).
  //
  // A reader may have indexed that batch before it was cut. Change detection
  // takes a commit frame that ends a reader's view, with the counter the
  // reader saw there, for the same commit; so the failed batch's counter
  // must never end up on another batch, not even another handle's, which
  // starts from the counter of the log's last commit. A commit of the header
  // alone, carrying a counter past the spent one, sees to it (and cuts the
  // tail on its way, as every append does).
  if (wal_) {
    if (spent_counter_) {
      (void)append_commit({});
    } else {
      (void)wal_->cut_tail();
    }
  }
  return release_db_lock();
}

Result<void> Pager::read_lock() {
  Busy busy(*this);
  if (in_tx_) return {};
  for (;;) {
    const uint64_t generation = wal_generation_;
    const bool log_mode = wal_.has_value();
    if (log_mode) {
      // Behind any writer that waits for the log's exclusive lock; no lock
      // on the database file is held here.
      VBK_TRY(wal_->lock_shared());
    } else {
      VBK_TRY(file_->lock(false));
      if (vfs_->exists(journal_path_)) {
        // Writers create the journal only under the exclusive lock, so one
        // seen under a shared lock was left by a writer that died or failed.
        // Recover it under the exclusive lock, then take the shared lock
        // afresh.
        Result<void> recovered = file_->lock(true);
        if (recovered) recovered = recover_journal();
        Result<void> released = release_db_lock();
        if (!recovered) return recovered;
        VBK_TRY(std::move(released));
        continue;
      }
    }
    Result<void> synced = sync_from_disk(!log_mode);
    if (synced && generation == wal_generation_) return {};
    // Release what was taken; a log that was detached closed with its lock.
    // After a switch of mode the other file's lock is taken afresh.
    if (!log_mode) {
      (void)release_db_lock();
    } else if (generation == wal_generation_) {
      (void)wal_->unlock();
    }
    if (!synced) return synced;
  }
}

Result<void> Pager::read_unlock() {
  Busy busy(*this);
  if (in_tx_) return {};
  return wal_ ? wal_->unlock() : release_db_lock();
}

// ---- commit ----

Result<void> Pager::commit() {
  Busy busy(*this);
  if (!in_tx_) return std::unexpected(Error::Tx("no active transaction to commit"));
  std::vector<uint32_t> dirty;
  table_.for_each([&](const Page* p) {
    // Commit reads every changed page and then clears every dirty flag; no
    // borrow may span it.
    if (p->borrows_ != 0) fault("commit while page " + std::to_string(p->pgno_) + " is borrowed");
    if (p->dirty_) dirty.push_back(p->pgno_);
  });
  // Both roads write the changed pages in ascending order.
  std::sort(dirty.begin(), dirty.end());
  // A failed commit of this transaction may have left its journal over a
  // half-written file; nothing may be read from the file before it is played
  // back, and while it cannot be, the commit is refused.
  if (journal_left_) VBK_TRY(recover_journal());
  if (dirty.empty()) {
    in_tx_ = false;
    trim_after_tx();
    return release_db_lock();
  }
  if (wal_) return commit_wal(dirty);
  VBK_TRY(commit_journal(dirty));
  mark_clean(dirty);
  in_tx_ = false;
  trim_after_tx();
  // Committed: an error now would only make the caller do it all again.
  // Should even the descriptor's reopening fail, the handle's next
  // operation reports it.
  (void)release_db_lock();
  return {};
}

// The journal road. Order is what makes it safe:
//   1. write the journal: the before-images of page 1 and every changed page
//      that existed when the transaction began (appended pages need none:
//      playback cuts the file back to the old page count), read from the
//      file as they are written;
//   2. sync the journal, seal it, sync it again, then sync its directory, so
//      that after a power loss the journal cannot be missing while the
//      database file is half-written;
//   3. write the changed pages, one write per run of consecutive numbers,
//      then the header with the change counter raised, and sync;
//   4. delete the journal: the commit point.
// A failure after the journal may exist plays it back at once (the file is
// then as before the transaction) and keeps the transaction open.
Result<void> Pager::commit_journal(const std::vector<uint32_t>& dirty) {
  std::vector<uint32_t> journaled_pages;
  journaled_pages.reserve(dirty.size() + 1);
  journaled_pages.push_back(1);
  for (uint32_t pgno : dirty) {
    if (pgno <= tx_snapshot_.page_count) journaled_pages.push_back(pgno);
  }

  journal_left_ = true;
  Result<void> journaled = [&]() -> Result<void> {
    auto file = VBK_TRY(vfs_->open(journal_path_, true));
    // The body first, then the trailer that completes it, each synced: a
    // torn write can then never leave a complete-looking journal whose
    // records did not reach the disk. The before-images are read from the
    // file as the body is written, a bounded batch at a time, so a large
    // transaction never holds all of them at once; until it is sealed the
    // journal is incomplete, and a failed read leaves nothing to play back.
    const uint64_t body = VBK_TRY(journal::write_body_from(
        *file, static_cast<uint32_t>(page_size_), tx_snapshot_.page_count, journaled_pages,
        [this](uint32_t pgno, std::span<uint8_t> out) {
          return file_->read_exact_at(out, page_offset(pgno, page_size_));
        }));
    VBK_TRY(file->sync());
    VBK_TRY(journal::seal(*file, body));
    VBK_TRY(file->sync());
    file.reset();
    return vfs_->sync_dir(journal_path_);
  }();
  if (!journaled) return std::unexpected(undo_failed_commit(std::move(journaled).error()));

  DbHeader next = header_;
  next.change_counter += 1;
  Result<void> written = [&]() -> Result<void> {
    std::vector<uint8_t> run;
    for (size_t i = 0; i < dirty.size();) {
      size_t end = i + 1;
      // Runs of consecutive pages go out in one write each, up to a bound
      // that keeps the copy small however large the transaction.
      constexpr size_t kMaxRunPages = 64;
      while (end < dirty.size() && dirty[end] == dirty[end - 1] + 1 && end - i < kMaxRunPages) ++end;
      const uint64_t offset = page_offset(dirty[i], page_size_);
      if (end == i + 1) {
        VBK_TRY(file_->write_all_at(cached(dirty[i]).read().bytes(), offset));
      } else {
        run.clear();
        for (size_t k = i; k < end; ++k) {
          PageRead page = cached(dirty[k]).read();
          run.insert(run.end(), page.bytes().begin(), page.bytes().end());
        }
        VBK_TRY(file_->write_all_at(run, offset));
      }
      i = end;
    }
    const auto encoded = next.encode();
    VBK_TRY(file_->write_all_at(encoded, 0));
    VBK_TRY(file_->sync());
    return vfs_->delete_(journal_path_);
  }();
  if (!written) return std::unexpected(undo_failed_commit(std::move(written).error()));
  journal_left_ = false;
  header_ = next;
  // The journal's removal is the commit point; until the directory is
  // synced a power loss could bring the journal back and undo a commit
  // already reported. Past the commit point a failure here is not the
  // commit's: it is done, and reporting it would only invite a retry.
  (void)vfs_->sync_dir(journal_path_);
  return {};
}

Error Pager::undo_failed_commit(Error cause) {
  // Best effort: when it fails too, journal_left_ stays set and the journal
  // waits for a retried commit or the next lock holder.
  (void)recover_journal();
  return cause;
}

// The log road. The batch is one frame per changed page, ascending by page
// number, then the commit frame: page 1 with the header (change counter
// raised) and the database size in its commit field. It is written with one
// write at the log's end and synced at level 2; that is the commit point,
// and nothing after it can fail the commit: the database file is not
// written, and the checkpoint that a long log calls for is retried at every
// later commit should it fail.
Result<void> Pager::commit_wal(const std::vector<uint32_t>& dirty) {
  VBK_TRY(append_commit(dirty));
  mark_clean(dirty);
  in_tx_ = false;
  trim_after_tx();
  // Counted in frames, not distinct pages, so that commits that keep
  // rewriting the same few pages do not grow the log without bound. Below
  // the ceiling the checkpoint gives way to readers, and a later commit
  // tries again; at the ceiling it waits for the reads under way.
  const uint64_t frames = wal_->frames();
  if (frames >= kCheckpointCeiling * checkpoint_threshold_) {
    (void)checkpoint();
  } else if (frames >= checkpoint_threshold_) {
    (void)checkpoint_unless_read();
  }
  // Committed: an error now would only make the caller do it all again
  // (see commit).
  (void)release_db_lock();
  return {};
}

Result<void> Pager::append_commit(const std::vector<uint32_t>& dirty) {
  DbHeader next = header_;
  next.change_counter = next_change_counter();
  const uint64_t frame = page_size_ + 8;
  const uint64_t base = wal_->end();
  std::vector<uint8_t> batch((dirty.size() + 1) * frame);
  std::vector<Wal::Entry> entries;
  entries.reserve(dirty.size() + 1);
  uint8_t* p = batch.data();
  for (uint32_t pgno : dirty) {
    put_be32(p, pgno);
    std::memcpy(p + 8, cached(pgno).read().data(), page_size_);
    entries.emplace_back(pgno, base + static_cast<uint64_t>(p - batch.data()) + 8);
    p += frame;
  }
  put_be32(p, 1);
  put_be32(p + 4, next.page_count);
  const auto encoded = next.encode();
  std::memcpy(p + 8, encoded.data(), encoded.size());
  entries.emplace_back(1, base + static_cast<uint64_t>(p - batch.data()) + 8);
  // A failure leaves the header as before it. The batch may have reached
  // the log all the same, where a reader may have indexed it before it was
  // cut off again: its counter is spent (see rollback).
  Result<void> appended = wal_->append_raw(batch, entries, next.page_count, synchronous_ == 2);
  if (!appended) {
    spent_counter_ = next.change_counter;
    return appended;
  }
  spent_counter_.reset();
  header_ = next;
  return {};
}

// ---- checkpoints and journal-mode switches ----

uint32_t Pager::next_change_counter() const {
  uint32_t base = header_.change_counter;
  // Counters wrap: the spent one is the newer when it lies ahead of the
  // header's by less than half the range.
  if (spent_counter_ && static_cast<int32_t>(*spent_counter_ - base) > 0) base = *spent_counter_;
  return base + 1;
}

Result<void> Pager::checkpoint() {
  if (!wal_) return {};
  // Waits for the reads under way; readers that come meanwhile wait behind
  // it. Once it is granted, no reader starts until it is released.
  VBK_TRY(wal_->lock_exclusive());
  return checkpoint_locked();
}

Result<void> Pager::checkpoint_unless_read() {
  if (!wal_) return {};
  if (!VBK_TRY(wal_->try_lock_exclusive())) return {};
  return checkpoint_locked();
}

Result<void> Pager::checkpoint_locked() {
  Result<void> done = wal_->checkpoint(*file_, page_size_, synchronous_ != 0);
  // The copy stands whatever the unlock does, and the lock goes either way;
  // a log that could not be opened again fails its next use.
  (void)wal_->unlock();
  return done;
}

Result<void> Pager::write_header() {
  const auto encoded = header_.encode();
  VBK_TRY(file_->write_all_at(encoded, 0));
  return file_->sync();
}

// Outside a transaction these take the exclusive database lock and catch up
// first, as begin does: working from a stale view they would copy a stale
// index and cut the database file to a stale size, or write a header over
// another handle's commit.
Result<void> Pager::with_db_lock(Result<void> (Pager::*op)()) {
  VBK_TRY(lock_and_sync());
  Result<void> done = (this->*op)();
  Result<void> released = release_db_lock();
  return done ? released : done;
}

Result<void> Pager::wal_checkpoint() {
  Busy busy(*this);
  return in_tx_ ? checkpoint() : with_db_lock(&Pager::checkpoint);
}

Result<void> Pager::set_journal_mode_wal() {
  Busy busy(*this);
  if (in_tx_) return std::unexpected(Error::Tx("cannot change journal_mode inside a transaction"));
  return with_db_lock(&Pager::switch_to_wal);
}

Result<void> Pager::set_journal_mode_delete() {
  Busy busy(*this);
  if (in_tx_) return std::unexpected(Error::Tx("cannot change journal_mode inside a transaction"));
  return with_db_lock(&Pager::switch_to_delete);
}

Result<void> Pager::switch_to_wal() {
  if (wal_) return {};
  // An existing log is adopted with the header of its last commit.
  auto [wal, found] = VBK_TRY(open_log(*vfs_, path_, header_));
  wal_ = std::move(wal);
  ++wal_generation_;
  adopt(found, false);
  header_.journal_mode = 1;
  Result<void> written = write_header();
  if (!written) {
    // Memory follows the file, which most likely still says journal mode:
    // back to it, and say so in the file too, as far as that goes.
    detach_wal();
    header_.journal_mode = 0;
    (void)write_header();
  }
  return written;
}

Result<void> Pager::switch_to_delete() {
  if (wal_) {
    // The log's lock is held from the checkpoint until the log is gone (its
    // closing drops the lock): a reader let in between would find the log
    // still there and read the database file under the log's lock alone,
    // while a writer in journal mode, which that lock does not keep out,
    // rewrites the file.
    VBK_TRY(wal_->lock_exclusive());
    Result<void> done = wal_->checkpoint(*file_, page_size_, synchronous_ != 0);
    if (!done) {
      (void)wal_->unlock();
      return done;
    }
    // The database file now holds everything the log did, so the cache
    // stays valid.
    Wal wal = std::move(*wal_);
    wal_.reset();
    ++wal_generation_;
    VBK_TRY(Wal::delete_(std::move(wal), *vfs_));
  } else if (header_.journal_mode == 0) {
    return {};
  }
  // Without a log (an unknown mode byte, say) there is nothing to copy or
  // remove: only the header is rewritten.
  header_.journal_mode = 0;
  return write_header();
}

}  // namespace vbk
