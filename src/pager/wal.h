#pragma once

// The write-ahead log, "{db}-wal": in write-ahead-log mode a commit appends
// its pages here instead of rewriting the database file, and readers take a
// page from the log whenever it holds a committed copy. A checkpoint copies
// the newest committed copy of every logged page into the database file and
// empties the log.
//
// File layout: no header, no checksum; frames of P + 8 bytes from offset 0,
// P being the database's page size (which the log does not store). Frame k
// lies at k * (P + 8):
//   offset  size  content (integers unsigned 32-bit big-endian)
//   0       4     page number; never 0 in a frame that was written whole
//   4       4     commit field: 0, or on a commit frame the database size in
//                 pages after that commit
//   8       P     the page's bytes
// A commit is a run of frames ending in its commit frame, which is always
// page 1: the database header in its first 100 bytes, zeros after. So the
// newest header, and its change counter at end - P + 30, sits at the end of
// the committed part. Frames after the last commit frame, a frame cut short
// and everything from a frame numbered 0 on (a torn or zero-filled tail) are
// not committed and are ignored; the next append cuts them off first.
//
// Between handles: readers hold the shared lock on the log file while they
// read, a checkpoint and every cut of the log's tail hold the exclusive one,
// and an append takes none (the writer holds the exclusive lock on the
// database file, and appends only past what any reader has indexed).
//
// Shared locks are granted while an exclusive request waits, so readers that
// keep overlapping could hold a writer off for ever. Every taker of the
// log's lock therefore passes through the log file's turnstile (see
// VfsFile): a reader holds it just while it takes its shared lock, a writer
// until it has the exclusive one. A waiting writer thus waits only for the
// reads already under way, and readers that come after it wait behind it.
// A reader never takes the turnstile while it holds the database file's
// lock, so a writer that holds that lock may wait at the turnstile.

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>

#include "error.h"
#include "vfs/vfs.h"

namespace vbk {

class Wal {
 public:
  // (page number, log offset of that frame's page bytes)
  using Entry = std::pair<uint32_t, uint64_t>;

  // The database path followed by "-wal", unchanged otherwise.
  static std::string path_for(std::string_view db_path);

  // Opens "{db}-wal", creating it empty when missing (and syncing its
  // directory then, so that the log survives a power loss), and scans it. The
  // caller holds a lock on the database file, so that nobody removes the log
  // while it is being opened (see replaced()).
  static Result<Wal> open(Vfs& vfs, std::string_view db_path, uint64_t page_size);

  // Closes the log and removes its file, without a checkpoint: whatever it
  // held is discarded. The descriptor is closed whether or not the removal
  // succeeds.
  static Result<void> delete_(Wal wal, Vfs& vfs);

  Wal(Wal&&) noexcept = default;
  Wal& operator=(Wal&&) noexcept = default;
  ~Wal() = default;

  // Rebuilds the index, end and database size from the file. On failure the
  // Wal is unchanged. Reads only the 8-byte frame headers; the cost is one
  // read per frame plus one index update per frame.
  Result<void> rescan();

  // Brings the index up to date for a handle whose view of the log ends
  // with the commit whose header carries `change_counter`: false when the
  // log holds no commit beyond it, true when the index may have changed.
  // When the frame that ended the view is still that commit frame (page 1,
  // commit field db_size(), that counter), only the frames after it are
  // read; otherwise (the log was emptied and written again, or the view was
  // never that commit) the whole log is scanned, as rescan does. No two
  // commit frames ever carry the same counter (see Pager::commit), so a
  // matching frame is the same commit, with the same frames before it. On
  // failure the Wal is unchanged.
  Result<bool> catch_up(uint32_t change_counter);

  // The log's locks, each through the turnstile (see above). lock_shared is
  // a reader's; lock_exclusive waits for the readers already in and keeps
  // new ones out while it waits. Either one holds nothing on failure; a
  // turnstile that outlives its unlock is dropped by closing the log's
  // descriptor and opening the log afresh, which drops the lock too.
  Result<void> lock_shared();
  Result<void> lock_exclusive();
  // The exclusive lock, taken only if no other handle holds the log's lock:
  // true when taken, false (nothing held) when it is held elsewhere. Does
  // not pass through the turnstile: it never waits.
  Result<bool> try_lock_exclusive() { return file_->try_lock(true); }

  // Fills `buf` (at most a page) from the newest committed copy of `pgno`:
  // true, or false with `buf` untouched when the log holds none.
  Result<bool> read_page(uint32_t pgno, std::span<uint8_t> buf) const;

  // Appends one whole commit: `batch` is its frames, the last one the commit
  // frame; `entries` are their index entries, offsets already counted from
  // end(). A tail left beyond end() is cut off first, so that nothing can
  // fail once the batch is written (and synced, with `sync`): that is the
  // commit point, after which the frames are indexed. A failed write or sync
  // cuts the log back to end() (best effort) and leaves the Wal unchanged.
  Result<void> append_raw(std::span<const uint8_t> batch, std::span<const Entry> entries,
                          uint32_t db_size, bool sync);

  // Copies the newest committed copy of every logged page into `db`, sets its
  // length to db_size() pages, syncs it (with `sync`), then empties the log
  // and syncs that always. With `sync`, a log that may hold commits appended
  // without a sync (by this handle or, as far as it knows, another) is
  // synced before anything is copied, so that no part of the copy can reach
  // the disk before the commits it comes from. An empty index touches no file. The caller holds
  // the exclusive lock on the log file. A failure before the log is emptied
  // leaves the Wal unchanged and the log holding every committed frame, so
  // running it again redoes it; once the log is cut to nothing (only its
  // sync failed) the Wal is empty too.
  Result<void> checkpoint(const VfsFile& db, uint64_t page_size, bool sync);

  // Cuts whatever lies beyond end() (a failed append's bytes, a torn tail)
  // under the exclusive log lock, so that no reader indexes it meanwhile, and
  // syncs the cut so that a power loss cannot bring the bytes back.
  Result<void> cut_tail();

  // Releases this handle's lock on the log. A failed unlock closes the
  // log's descriptor, which drops the lock, and opens the log afresh; should
  // that fail, every later use of the log fails (see release_lock).
  Result<void> unlock();

  // The path no longer names the file this Wal has open: another handle
  // removed the log (and maybe made a new one). False when unknown.
  bool replaced(Vfs& vfs) const;

  const VfsFile& file() const { return *file_; }
  const std::string& path() const { return path_; }
  // Just after the last committed frame; where the next commit goes.
  uint64_t end() const { return end_; }
  // The commit field of the last commit frame; 0 for a log without commits.
  uint32_t db_size() const { return db_size_; }
  // Distinct pages with a committed frame.
  size_t pages() const { return index_.size(); }
  // Committed frames, a page's every copy counted (commit frames included).
  uint64_t frames() const;
  bool holds(uint32_t pgno) const { return index_.contains(pgno); }

 private:
  Wal(Vfs& vfs, std::string path, std::unique_ptr<VfsFile> file, uint64_t page_size)
      : vfs_(&vfs), path_(std::move(path)), file_(std::move(file)), page_size_(page_size) {}

  // Indexes the commits found from offset `from` (0, or end()) to `size`:
  // from 0 the index is rebuilt, from end() the new commits join it.
  Result<void> scan(uint64_t from, uint64_t size);
  // The frame just before end() is a commit frame of page 1 whose commit
  // field is db_size() and whose header carries `change_counter`.
  Result<bool> ends_with_commit(uint32_t change_counter) const;
  Result<void> lock_through_turnstile(bool exclusive);

  // For opening the log afresh after a failed unlock.
  Vfs* vfs_;
  std::string path_;
  std::unique_ptr<VfsFile> file_;
  // Which file the path named when the log was opened.
  std::optional<FileId> id_;
  // Newest committed frame of each page: the offset of its page bytes.
  std::unordered_map<uint32_t, uint64_t> index_;
  uint64_t page_size_;
  uint64_t end_ = 0;
  uint32_t db_size_ = 0;
  // Every committed frame is known to be on stable storage: this handle's
  // last append synced the log, or the log was last seen empty.
  bool synced_ = true;
};

}  // namespace vbk
