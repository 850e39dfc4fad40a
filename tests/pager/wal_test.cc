// The write-ahead log: its frames, its scan of torn tails, reading through
// it, checkpoints, and what a commit in log mode leaves behind when it, or
// the checkpoint it runs, fails.

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "pager/pager.h"
#include "pager/pager_util.h"
#include "pager/wal.h"
#include "support/fault_vfs.h"
#include "support/temp_dir.h"
#include "util/bytes.h"
#include "vfs/os.h"

namespace vbk::testing {
namespace {

constexpr uint64_t kPage = 512;
constexpr uint64_t kFrame = kPage + 8;

// (page number, commit field) of frame k of a log's bytes.
std::pair<uint32_t, uint32_t> frame_header(const std::string& log, uint64_t k, uint64_t page_size) {
  const auto* p = reinterpret_cast<const uint8_t*>(log.data()) + k * (page_size + 8);
  return {get_be32(p), get_be32(p + 4)};
}

class WalTest : public ::testing::Test {
 protected:
  // Ten pages of 512 bytes, each holding its own number, in log mode.
  void SetUp() override {
    make_filled_db(path_, 10, kOwnNumber);
    Pager pager = open();
    must(pager.set_journal_mode_wal());
  }

  Pager open(Vfs& vfs = OsVfs::instance()) { return must(Pager::open(vfs, path_)); }

  // One transaction that fills the given pages (appending those past the
  // end) with the given values.
  static void commit_pages(Pager& pager, std::initializer_list<std::pair<uint32_t, uint8_t>> pages) {
    must(pager.begin());
    for (const auto& [pgno, value] : pages) {
      while (pager.header().page_count < pgno) must(pager.alloc_page());
      fill_page(pager, pgno, value);
    }
    must(pager.commit());
  }

  uint64_t log_size() const { return read_file(wal_).size(); }

  TempDir dir_;
  std::string path_ = dir_.file("wal.db");
  std::string wal_ = path_ + "-wal";
};

TEST_F(WalTest, AnEmptyLogHoldsNoCommit) {
  Wal wal = must(Wal::open(OsVfs::instance(), dir_.file("new.db"), kPage));
  EXPECT_TRUE(OsVfs::instance().exists(dir_.file("new.db-wal")));
  EXPECT_EQ(wal.end(), 0u);
  EXPECT_EQ(wal.db_size(), 0u);
  EXPECT_EQ(wal.pages(), 0u);
  std::vector<uint8_t> buf(kPage, 0xAB);
  EXPECT_FALSE(must(wal.read_page(2, buf)));
  EXPECT_EQ(buf, std::vector<uint8_t>(kPage, 0xAB));
}

// Three changed pages at 4096 bytes: four frames of 4104 bytes, page 1 last
// and alone with a commit field, the database size; the database file is
// not written. The log is synced at level 2 only.
TEST_F(WalTest, ACommitAppendsItsPagesThenPageOneAsTheCommitFrame) {
  const std::string path = dir_.file("big.db");
  Pager pager = must(Pager::create(OsVfs::instance(), path, 4096));
  must(pager.set_journal_mode_wal());
  const std::string db_before = read_file(path);
  must(pager.begin());
  for (int i = 0; i < 3; ++i) fill_page(pager, must(pager.alloc_page()), 0x70);
  must(pager.commit());

  const std::string log = read_file(path + "-wal");
  ASSERT_EQ(log.size(), 16416u);
  // The changed pages go out in ascending order, however they were touched.
  auto frames_from = [&](const std::string& bytes, uint64_t first) {
    std::vector<uint32_t> pages;
    for (uint64_t k = first; k < first + 3; ++k) {
      pages.push_back(frame_header(bytes, k, 4096).first);
      EXPECT_EQ(frame_header(bytes, k, 4096).second, 0u);
    }
    return pages;
  };
  EXPECT_EQ(frames_from(log, 0), (std::vector<uint32_t>{2, 3, 4}));
  EXPECT_EQ(frame_header(log, 3, 4096), (std::pair<uint32_t, uint32_t>{1, 4}));
  std::string page_one(4096, '\0');
  const auto encoded = pager.header().encode();
  page_one.replace(0, encoded.size(), reinterpret_cast<const char*>(encoded.data()), encoded.size());
  EXPECT_EQ(log.substr(12320), page_one);
  EXPECT_EQ(read_file(path), db_before);

  Wal wal = must(Wal::open(OsVfs::instance(), path, 4096));
  EXPECT_EQ(wal.end(), 16416u);
  EXPECT_EQ(wal.pages(), 4u);
  EXPECT_EQ(wal.db_size(), 4u);

  must(pager.begin());
  for (uint32_t pgno : {4u, 2u, 3u}) fill_page(pager, pgno, 0x71);
  must(pager.commit());
  EXPECT_EQ(frames_from(read_file(path + "-wal"), 4), (std::vector<uint32_t>{2, 3, 4}));

  FaultVfs vfs(OsVfs::instance());
  Pager counted = must(Pager::open(vfs, path));
  for (uint8_t level : {0, 1, 2}) {
    counted.set_synchronous(level);
    must(counted.begin());
    fill_page(counted, 2, level);
    vfs.arm(FaultPlan().on(FsOp::Sync));
    must(counted.commit());
    EXPECT_EQ(vfs.count(), level == 2 ? 1u : 0u) << "level " << int{level};
  }
}

// Handles read the log's newest commit; a handle keeps its cache while
// nobody commits (a checkpoint changes no page) and drops it when another
// handle commits.
TEST_F(WalTest, HandlesReadThroughTheLogAndSeeEachOthersCommits) {
  const std::string db_before = read_file(path_);
  Pager writer = open();
  Pager reader = open();
  ASSERT_TRUE(writer.in_wal_mode());
  must(reader.read_lock());
  PageRef held = must(reader.get_page(3));
  must(reader.read_unlock());

  commit_pages(writer, {{3, 0x33}, {11, 0x11}});
  EXPECT_EQ(read_file(path_), db_before);
  must(reader.read_lock());
  EXPECT_FALSE(must(reader.get_page(3)) == held);
  EXPECT_EQ(page_value(reader, 3), 0x33);
  EXPECT_EQ(page_value(reader, 11), 0x11);
  EXPECT_EQ(reader.header().page_count, 11u);
  held = must(reader.get_page(3));
  must(reader.read_unlock());

  must(reader.read_lock());
  EXPECT_TRUE(must(reader.get_page(3)) == held);
  must(reader.read_unlock());
  must(writer.wal_checkpoint());
  must(reader.read_lock());
  EXPECT_TRUE(must(reader.get_page(3)) == held);
  must(reader.read_unlock());

  Pager reopened = open();
  EXPECT_EQ(page_value(reopened, 3), 0x33);
  EXPECT_EQ(page_value(reopened, 11), 0x11);
  EXPECT_EQ(page_value(reopened, 4), 4);
}

// A damaged tail: nothing uncommitted is seen, nothing committed is lost,
// and the next commit goes where the committed part ends.
TEST_F(WalTest, ATornLogKeepsItsCommittedPrefix) {
  Pager pager = open();
  commit_pages(pager, {{2, 0x21}});
  const std::string first = read_file(wal_);
  const std::string image = logical_image(path_);
  commit_pages(pager, {{3, 0x31}, {2, 0x22}});
  const std::string both = read_file(wal_);
  ASSERT_EQ(both.size(), first.size() + 3 * kFrame);

  struct Case {
    const char* what;
    std::string log;
  };
  std::string zeroed_inside = both;
  std::memset(zeroed_inside.data() + first.size(), 0, 8);
  const Case cases[] = {
      {"a frame cut short", both.substr(0, both.size() - 10)},
      {"frames after the last commit frame", both.substr(0, both.size() - kFrame)},
      {"a zero-filled tail", first + std::string(3 * kFrame + 100, '\0')},
      {"a frame of page 0 before a commit frame", zeroed_inside},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    write_file(wal_, c.log);
    EXPECT_EQ(logical_image(path_), image);
    Pager reopened = open();
    EXPECT_EQ(page_value(reopened, 2), 0x21);
    EXPECT_EQ(page_value(reopened, 3), 3);
    commit_pages(reopened, {{4, 0x41}});
    EXPECT_EQ(log_size(), first.size() + 2 * kFrame);
    Pager again = open();
    EXPECT_EQ(page_value(again, 2), 0x21);
    EXPECT_EQ(page_value(again, 3), 3);
    EXPECT_EQ(page_value(again, 4), 0x41);
  }
}

// 25 frames of 10 distinct pages: the newest copy of each is read, and the
// checkpoint writes each page once, sets the file to the log's database
// size and empties the log. It syncs the database file unless the level is
// 0, and the emptied log always.
TEST_F(WalTest, ACheckpointCopiesTheNewestCopyOfEachPage) {
  for (uint8_t level : {2, 0}) {
    SCOPED_TRACE(level);
    FaultVfs vfs(OsVfs::instance());
    Pager pager = open(vfs);
    pager.set_synchronous(level);
    commit_pages(pager, {{2, 1}, {3, 1}, {4, 1}, {5, 1}, {6, 1}, {7, 1}, {8, 1}, {9, 1}, {10, 1}});
    commit_pages(pager, {{2, 2}, {3, 2}, {4, 2}, {5, 2}, {6, 2}, {7, 2}, {8, 2}});
    commit_pages(pager, {{2, 3}, {3, 3}, {4, 3}, {5, 3}, {6, 3}, {7, 3}});
    ASSERT_EQ(log_size(), 25 * kFrame);
    const std::string image = logical_image(path_);
    EXPECT_EQ(page_value(pager, 7), 3);
    EXPECT_EQ(page_value(pager, 8), 2);

    vfs.arm(FaultPlan().on(FsOp::Write).on_path("wal.db"));
    must(pager.wal_checkpoint());
    EXPECT_EQ(vfs.count(), 10u);
    EXPECT_EQ(log_size(), 0u);
    EXPECT_EQ(read_file(path_).size(), 10 * kPage);
    EXPECT_EQ(logical_image(path_), image);

    commit_pages(pager, {{2, 4}});
    vfs.arm(FaultPlan().on(FsOp::Sync).on_path("wal.db"));
    must(pager.wal_checkpoint());
    EXPECT_EQ(vfs.count(), level == 0 ? 0u : 1u);
    vfs.arm(FaultPlan().on(FsOp::Sync).on_path("-wal"));
    commit_pages(pager, {{2, 5}});
    must(pager.wal_checkpoint());
    EXPECT_EQ(vfs.count(), level == 2 ? 2u : 1u);  // the commit's, the checkpoint's
  }
}

// With nothing in the log, or in journal mode, a checkpoint writes nothing.
TEST_F(WalTest, ACheckpointOfNothingWritesNothing) {
  for (bool journal_mode : {false, true}) {
    SCOPED_TRACE(journal_mode ? "journal mode" : "empty log");
    FaultVfs vfs(OsVfs::instance());
    Pager pager = open(vfs);
    if (journal_mode) must(pager.set_journal_mode_delete());
    const std::string before = read_file(path_);
    for (FsOp op : {FsOp::Write, FsOp::Truncate, FsOp::Sync, FsOp::Delete}) {
      vfs.arm(FaultPlan().on(op));
      must(pager.wal_checkpoint());
      EXPECT_EQ(vfs.count(), 0u);
    }
    EXPECT_EQ(read_file(path_), before);
    EXPECT_EQ(OsVfs::instance().exists(wal_), !journal_mode);
  }
}

// A commit checkpoints once the log holds 1000 committed frames, its own
// batch and every commit frame included: a page logged again counts again,
// so commits that keep rewriting the same pages checkpoint too.
TEST_F(WalTest, ACommitCheckpointsAtAThousandFrames) {
  Pager pager = open();
  must(pager.begin());
  for (int i = 0; i < 996; ++i) must(pager.alloc_page());  // pages 11 to 1006
  must(pager.commit());
  EXPECT_EQ(log_size(), 997 * kFrame);
  commit_pages(pager, {{11, 7}});  // 997 distinct pages in 999 frames
  EXPECT_EQ(log_size(), 999 * kFrame);
  commit_pages(pager, {{11, 8}});  // still 997 distinct pages, 1001 frames
  EXPECT_EQ(log_size(), 0u);
  EXPECT_EQ(read_file(path_).size(), 1006 * kPage);
  Pager reopened = open();
  EXPECT_EQ(page_value(reopened, 11), 8);
}

// Thousands of commits of one page never let the log pass the threshold
// by more than one commit's batch, and every handle reads the newest value.
TEST_F(WalTest, CommitsOfTheSamePageKeepTheLogBounded) {
  constexpr size_t kThreshold = 40;
  Pager pager = open();
  pager.set_synchronous(0);
  pager.set_checkpoint_threshold(kThreshold);
  Pager other = open();
  uint64_t largest = 0;
  for (int i = 1; i <= 3000; ++i) {
    commit_pages(pager, {{2, static_cast<uint8_t>(i % 256)}});
    largest = std::max(largest, log_size());
    if (i % 250 == 0) {
      must(other.read_lock());
      EXPECT_EQ(page_value(other, 2), i % 256) << i;
      must(other.read_unlock());
    }
  }
  EXPECT_LE(largest, (kThreshold - 1 + 2) * kFrame);
  EXPECT_EQ(page_value(pager, 2), 3000 % 256);
  Pager reopened = open();
  EXPECT_EQ(page_value(reopened, 2), 3000 % 256);
}

// Below the ceiling a commit's checkpoint gives way to a reader of the log
// instead of waiting for it: the commits go on and the log passes the
// threshold, and the first commit after the reader lets go checkpoints.
// (Within one thread this is also what keeps a commit from waiting for ever
// on a read lock held through another handle.)
TEST_F(WalTest, BelowTheCeilingCommitsGiveWayToAReader) {
  constexpr size_t kThreshold = 4;  // the ceiling: 40 frames
  Pager writer = open();
  writer.set_checkpoint_threshold(kThreshold);
  Pager reader = open();
  must(reader.read_lock());
  EXPECT_EQ(page_value(reader, 2), 2);
  for (uint8_t v = 1; v <= 15; ++v) commit_pages(writer, {{2, v}});
  EXPECT_EQ(log_size(), 30 * kFrame);
  EXPECT_EQ(page_value(reader, 2), 2);  // the reader keeps its view
  must(reader.read_unlock());
  commit_pages(writer, {{2, 16}});
  EXPECT_EQ(log_size(), 0u);
  must(reader.read_lock());
  EXPECT_EQ(page_value(reader, 2), 16);
  must(reader.read_unlock());
  Pager reopened = open();
  EXPECT_EQ(page_value(reopened, 2), 16);
}

// A reader that keeps up with a growing log reads only the frames committed
// since it last looked: what its read_lock reads of the log does not grow
// with the log. It reads every commit's values, and so does a reader that
// comes back after the log was checkpointed and grew past its old end.
TEST_F(WalTest, AReaderThatKeepsUpReadsOnlyTheNewFrames) {
  Pager writer = open();
  FaultVfs vfs(OsVfs::instance());
  Pager reader = open(vfs);
  auto expect_same_pages = [&] {
    for (uint32_t pgno = 2; pgno <= 8; ++pgno) EXPECT_EQ(page_value(reader, pgno), page_value(writer, pgno)) << pgno;
  };
  std::vector<uint64_t> log_reads;
  for (int i = 1; i <= 60; ++i) {
    commit_pages(writer, {{2, static_cast<uint8_t>(i)}, {static_cast<uint32_t>(3 + i % 6), static_cast<uint8_t>(i + 100)}});
    vfs.arm(FaultPlan().on(FsOp::Read).on_path("-wal"));
    must(reader.read_lock());
    log_reads.push_back(vfs.count());
    expect_same_pages();
    must(reader.read_unlock());
  }
  // (The first look scans the whole log, as short as the later new parts.)
  EXPECT_EQ(log_reads[1], log_reads.back());
  EXPECT_EQ(log_size(), 180 * kFrame);

  // The log emptied and written again past the reader's end: read whole.
  vfs.disarm();
  must(writer.wal_checkpoint());
  for (int i = 1; i <= 70; ++i) commit_pages(writer, {{2, static_cast<uint8_t>(i + 30)}, {4, static_cast<uint8_t>(i)}});
  EXPECT_EQ(log_size(), 210 * kFrame);
  must(reader.read_lock());
  expect_same_pages();
  must(reader.read_unlock());
}

// A commit whose batch reached the log and failed spends its change
// counter. Here the failed batch stays in the log (its cut fails too) and a
// reader takes it in. Then either the transaction is retried with another
// value in the same page, or it is rolled back and another handle commits
// that value: either way the new batch has the failed one's length and lies
// at its offset, and only its counter tells the reader that the log changed.
TEST_F(WalTest, NoCommitIsTakenForAFailedBatchAReaderSaw) {
  for (bool retry : {true, false}) {
    SCOPED_TRACE(retry ? "retried" : "rolled back, then another handle");
    const uint8_t seen = retry ? 0x11 : 0x33, then = retry ? 0x22 : 0x44;
    FaultVfs vfs(OsVfs::instance());
    Pager writer = open(vfs);
    Pager reader = open();
    Pager other = open();
    must(writer.begin());
    fill_page(writer, 2, seen);
    // The log's operations in the commit: the size before the append, the
    // write, the sync; the sync and everything after it fail.
    vfs.arm(FaultPlan::fail(3).on_path("-wal").and_after());
    EXPECT_FALSE(writer.commit().has_value());
    ASSERT_TRUE(vfs.fired());
    vfs.disarm();
    ASSERT_EQ(log_size(), 2 * kFrame) << "the failed batch stays in the log";
    must(reader.read_lock());
    EXPECT_EQ(page_value(reader, 2), seen);
    must(reader.read_unlock());

    if (retry) {
      ASSERT_TRUE(writer.in_tx());
      fill_page(writer, 2, then);
      must(writer.commit());
    } else {
      must(writer.rollback());
      commit_pages(other, {{2, then}});
    }
    must(reader.read_lock());
    EXPECT_EQ(page_value(reader, 2), then);
    must(reader.read_unlock());
    Pager reopened = open();
    EXPECT_EQ(page_value(reopened, 2), then);
    must(reopened.wal_checkpoint());
  }
}

// A checkpoint that fails after the commit point does not fail the commit,
// which the caller would otherwise repeat: it is retried at the next commit,
// and an explicit checkpoint reports the error.
TEST_F(WalTest, AFailedCheckpointLeavesTheCommitDoneAndIsRetried) {
  FaultVfs vfs(OsVfs::instance());
  Pager pager = open(vfs);
  pager.set_checkpoint_threshold(2);
  vfs.arm(FaultPlan::fail(1).on(FsOp::Write).on_path("wal.db").and_after());
  commit_pages(pager, {{2, 0x22}});
  EXPECT_FALSE(pager.in_tx());
  EXPECT_TRUE(lock_is_free(path_));
  EXPECT_TRUE(vfs.fired());
  EXPECT_EQ(log_size(), 2 * kFrame);
  {
    Pager reader = open();
    EXPECT_EQ(page_value(reader, 2), 0x22);
  }
  EXPECT_FALSE(pager.wal_checkpoint().has_value());
  EXPECT_TRUE(lock_is_free(path_));

  vfs.disarm();
  commit_pages(pager, {{3, 0x33}});
  EXPECT_EQ(log_size(), 0u);
  Pager reopened = open();
  EXPECT_EQ(page_value(reopened, 2), 0x22);
  EXPECT_EQ(page_value(reopened, 3), 0x33);
}

// A checkpoint inside a transaction whose last step, the emptied log's sync,
// fails: the log is empty all the same, and the transaction's commit goes
// at its start, where every handle finds it.
TEST_F(WalTest, ACommitAfterACheckpointWhoseLogSyncFailedIsKept) {
  FaultVfs vfs(OsVfs::instance());
  Pager pager = open(vfs);
  commit_pages(pager, {{2, 0x22}});
  must(pager.begin());
  fill_page(pager, 3, 0x33);
  vfs.arm(FaultPlan::fail(1).on(FsOp::Sync).on_path("-wal"));
  EXPECT_FALSE(pager.wal_checkpoint().has_value());
  EXPECT_TRUE(vfs.fired());
  vfs.disarm();
  EXPECT_EQ(page_value(pager, 2), 0x22);
  must(pager.commit());
  EXPECT_EQ(log_size(), 2 * kFrame);
  Pager reopened = open();
  EXPECT_EQ(page_value(reopened, 2), 0x22);
  EXPECT_EQ(page_value(reopened, 3), 0x33);
}

// An append whose write or sync fails is cut off again, so neither this
// handle after its rollback nor another handle ever sees the batch, even
// when all of it was written.
TEST_F(WalTest, AFailedAppendIsNeverSeen) {
  for (FsOp op : {FsOp::Write, FsOp::Sync}) {
    SCOPED_TRACE(op == FsOp::Write ? "write" : "sync");
    Pager other = open();
    FaultVfs vfs(OsVfs::instance());
    Pager writer = open(vfs);
    commit_pages(writer, {{2, 0x20}});
    const uint64_t committed = log_size();
    must(writer.begin());
    fill_page(writer, 2, 0x21);
    fill_page(writer, must(writer.alloc_page()), 0x21);
    vfs.arm(FaultPlan::fail(1).on(op).on_path("-wal"));
    EXPECT_FALSE(writer.commit().has_value());
    EXPECT_TRUE(writer.in_tx());
    EXPECT_EQ(log_size(), committed);
    must(writer.rollback());
    // The rollback's commit of the header alone, past the spent counter.
    EXPECT_EQ(log_size(), committed + kFrame);

    for (Pager* p : {&other, &writer}) {
      must(p->read_lock());
      EXPECT_EQ(page_value(*p, 2), 0x20);
      EXPECT_EQ(p->header().page_count, 10u);
      must(p->read_unlock());
    }
    commit_pages(writer, {{3, 0x30}});
    Pager reopened = open();
    EXPECT_EQ(page_value(reopened, 2), 0x20);
    EXPECT_EQ(page_value(reopened, 3), 0x30);
    EXPECT_EQ(reopened.header().page_count, 10u);
    must(reopened.wal_checkpoint());
  }
}

// When even the cuts fail, the whole batch stays a commit, and every handle,
// the writer after its rollback included, adopts all of it: pages and
// header alike.
TEST_F(WalTest, ABatchThatSurvivesEveryCutIsSeenWhole) {
  Pager other = open();
  must(other.read_lock());
  EXPECT_EQ(page_value(other, 2), 2);
  must(other.read_unlock());
  FaultVfs vfs(OsVfs::instance());
  Pager writer = open(vfs);
  must(writer.begin());
  fill_page(writer, 2, 0x21);
  fill_page(writer, must(writer.alloc_page()), 0x21);
  // The log's size query, its write, then its sync fails, and everything
  // after it on the log.
  vfs.arm(FaultPlan::fail(3).on_path("-wal").and_after());
  EXPECT_FALSE(writer.commit().has_value());
  EXPECT_EQ(writer.header().change_counter, other.header().change_counter);
  must(writer.rollback());
  EXPECT_EQ(log_size(), 3 * kFrame);
  vfs.disarm();
  for (Pager* p : {&other, &writer}) {
    must(p->read_lock());
    EXPECT_EQ(page_value(*p, 2), 0x21);
    EXPECT_EQ(page_value(*p, 11), 0x21);
    EXPECT_EQ(p->header().page_count, 11u);
    must(p->read_unlock());
  }
}

// The log is read with the database file's page size: a newest header that
// states another one, or does not decode, is BadHeader at open and in
// change detection, and leaves no lock behind.
TEST_F(WalTest, ALogHeaderThatDoesNotFitIsBadHeader) {
  struct Case {
    const char* what;
    size_t offset;  // within the page-1 image
    std::string bytes;
  };
  const Case cases[] = {
      {"another page size", 16, std::string("\x04\x00", 2)},
      {"a wrong magic", 0, "X"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Pager handle = open();
    must(handle.read_lock());
    must(handle.read_unlock());
    Pager writer = open();
    commit_pages(writer, {{2, 0x22}});
    const std::string intact = read_file(wal_);
    std::string log = intact;
    log.replace(log.size() - kPage + c.offset, c.bytes.size(), c.bytes);
    write_file(wal_, log);

    auto opened = Pager::open(OsVfs::instance(), path_);
    ASSERT_FALSE(opened.has_value());
    EXPECT_EQ(opened.error().kind(), Error::Kind::BadHeader);
    for (const LockKind& lock : kLockKinds) {
      auto locked = lock.lock(handle);
      ASSERT_FALSE(locked.has_value()) << lock.what;
      EXPECT_EQ(locked.error().kind(), Error::Kind::BadHeader);
      EXPECT_FALSE(handle.in_tx());
      EXPECT_TRUE(lock_is_free(path_));
      EXPECT_TRUE(lock_is_free(wal_));
    }
    // Put the log back as the writer left it, for the next case.
    write_file(wal_, intact);
    must(writer.wal_checkpoint());
  }
}

// Open attaches the log when the newest header says log mode, and removes a
// log that holds no commit beside a database in journal mode.
TEST_F(WalTest, OpenAttachesTheLogAsTheNewestHeaderSays) {
  {
    // The file still says journal mode; the log's last commit says log mode.
    Pager pager = open();
    commit_pages(pager, {{11, 0x11}});
    std::string db = read_file(path_);
    db[42] = 0;
    write_file(path_, db);
    Pager reopened = open();
    EXPECT_TRUE(reopened.in_wal_mode());
    EXPECT_EQ(reopened.header().journal_mode, 1);
    EXPECT_EQ(reopened.header().page_count, 11u);
    EXPECT_EQ(page_value(reopened, 11), 0x11);
  }
  {
    // Log mode with the log gone: a new, empty one.
    std::remove(wal_.c_str());
    std::string db = read_file(path_);
    db[42] = 1;
    write_file(path_, db);
    Pager reopened = open();
    EXPECT_TRUE(reopened.in_wal_mode());
    EXPECT_TRUE(OsVfs::instance().exists(wal_));
    EXPECT_EQ(log_size(), 0u);
  }
  {
    // Journal mode with a log of half a frame.
    Pager pager = open();
    must(pager.set_journal_mode_delete());
    write_file(wal_, std::string(kFrame / 2, '\x01'));
    Pager reopened = open();
    EXPECT_FALSE(reopened.in_wal_mode());
    EXPECT_FALSE(OsVfs::instance().exists(wal_));
  }
}

// A damaged log is input: whatever its frame headers and newest header say,
// opening the database, reading it and committing to it give a result or an
// Error, never a crash, an endless loop or a read outside a buffer.
TEST_F(WalTest, ADamagedLogGivesResultsOrErrors) {
  {
    Pager pager = open();
    commit_pages(pager, {{2, 0x21}, {11, 0x11}});
    commit_pages(pager, {{3, 0x31}});
    commit_pages(pager, {{2, 0x22}, {12, 0x12}});
  }
  const std::string log = read_file(wal_);
  const std::string db = read_file(path_);
  const uint64_t frames = log.size() / kFrame;
  std::mt19937 rng(20261210);
  for (int round = 0; round < 300; ++round) {
    SCOPED_TRACE("round " + std::to_string(round) + " of seed 20261210");
    std::string damaged = log;
    for (uint32_t flips = 1 + rng() % 4; flips > 0; --flips) {
      // A byte of a frame header or of the first 100 bytes of its page.
      const uint64_t within = rng() % 2 ? rng() % 8 : 8 + rng() % kHeaderSize;
      damaged[(rng() % frames) * kFrame + within] ^= static_cast<char>(1u << (rng() % 8));
    }
    if (rng() % 4 == 0) damaged.resize(rng() % damaged.size());
    write_file(wal_, damaged);
    write_file(path_, db);
    auto opened = Pager::open(OsVfs::instance(), path_);
    if (!opened) continue;
    Pager& pager = *opened;
    if (pager.read_lock()) {
      const uint32_t last = std::min<uint32_t>(pager.header().page_count, 16);
      for (uint32_t pgno = 2; pgno <= last; ++pgno) (void)pager.get_page(pgno);
      (void)pager.read_unlock();
    }
    if (pager.begin()) {
      if (auto page = pager.get_page(2)) page->write().data()[8] ^= 1;
      if (!pager.commit()) (void)pager.rollback();
    }
  }
}

}  // namespace
}  // namespace vbk::testing
