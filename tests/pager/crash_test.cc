// Crash safety of a commit, in both journal modes: a crash (SIGKILL or a
// simulated power loss) or an I/O error at every file-layer operation of a
// commit, and at every operation of the recovery that follows, must leave
// exactly the state before or after the transaction, with no journal once the
// database has been opened again. In log mode the same holds across a
// checkpoint, explicit or run by a commit.

#include <csignal>
#include <cstdio>
#include <initializer_list>
#include <optional>
#include <string>

#include <gtest/gtest.h>

#include "pager/pager.h"
#include "pager/pager_util.h"
#include "support/crash.h"
#include "support/fault_vfs.h"
#include "support/temp_dir.h"
#include "util/bytes.h"
#include "vfs/os.h"

namespace vbk::testing {
namespace {

// The transaction under test: pages 2 and 4 rewritten, page 7 appended, page
// 5 freed (it becomes the free-list trunk). Its dirty pages 2, 4, 5 and 7 are
// written in three runs; the journal holds pages 1, 2, 4 and 5.
void the_transaction(Pager& pager) {
  fill_page(pager, 2, 0x22);
  fill_page(pager, 4, 0x44);
  fill_page(pager, must(pager.alloc_page()), 0x77);
  must(pager.free_page(5));
}

// What a second handle commits afterwards.
void other_transaction(Pager& pager) { fill_page(pager, 3, 0x33); }

struct CrashMode {
  const char* what;
  FaultPlan (*plan)(uint64_t at);
};

const CrashMode kCrashModes[] = {
    {"kill", [](uint64_t at) { return FaultPlan::kill(at); }},
    {"power loss", [](uint64_t at) { return FaultPlan::power_loss(at); }},
    {"power loss after write-back",
     [](uint64_t at) { return FaultPlan::power_loss(at).after_writeback(); }},
    {"power loss with torn writes",
     [](uint64_t at) { return FaultPlan::power_loss(at).with_torn_writes(); }},
};

// The journal mode under test: with the log, the database starts with a
// commit in the log, so that a commit appends to a log that holds one.
enum class Mode { Journal, Wal };

class CrashTest : public ::testing::TestWithParam<Mode> {
 protected:
  void SetUp() override {
    make_filled_db(path_, 6, kOwnNumber);
    if (wal_) {
      Pager pager = must(Pager::open(OsVfs::instance(), path_));
      must(pager.set_journal_mode_wal());
      must(pager.begin());
      fill_page(pager, 6, 0x66);
      must(pager.commit());
    }
    before_files_ = {read_file(path_), read_file(wal_path_)};
    before_ = state();
    after_ = image_after({the_transaction});
    before_other_ = image_after({other_transaction});
    after_other_ = image_after({the_transaction, other_transaction});
    ops_ = count_ops(commit_work);
  }

  // Work on a fresh handle that arms the file layer with `plan` where the
  // operations under test begin.
  using Work = void (*)(Pager&, FaultVfs&, const FaultPlan&);

  static void commit_work(Pager& pager, FaultVfs& vfs, const FaultPlan& plan) {
    must(pager.begin());
    the_transaction(pager);
    vfs.arm(plan);
    (void)pager.commit();
  }

  // The file-layer operations of `work` once armed, run in this process.
  uint64_t count_ops(Work work) {
    reset();
    FaultVfs vfs(OsVfs::instance());
    {
      Pager pager = must(Pager::open(vfs, path_));
      work(pager, vfs, FaultPlan());
    }
    reset();
    return vfs.count();
  }

  // Runs `work` in a child that dies where `plan` says.
  void crash_in_child(Work work, const FaultPlan& plan) {
    ChildExit exit = run_in_child([&] {
      FaultVfs vfs(OsVfs::instance());
      Pager pager = must(Pager::open(vfs, path_));
      work(pager, vfs, plan);
      return 0;
    });
    ASSERT_TRUE(exit.killed_by(SIGKILL)) << exit.describe();
  }

  // Puts the database back as it was before the transaction.
  void reset() {
    write_file(path_, before_files_.first);
    if (wal_) write_file(wal_path_, before_files_.second);
    std::remove(journal_.c_str());
  }

  // What the database holds now, read without a lock: the file's bytes in
  // journal mode, the header and pages as a reader sees them through the
  // log in log mode.
  std::string state() const { return wal_ ? logical_image(path_) : read_file(path_); }

  // An image (which starts with the header) whose change counter is `by`
  // higher.
  static std::string counter_raised(std::string image, uint32_t by) {
    auto* counter = reinterpret_cast<uint8_t*>(image.data()) + 30;
    put_be32(counter, get_be32(counter) + by);
    return image;
  }

  // The file after these transactions, each committed on its own.
  std::string image_after(std::initializer_list<void (*)(Pager&)> transactions) {
    reset();
    {
      Pager pager = must(Pager::open(OsVfs::instance(), path_));
      for (auto tx : transactions) {
        must(pager.begin());
        tx(pager);
        must(pager.commit());
      }
    }
    std::string image = state();
    reset();
    return image;
  }

  // Opens the database as a new handle (which recovers), checks that no
  // journal remains, and gives the file's bytes.
  std::string reopened_image() {
    auto pager = Pager::open(OsVfs::instance(), path_);
    EXPECT_TRUE(pager.has_value()) << pager.error().display();
    EXPECT_FALSE(OsVfs::instance().exists(journal_));
    if (pager) {
      EXPECT_EQ(pager->in_wal_mode(), wal_);
    }
    return state();
  }

  // Runs the transaction in a child that dies where `plan` says in its
  // commit.
  void crash_writer(const FaultPlan& plan) { crash_in_child(commit_work, plan); }

  static std::string where(const char* what, uint64_t at, uint64_t of) {
    return std::string(what) + " at operation " + std::to_string(at) + " of " + std::to_string(of);
  }

  bool wal_ = GetParam() == Mode::Wal;
  TempDir dir_;
  std::string path_ = dir_.file("crash.db");
  std::string journal_ = path_ + "-journal";
  std::string wal_path_ = path_ + "-wal";
  std::pair<std::string, std::string> before_files_;
  std::string before_, after_, before_other_, after_other_;
  uint64_t ops_ = 0;
};

TEST_P(CrashTest, ACrashAtAnyStepOfACommitLeavesTheStateBeforeOrAfter) {
  // Journal mode: reads, journal, directory, pages, header, syncs, delete;
  // log mode: one write and one sync among them.
  ASSERT_GT(ops_, wal_ ? 3u : 10u);
  for (const CrashMode& mode : kCrashModes) {
    uint64_t committed = 0;
    for (uint64_t at = 1; at <= ops_; ++at) {
      SCOPED_TRACE(where(mode.what, at, ops_));
      reset();
      crash_writer(mode.plan(at));
      const std::string image = reopened_image();
      EXPECT_TRUE(image == before_ || image == after_) << "neither before nor after";
      committed += image == after_;
    }
    // A crash after the commit point keeps the transaction: after the
    // journal's deletion and its directory's sync, or the log's sync.
    EXPECT_GE(committed, 1u);
  }
}

// In log mode a checkpoint, explicit or run by a commit once the log is long
// enough, may be cut short at any step: the log keeps every commit until the
// database file holds them all, so the state is the one before or after, and
// the next commit carries on from it.
class WalCrashTest : public CrashTest {};

TEST_P(WalCrashTest, ACrashAtAnyStepOfACheckpointLosesNothing) {
  struct Case {
    const char* what;
    Work work;
  };
  const Case cases[] = {
      {"explicit checkpoint",
       [](Pager& pager, FaultVfs& vfs, const FaultPlan& plan) {
         vfs.arm(plan);
         (void)pager.wal_checkpoint();
       }},
      {"commit with a checkpoint",
       [](Pager& pager, FaultVfs& vfs, const FaultPlan& plan) {
         pager.set_checkpoint_threshold(1);
         commit_work(pager, vfs, plan);
       }},
  };
  for (const Case& c : cases) {
    const uint64_t ops = count_ops(c.work);
    // Among them a read and a write for each of the log's pages.
    ASSERT_GT(ops, 12u) << c.what;
    for (const CrashMode& mode : kCrashModes) {
      for (uint64_t at = 1; at <= ops; ++at) {
        SCOPED_TRACE(where(mode.what, at, ops));
        SCOPED_TRACE(c.what);
        reset();
        crash_in_child(c.work, mode.plan(at));
        const std::string image = reopened_image();
        const bool committed = image == after_;
        EXPECT_TRUE(image == before_ || committed) << "neither before nor after";
        Pager pager = must(Pager::open(OsVfs::instance(), path_));
        must(pager.begin());
        other_transaction(pager);
        must(pager.commit());
        EXPECT_EQ(state(), committed ? after_other_ : before_other_);
      }
    }
  }
}

// A switch back to journal mode cut short anywhere, its checkpoint included,
// leaves the database in one mode or the other, with every commit, and a
// handle that opens it works in the mode its header states.
TEST_P(WalCrashTest, ACrashAtAnyStepOfASwitchToJournalModeLosesNothing) {
  const Work work = [](Pager& pager, FaultVfs& vfs, const FaultPlan& plan) {
    vfs.arm(plan);
    (void)pager.set_journal_mode_delete();
  };
  const uint64_t ops = count_ops(work);
  ASSERT_GT(ops, 12u);
  // The two states differ in the header's journal-mode byte alone.
  auto in_journal_mode = [](std::string image) {
    image[42] = 0;
    return image;
  };
  for (const CrashMode& mode : kCrashModes) {
    uint64_t switched = 0;
    for (uint64_t at = 1; at <= ops; ++at) {
      SCOPED_TRACE(where(mode.what, at, ops));
      reset();
      crash_in_child(work, mode.plan(at));
      Pager pager = must(Pager::open(OsVfs::instance(), path_));
      switched += !pager.in_wal_mode();
      EXPECT_EQ(pager.in_wal_mode(), pager.header().journal_mode == 1);
      const std::string image = state();
      EXPECT_TRUE(image == before_ || image == in_journal_mode(before_)) << "lost or half-applied";
      must(pager.begin());
      other_transaction(pager);
      must(pager.commit());
      EXPECT_EQ(in_journal_mode(state()), in_journal_mode(before_other_));
    }
    // Killed at the final unlock, the switch is done.
    if (mode.plan(1).mode == FaultMode::Kill) {
      EXPECT_GE(switched, 1u);
    }
  }
}

// A handle that was already open when the writer died must neither read the
// half-written file nor commit over the dead writer's journal.
TEST_P(CrashTest, AHandleOpenWhenTheWriterDiedRecoversAtItsNextLock) {
  for (const LockKind& lock : kLockKinds) {
    for (uint64_t at = 1; at <= ops_; ++at) {
      SCOPED_TRACE(where(lock.what, at, ops_));
      reset();
      Pager other = must(Pager::open(OsVfs::instance(), path_));
      must(other.read_lock());
      for (uint32_t p : {2u, 3u, 4u, 5u}) EXPECT_EQ(page_value(other, p), static_cast<int>(p));
      must(other.read_unlock());

      crash_writer(FaultPlan::kill(at));

      must(lock.lock(other));
      EXPECT_FALSE(OsVfs::instance().exists(journal_));
      const bool committed = other.header().page_count == 7;
      EXPECT_EQ(page_value(other, 2), committed ? 0x22 : 2);
      EXPECT_EQ(page_value(other, 4), committed ? 0x44 : 4);
      EXPECT_EQ(page_value(other, 5), committed ? -1 : 5);  // a trunk after
      must(lock.unlock(other));
      must(other.begin());
      other_transaction(other);
      must(other.commit());
      EXPECT_EQ(reopened_image(), committed ? after_other_ : before_other_);
    }
  }
}

// An I/O error at any step: the commit puts the file back at once (or, when
// even that fails, keeps the journal that does), keeps the transaction open,
// and a rollback, a retried commit or another handle carries on from there.
TEST_P(CrashTest, AFailedCommitLeavesTheStateBeforeAndTheTransactionOpen) {
  enum class Then { Rollback, Retry, OtherHandle };
  for (bool sticky : {false, true}) {
    for (Then then : {Then::Rollback, Then::Retry, Then::OtherHandle}) {
      for (uint64_t at = 1; at <= ops_; ++at) {
        SCOPED_TRACE(where(sticky ? "every failure from" : "one failure", at, ops_));
        SCOPED_TRACE(then == Then::Rollback ? "rollback" : then == Then::Retry ? "retry" : "other");
        reset();
        Pager other = must(Pager::open(OsVfs::instance(), path_));
        FaultVfs vfs(OsVfs::instance());
        std::optional<Pager> writer = must(Pager::open(vfs, path_));
        must(writer->begin());
        the_transaction(*writer);
        FaultPlan plan = FaultPlan::fail(at);
        if (sticky) plan.and_after();
        vfs.arm(plan);
        const Result<void> result = writer->commit();
        if (result || !writer->in_tx()) {
          // The failure came after the commit point (the unlock) or hit an
          // operation that cannot fail: committed.
          writer.reset();
          EXPECT_EQ(reopened_image(), after_);
          continue;
        }
        if (!sticky) {
          EXPECT_FALSE(OsVfs::instance().exists(journal_));
          EXPECT_EQ(state(), before_);
        } else if (OsVfs::instance().exists(journal_)) {
          // The journal could not be played back: a retry may not proceed.
          EXPECT_FALSE(writer->commit().has_value());
          EXPECT_TRUE(writer->in_tx());
        }
        vfs.disarm();
        switch (then) {
          case Then::Rollback:
            must(writer->rollback());
            must(writer->read_lock());
            EXPECT_EQ(page_value(*writer, 2), 2);
            must(writer->read_unlock());
            writer.reset();
            // In log mode the rollback commits the header alone, with a
            // counter past the spent one.
            EXPECT_EQ(reopened_image(), wal_ ? counter_raised(before_, 2) : before_);
            break;
          case Then::Retry:
            must(writer->commit());
            EXPECT_FALSE(OsVfs::instance().exists(journal_));
            // In log mode the failed attempt spent its change counter.
            EXPECT_EQ(state(), wal_ ? counter_raised(after_, 1) : after_);
            break;
          case Then::OtherHandle:
            must(writer->rollback());
            must(other.read_lock());
            EXPECT_EQ(page_value(other, 4), 4);
            must(other.read_unlock());
            must(other.begin());
            other_transaction(other);
            must(other.commit());
            EXPECT_EQ(reopened_image(), wal_ ? counter_raised(before_other_, 2) : before_other_);
            break;
        }
      }
    }
  }
}

// The recovery itself may be cut short, any number of times: it only ever
// rewrites the same before-images, and the journal goes last.
class JournalCrashTest : public CrashTest {};

TEST_P(JournalCrashTest, ACrashDuringRecoveryIsRecoveredByTheNextOpen) {
  // A hot journal over a half-written file: killed just before the database
  // file's sync, after every page and the header were written.
  crash_writer(FaultPlan::kill(1).on(FsOp::Sync).on_path("crash.db"));
  const std::string hot_db = read_file(path_);
  const std::string hot_journal = read_file(journal_);
  ASSERT_NE(hot_db, before_);
  ASSERT_FALSE(hot_journal.empty());
  auto make_hot = [&] {
    write_file(path_, hot_db);
    write_file(journal_, hot_journal);
  };

  make_hot();
  FaultVfs counter(OsVfs::instance());
  counter.arm(FaultPlan());
  must(Pager::open(counter, path_));
  const uint64_t recovery_ops = counter.count();
  ASSERT_GT(recovery_ops, 5u);

  for (const CrashMode& mode : kCrashModes) {
    for (uint64_t at = 1; at <= recovery_ops; ++at) {
      SCOPED_TRACE(where(mode.what, at, recovery_ops));
      make_hot();
      ChildExit exit = run_in_child([&] {
        FaultVfs vfs(OsVfs::instance());
        vfs.arm(mode.plan(at));
        (void)Pager::open(vfs, path_);
        return 0;
      });
      ASSERT_TRUE(exit.killed_by(SIGKILL)) << exit.describe();
      EXPECT_EQ(reopened_image(), before_);
    }
  }
}

std::string mode_name(const ::testing::TestParamInfo<Mode>& info) {
  return info.param == Mode::Wal ? "Wal" : "Journal";
}
INSTANTIATE_TEST_SUITE_P(Modes, CrashTest, ::testing::Values(Mode::Journal, Mode::Wal), mode_name);
INSTANTIATE_TEST_SUITE_P(Modes, WalCrashTest, ::testing::Values(Mode::Wal), mode_name);
INSTANTIATE_TEST_SUITE_P(Modes, JournalCrashTest, ::testing::Values(Mode::Journal), mode_name);

}  // namespace
}  // namespace vbk::testing
