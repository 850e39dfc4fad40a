#include "support/fault_vfs.h"

#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

namespace vbk::testing {

namespace {

class FaultFile final : public VfsFile {
 public:
  FaultFile(FaultVfs& vfs, std::unique_ptr<VfsFile> inner, std::string path)
      : vfs_(vfs), inner_(std::move(inner)), path_(std::move(path)) {}

  Result<void> write_all_at(std::span<const uint8_t> bytes, uint64_t offset) const override {
    VBK_TRY(vfs_.before(FsOp::Write, path_));
    if (bytes.empty()) return {};
    vfs_.will_change_data(path_, *inner_);
    vfs_.did_write(path_, offset, bytes.size());
    return inner_->write_all_at(bytes, offset);
  }
  Result<void> read_exact_at(std::span<uint8_t> buf, uint64_t offset) const override {
    VBK_TRY(vfs_.before(FsOp::Read, path_));
    return inner_->read_exact_at(buf, offset);
  }
  Result<void> lock(bool exclusive) const override {
    VBK_TRY(vfs_.before(FsOp::Lock, path_));
    return inner_->lock(exclusive);
  }
  Result<bool> try_lock(bool exclusive) const override {
    VBK_TRY(vfs_.before(FsOp::Lock, path_));
    return inner_->try_lock(exclusive);
  }
  Result<void> unlock() const override {
    VBK_TRY(vfs_.before(FsOp::Unlock, path_));
    return inner_->unlock();
  }
  Result<void> lock_turnstile() const override {
    VBK_TRY(vfs_.before(FsOp::Lock, path_));
    return inner_->lock_turnstile();
  }
  Result<void> unlock_turnstile() const override {
    VBK_TRY(vfs_.before(FsOp::Unlock, path_));
    return inner_->unlock_turnstile();
  }
  Result<uint64_t> size() const override {
    VBK_TRY(vfs_.before(FsOp::Size, path_));
    return inner_->size();
  }
  Result<void> sync() const override {
    VBK_TRY(vfs_.before(FsOp::Sync, path_));
    VBK_TRY(inner_->sync());
    vfs_.did_sync(path_);
    return {};
  }
  Result<void> truncate(uint64_t length) const override {
    VBK_TRY(vfs_.before(FsOp::Truncate, path_));
    vfs_.will_change_data(path_, *inner_);
    return inner_->truncate(length);
  }

 private:
  FaultVfs& vfs_;
  std::unique_ptr<VfsFile> inner_;
  std::string path_;
};

std::string parent_of(std::string_view path) {
  const size_t slash = path.rfind('/');
  return slash == std::string_view::npos ? std::string(".") : std::string(path.substr(0, slash));
}

}  // namespace

void FaultVfs::arm(const FaultPlan& plan) {
  plan_ = plan;
  count_ = 0;
  fired_ = false;
}

Result<void> FaultVfs::before(FsOp op, std::string_view path) {
  if (plan_.only_op && *plan_.only_op != op) return {};
  if (!plan_.only_path_suffix.empty() && !path.ends_with(plan_.only_path_suffix)) return {};
  ++count_;
  const bool hit = plan_.mode != FaultMode::None &&
                   (count_ == plan_.at || (plan_.sticky && count_ > plan_.at && plan_.at != 0));
  if (!hit) return {};
  fired_ = true;
  switch (plan_.mode) {
    case FaultMode::None: break;
    case FaultMode::Fail: return std::unexpected(Error::Io(EIO));
    case FaultMode::PowerLoss: drop_unsynced(plan_.writeback, plan_.torn); [[fallthrough]];
    case FaultMode::Kill:
      ::kill(::getpid(), SIGKILL);
      ::pause();
  }
  return {};
}

std::optional<std::string> FaultVfs::read_whole(std::string_view path) {
  if (!inner_.exists(path)) return std::nullopt;
  auto file = inner_.open(path, false);
  if (!file) return std::nullopt;
  auto size = (*file)->size();
  if (!size) return std::nullopt;
  std::string data(*size, '\0');
  auto span = std::span(reinterpret_cast<uint8_t*>(data.data()), data.size());
  if (!(*file)->read_exact_at(span, 0)) return std::nullopt;
  return data;
}

void FaultVfs::will_change_data(const std::string& path, const VfsFile& file) {
  if (unsynced_data_.contains(path)) return;
  std::string data;
  if (auto size = file.size(); size && *size > 0) {
    data.resize(*size);
    auto span = std::span(reinterpret_cast<uint8_t*>(data.data()), data.size());
    if (!file.read_exact_at(span, 0)) data.clear();
  }
  unsynced_data_.emplace(path, std::move(data));
}

void FaultVfs::drop_unsynced(bool keep_data, bool torn) {
  auto restore = [this](const std::string& path, const std::string& data) {
    auto file = inner_.open(path, true);
    if (!file) return;
    (void)(*file)->truncate(0);
    auto bytes = std::span(reinterpret_cast<const uint8_t*>(data.data()), data.size());
    (void)(*file)->write_all_at(bytes, 0);
  };
  if (!keep_data) {
    for (const auto& [path, data] : unsynced_data_) {
      if (!unsynced_entries_.contains(path) && inner_.exists(path)) restore(path, data);
    }
  } else if (torn) {
    // Each unsynced write keeps its first and last sector; the bytes between
    // go back to what they durably held.
    for (const auto& [path, writes] : unsynced_writes_) {
      std::optional<std::string> now = read_whole(path);
      auto durable = unsynced_data_.find(path);
      if (!now || durable == unsynced_data_.end()) continue;
      for (const auto& [offset, length] : writes) {
        for (uint64_t i = offset + kSectorSize; i + kSectorSize < offset + length && i < now->size(); ++i) {
          (*now)[i] = i < durable->second.size() ? durable->second[i] : '\0';
        }
      }
      restore(path, *now);
    }
  }
  // With torn writes the cache is taken to have written its metadata back:
  // creations and deletions stand, so that torn data is what a reader finds.
  for (const auto& [path, durable] : torn ? decltype(unsynced_entries_){} : unsynced_entries_) {
    if (!durable) {
      if (inner_.exists(path)) (void)inner_.delete_(path);
    } else {
      restore(path, *durable);
    }
  }
  unsynced_data_.clear();
  unsynced_entries_.clear();
  unsynced_writes_.clear();
}

Result<std::unique_ptr<VfsFile>> FaultVfs::open(std::string_view path, bool create) {
  VBK_TRY(before(FsOp::Open, path));
  const std::string p(path);
  const bool existed = inner_.exists(path);
  auto file = VBK_TRY(inner_.open(path, create));
  if (!existed && !unsynced_entries_.contains(p)) unsynced_entries_.emplace(p, std::nullopt);
  return std::make_unique<FaultFile>(*this, std::move(file), p);
}

Result<void> FaultVfs::delete_(std::string_view path) {
  VBK_TRY(before(FsOp::Delete, path));
  const std::string p(path);
  if (!unsynced_entries_.contains(p)) {
    auto durable = unsynced_data_.contains(p) ? std::optional(unsynced_data_[p]) : read_whole(p);
    unsynced_entries_.emplace(p, std::move(durable));
  }
  unsynced_data_.erase(p);
  unsynced_writes_.erase(p);
  return inner_.delete_(path);
}

bool FaultVfs::exists(std::string_view path) {
  // exists() cannot fail, so a Fail fault here is not injected; Kill and
  // PowerLoss still end the process at it.
  (void)before(FsOp::Exists, path);
  return inner_.exists(path);
}

std::optional<FileId> FaultVfs::identity(std::string_view path) {
  (void)before(FsOp::Exists, path);
  return inner_.identity(path);
}

Result<void> FaultVfs::sync_dir(std::string_view path) {
  VBK_TRY(before(FsOp::SyncDir, path));
  VBK_TRY(inner_.sync_dir(path));
  const std::string dir = parent_of(path);
  std::vector<std::string> done;
  for (const auto& [p, durable] : unsynced_entries_) {
    if (parent_of(p) == dir) done.push_back(p);
  }
  for (const auto& p : done) unsynced_entries_.erase(p);
  return {};
}

}  // namespace vbk::testing
