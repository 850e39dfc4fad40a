#include "support/fault_vfs.h"

#include <signal.h>

#include <cerrno>
#include <string>

#include <gtest/gtest.h>

#include "support/crash.h"
#include "support/temp_dir.h"
#include "vfs/os.h"

namespace vbk::testing {
namespace {

std::span<const uint8_t> bytes_of(std::string_view s) {
  return {reinterpret_cast<const uint8_t*>(s.data()), s.size()};
}

class FaultVfsTest : public ::testing::Test {
 protected:
  std::unique_ptr<VfsFile> open(const std::string& name, bool create = true) {
    auto f = vfs_.open(dir_.file(name), create);
    EXPECT_TRUE(f.has_value()) << f.error().display();
    return std::move(f).value();
  }
  void write(const VfsFile& f, std::string_view text, uint64_t at = 0) {
    ASSERT_TRUE(f.write_all_at(bytes_of(text), at).has_value());
  }
  std::string contents(const std::string& name) { return read_file(dir_.file(name)); }
  bool exists(const std::string& name) { return OsVfs::instance().exists(dir_.file(name)); }

  TempDir dir_;
  FaultVfs vfs_{OsVfs::instance()};
};

TEST_F(FaultVfsTest, CountsEveryOperation) {
  auto f = open("a.db");  // open
  write(*f, "x");         // write
  std::vector<uint8_t> buf(1);
  ASSERT_TRUE(f->read_exact_at(buf, 0).has_value());
  ASSERT_TRUE(f->size().has_value());
  ASSERT_TRUE(f->sync().has_value());
  ASSERT_TRUE(vfs_.sync_dir(dir_.file("a.db")).has_value());
  ASSERT_TRUE(f->lock(true).has_value());
  ASSERT_TRUE(f->unlock().has_value());
  ASSERT_TRUE(f->truncate(0).has_value());
  EXPECT_TRUE(vfs_.exists(dir_.file("a.db")));
  ASSERT_TRUE(vfs_.delete_(dir_.file("a.db")).has_value());
  EXPECT_EQ(vfs_.count(), 11u);
}

TEST_F(FaultVfsTest, FailsOnlyTheNthMatchingOperation) {
  auto f = open("a.db");
  auto g = open("b.db-journal");
  vfs_.arm(FaultPlan::fail(2).on(FsOp::Write));
  write(*f, "1");
  EXPECT_TRUE(f->sync().has_value());  // not a write: not counted
  auto r = g->write_all_at(bytes_of("2"), 0);
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error(), Error::Io(EIO));
  EXPECT_TRUE(vfs_.fired());
  write(*f, "3");  // only the second one fails
  EXPECT_EQ(vfs_.count(), 3u);
  EXPECT_EQ(contents("b.db-journal"), "");

  vfs_.arm(FaultPlan::fail(1).on_path("-journal").and_after());
  write(*f, "4");
  EXPECT_FALSE(g->sync().has_value());
  EXPECT_FALSE(g->write_all_at(bytes_of("5"), 0).has_value());
  EXPECT_FALSE(vfs_.delete_(dir_.file("b.db-journal")).has_value());
  EXPECT_TRUE(exists("b.db-journal"));
}

TEST_F(FaultVfsTest, KillStopsTheProcessBeforeTheOperation) {
  ChildExit exit = run_in_child([&] {
    auto f = open("a.db");
    vfs_.arm(FaultPlan::kill(2));
    write(*f, "first");
    write(*f, "second", 5);  // killed before this write runs
    return 0;
  });
  EXPECT_TRUE(exit.killed_by(SIGKILL)) << exit.describe();
  EXPECT_EQ(contents("a.db"), "first");  // the kernel keeps what it was given
}

TEST_F(FaultVfsTest, PowerLossUndoesWhatWasNotDurable) {
  write_file(dir_.file("synced"), "old");
  write_file(dir_.file("unsynced"), "old");
  write_file(dir_.file("deleted"), "old");
  write_file(dir_.file("deleted-durably"), "old");

  ChildExit exit = run_in_child([&] {
    // A directory sync makes every creation and deletion in it durable, so
    // this one comes before the others.
    auto created_durably = open("created-durably");
    (void)vfs_.delete_(dir_.file("deleted-durably"));
    (void)vfs_.sync_dir(dir_.file("created-durably"));
    write(*created_durably, "lost");  // its data was never synced
    auto synced = open("synced");
    write(*synced, "new data");
    (void)synced->sync();
    auto unsynced = open("unsynced");
    write(*unsynced, "new data");
    auto created = open("created");  // file synced, directory not
    write(*created, "new");
    (void)created->sync();
    (void)vfs_.delete_(dir_.file("deleted"));
    auto truncated = open("synced");
    (void)truncated->truncate(3);
    vfs_.arm(FaultPlan::power_loss(1));
    (void)truncated->sync();
    return 0;
  });
  EXPECT_TRUE(exit.killed_by(SIGKILL)) << exit.describe();
  EXPECT_EQ(contents("synced"), "new data");
  EXPECT_EQ(contents("unsynced"), "old");
  EXPECT_FALSE(exists("created"));
  EXPECT_EQ(contents("deleted"), "old");
  EXPECT_FALSE(exists("deleted-durably"));
  EXPECT_TRUE(exists("created-durably"));
  EXPECT_EQ(contents("created-durably"), "");
}

TEST_F(FaultVfsTest, PowerLossAfterWritebackKeepsDataButNotUnsyncedEntries) {
  write_file(dir_.file("unsynced"), "old");
  write_file(dir_.file("deleted"), "old");
  ChildExit exit = run_in_child([&] {
    auto unsynced = open("unsynced");
    write(*unsynced, "new");
    auto created = open("created");
    write(*created, "data");
    (void)created->sync();
    (void)vfs_.delete_(dir_.file("deleted"));
    vfs_.arm(FaultPlan::power_loss(1).after_writeback());
    (void)unsynced->sync();
    return 0;
  });
  EXPECT_TRUE(exit.killed_by(SIGKILL)) << exit.describe();
  EXPECT_EQ(contents("unsynced"), "new");
  EXPECT_FALSE(exists("created"));
  EXPECT_EQ(contents("deleted"), "old");
}

TEST_F(FaultVfsTest, TornWritesKeepOnlyTheirEnds) {
  write_file(dir_.file("old"), std::string(2000, 'o'));
  auto fresh = open("fresh");  // created, directory never synced
  write(*fresh, std::string(2000, 'n'));
  auto old = open("old");
  write(*old, std::string(1500, 'x'), 100);
  auto synced = open("synced");
  write(*synced, std::string(2000, 's'));
  ASSERT_TRUE(synced->sync().has_value());
  vfs_.drop_unsynced(true, true);
  // The creation stands; the middle of the write is lost (zero, since the
  // file held nothing durable there).
  EXPECT_EQ(contents("fresh"), std::string(512, 'n') + std::string(976, '\0') + std::string(512, 'n'));
  EXPECT_EQ(contents("old"), std::string(100, 'o') + std::string(512, 'x') + std::string(476, 'o') +
                                 std::string(512, 'x') + std::string(400, 'o'));
  EXPECT_EQ(contents("synced"), std::string(2000, 's'));
}

TEST_F(FaultVfsTest, DropUnsyncedRestoresInPlace) {
  write_file(dir_.file("a.db"), "durable");
  auto f = open("a.db");
  write(*f, "CHANGED");
  write(*f, "!", 20);
  vfs_.drop_unsynced();
  EXPECT_EQ(contents("a.db"), "durable");
  write(*f, "x");
  ASSERT_TRUE(f->sync().has_value());
  vfs_.drop_unsynced();
  EXPECT_EQ(contents("a.db"), "xurable");
}

TEST(RunInChild, ReportsExitCodesSignalsAndExceptions) {
  EXPECT_EQ(run_in_child([] { return 7; }).code, 7);
  EXPECT_TRUE(run_in_child([] { return 0; }).exited);
  EXPECT_TRUE(run_in_child([]() -> int { ::raise(SIGABRT); return 0; }).killed_by(SIGABRT));
  ChildExit thrown = run_in_child([]() -> int { throw std::runtime_error("x"); });
  EXPECT_TRUE(thrown.exited);
  EXPECT_EQ(thrown.code, 125);
}

}  // namespace
}  // namespace vbk::testing
