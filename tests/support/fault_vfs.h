#pragma once

// A file layer for tests that wraps a real one, counts every operation and can
// inject a fault at the Nth:
//   Fail       the operation returns Io(EIO) instead of running;
//   Kill       the process is killed with SIGKILL just before it runs;
//   PowerLoss  just before it runs, everything not yet made durable is undone
//              as an operating system's cache would lose it, then SIGKILL.
// What counts as durable: a file's contents once that file is synced; a file's
// creation or deletion once its directory is synced. Everything on disk when
// the layer first touches a file counts as durable. A SIGKILL alone never
// loses what the kernel already holds, so only PowerLoss shows whether writes
// and syncs come in a safe order.
//
// A cache may also write any unsynced data back on its own before the power
// goes. PowerLoss with `writeback` takes that extreme: every file keeps the
// data written to it, and only creations and deletions whose directory was not
// synced are undone. Together the two extremes show a write order that needs
// a directory sync (a file's data on disk while the file itself is gone).
//
// Writes can also tear: a power loss in the middle of a large write may keep
// its first and last sectors and lose what lies between. PowerLoss with
// `torn` models the worst of it: creations and deletions stand as made (the
// cache wrote its metadata back), and of every write not yet synced only the
// first and last kSectorSize bytes survive; the bytes between keep what they
// durably held before (zero past the durable end).
//
// Kill and PowerLoss end the process: use them inside run_in_child.

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "vfs/vfs.h"

namespace vbk::testing {

// Lock counts every way of taking a lock (waiting, trying, the turnstile),
// Unlock every way of letting one go.
enum class FsOp : uint8_t { Open, Read, Write, Size, Sync, SyncDir, Lock, Unlock, Truncate, Delete, Exists };

enum class FaultMode : uint8_t { None, Fail, Kill, PowerLoss };

struct FaultPlan {
  FaultMode mode = FaultMode::None;
  uint64_t at = 0;                 // 1-based number of the matching operation
  std::optional<FsOp> only_op;     // count only operations of this kind
  std::string only_path_suffix;    // count only operations on paths ending so
  bool sticky = false;             // Fail: also fail every later matching operation
  bool writeback = false;          // PowerLoss: unsynced file data survives
  bool torn = false;               // PowerLoss: ... but only the ends of each write

  static FaultPlan fail(uint64_t at) { return with(FaultMode::Fail, at); }
  static FaultPlan kill(uint64_t at) { return with(FaultMode::Kill, at); }
  static FaultPlan power_loss(uint64_t at) { return with(FaultMode::PowerLoss, at); }
  static FaultPlan with(FaultMode mode, uint64_t at) {
    FaultPlan p;
    p.mode = mode;
    p.at = at;
    return p;
  }
  FaultPlan& on(FsOp op) { only_op = op; return *this; }
  FaultPlan& on_path(std::string suffix) { only_path_suffix = std::move(suffix); return *this; }
  FaultPlan& and_after() { sticky = true; return *this; }
  FaultPlan& after_writeback() { writeback = true; return *this; }
  FaultPlan& with_torn_writes() {
    writeback = true;
    torn = true;
    return *this;
  }
};

class FaultVfs final : public Vfs {
 public:
  explicit FaultVfs(Vfs& inner) : inner_(inner) {}

  // Starts a new count under `plan`.
  void arm(const FaultPlan& plan);
  void disarm() { arm(FaultPlan{}); }

  // Matching operations seen since the last arm (all operations when the plan
  // filters nothing). A sweep first runs once unarmed to learn the count.
  uint64_t count() const { return count_; }
  bool fired() const { return fired_; }

  // Undoes every change that is not yet durable, as at a power loss, without
  // ending the process; the durability record is then empty.
  // With `keep_data`, file contents stay as written and only the unsynced
  // creations and deletions are undone.
  void drop_unsynced(bool keep_data = false, bool torn = false);

  Result<std::unique_ptr<VfsFile>> open(std::string_view path, bool create) override;
  Result<void> delete_(std::string_view path) override;
  bool exists(std::string_view path) override;
  // Like exists, a query that cannot fail: counted as an Exists operation.
  std::optional<FileId> identity(std::string_view path) override;
  Result<void> sync_dir(std::string_view path) override;

  // Used by the file wrapper.
  Result<void> before(FsOp op, std::string_view path);
  void will_change_data(const std::string& path, const VfsFile& file);
  void did_write(const std::string& path, uint64_t offset, uint64_t length) {
    unsynced_writes_[path].emplace_back(offset, length);
  }
  void did_sync(const std::string& path) {
    unsynced_data_.erase(path);
    unsynced_writes_.erase(path);
  }

  static constexpr uint64_t kSectorSize = 512;

 private:
  std::optional<std::string> read_whole(std::string_view path);

  Vfs& inner_;
  FaultPlan plan_;
  uint64_t count_ = 0;
  bool fired_ = false;
  // Durable contents of files written or truncated since their last sync.
  std::map<std::string, std::string> unsynced_data_;
  // Durable state of paths created or deleted since their directory's last
  // sync: the contents they had, or nullopt when they did not exist.
  std::map<std::string, std::optional<std::string>> unsynced_entries_;
  // Writes since each file's last sync: (offset, length).
  std::map<std::string, std::vector<std::pair<uint64_t, uint64_t>>> unsynced_writes_;
};

}  // namespace vbk::testing
