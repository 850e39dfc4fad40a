#pragma once

// The file layer: the storage layer's only contact with the operating
// system's files. Everything above it (pager, rollback journal, write-ahead
// log) is written against these two interfaces, so a test can slide a
// fault-injecting layer under a whole database.
//
// The layer does no caching, no buffering and no path manipulation. Paths
// carry their length: a path with an embedded NUL byte is never truncated at
// it (see OsVfs for what such a path does).

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string_view>

#include "error.h"

namespace vbk {

// One open file. Operations are positional, so none needs a file position and
// all are const. Destroying the file closes it, which also drops its lock.
class VfsFile {
 public:
  virtual ~VfsFile() = default;

  // Writes all of `bytes` at `offset`. After a failure some bytes may have
  // reached the file. An empty buffer succeeds without touching the file.
  virtual Result<void> write_all_at(std::span<const uint8_t> bytes, uint64_t offset) const = 0;

  // Fills all of `buf` from `offset`. Meeting the end of the file is
  // ShortRead{offset, buf.size(), bytes read}; after any failure the buffer's
  // contents are unspecified. An empty buffer succeeds without touching the file.
  virtual Result<void> read_exact_at(std::span<uint8_t> buf, uint64_t offset) const = 0;

  // Takes the whole-file lock (exclusive or shared), waiting as long as it
  // takes. Locks belong to this open file: two VfsFiles on one path exclude
  // each other even within one thread, so waiting through one for a lock held
  // through another waits for ever. Taking the other kind converts the lock
  // (the system may drop the old one before granting the new one).
  virtual Result<void> lock(bool exclusive) const = 0;
  // The same lock without waiting: true when taken (or converted), false
  // when another open file holds a conflicting one. Any other failure is an
  // error; a lock this file held before may then be gone.
  virtual Result<bool> try_lock(bool exclusive) const = 0;
  virtual Result<void> unlock() const = 0;

  // The turnstile: a second lock on the file, always exclusive, that neither
  // meets the whole-file lock nor is met by it, waited for as long as it
  // takes. Like the whole-file lock it belongs to this open file, excludes
  // every other open file on the path (in this process or another), and goes
  // when the file is closed or its process dies. Lockers of the whole-file
  // lock pass through it, so that one who holds it while waiting keeps
  // newcomers behind it (see Wal).
  virtual Result<void> lock_turnstile() const = 0;
  virtual Result<void> unlock_turnstile() const = 0;

  virtual Result<uint64_t> size() const = 0;

  // Forces the file's data and metadata to stable storage.
  virtual Result<void> sync() const = 0;

  // Sets the length: shortens, or extends with bytes that read as zero.
  virtual Result<void> truncate(uint64_t length) const = 0;
};

// Which file a path names: two paths, or one path at two moments, name the
// same file exactly when their identities are equal.
struct FileId {
  uint64_t device = 0;
  uint64_t inode = 0;
  friend bool operator==(const FileId&, const FileId&) = default;
};

// The file system.
class Vfs {
 public:
  virtual ~Vfs() = default;

  // Opens an existing file, or with `create` makes it when missing (never
  // truncating an existing one). Without `create` a missing path is NotFound.
  virtual Result<std::unique_ptr<VfsFile>> open(std::string_view path, bool create) = 0;

  virtual Result<void> delete_(std::string_view path) = 0;

  // Whether the path names something that exists; never an error.
  virtual bool exists(std::string_view path) = 0;

  // The identity of the file the path names; nothing when it names none.
  virtual std::optional<FileId> identity(std::string_view path) = 0;

  // Forces the directory holding `path` (its parent, or "." when the path has
  // no slash) to stable storage, so that files created in it or removed from
  // it since stay so across a power loss.
  virtual Result<void> sync_dir(std::string_view path) = 0;
};

}  // namespace vbk
