// Switching the journal mode, handles that follow another handle's switch,
// and log mode between processes: readers beside a writer, checkpoints and
// switches from a handle whose view is stale.

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <fstream>
#include <functional>
#include <string>

#include <gtest/gtest.h>

#include "pager/pager.h"
#include "pager/pager_util.h"
#include "support/crash.h"
#include "support/fault_vfs.h"
#include "support/temp_dir.h"
#include "vfs/os.h"

namespace vbk::testing {
namespace {

constexpr uint64_t kPage = 512;

class WalModeTest : public ::testing::Test {
 protected:
  // Ten pages of 512 bytes, each holding its own number, in journal mode.
  void SetUp() override { make_filled_db(path_, 10, kOwnNumber); }

  Pager open(Vfs& vfs = OsVfs::instance()) { return must(Pager::open(vfs, path_)); }

  static void commit_page(Pager& pager, uint32_t pgno, uint8_t value) {
    must(pager.begin());
    while (pager.header().page_count < pgno) must(pager.alloc_page());
    fill_page(pager, pgno, value);
    must(pager.commit());
  }

  // What the database file itself says, log aside.
  DbHeader file_header() const {
    const std::string db = read_file(path_);
    return must(DbHeader::decode(std::span(reinterpret_cast<const uint8_t*>(db.data()), db.size())));
  }
  // The byte at which page `pgno` of the database file starts with its fill
  // value (see fill_page), or -1 past the end.
  int file_page_value(uint32_t pgno) const {
    const std::string db = read_file(path_);
    const uint64_t offset = (pgno - 1) * kPage + 4;
    return offset < db.size() ? static_cast<uint8_t>(db[offset]) : -1;
  }
  bool wal_exists() const { return OsVfs::instance().exists(wal_); }
  // Forks a writer whose tenth commit of page 2, with the threshold at two
  // frames, brings the log to the ceiling (twenty frames): its checkpoint
  // waits there for the log's readers.
  pid_t fork_ceiling_writer();

  TempDir dir_;
  std::string path_ = dir_.file("mode.db");
  std::string wal_ = path_ + "-wal";
};

TEST_F(WalModeTest, SwitchesAreRefusedInsideATransactionWhereACheckpointRuns) {
  Pager pager = open();
  must(pager.set_journal_mode_wal());
  commit_page(pager, 2, 0x22);
  must(pager.begin());
  for (auto result : {pager.set_journal_mode_wal(), pager.set_journal_mode_delete()}) {
    ASSERT_FALSE(result.has_value());
    EXPECT_EQ(result.error().display(),
              "transaction error: cannot change journal_mode inside a transaction");
  }
  EXPECT_TRUE(pager.in_wal_mode());
  must(pager.wal_checkpoint());
  EXPECT_EQ(read_file(wal_).size(), 0u);
  EXPECT_EQ(file_page_value(2), 0x22);
  must(pager.rollback());
}

// To the log: an empty "-wal" and the header with mode 1 and the same change
// counter; a second switch changes no file. Back: every committed page in
// the database file, cut to the log's database size, no "-wal", mode 0.
TEST_F(WalModeTest, SwitchingToTheLogAndBack) {
  Pager pager = open();
  const uint32_t counter = file_header().change_counter;
  must(pager.set_journal_mode_wal());
  EXPECT_TRUE(pager.in_wal_mode());
  EXPECT_TRUE(wal_exists());
  EXPECT_EQ(read_file(wal_).size(), 0u);
  EXPECT_EQ(file_header().journal_mode, 1);
  EXPECT_EQ(file_header().change_counter, counter);
  const std::string db = read_file(path_);
  must(pager.set_journal_mode_wal());
  EXPECT_EQ(read_file(path_), db);
  EXPECT_EQ(read_file(wal_).size(), 0u);

  commit_page(pager, 3, 0x33);
  commit_page(pager, 12, 0x12);
  EXPECT_EQ(read_file(path_), db);
  must(pager.set_journal_mode_delete());
  EXPECT_FALSE(pager.in_wal_mode());
  EXPECT_FALSE(wal_exists());
  EXPECT_EQ(file_header().journal_mode, 0);
  EXPECT_EQ(file_header().page_count, 12u);
  EXPECT_EQ(read_file(path_).size(), 12 * kPage);
  EXPECT_EQ(file_page_value(3), 0x33);
  EXPECT_EQ(file_page_value(12), 0x12);
  EXPECT_EQ(file_page_value(11), 0);  // appended on the way to page 12

  // Journal mode again: a commit writes the database file.
  commit_page(pager, 4, 0x44);
  EXPECT_FALSE(wal_exists());
  EXPECT_EQ(file_page_value(4), 0x44);
}

// A handle follows another handle's switch at its next lock: it attaches
// the log when the file says log mode, detaches it when the log is gone,
// and reopens a log removed and made anew behind its back. The lock it
// holds fits the mode it ends in.
TEST_F(WalModeTest, AnotherHandleFollowsASwitch) {
  Pager a = open();
  Pager b = open();
  must(b.read_lock());
  EXPECT_EQ(page_value(b, 2), 2);
  must(b.read_unlock());

  must(a.set_journal_mode_wal());
  commit_page(a, 2, 0x52);
  must(b.read_lock());
  EXPECT_TRUE(b.in_wal_mode());
  EXPECT_EQ(page_value(b, 2), 0x52);
  EXPECT_TRUE(lock_is_free(path_));
  EXPECT_FALSE(lock_is_free(wal_));
  must(b.read_unlock());
  EXPECT_TRUE(lock_is_free(wal_));

  // b commits to the log, not to the file.
  commit_page(b, 3, 0x53);
  EXPECT_EQ(file_page_value(3), 3);
  must(a.read_lock());
  EXPECT_EQ(page_value(a, 3), 0x53);
  must(a.read_unlock());

  // Back to journal mode: b's next transaction rewrites the file.
  must(a.set_journal_mode_delete());
  commit_page(b, 4, 0x54);
  EXPECT_FALSE(b.in_wal_mode());
  EXPECT_FALSE(wal_exists());
  EXPECT_EQ(file_page_value(4), 0x54);
  must(a.read_lock());
  EXPECT_EQ(page_value(a, 4), 0x54);
  must(a.read_unlock());

  // b holds a log that a removes and makes anew, then commits to.
  must(a.set_journal_mode_wal());
  must(b.read_lock());
  EXPECT_TRUE(b.in_wal_mode());
  must(b.read_unlock());
  must(a.set_journal_mode_delete());
  must(a.set_journal_mode_wal());
  commit_page(a, 5, 0x55);
  must(b.read_lock());
  EXPECT_TRUE(b.in_wal_mode());
  EXPECT_EQ(page_value(b, 5), 0x55);
  EXPECT_TRUE(lock_is_free(path_));
  EXPECT_FALSE(lock_is_free(wal_));
  must(b.read_unlock());
  EXPECT_TRUE(lock_is_free(wal_));

  // And back again, seen at a read lock: b ends holding the file's lock.
  must(a.set_journal_mode_delete());
  must(b.read_lock());
  EXPECT_FALSE(b.in_wal_mode());
  EXPECT_EQ(page_value(b, 5), 0x55);
  EXPECT_FALSE(lock_is_free(path_));
  must(b.read_unlock());
  EXPECT_TRUE(lock_is_free(path_));
}

// Runs a hook just before the log is removed.
class LogRemovalHook final : public Vfs {
 public:
  explicit LogRemovalHook(std::function<void()> hook) : hook_(std::move(hook)) {}
  Result<std::unique_ptr<VfsFile>> open(std::string_view path, bool create) override {
    return os().open(path, create);
  }
  Result<void> delete_(std::string_view path) override {
    if (path.ends_with("-wal")) hook_();
    return os().delete_(path);
  }
  bool exists(std::string_view path) override { return os().exists(path); }
  std::optional<FileId> identity(std::string_view path) override { return os().identity(path); }
  Result<void> sync_dir(std::string_view path) override { return os().sync_dir(path); }

 private:
  static Vfs& os() { return OsVfs::instance(); }
  std::function<void()> hook_;
};

// No reader gets in between a switch's checkpoint and the log's removal:
// one that did would hold only the lock of a log about to vanish, and a
// writer in journal mode could then rewrite the file under its reads.
TEST_F(WalModeTest, NoReaderGetsInBeforeASwitchRemovesTheLog) {
  Pager reader = open();
  bool reader_got_in = false;
  LogRemovalHook vfs([&] {
    if (!lock_is_free(wal_)) return;
    must(reader.read_lock());
    reader_got_in = true;
  });
  Pager switcher = open(vfs);
  must(switcher.set_journal_mode_wal());
  commit_page(switcher, 2, 0x62);
  must(reader.read_lock());
  EXPECT_TRUE(reader.in_wal_mode());
  must(reader.read_unlock());

  must(switcher.set_journal_mode_delete());
  EXPECT_FALSE(reader_got_in);
  if (reader_got_in) {
    EXPECT_FALSE(lock_is_free(path_)) << "a writer could rewrite the file under the reader";
    must(reader.read_unlock());
  }
  must(reader.read_lock());
  EXPECT_FALSE(reader.in_wal_mode());
  EXPECT_EQ(page_value(reader, 2), 0x62);
  must(reader.read_unlock());
}

// A switch to the log whose header write or sync fails leaves the handle,
// and as far as it goes the file, in journal mode.
TEST_F(WalModeTest, AFailedSwitchToTheLogStaysInJournalMode) {
  for (FsOp op : {FsOp::Write, FsOp::Sync}) {
    SCOPED_TRACE(op == FsOp::Write ? "write" : "sync");
    FaultVfs vfs(OsVfs::instance());
    Pager pager = open(vfs);
    vfs.arm(FaultPlan::fail(1).on(op).on_path("mode.db"));
    EXPECT_FALSE(pager.set_journal_mode_wal().has_value());
    EXPECT_TRUE(vfs.fired());
    EXPECT_FALSE(pager.in_wal_mode());
    EXPECT_EQ(pager.header().journal_mode, 0);
    EXPECT_EQ(file_header().journal_mode, 0);
    EXPECT_TRUE(lock_is_free(path_));
    vfs.disarm();
    commit_page(pager, 2, op == FsOp::Write ? 0x61 : 0x62);
    EXPECT_FALSE(pager.in_wal_mode());
    EXPECT_EQ(file_page_value(2), op == FsOp::Write ? 0x61 : 0x62);
    Pager reopened = open();
    EXPECT_FALSE(reopened.in_wal_mode());
  }
}

// With no log attached (here an unknown mode byte, which decodes fine) the
// switch to journal mode only rewrites the header.
TEST_F(WalModeTest, SwitchingToJournalModeWithoutALogWritesTheHeader) {
  std::string db = read_file(path_);
  db[42] = 7;
  write_file(path_, db);
  Pager pager = open();
  EXPECT_FALSE(pager.in_wal_mode());
  EXPECT_EQ(pager.header().journal_mode, 7);
  must(pager.set_journal_mode_delete());
  EXPECT_EQ(pager.header().journal_mode, 0);
  EXPECT_EQ(file_header().journal_mode, 0);
  EXPECT_FALSE(wal_exists());
  commit_page(pager, 2, 0x72);
  EXPECT_EQ(file_page_value(2), 0x72);
}

// Forks a child that runs `body` and gives its exit code (100 on an error).
pid_t fork_child(const std::function<int()>& body) {
  std::fflush(nullptr);
  const pid_t pid = ::fork();
  if (pid == 0) {
    int code = 100;
    try {
      code = body();
    } catch (...) {
    }
    ::_exit(code);
  }
  return pid;
}

pid_t WalModeTest::fork_ceiling_writer() {
  return fork_child([&] {
    Pager writer = open();
    writer.set_checkpoint_threshold(2);
    for (uint8_t v = 1; v <= 10; ++v) commit_page(writer, 2, v);
    return 0;
  });
}

// In log mode a reader of another process holds the log's shared lock: a
// writer commits beside it, and the reader keeps its view until its next
// lock; a checkpoint waits until the reader is done.
TEST_F(WalModeTest, AReaderDoesNotBlockAWriterButDelaysACheckpoint) {
  if (!std::ifstream("/proc/locks")) GTEST_SKIP() << "no /proc/locks";
  Pager reader = open();
  must(reader.set_journal_mode_wal());
  must(reader.read_lock());
  EXPECT_EQ(page_value(reader, 2), 2);

  pid_t pid = fork_child([&] {
    Pager writer = open();
    commit_page(writer, 2, 0x82);
    commit_page(writer, 3, 0x83);
    return 0;
  });
  ASSERT_GT(pid, 0);
  int status = 0;
  const bool writer_blocked = wait_until_blocked(pid, status);
  if (writer_blocked) {
    must(reader.read_unlock());
    ::waitpid(pid, &status, 0);
  }
  ASSERT_FALSE(writer_blocked);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_EQ(page_value(reader, 3), 3);  // read through the reader's own index
  must(reader.read_unlock());
  must(reader.read_lock());
  EXPECT_EQ(page_value(reader, 2), 0x82);
  EXPECT_EQ(page_value(reader, 3), 0x83);

  pid = fork_child([&] {
    Pager checkpointer = open();
    must(checkpointer.wal_checkpoint());
    return 0;
  });
  ASSERT_GT(pid, 0);
  const bool checkpoint_blocked = wait_until_blocked(pid, status);
  EXPECT_GT(read_file(wal_).size(), 0u);
  must(reader.read_unlock());
  if (checkpoint_blocked) {
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  }
  EXPECT_TRUE(checkpoint_blocked);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_EQ(read_file(wal_).size(), 0u);
  EXPECT_EQ(file_page_value(3), 0x83);
}

// The checkpoint that a commit runs once the log reaches the ceiling, here
// through commits that rewrite one page, waits for another process's reader
// like any waiting checkpoint; the commit itself is done before it. Below the
// ceiling the commits gave way to the reader and the log grew past the
// threshold.
TEST_F(WalModeTest, ACommitsCheckpointOfARewrittenPageWaitsForAReader) {
  if (!std::ifstream("/proc/locks")) GTEST_SKIP() << "no /proc/locks";
  Pager reader = open();
  must(reader.set_journal_mode_wal());
  must(reader.read_lock());
  const pid_t pid = fork_ceiling_writer();
  ASSERT_GT(pid, 0);
  int status = 0;
  const bool blocked = wait_until_blocked(pid, status);
  const uint64_t log_while_blocked = read_file(wal_).size();
  must(reader.read_unlock());
  if (blocked) {
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  }
  EXPECT_TRUE(blocked);
  EXPECT_EQ(log_while_blocked, 20 * (kPage + 8));
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_EQ(read_file(wal_).size(), 0u);
  EXPECT_EQ(file_page_value(2), 10);
}

// True once some process waits for a record lock (the turnstile) on the
// file with inode `inode`; false if `pid` ended first, with its wait status
// in `status`. Such locks belong to no process, so /proc/locks names them
// by file only.
bool wait_until_turnstile_waits(ino_t inode, pid_t pid, int& status) {
  const std::string needle = ":" + std::to_string(inode) + " ";
  for (;;) {
    std::ifstream locks("/proc/locks");
    std::string line;
    while (std::getline(locks, line)) {
      if (line.find("->") != std::string::npos && line.find("OFDLCK") != std::string::npos &&
          line.find(needle) != std::string::npos) {
        return true;
      }
    }
    if (::waitpid(pid, &status, WNOHANG) == pid) return false;
    ::usleep(1000);
  }
}

// A commit at the ceiling waits for the read under way; a reader that comes
// while it waits gets in only after it, and finds the log checkpointed.
// (Shared locks alone would let the newcomer in at once, and readers that
// kept coming would hold the commit, and every writer behind it, for ever.)
TEST_F(WalModeTest, ACheckpointAtTheCeilingGoesBeforeReadersThatComeAfterIt) {
  if (!std::ifstream("/proc/locks")) GTEST_SKIP() << "no /proc/locks";
  Pager reader = open();
  must(reader.set_journal_mode_wal());
  int ready[2], go[2];
  ASSERT_EQ(::pipe(ready), 0);
  ASSERT_EQ(::pipe(go), 0);
  // The late reader opens its handle first (opening takes the database
  // lock, which the waiting writer holds), then reads when told to.
  const pid_t late = fork_child([&] {
    Pager late_reader = open();
    char byte = 1;
    if (::write(ready[1], &byte, 1) != 1 || ::read(go[0], &byte, 1) != 1) return 101;
    must(late_reader.read_lock());
    const int value = page_value(late_reader, 2);
    const bool checkpointed = read_file(wal_).empty();
    must(late_reader.read_unlock());
    return checkpointed ? value : 50 + value;
  });
  ASSERT_GT(late, 0);
  char byte = 0;
  ASSERT_EQ(::read(ready[0], &byte, 1), 1);
  must(reader.read_lock());
  const pid_t writer = fork_ceiling_writer();
  ASSERT_GT(writer, 0);
  int writer_status = 0, late_status = 0;
  const bool writer_waits = wait_until_blocked(writer, writer_status);
  ASSERT_EQ(::write(go[1], &byte, 1), 1);
  struct stat log {};
  ASSERT_EQ(::stat(wal_.c_str(), &log), 0);
  const bool late_waits = writer_waits && wait_until_turnstile_waits(log.st_ino, late, late_status);
  must(reader.read_unlock());
  if (writer_waits) {
    ASSERT_EQ(::waitpid(writer, &writer_status, 0), writer);
  }
  if (late_waits || !writer_waits) {
    ASSERT_EQ(::waitpid(late, &late_status, 0), late);
  }
  EXPECT_TRUE(writer_waits);
  EXPECT_TRUE(late_waits);
  ASSERT_TRUE(WIFEXITED(writer_status) && WEXITSTATUS(writer_status) == 0);
  ASSERT_TRUE(WIFEXITED(late_status));
  EXPECT_EQ(WEXITSTATUS(late_status), 10) << "50 + value: the late reader got in before the checkpoint";
  for (int fd : {ready[0], ready[1], go[0], go[1]}) ::close(fd);
}

// A handle whose view is stale (another process committed since it last
// looked) checkpoints or switches to journal mode without losing those
// commits: it catches up under the database lock first.
// Change detection that cannot read the database file's header fails: going
// on with the old view, the handle would hand out the pages another handle
// just appended and write its stale header over that handle's commit.
TEST_F(WalModeTest, AFailedHeaderReadFailsChangeDetection) {
  for (bool wal : {false, true}) {
    SCOPED_TRACE(wal ? "log mode, log checkpointed" : "journal mode");
    FaultVfs vfs(OsVfs::instance());
    Pager stale = open(vfs);
    if (wal) must(stale.set_journal_mode_wal());
    const uint8_t value = wal ? 0xC2 : 0xB2;
    must(stale.read_lock());
    EXPECT_NE(page_value(stale, 2), value);
    must(stale.read_unlock());
    const uint32_t grown = stale.header().page_count + 1;
    {
      Pager other = open();
      commit_page(other, 2, value);
      commit_page(other, grown, 0xBB);
      // In log mode the header then comes from the database file too.
      must(other.wal_checkpoint());
    }
    vfs.arm(FaultPlan::fail(1).on(FsOp::Read).on_path("mode.db"));
    for (const LockKind& lock : kLockKinds) {
      SCOPED_TRACE(lock.what);
      EXPECT_FALSE(lock.lock(stale).has_value());
      EXPECT_FALSE(stale.in_tx());
      EXPECT_TRUE(lock_is_free(path_));
      vfs.arm(FaultPlan::fail(1).on(FsOp::Read).on_path("mode.db"));
    }
    vfs.disarm();
    must(stale.begin());
    EXPECT_EQ(stale.header().page_count, grown);
    EXPECT_EQ(page_value(stale, 2), value);
    EXPECT_EQ(page_value(stale, grown), 0xBB);
    must(stale.rollback());
  }
}

// A commit into a log that the switch just made survives a power loss that
// comes right after it: the log's name is as durable as its contents.
TEST_F(WalModeTest, ACommitIntoANewLogSurvivesAPowerLoss) {
  for (bool writeback : {false, true}) {
    SCOPED_TRACE(writeback ? "after write-back" : "power loss");
    std::remove(path_.c_str());
    std::remove(wal_.c_str());
    make_filled_db(path_, 10, kOwnNumber);
    ChildExit exit = run_in_child([&] {
      FaultVfs vfs(OsVfs::instance());
      Pager pager = open(vfs);
      must(pager.set_journal_mode_wal());
      commit_page(pager, 2, 0xA2);
      FaultPlan plan = FaultPlan::power_loss(1);
      if (writeback) plan.after_writeback();
      vfs.arm(plan);
      (void)vfs.exists(path_);
      return 0;
    });
    ASSERT_TRUE(exit.killed_by(SIGKILL)) << exit.describe();
    Pager pager = open();
    EXPECT_TRUE(pager.in_wal_mode());
    must(pager.read_lock());
    EXPECT_EQ(page_value(pager, 2), 0xA2);
    must(pager.read_unlock());
  }
}

TEST_F(WalModeTest, ACheckpointOrSwitchFromAStaleHandleLosesNothing) {
  const bool to_journal_cases[] = {false, true};
  for (bool to_journal : to_journal_cases) {
    SCOPED_TRACE(to_journal ? "switch to journal mode" : "checkpoint");
    Pager stale = open();
    must(stale.set_journal_mode_wal());
    commit_page(stale, 2, 0xA2);
    ChildExit exit = run_in_child([&] {
      Pager other = open();
      commit_page(other, 3, 0xB3);
      commit_page(other, 11, 0xBB);
      commit_page(other, 2, 0xB2);
      return 0;
    });
    ASSERT_TRUE(exit.exited && exit.code == 0) << exit.describe();

    must(to_journal ? stale.set_journal_mode_delete() : stale.wal_checkpoint());
    EXPECT_EQ(wal_exists(), !to_journal);
    if (!to_journal) {
      EXPECT_EQ(read_file(wal_).size(), 0u);
    }
    EXPECT_EQ(read_file(path_).size(), 11 * kPage);
    EXPECT_EQ(file_header().page_count, 11u);
    EXPECT_EQ(file_header().journal_mode, to_journal ? 0 : 1);
    EXPECT_EQ(file_page_value(2), 0xB2);
    EXPECT_EQ(file_page_value(3), 0xB3);
    EXPECT_EQ(file_page_value(11), 0xBB);
    Pager reopened = open();
    EXPECT_EQ(page_value(reopened, 2), 0xB2);
    EXPECT_EQ(page_value(reopened, 11), 0xBB);
    must(reopened.set_journal_mode_delete());
    std::remove(path_.c_str());
    make_filled_db(path_, 10, kOwnNumber);
  }
}

}  // namespace
}  // namespace vbk::testing
