#include "vfs/release.h"

#include <utility>

namespace vbk {

namespace {

// Stands in for a file that was closed and could not be opened again.
class LostFile final : public VfsFile {
 public:
  explicit LostFile(Error error) : error_(std::move(error)) {}

  Result<void> write_all_at(std::span<const uint8_t>, uint64_t) const override { return lost(); }
  Result<void> read_exact_at(std::span<uint8_t>, uint64_t) const override { return lost(); }
  Result<void> lock(bool) const override { return lost(); }
  Result<bool> try_lock(bool) const override { return std::unexpected(error_); }
  Result<void> unlock() const override { return lost(); }
  Result<void> lock_turnstile() const override { return lost(); }
  Result<void> unlock_turnstile() const override { return lost(); }
  Result<uint64_t> size() const override { return std::unexpected(error_); }
  Result<void> sync() const override { return lost(); }
  Result<void> truncate(uint64_t) const override { return lost(); }

 private:
  Result<void> lost() const { return std::unexpected(error_); }
  Error error_;
};

}  // namespace

Result<void> release_lock(Vfs& vfs, std::string_view path, std::unique_ptr<VfsFile>& file) {
  if (file->unlock()) return {};
  return reopen_unlocked(vfs, path, file);
}

Result<void> reopen_unlocked(Vfs& vfs, std::string_view path, std::unique_ptr<VfsFile>& file) {
  // Closing first: the locks go with the descriptor whether or not the
  // path can be opened again.
  file.reset();
  Result<std::unique_ptr<VfsFile>> reopened = vfs.open(path, false);
  if (!reopened) {
    file = std::make_unique<LostFile>(reopened.error());
    return std::unexpected(std::move(reopened).error());
  }
  file = std::move(*reopened);
  return {};
}

}  // namespace vbk
