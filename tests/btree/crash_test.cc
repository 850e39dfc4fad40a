// Crash safety seen through a table tree: after a power loss the reopened
// database holds one of its committed states, with an intact tree, however
// the system's cache had ordered the writes that were lost.

#include <csignal>
#include <cstdio>
#include <map>
#include <set>
#include <string>

#include <gtest/gtest.h>

#include "btree/btree.h"
#include "pager/pager.h"
#include "support/crash.h"
#include "support/fault_vfs.h"
#include "support/must.h"
#include "support/temp_dir.h"
#include "support/tree_check.h"
#include "vfs/os.h"

namespace vbk::testing {
namespace {

using Rows = std::map<int64_t, Bytes>;

// At synchronous level 1 a commit appends to the log without syncing it.
// A checkpoint that follows copies that commit into the database file; a
// power loss in the middle, with torn writes, may keep part of the copy and
// lose the log's frames. The commit may be lost, but never mixed with the
// state before it.
class LevelOneCheckpoint : public ::testing::Test {
 protected:
  static constexpr uint64_t kPageSize = 4096;

  void SetUp() override {
    {
      Pager pager = must(Pager::create(OsVfs::instance(), path_, kPageSize));
      must(pager.set_journal_mode_wal());
      must(pager.begin());
      const BTree t = must(BTree::create(pager));
      pager.set_schema_root(t.root());
      for (int64_t r = 1; r <= 60; ++r) must(t.insert(r, payload(r, 1)));
      must(pager.commit());
      must(pager.wal_checkpoint());
    }
    before_files_ = {read_file(path_), read_file(wal_path_)};
    before_ = rows_now();
    ASSERT_EQ(before_.size(), 60u);
    // The commit under test, run without faults: the state after it, and how
    // many writes its checkpoint makes to the database file.
    FaultVfs vfs(OsVfs::instance());
    {
      Pager pager = must(Pager::open(vfs, path_));
      the_commit(pager);
      vfs.arm(database_writes(FaultPlan()));
      must(pager.wal_checkpoint());
    }
    writes_ = vfs.count();
    after_ = rows_now();
    reset();
  }

  static Bytes payload(int64_t rowid, uint8_t round) {
    return Bytes(150 + static_cast<size_t>(rowid % 90), static_cast<uint8_t>(rowid * 7 + round));
  }

  // One commit of many pages: every old row rewritten, as many new ones
  // added, some of them with overflow chains.
  static void the_commit(Pager& pager) {
    pager.set_synchronous(1);
    must(pager.begin());
    const BTree t(pager, pager.header().schema_root);
    for (int64_t r = 1; r <= 60; ++r) must(t.insert(r, payload(r, 2)));
    for (int64_t r = 61; r <= 400; ++r) {
      must(t.insert(r, r % 50 == 0 ? Bytes(9000, static_cast<uint8_t>(r)) : payload(r, 2)));
    }
    must(pager.commit());
  }

  FaultPlan database_writes(FaultPlan plan) const {
    return plan.on(FsOp::Write).on_path("/level1.db");
  }

  void reset() {
    write_file(path_, before_files_.first);
    write_file(wal_path_, before_files_.second);
  }

  // The rows of the reopened database, after checking its tree and that
  // every page is in the tree or free.
  Rows rows_now() {
    Pager pager = must(Pager::open(OsVfs::instance(), path_));
    must(pager.read_lock());
    std::set<uint32_t> pages;
    Rows rows;
    EXPECT_TRUE(check_table_tree(pager, pager.header().schema_root, pages, &rows));
    EXPECT_TRUE(check_page_accounting(pager, pages));
    must(pager.read_unlock());
    return rows;
  }

  TempDir dir_;
  std::string path_ = dir_.file("level1.db");
  std::string wal_path_ = path_ + "-wal";
  std::pair<std::string, std::string> before_files_;
  Rows before_, after_;
  uint64_t writes_ = 0;
};

TEST_F(LevelOneCheckpoint, APowerLossAtAnyDatabaseWriteLeavesOneCommittedState) {
  ASSERT_NE(before_, after_);
  // One write per page of the commit (page 1 among them).
  ASSERT_GT(writes_, 20u);
  for (uint64_t at = 1; at <= writes_; ++at) {
    SCOPED_TRACE("power loss at database write " + std::to_string(at) + " of " + std::to_string(writes_));
    reset();
    const ChildExit exit = run_in_child([&] {
      FaultVfs vfs(OsVfs::instance());
      Pager pager = must(Pager::open(vfs, path_));
      the_commit(pager);
      vfs.arm(database_writes(FaultPlan::power_loss(at).with_torn_writes()));
      (void)pager.wal_checkpoint();
      return 0;
    });
    ASSERT_TRUE(exit.killed_by(SIGKILL)) << exit.describe();
    const Rows rows = rows_now();
    EXPECT_TRUE(rows == before_ || rows == after_) << "a mix of two commits: " << rows.size() << " rows";
  }
}

}  // namespace
}  // namespace vbk::testing
