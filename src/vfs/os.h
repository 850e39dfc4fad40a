#pragma once

// The file layer over POSIX files. The whole-file lock is an flock lock (per
// open file description): two descriptors in one process exclude each other,
// and closing one descriptor does not drop another's lock. The turnstile is
// an open-file-description record lock (fcntl F_OFD_SETLKW) on one byte far
// past any file's end, with the same ownership; on a local file system the
// two kinds never meet. Both kinds rely on the file system's locks being
// coherent between processes, which only a local file system promises.

#include "vfs/vfs.h"

namespace vbk {

class OsFile final : public VfsFile {
 public:
  explicit OsFile(int fd) : fd_(fd) {}
  ~OsFile() override;
  OsFile(const OsFile&) = delete;
  OsFile& operator=(const OsFile&) = delete;

  Result<void> write_all_at(std::span<const uint8_t> bytes, uint64_t offset) const override;
  Result<void> read_exact_at(std::span<uint8_t> buf, uint64_t offset) const override;
  // An interrupted wait is not repeated: a signal whose handler does not
  // restart system calls makes lock fail with Io(EINTR).
  Result<void> lock(bool exclusive) const override;
  Result<bool> try_lock(bool exclusive) const override;
  Result<void> unlock() const override;
  // Interrupted waits are not repeated here either.
  Result<void> lock_turnstile() const override;
  Result<void> unlock_turnstile() const override;
  Result<uint64_t> size() const override;
  Result<void> sync() const override;
  Result<void> truncate(uint64_t length) const override;

  int fd() const { return fd_; }

 private:
  int fd_;
};

// Stateless. A path with an embedded NUL byte names no file: exists() is
// false, open without create is NotFound, and open with create, delete_ and
// sync_dir fail with Io "file name contained an unexpected NUL byte".
class OsVfs final : public Vfs {
 public:
  constexpr OsVfs() = default;

  // New files get mode 0666 before the process's umask.
  Result<std::unique_ptr<VfsFile>> open(std::string_view path, bool create) override;
  Result<void> delete_(std::string_view path) override;
  bool exists(std::string_view path) override;
  std::optional<FileId> identity(std::string_view path) override;
  Result<void> sync_dir(std::string_view path) override;

  // The process's one instance, for callers that are given no other layer.
  static OsVfs& instance();
};

}  // namespace vbk
