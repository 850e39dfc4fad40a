#include "pager/wal.h"


#include <algorithm>
#include <vector>

#include "util/bytes.h"
#include "vfs/release.h"

namespace vbk {

namespace {

constexpr uint64_t kFrameHeader = 8;
// Where the change counter sits in the database header.
constexpr uint64_t kCounterOffset = 30;

}  // namespace

std::string Wal::path_for(std::string_view db_path) {
  std::string out(db_path);
  out += "-wal";
  return out;
}

Result<Wal> Wal::open(Vfs& vfs, std::string_view db_path, uint64_t page_size) {
  std::string path = path_for(db_path);
  const bool existed = vfs.exists(path);
  auto file = VBK_TRY(vfs.open(path, true));
  // A commit syncs only the log's contents: unless the new file's name is
  // durable too, a power loss could take the log, and every commit in it,
  // away.
  if (!existed) VBK_TRY(vfs.sync_dir(path));
  Wal wal(vfs, std::move(path), std::move(file), page_size);
  // Removing a log takes the exclusive database lock, which the caller's
  // lock excludes: the path still names the file just opened.
  wal.id_ = vfs.identity(wal.path_);
  VBK_TRY(wal.rescan());
  return wal;
}

Result<void> Wal::delete_(Wal wal, Vfs& vfs) {
  Result<void> removed;
  if (vfs.exists(wal.path_)) removed = vfs.delete_(wal.path_);
  wal.file_.reset();
  return removed;
}

Result<void> Wal::lock_shared() { return lock_through_turnstile(false); }

Result<void> Wal::lock_exclusive() { return lock_through_turnstile(true); }

Result<void> Wal::lock_through_turnstile(bool exclusive) {
  VBK_TRY(file_->lock_turnstile());
  Result<void> locked = file_->lock(exclusive);
  Result<void> through = file_->unlock_turnstile();
  if (through) return locked;
  // A turnstile left held would keep every newcomer out for as long as this
  // handle lives. Closing the descriptor drops it, and the lock just taken
  // with it, so the caller holds nothing.
  (void)reopen_unlocked(*vfs_, path_, file_);
  return through;
}

Result<void> Wal::unlock() {
  // Opened afresh, the path may name another log than the one this Wal
  // indexed (the log was removed meanwhile, and perhaps made anew): id_
  // still names the old one, so replaced() says so and the pager lets go of
  // this Wal before it reads anything through it.
  return release_lock(*vfs_, path_, file_);
}

bool Wal::replaced(Vfs& vfs) const {
  if (!id_) return false;
  return vfs.identity(path_) != id_;
}

Result<void> Wal::rescan() {
  const uint64_t size = VBK_TRY(file_->size());
  return scan(0, size);
}

Result<bool> Wal::catch_up(uint32_t change_counter) {
  const uint64_t size = VBK_TRY(file_->size());
  if (end_ > 0 && size >= end_ && VBK_TRY(ends_with_commit(change_counter))) {
    if (size == end_) return false;
    const uint64_t old_end = end_;
    VBK_TRY(scan(end_, size));
    return end_ != old_end;
  }
  VBK_TRY(scan(0, size));
  return true;
}

Result<bool> Wal::ends_with_commit(uint32_t change_counter) const {
  // The frame header and the header's bytes up to its change counter.
  uint8_t tail[kFrameHeader + kCounterOffset + 4];
  VBK_TRY(file_->read_exact_at(tail, end_ - page_size_ - kFrameHeader));
  return get_be32(tail) == 1 && get_be32(tail + 4) == db_size_ &&
         get_be32(tail + kFrameHeader + kCounterOffset) == change_counter;
}

Result<void> Wal::scan(uint64_t from, uint64_t size) {
  const uint64_t frame = page_size_ + kFrameHeader;
  // Every frame read, in file order; those after the last commit frame are
  // dropped at the end, so the index takes only committed frames.
  std::vector<Entry> found;
  size_t committed = 0;
  uint64_t end = from;
  uint32_t db_size = from == 0 ? 0 : db_size_;
  uint8_t head[kFrameHeader];
  for (uint64_t offset = from; offset <= size && size - offset >= frame; offset += frame) {
    VBK_TRY(file_->read_exact_at(head, offset));
    const uint32_t pgno = get_be32(head);
    // No frame that was written whole names page 0: what follows is a torn
    // or zero-filled tail.
    if (pgno == 0) break;
    found.emplace_back(pgno, offset + kFrameHeader);
    const uint32_t commit = get_be32(head + 4);
    if (commit != 0) {
      committed = found.size();
      end = offset + frame;
      db_size = commit;
    }
  }
  if (from == 0) index_.clear();
  for (size_t i = 0; i < committed; ++i) index_.insert_or_assign(found[i].first, found[i].second);
  // Whoever appended what was found may not have synced it.
  if (from == 0 || end != from) synced_ = end == 0;
  end_ = end;
  db_size_ = db_size;
  return {};
}

uint64_t Wal::frames() const { return end_ / (page_size_ + kFrameHeader); }

Result<bool> Wal::read_page(uint32_t pgno, std::span<uint8_t> buf) const {
  if (buf.size() > page_size_) fault("log page read into a buffer larger than a page");
  auto it = index_.find(pgno);
  if (it == index_.end()) return false;
  VBK_TRY(file_->read_exact_at(buf, it->second));
  return true;
}

Result<void> Wal::append_raw(std::span<const uint8_t> batch, std::span<const Entry> entries,
                             uint32_t db_size, bool sync) {
  // Bytes beyond end() belong to no commit; should they form a whole batch
  // (a failed sync), a reader could take them for one.
  VBK_TRY(cut_tail());
  Result<void> written = file_->write_all_at(batch, end_);
  if (written && sync) written = file_->sync();
  if (!written) {
    (void)cut_tail();
    return written;
  }
  for (const auto& [pgno, offset] : entries) index_.insert_or_assign(pgno, offset);
  end_ += batch.size();
  db_size_ = db_size;
  // A sync covers the whole file, earlier unsynced commits included.
  synced_ = sync;
  return {};
}

Result<void> Wal::cut_tail() {
  const uint64_t size = VBK_TRY(file_->size());
  if (size <= end_) return {};
  VBK_TRY(lock_exclusive());
  Result<void> cut = file_->truncate(end_);
  if (cut) cut = file_->sync();
  Result<void> released = unlock();
  return cut ? released : cut;
}

Result<void> Wal::checkpoint(const VfsFile& db, uint64_t page_size, bool sync) {
  if (page_size != page_size_) fault("checkpoint with a page size other than the log's");
  if (index_.empty()) return {};
  // Commits appended without a sync may still sit in the system's cache
  // only, where the copy below may reach the disk before they do: a power
  // loss would then take the log's frames and keep part of their copy in
  // the database file, a mix of commits. They go to disk first. Without
  // `sync` the database file is not synced either, and nothing is promised.
  if (sync && !synced_) {
    VBK_TRY(file_->sync());
    synced_ = true;
  }
  std::vector<Entry> pages(index_.begin(), index_.end());
  std::sort(pages.begin(), pages.end());
  std::vector<uint8_t> buf(page_size_);
  for (const auto& [pgno, offset] : pages) {
    // Only a damaged log names a page past its database size; the
    // truncation below would cut it off again, after a write that could lie
    // anywhere in a 2^32-page range.
    if (pgno > db_size_) break;
    VBK_TRY(file_->read_exact_at(buf, offset));
    VBK_TRY(db.write_all_at(buf, uint64_t{pgno - 1} * page_size_));
  }
  VBK_TRY(db.truncate(uint64_t{db_size_} * page_size_));
  if (sync) VBK_TRY(db.sync());
  // Only once the database file holds everything may the log go. Its
  // emptying is synced whatever the level: the next commit goes at offset 0,
  // and old frames that a power loss brought back behind it would be taken
  // for committed.
  VBK_TRY(file_->truncate(0));
  // The log is empty now, whatever its sync does: an index left pointing
  // into it would put the next commit at the old end, behind a gap that
  // every scan reads as a torn tail, and that commit would be lost.
  index_.clear();
  end_ = 0;
  db_size_ = 0;
  VBK_TRY(file_->sync());
  synced_ = true;
  return {};
}

}  // namespace vbk
