#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <fstream>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "pager/journal.h"
#include "pager/pager.h"
#include "pager/pager_util.h"
#include "support/crash.h"
#include "support/fault_vfs.h"
#include "support/temp_dir.h"
#include "vfs/os.h"

namespace vbk::testing {
namespace {

class TxTest : public ::testing::Test {
 protected:
  void SetUp() override { make_filled_db(path_, 10, 1); }

  Pager open() { return must(Pager::open(OsVfs::instance(), path_)); }

  TempDir dir_;
  std::string path_ = dir_.file("tx.db");
  std::string journal_ = path_ + "-journal";
};

TEST_F(TxTest, TransactionCallsOutOfOrderAreTxErrors) {
  Pager pager = open();
  auto commit = pager.commit();
  ASSERT_FALSE(commit.has_value());
  EXPECT_EQ(commit.error().display(), "transaction error: no active transaction to commit");
  auto rollback = pager.rollback();
  ASSERT_FALSE(rollback.has_value());
  EXPECT_EQ(rollback.error().display(), "transaction error: no active transaction to roll back");
  must(pager.begin());
  auto again = pager.begin();
  ASSERT_FALSE(again.has_value());
  EXPECT_EQ(again.error().display(), "transaction error: a transaction is already active");
  EXPECT_TRUE(pager.in_tx());
  must(pager.rollback());
  EXPECT_FALSE(pager.in_tx());
}

TEST_F(TxTest, AnEmptyTransactionWritesNothingAndReleasesTheLock) {
  Pager pager = open();
  const std::string before = read_file(path_);
  must(pager.begin());
  EXPECT_FALSE(lock_is_free(path_));
  EXPECT_EQ(page_value(pager, 3), 1);
  must(pager.commit());
  EXPECT_TRUE(lock_is_free(path_));
  EXPECT_EQ(read_file(path_), before);
  EXPECT_EQ(pager.header().change_counter, 1u);
}

TEST_F(TxTest, RollbackRestoresTheViewWithoutTouchingFiles) {
  Pager pager = open();
  const std::string before = read_file(path_);
  const DbHeader header = pager.header();
  must(pager.begin());
  fill_page(pager, 3, 7);
  must(pager.alloc_page());
  must(pager.free_page(4));
  must(pager.rollback());
  EXPECT_TRUE(lock_is_free(path_));
  EXPECT_EQ(pager.header(), header);
  EXPECT_EQ(page_value(pager, 3), 1);
  EXPECT_EQ(page_value(pager, 4), 1);
  EXPECT_EQ(read_file(path_), before);
  EXPECT_FALSE(OsVfs::instance().exists(journal_));
}

// A schema root set in a transaction that fails to commit and is rolled back
// would name a page that was never committed; the next commit would write it.
TEST_F(TxTest, RollbackAfterAFailedCommitRestoresTheSchemaRoot) {
  FaultVfs vfs(OsVfs::instance());
  Pager pager = must(Pager::open(vfs, path_));
  const DbHeader header = pager.header();
  must(pager.begin());
  const uint32_t root = must(pager.alloc_page());
  pager.set_schema_root(root);
  vfs.arm(FaultPlan::fail(1).on(FsOp::Write));
  ASSERT_FALSE(pager.commit().has_value());
  vfs.disarm();
  must(pager.rollback());
  EXPECT_EQ(pager.header(), header);

  must(pager.begin());
  fill_page(pager, 3, 9);
  must(pager.commit());
  Pager reopened = open();
  EXPECT_EQ(reopened.header().schema_root, header.schema_root);
  EXPECT_EQ(reopened.header().page_count, header.page_count);
}

TEST_F(TxTest, CommitMakesChangesDurableAndRaisesTheCounter) {
  Pager pager = open();
  must(pager.begin());
  fill_page(pager, 3, 7);
  const uint32_t added = must(pager.alloc_page());
  fill_page(pager, added, 8);
  must(pager.commit());
  EXPECT_FALSE(pager.in_tx());
  EXPECT_TRUE(lock_is_free(path_));
  EXPECT_FALSE(OsVfs::instance().exists(journal_));
  EXPECT_FALSE(must(pager.get_page(3)).dirty());

  Pager reopened = open();
  EXPECT_EQ(reopened.header().change_counter, 2u);
  EXPECT_EQ(reopened.header().page_count, 11u);
  EXPECT_EQ(page_value(reopened, 3), 7);
  EXPECT_EQ(page_value(reopened, 11), 8);
  EXPECT_EQ(read_file(path_).size(), 11u * 512);
}

TEST_F(TxTest, CommitWritesEachRunOfPagesOnceAndSyncsAtAnyLevel) {
  FaultVfs vfs(OsVfs::instance());
  Pager pager = must(Pager::open(vfs, path_));
  pager.set_synchronous(0);
  must(pager.begin());
  for (uint32_t p : {2u, 3u, 4u, 7u, 8u, 10u}) fill_page(pager, p, 5);
  vfs.arm(FaultPlan().on(FsOp::Write).on_path("tx.db"));
  must(pager.commit());
  EXPECT_EQ(vfs.count(), 4u);  // pages 2-4, 7-8, 10, then the header
  must(pager.begin());
  fill_page(pager, 2, 6);
  vfs.arm(FaultPlan().on(FsOp::Sync));
  must(pager.commit());
  EXPECT_EQ(vfs.count(), 3u);  // the journal's body, its trailer, then the database file
}

TEST_F(TxTest, TheJournalHoldsPageOneAndThePagesThatExistedBefore) {
  // Killed at the first write to the database file: the journal is complete.
  ChildExit exit = run_in_child([&] {
    FaultVfs vfs(OsVfs::instance());
    Pager pager = must(Pager::open(vfs, path_));
    must(pager.begin());
    fill_page(pager, 5, 9);
    fill_page(pager, 3, 9);
    must(pager.alloc_page());
    must(pager.alloc_page());
    vfs.arm(FaultPlan::kill(1).on(FsOp::Write).on_path("tx.db"));
    (void)pager.commit();
    return 0;
  });
  ASSERT_TRUE(exit.killed_by(SIGKILL)) << exit.describe();
  auto file = must(OsVfs::instance().open(journal_, false));
  auto journal = must(journal::read_valid(*file));
  ASSERT_TRUE(journal.has_value());
  EXPECT_EQ(journal->page_size, 512u);
  EXPECT_EQ(journal->orig_page_count, 10u);
  ASSERT_EQ(journal->records.size(), 3u);
  EXPECT_EQ(journal->records[0].pgno, 1u);
  EXPECT_EQ(journal->records[1].pgno, 3u);
  EXPECT_EQ(journal->records[2].pgno, 5u);
  const std::string db = read_file(path_);
  EXPECT_EQ(std::string(journal->records[0].bytes.begin(), journal->records[0].bytes.end()),
            db.substr(0, 512));
  EXPECT_EQ(std::string(journal->records[2].bytes.begin(), journal->records[2].bytes.end()),
            db.substr(4 * 512, 512));
  file.reset();

  // The next open plays it back: the state before the transaction.
  Pager pager = open();
  EXPECT_FALSE(OsVfs::instance().exists(journal_));
  EXPECT_EQ(pager.header().page_count, 10u);
  EXPECT_EQ(page_value(pager, 5), 1);
}

// A commit whose before-images fill several of the journal's write batches
// (2,500 pages of 512 bytes, over a megabyte and a quarter) journals each
// page exactly as the file held it before the transaction, in page order,
// and a crash once the journal is synced restores that file byte for byte.
TEST_F(TxTest, ALargeCommitJournalsThePagesAsTheyWereAndACrashRestoresThem) {
  const std::string path = dir_.file("big.db");
  constexpr uint32_t kPages = 2500;
  make_filled_db(path, kPages, kOwnNumber);
  const std::string before = read_file(path);
  ChildExit exit = run_in_child([&] {
    FaultVfs vfs(OsVfs::instance());
    Pager pager = must(Pager::open(vfs, path));
    must(pager.begin());
    for (uint32_t p = kPages; p >= 2; --p) fill_page(pager, p, 0xa5);
    must(pager.alloc_page());  // appended: no record
    vfs.arm(FaultPlan::kill(1).on(FsOp::Write).on_path("big.db"));
    (void)pager.commit();
    return 0;
  });
  ASSERT_TRUE(exit.killed_by(SIGKILL)) << exit.describe();
  {
    auto file = must(OsVfs::instance().open(path + "-journal", false));
    auto journal = must(journal::read_valid(*file));
    ASSERT_TRUE(journal.has_value());
    EXPECT_EQ(journal->orig_page_count, kPages);
    ASSERT_EQ(journal->records.size(), kPages);
    for (uint32_t i = 0; i < kPages; ++i) {
      const journal::Record& r = journal->records[i];
      ASSERT_EQ(r.pgno, i + 1);
      ASSERT_EQ(std::string(r.bytes.begin(), r.bytes.end()), before.substr(uint64_t{i} * 512, 512)) << r.pgno;
    }
  }
  must(Pager::open(OsVfs::instance(), path));
  EXPECT_FALSE(OsVfs::instance().exists(path + "-journal"));
  EXPECT_TRUE(read_file(path) == before);
}

TEST_F(TxTest, ReadLocksInsideATransactionDoNothing) {
  FaultVfs vfs(OsVfs::instance());
  Pager pager = must(Pager::open(vfs, path_));
  must(pager.begin());
  vfs.arm(FaultPlan());
  must(pager.read_lock());
  must(pager.read_unlock());
  EXPECT_EQ(vfs.count(), 0u);
  EXPECT_FALSE(lock_is_free(path_));
  must(pager.rollback());
}

TEST_F(TxTest, AnUnreadableHeaderKeepsTheHandlesView) {
  Pager pager = open();
  std::string bytes = read_file(path_);
  bytes[0] = 'X';
  write_file(path_, bytes);
  must(pager.read_lock());
  EXPECT_EQ(page_value(pager, 2), 1);
  must(pager.read_unlock());
  must(pager.begin());
  EXPECT_EQ(pager.header().page_count, 10u);
  must(pager.rollback());
}

// Change detection: another handle's commit, and only that, drops the cache.
TEST_F(TxTest, AnotherHandlesCommitDropsTheCache) {
  uint8_t value = 1;
  for (const LockKind& c : kLockKinds) {
    SCOPED_TRACE(c.what);
    Pager pager = open();
    must(c.lock(pager));
    PageRef held = must(pager.get_page(2));
    must(c.unlock(pager));

    // Nobody committed: the cached page is still the one.
    must(c.lock(pager));
    EXPECT_TRUE(must(pager.get_page(2)) == held);
    must(c.unlock(pager));

    ++value;
    ChildExit exit = run_in_child([&] {
      Pager other = open();
      must(other.begin());
      fill_page(other, 2, value);
      must(other.commit());
      return 0;
    });
    ASSERT_TRUE(exit.exited && exit.code == 0) << exit.describe();

    must(c.lock(pager));
    PageRef fresh = must(pager.get_page(2));
    EXPECT_FALSE(fresh == held);
    EXPECT_EQ(page_value(pager, 2), value);
    EXPECT_EQ(held.read().data()[4], value - 1);  // the detached copy keeps its bytes
    EXPECT_EQ(pager.header().change_counter, value);
    must(c.unlock(pager));
  }
}

// A writer's transaction holds off a reader and a writer of another process
// until it commits; they then see the commit.
TEST_F(TxTest, AWriterExcludesReadersAndWritersOfOtherProcesses) {
  if (!std::ifstream("/proc/locks")) GTEST_SKIP() << "no /proc/locks";
  const bool writer_cases[] = {false, true};
  uint8_t value = 1;
  for (bool other_writes : writer_cases) {
    SCOPED_TRACE(other_writes ? "other writer" : "other reader");
    int opened[2];
    int go[2];
    ASSERT_EQ(::pipe(opened), 0);
    ASSERT_EQ(::pipe(go), 0);
    std::fflush(nullptr);
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      int code = 100;
      try {
        Pager other = open();
        char c = 0;
        (void)!::write(opened[1], "o", 1);
        (void)!::read(go[0], &c, 1);
        Result<void> locked = other_writes ? other.begin() : other.read_lock();
        if (locked) code = page_value(other, 2);
      } catch (...) {
      }
      ::_exit(code);
    }
    char c = 0;
    ASSERT_EQ(::read(opened[0], &c, 1), 1);
    Pager pager = open();
    must(pager.begin());
    fill_page(pager, 2, ++value);
    ASSERT_EQ(::write(go[1], "g", 1), 1);
    int status = 0;
    const bool blocked = wait_until_blocked(pid, status);
    must(pager.commit());
    if (blocked) {
      ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    }
    EXPECT_TRUE(blocked);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), value);
    for (int fd : {opened[0], opened[1], go[0], go[1]}) ::close(fd);
  }
}


// ---- failed unlocks ----

// Runs `body` in a child and gives its exit code, or nothing when the child
// came to wait for a file lock (seen in /proc/locks), in which case it is
// killed.
std::optional<int> exit_unless_it_waits(const std::function<int()>& body) {
  const pid_t pid = start_child(body);
  int status = 0;
  if (wait_until_blocked(pid, status)) {
    ::kill(pid, SIGKILL);
    ::waitpid(pid, &status, 0);
    return std::nullopt;
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Whether another process can open the database and take every lock in
// turn: a write, a read and a checkpoint. A lock left held makes it wait.
::testing::AssertionResult another_process_writes(const std::string& path) {
  const std::optional<int> code = exit_unless_it_waits([&] {
    Pager other = must(Pager::open(OsVfs::instance(), path));
    must(other.begin());
    fill_page(other, must(other.alloc_page()), 0x5c);
    must(other.commit());
    must(other.read_lock());
    must(other.read_unlock());
    must(other.wal_checkpoint());
    return 0;
  });
  if (!code) return ::testing::AssertionFailure() << "it waits for a lock left held";
  if (*code != 0) return ::testing::AssertionFailure() << "it failed";
  return ::testing::AssertionSuccess();
}

// Every road by which a handle releases a lock, in journal or log mode:
// create and open, commits (empty, written, with a checkpoint, cutting a
// log's tail), rollback, reads, a journal left by a dead writer, explicit
// checkpoints and switches. Results are ignored (the failures are the
// point); `handles` keeps every handle that opened. The workout stops after
// the step in which the file layer's fault fired, so that no later release
// through the same descriptor hides a lock that the failure left held.
void lock_workout(FaultVfs& vfs, const std::string& path, bool log, std::vector<Pager>& handles) {
  auto keep = [&](Result<Pager> pager) {
    if (pager) handles.push_back(std::move(*pager));
  };
  keep(Pager::create(vfs, path, 512));
  if (vfs.fired()) return;
  keep(Pager::open(vfs, path));
  if (vfs.fired() || handles.empty()) return;
  Pager& p = handles.front();
  auto write_page = [&](uint8_t value) {
    if (!p.begin()) return;
    if (auto pgno = p.alloc_page()) fill_page(p, *pgno, value);
    if (!p.commit() && p.in_tx()) (void)p.rollback();
  };
  const std::vector<std::function<void()>> steps = {
      [&] {
        if (log) (void)p.set_journal_mode_wal();
      },
      [&] { write_page(1); },
      [&] {
        if (p.begin()) (void)p.commit();
      },
      [&] {
        if (!p.begin()) return;
        (void)p.alloc_page();
        (void)p.rollback();
      },
      [&] {
        if (!log) write_file(path + "-journal", "left by a dead writer");
        if (p.read_lock()) (void)p.read_unlock();
      },
      [&] { (void)p.wal_checkpoint(); },
      [&] {
        if (!log) return;
        p.set_checkpoint_threshold(1);
        write_page(2);
      },
      [&] {
        if (!log) return;
        // Bytes beyond the log's end, which the next commit cuts off first
        // (and no checkpoint follows to take the log's lock again).
        p.set_checkpoint_threshold(Pager::kCheckpointThreshold);
        std::ofstream(path + "-wal", std::ios::app | std::ios::binary) << std::string(600, '\0');
        write_page(3);
      },
      [&] {
        if (log) (void)p.set_journal_mode_delete();
      },
  };
  for (const auto& step : steps) {
    step();
    if (vfs.fired()) return;
  }
}

// Each case runs in a child of its own, whose handles would otherwise wait
// for ever on a lock that one of them kept.
TEST(FailedUnlock, AnotherProcessCanStillOpenAndWrite) {
  if (!std::ifstream("/proc/locks")) GTEST_SKIP() << "no /proc/locks";
  enum Outcome : int { kFine, kNotFired, kOtherFailed, kHandlesFailed };
  for (bool log : {false, true}) {
    SCOPED_TRACE(log ? "log mode" : "journal mode");
    uint64_t unlocks = 0;
    {
      TempDir dir;
      FaultVfs vfs(OsVfs::instance());
      vfs.arm(FaultPlan().on(FsOp::Unlock));
      std::vector<Pager> handles;
      lock_workout(vfs, dir.file("u.db"), log, handles);
      unlocks = vfs.count();
    }
    ASSERT_GE(unlocks, log ? 12u : 8u) << "fewer roads than expected";
    for (uint64_t at = 1; at <= unlocks; ++at) {
      SCOPED_TRACE("unlock " + std::to_string(at) + " of " + std::to_string(unlocks) + " fails");
      TempDir dir;
      const std::string path = dir.file("u.db");
      const std::optional<int> outcome = exit_unless_it_waits([&] {
        FaultVfs vfs(OsVfs::instance());
        vfs.arm(FaultPlan::fail(at).on(FsOp::Unlock));
        std::vector<Pager> handles;
        lock_workout(vfs, path, log, handles);
        if (!vfs.fired() || handles.empty()) return kNotFired;
        if (!another_process_writes(path)) return kOtherFailed;
        // The handles work on, with their files opened afresh.
        vfs.disarm();
        for (Pager& h : handles) {
          if (!h.begin()) return kHandlesFailed;
          fill_page(h, 2, 0x3c);
          if (!h.commit()) return kHandlesFailed;
        }
        return kFine;
      });
      EXPECT_TRUE(outcome.has_value()) << "the failing handle's own process waits for a lock it kept";
      EXPECT_EQ(outcome.value_or(kFine), kFine);
    }
  }
}

// Past the commit point a failed unlock whose file cannot even be opened
// again still lets the lock go and the commit stand; the handle reports the
// loss at its next operation.
TEST(FailedUnlock, AHandleThatCannotReopenItsFileReportsItNext) {
  for (bool log : {false, true}) {
    SCOPED_TRACE(log ? "log mode" : "journal mode");
    TempDir dir;
    const std::string path = dir.file("u.db");
    make_filled_db(path, 4, 1);
    if (log) must(must(Pager::open(OsVfs::instance(), path)).set_journal_mode_wal());
    // The commit's operations, counted on a copy; its unlock is the last.
    const std::string image = read_file(path);
    auto commit_with = [&](const std::string& at, const FaultPlan& plan, FaultVfs& vfs) {
      Pager pager = must(Pager::open(vfs, at));
      must(pager.begin());
      fill_page(pager, 3, 0x33);
      vfs.arm(plan);
      must(pager.commit());
      return pager;
    };
    uint64_t ops = 0;
    {
      write_file(dir.file("copy.db"), image);
      if (log) write_file(dir.file("copy.db-wal"), read_file(path + "-wal"));
      FaultVfs vfs(OsVfs::instance());
      commit_with(dir.file("copy.db"), FaultPlan(), vfs);
      ops = vfs.count();
    }
    // The unlock fails, and so does every operation after it: the reopening.
    FaultVfs vfs(OsVfs::instance());
    Pager pager = commit_with(path, FaultPlan::fail(ops).and_after(), vfs);
    EXPECT_TRUE(vfs.fired());
    EXPECT_TRUE(another_process_writes(path));
    vfs.disarm();
    for (const LockKind& lock : kLockKinds) {
      auto locked = lock.lock(pager);
      ASSERT_FALSE(locked.has_value()) << lock.what;
      EXPECT_EQ(locked.error().kind(), Error::Kind::Io);
    }
    // What the handle committed is there for everyone else.
    Pager other = must(Pager::open(OsVfs::instance(), path));
    must(other.read_lock());
    EXPECT_EQ(page_value(other, 3), 0x33);
    must(other.read_unlock());
  }
}

}  // namespace
}  // namespace vbk::testing
