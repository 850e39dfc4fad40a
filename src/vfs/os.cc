#include "vfs/os.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

namespace vbk {

namespace {

// POSIX calls take NUL-terminated paths, so a path is copied into one; a path
// that holds a NUL itself is refused rather than silently cut short.
bool has_nul(std::string_view path) { return path.find('\0') != std::string_view::npos; }

bool stat_ok(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0;
}

}  // namespace

OsFile::~OsFile() { ::close(fd_); }

Result<void> OsFile::write_all_at(std::span<const uint8_t> bytes, uint64_t offset) const {
  size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = ::pwrite64(fd_, bytes.data() + done, bytes.size() - done,
                           static_cast<off64_t>(offset + done));
    if (n < 0) {
      if (errno == EINTR) continue;
      return std::unexpected(Error::Io(errno));
    }
    if (n == 0) return std::unexpected(Error::IoMessage(Error::kShortWrite));
    done += static_cast<size_t>(n);
  }
  return {};
}

Result<void> OsFile::read_exact_at(std::span<uint8_t> buf, uint64_t offset) const {
  size_t done = 0;
  while (done < buf.size()) {
    ssize_t n = ::pread64(fd_, buf.data() + done, buf.size() - done,
                          static_cast<off64_t>(offset + done));
    if (n < 0) {
      if (errno == EINTR) continue;
      return std::unexpected(Error::Io(errno));
    }
    if (n == 0) return std::unexpected(Error::ShortRead(offset, buf.size(), done));
    done += static_cast<size_t>(n);
  }
  return {};
}

Result<void> OsFile::lock(bool exclusive) const {
  if (::flock(fd_, exclusive ? LOCK_EX : LOCK_SH) != 0) return std::unexpected(Error::Io(errno));
  return {};
}

Result<bool> OsFile::try_lock(bool exclusive) const {
  if (::flock(fd_, (exclusive ? LOCK_EX : LOCK_SH) | LOCK_NB) == 0) return true;
  if (errno == EWOULDBLOCK) return false;
  return std::unexpected(Error::Io(errno));
}

Result<void> OsFile::unlock() const {
  if (::flock(fd_, LOCK_UN) != 0) return std::unexpected(Error::Io(errno));
  return {};
}

namespace {

// The turnstile's byte: far past the end of any file this system writes, so
// that no lock on file contents could ever overlap it.
constexpr off_t kTurnstileByte = off_t{1} << 62;

Result<void> set_turnstile(int fd, short type) {
  struct flock range {};
  range.l_type = type;
  range.l_whence = SEEK_SET;
  range.l_start = kTurnstileByte;
  range.l_len = 1;
  // l_pid stays 0, as open-file-description locks require.
  if (::fcntl(fd, type == F_UNLCK ? F_OFD_SETLK : F_OFD_SETLKW, &range) != 0) {
    return std::unexpected(Error::Io(errno));
  }
  return {};
}

}  // namespace

Result<void> OsFile::lock_turnstile() const { return set_turnstile(fd_, F_WRLCK); }

Result<void> OsFile::unlock_turnstile() const { return set_turnstile(fd_, F_UNLCK); }

Result<uint64_t> OsFile::size() const {
  struct stat st;
  if (::fstat(fd_, &st) != 0) return std::unexpected(Error::Io(errno));
  return static_cast<uint64_t>(st.st_size);
}

Result<void> OsFile::sync() const {
  while (::fsync(fd_) != 0) {
    if (errno != EINTR) return std::unexpected(Error::Io(errno));
  }
  return {};
}

Result<void> OsFile::truncate(uint64_t length) const {
  while (::ftruncate64(fd_, static_cast<off64_t>(length)) != 0) {
    if (errno != EINTR) return std::unexpected(Error::Io(errno));
  }
  return {};
}

Result<std::unique_ptr<VfsFile>> OsVfs::open(std::string_view path, bool create) {
  if (has_nul(path)) {
    if (!create) return std::unexpected(Error::NotFound(std::string(path)));
    return std::unexpected(Error::IoMessage(Error::kNulInPath));
  }
  const std::string p(path);
  if (!create && !stat_ok(p)) return std::unexpected(Error::NotFound(p));
  const int flags = O_RDWR | O_CLOEXEC | (create ? O_CREAT : 0);
  int fd;
  do {
    fd = ::open(p.c_str(), flags, 0666);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return std::unexpected(Error::Io(errno));
  return std::make_unique<OsFile>(fd);
}

Result<void> OsVfs::delete_(std::string_view path) {
  if (has_nul(path)) return std::unexpected(Error::IoMessage(Error::kNulInPath));
  if (::unlink(std::string(path).c_str()) != 0) return std::unexpected(Error::Io(errno));
  return {};
}

bool OsVfs::exists(std::string_view path) {
  return !has_nul(path) && stat_ok(std::string(path));
}

std::optional<FileId> OsVfs::identity(std::string_view path) {
  struct stat st;
  if (has_nul(path) || ::stat(std::string(path).c_str(), &st) != 0) return std::nullopt;
  return FileId{static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino)};
}

Result<void> OsVfs::sync_dir(std::string_view path) {
  if (has_nul(path)) return std::unexpected(Error::IoMessage(Error::kNulInPath));
  const size_t slash = path.rfind('/');
  std::string dir = slash == std::string_view::npos ? std::string(".")
                    : slash == 0                    ? std::string("/")
                                                    : std::string(path.substr(0, slash));
  int fd;
  do {
    fd = ::open(dir.c_str(), O_RDONLY | O_CLOEXEC | O_DIRECTORY);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return std::unexpected(Error::Io(errno));
  int rc;
  while ((rc = ::fsync(fd)) != 0 && errno == EINTR) {
  }
  const int saved = errno;
  ::close(fd);
  if (rc != 0) return std::unexpected(Error::Io(saved));
  return {};
}

OsVfs& OsVfs::instance() {
  // Constant-initialised: OsVfs has no state and a constexpr constructor.
  static constinit OsVfs vfs;
  return vfs;
}

}  // namespace vbk
