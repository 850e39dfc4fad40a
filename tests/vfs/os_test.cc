#include "vfs/os.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/temp_dir.h"

namespace vbk {
namespace {

using testing::TempDir;

std::span<const uint8_t> bytes_of(std::string_view s) {
  return {reinterpret_cast<const uint8_t*>(s.data()), s.size()};
}

std::unique_ptr<VfsFile> open_or_die(const std::string& path, bool create) {
  auto f = OsVfs::instance().open(path, create);
  EXPECT_TRUE(f.has_value()) << path << ": " << f.error().display();
  return std::move(f).value();
}

// Whether another open file description could take the lock right now.
bool can_lock(const std::string& path, bool exclusive) {
  int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
  const bool ok = ::flock(fd, (exclusive ? LOCK_EX : LOCK_SH) | LOCK_NB) == 0;
  ::close(fd);
  return ok;
}

TEST(OsVfs, MissingPathIsNotFoundWithoutCreate) {
  TempDir dir;
  const std::string path = dir.file("missing.db");
  auto r = OsVfs::instance().open(path, false);
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error(), Error::NotFound(path));
  EXPECT_EQ(r.error().display(), "file not found: " + path);
  EXPECT_FALSE(OsVfs::instance().exists(path));
}

TEST(OsVfs, CreateMakesAnEmptyFileWithModeLessUmask) {
  TempDir dir;
  const std::string path = dir.file("new.db");
  const mode_t old_mask = ::umask(022);
  auto f = open_or_die(path, true);
  ::umask(old_mask);
  EXPECT_EQ(f->size().value(), 0u);
  struct stat st;
  ASSERT_EQ(::stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0644u);
  EXPECT_TRUE(OsVfs::instance().exists(path));
}

TEST(OsVfs, CreateKeepsExistingContents) {
  TempDir dir;
  const std::string path = dir.file("keep.db");
  testing::write_file(path, "hello");
  auto f = open_or_die(path, true);
  EXPECT_EQ(f->size().value(), 5u);
  EXPECT_EQ(testing::read_file(path), "hello");
}

TEST(OsVfs, DirectoryExistsButCannotBeOpened) {
  TempDir dir;
  EXPECT_TRUE(OsVfs::instance().exists(dir.path()));
  for (bool create : {false, true}) {
    auto r = OsVfs::instance().open(dir.path(), create);
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error(), Error::Io(EISDIR));
  }
}

TEST(OsVfs, PathsWithNulAreNeverCutShort) {
  TempDir dir;
  const std::string prefix = dir.file("a");
  testing::write_file(prefix, "x");  // what a truncated path would name
  const std::string path = prefix + std::string("\0b", 2);
  OsVfs& vfs = OsVfs::instance();
  EXPECT_FALSE(vfs.exists(path));
  EXPECT_EQ(vfs.open(path, false).error(), Error::NotFound(path));
  const Error nul = Error::IoMessage(Error::kNulInPath);
  EXPECT_EQ(vfs.open(path, true).error(), nul);
  EXPECT_EQ(vfs.delete_(path).error(), nul);
  EXPECT_EQ(vfs.sync_dir(path).error(), nul);
  EXPECT_EQ(vfs.open(path, true).error().display(),
            "io error: file name contained an unexpected NUL byte");
  EXPECT_EQ(testing::read_file(prefix), "x");
}

TEST(OsVfs, IdentityTellsFilesApart) {
  TempDir dir;
  OsVfs& vfs = OsVfs::instance();
  const std::string a = dir.file("a"), b = dir.file("b"), link = dir.file("link");
  testing::write_file(a, "a");
  testing::write_file(b, "b");
  ASSERT_EQ(::link(a.c_str(), link.c_str()), 0);
  EXPECT_EQ(vfs.identity(a), vfs.identity(link));
  EXPECT_NE(vfs.identity(a), vfs.identity(b));
  EXPECT_EQ(vfs.identity(dir.file("missing")), std::nullopt);
  EXPECT_EQ(vfs.identity(a + std::string("\0", 1)), std::nullopt);
}

TEST(OsFile, ShortReadsReportTheCallersOffsetAndLength) {
  TempDir dir;
  auto f = open_or_die(dir.file("r.db"), true);
  ASSERT_TRUE(f->write_all_at(bytes_of("0123456789"), 0).has_value());
  struct Case {
    uint64_t offset;
    size_t want;
    uint64_t got;
  };
  const Case cases[] = {{10, 4, 0}, {8192, 4096, 0}, {6, 10, 4}, {0, 11, 10}};
  for (const Case& c : cases) {
    std::vector<uint8_t> buf(c.want);
    auto r = f->read_exact_at(buf, c.offset);
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error(), Error::ShortRead(c.offset, c.want, c.got));
  }
  std::vector<uint8_t> buf(4);
  ASSERT_TRUE(f->read_exact_at(buf, 3).has_value());
  EXPECT_EQ(std::string(buf.begin(), buf.end()), "3456");
}

TEST(OsFile, EmptyBuffersSucceedWithoutTouchingTheFile) {
  TempDir dir;
  auto f = open_or_die(dir.file("e.db"), true);
  EXPECT_TRUE(f->write_all_at({}, 1 << 20).has_value());
  EXPECT_TRUE(f->read_exact_at({}, 1 << 20).has_value());
  EXPECT_EQ(f->size().value(), 0u);
}

TEST(OsFile, WritesTruncatesAndSyncs) {
  TempDir dir;
  const std::string path = dir.file("w.db");
  auto f = open_or_die(path, true);
  ASSERT_TRUE(f->write_all_at(bytes_of("abc"), 4).has_value());
  EXPECT_EQ(testing::read_file(path), std::string("\0\0\0\0abc", 7));
  ASSERT_TRUE(f->truncate(9).has_value());
  EXPECT_EQ(testing::read_file(path), std::string("\0\0\0\0abc\0\0", 9));
  ASSERT_TRUE(f->truncate(5).has_value());
  EXPECT_EQ(f->size().value(), 5u);
  EXPECT_TRUE(f->sync().has_value());
  EXPECT_TRUE(OsVfs::instance().sync_dir(path).has_value());
}

TEST(OsVfs, DeleteAndDirectorySync) {
  TempDir dir;
  const std::string path = dir.file("d.db");
  OsVfs& vfs = OsVfs::instance();
  open_or_die(path, true).reset();
  ASSERT_TRUE(vfs.delete_(path).has_value());
  EXPECT_FALSE(vfs.exists(path));
  EXPECT_EQ(vfs.delete_(path).error(), Error::Io(ENOENT));
  EXPECT_EQ(vfs.sync_dir(dir.file("no-such-dir/x.db")).error(), Error::Io(ENOENT));
  EXPECT_TRUE(vfs.sync_dir("relative-name.db").has_value());  // syncs "."
}

TEST(OsFile, TwoDescriptorsInOneProcessExcludeEachOther) {
  TempDir dir;
  const std::string path = dir.file("l.db");
  auto a = open_or_die(path, true);
  auto b = open_or_die(path, false);

  ASSERT_TRUE(a->lock(false).has_value());
  ASSERT_TRUE(b->lock(false).has_value());  // shared locks coexist
  EXPECT_TRUE(can_lock(path, false));
  EXPECT_FALSE(can_lock(path, true));
  ASSERT_TRUE(b->unlock().has_value());

  ASSERT_TRUE(a->lock(true).has_value());  // converts shared to exclusive
  EXPECT_FALSE(can_lock(path, false));
  b.reset();  // closing another descriptor of the file keeps a's lock
  EXPECT_FALSE(can_lock(path, false));
  ASSERT_TRUE(a->unlock().has_value());
  EXPECT_TRUE(can_lock(path, true));
}

TEST(OsFile, DestroyingTheFileReleasesItsLock) {
  TempDir dir;
  const std::string path = dir.file("l.db");
  auto a = open_or_die(path, true);
  ASSERT_TRUE(a->lock(true).has_value());
  EXPECT_FALSE(can_lock(path, true));
  a.reset();
  EXPECT_TRUE(can_lock(path, true));
}

// A lock held through another descriptor is "not taken", a free one is
// taken, and a failure that is not a conflict is an error.
TEST(OsFile, TryLockTakesAFreeLockAndReportsAHeldOne) {
  TempDir dir;
  const std::string path = dir.file("l.db");
  struct Case {
    std::optional<bool> held;  // the other descriptor's lock: none, shared or exclusive
    bool exclusive;
    bool taken;
  };
  const Case cases[] = {
      {std::nullopt, false, true}, {std::nullopt, true, true}, {false, false, true},
      {false, true, false},        {true, false, false},       {true, true, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << "held " << (c.held ? (*c.held ? "exclusive" : "shared") : "none")
                                      << ", trying " << (c.exclusive ? "exclusive" : "shared"));
    auto other = open_or_die(path, true);
    auto file = open_or_die(path, false);
    if (c.held) {
      ASSERT_TRUE(other->lock(*c.held).has_value());
    }
    auto r = file->try_lock(c.exclusive);
    ASSERT_TRUE(r.has_value()) << r.error().display();
    EXPECT_EQ(*r, c.taken);
    if (c.taken) {
      EXPECT_EQ(can_lock(path, false), !c.exclusive);
    } else {
      ASSERT_TRUE(other->unlock().has_value());
      EXPECT_TRUE(can_lock(path, true)) << "a lock not taken is not held";
    }
  }
  OsFile closed(-1);
  auto r = closed.try_lock(true);
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error(), Error::Io(EBADF));
}

// Whether some open file description holds a record lock anywhere in the
// file (the turnstile is one).
bool record_lock_held(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
  struct flock range {};
  range.l_type = F_WRLCK;
  range.l_whence = SEEK_SET;  // from offset 0 to the end of all offsets
  const bool queried = ::fcntl(fd, F_OFD_GETLK, &range) == 0;
  ::close(fd);
  EXPECT_TRUE(queried);
  return range.l_type != F_UNLCK;
}

// The turnstile excludes other descriptors, in this process too, and goes
// with its unlock or its descriptor; it and the whole-file lock never meet.
TEST(OsFile, TheTurnstileExcludesOtherFilesButNotTheWholeFileLock) {
  TempDir dir;
  const std::string path = dir.file("l.db");
  auto a = open_or_die(path, true);
  auto b = open_or_die(path, false);
  ASSERT_TRUE(a->lock_turnstile().has_value());
  EXPECT_TRUE(record_lock_held(path));
  auto taken = b->try_lock(true);
  ASSERT_TRUE(taken.has_value());
  EXPECT_TRUE(*taken);
  ASSERT_TRUE(a->try_lock(false).has_value());  // held by b: not taken, no error
  ASSERT_TRUE(b->unlock().has_value());
  ASSERT_TRUE(a->unlock_turnstile().has_value());
  EXPECT_FALSE(record_lock_held(path));

  ASSERT_TRUE(b->lock(true).has_value());
  ASSERT_TRUE(a->lock_turnstile().has_value());  // beside b's exclusive lock
  EXPECT_TRUE(record_lock_held(path));
  a.reset();
  EXPECT_FALSE(record_lock_held(path));
  EXPECT_FALSE(can_lock(path, false));  // b's lock stays
}

extern "C" void ignore_signal(int) {}

TEST(OsFile, LockWaitInterruptedBySignalFailsWithEintr) {
  TempDir dir;
  const std::string path = dir.file("l.db");
  auto holder = open_or_die(path, true);
  auto waiter = open_or_die(path, false);
  ASSERT_TRUE(holder->lock(true).has_value());

  // A handler installed without SA_RESTART; the timer repeats the signal
  // until the wait returns, so no timing is assumed.
  struct sigaction act = {}, old = {};
  act.sa_handler = ignore_signal;
  sigemptyset(&act.sa_mask);
  ASSERT_EQ(::sigaction(SIGALRM, &act, &old), 0);
  itimerval every_10ms = {{0, 10000}, {0, 10000}}, off = {};
  ASSERT_EQ(::setitimer(ITIMER_REAL, &every_10ms, nullptr), 0);
  auto r = waiter->lock(true);
  ::setitimer(ITIMER_REAL, &off, nullptr);
  ::sigaction(SIGALRM, &old, nullptr);

  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error(), Error::Io(EINTR));
}

}  // namespace
}  // namespace vbk
