#include "pager/journal.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <functional>
#include <random>
#include <string>

#include <gtest/gtest.h>

#include "pager/pager.h"
#include "pager/pager_util.h"
#include "support/fault_vfs.h"
#include "support/temp_dir.h"
#include "util/bytes.h"
#include "vfs/os.h"

namespace vbk::testing {
namespace {

std::vector<uint8_t> bytes_of(const std::string& s) { return {s.begin(), s.end()}; }

// The image journal::write produces for these records.
std::string journal_image(uint32_t page_size, uint32_t orig_page_count,
                          const std::vector<journal::Record>& records) {
  TempDir dir;
  auto file = must(OsVfs::instance().open(dir.file("j"), true));
  must(journal::write(*file, page_size, orig_page_count, records));
  return read_file(dir.file("j"));
}

TEST(JournalPath, AppendsTheSuffixToThePathAsGiven) {
  EXPECT_EQ(journal::journal_path("/tmp/a.db"), "/tmp/a.db-journal");
  EXPECT_EQ(journal::journal_path("rel/a"), "rel/a-journal");
  EXPECT_EQ(journal::journal_path("x-journal"), "x-journal-journal");
}

TEST(JournalFile, WriteThenReadGivesTheRecordsBack) {
  TempDir dir;
  const std::string path = dir.file("j");
  write_file(path, std::string(5000, 'z'));  // an older, longer file
  const std::vector<journal::Record> records = {
      {1, std::vector<uint8_t>(512, 0x11)}, {7, std::vector<uint8_t>(512, 0x77)}};
  auto file = must(OsVfs::instance().open(path, true));
  must(journal::write(*file, 512, 9, records));
  const std::string image = read_file(path);
  ASSERT_EQ(image.size(), 28u + 2 * 516);
  EXPECT_EQ(image.substr(0, 8), std::string("RDBJRNL\x01", 8));
  EXPECT_EQ(image.substr(image.size() - 8), std::string("RDBJEND\x01", 8));
  EXPECT_EQ(get_be32(reinterpret_cast<const uint8_t*>(image.data()) + 12), 9u);

  auto read = must(journal::read_valid(*file));
  ASSERT_TRUE(read.has_value());
  EXPECT_EQ(read->page_size, 512u);
  EXPECT_EQ(read->orig_page_count, 9u);
  ASSERT_EQ(read->records.size(), 2u);
  EXPECT_EQ(read->records[1].pgno, 7u);
  EXPECT_EQ(read->records[1].bytes, records[1].bytes);
}

// Flipped and cut journals: the reader gives an empty result, an Error or a
// journal whose records match its header, and never reads out of bounds.
TEST(JournalFile, MutatedJournalsAreReadSafely) {
  TempDir dir;
  const std::string path = dir.file("j");
  const std::string valid = journal_image(
      512, 3, {{1, std::vector<uint8_t>(512, 1)}, {2, std::vector<uint8_t>(512, 2)}});
  std::mt19937 rng(20261210);
  for (int i = 0; i < 400; ++i) {
    SCOPED_TRACE("iteration " + std::to_string(i));
    std::string bytes = valid;
    const int flips = static_cast<int>(rng() % 4);
    for (int f = 0; f < flips; ++f) {
      // Most flips land in the 20-byte head or the trailer, where they matter.
      const size_t at = rng() % 2 == 0 ? rng() % 20 : rng() % bytes.size();
      bytes[at] = static_cast<char>(rng());
    }
    if (rng() % 4 == 0) bytes.resize(rng() % bytes.size());
    write_file(path, bytes);
    auto file = must(OsVfs::instance().open(path, false));
    auto read = journal::read_valid(*file);
    if (!read) {
      // Only a head that no commit writes is an error here.
      EXPECT_EQ(read.error().kind(), Error::Kind::Corrupt) << read.error().display();
      continue;
    }
    if (!read->has_value()) continue;
    const journal::Journal& j = **read;
    EXPECT_EQ(28 + j.records.size() * (uint64_t{j.page_size} + 4), bytes.size());
    for (const journal::Record& r : j.records) EXPECT_EQ(r.bytes.size(), j.page_size);
    auto playable = journal::check_playable(j);
    if (!playable) {
      EXPECT_EQ(playable.error().kind(), Error::Kind::Corrupt);
    }
  }
}

// A complete journal whose head no commit writes is refused from its head
// and trailer alone: with a page size of one byte, reading the records first
// would mean one allocation per byte of the file.
TEST(JournalFile, AnImpossibleHeadIsRefusedBeforeTheRecordsAreRead) {
  struct Case {
    const char* what;
    uint32_t page_size;
    uint32_t orig_page_count;
    size_t records;
  };
  const Case cases[] = {
      {"page size 1", 1, 4, 4096},
      {"page size 1000", 1000, 4, 3},
      {"original page count 0", 512, 0, 3},
  };
  TempDir dir;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const std::vector<journal::Record> records(c.records, {1, std::vector<uint8_t>(c.page_size, 7)});
    write_file(dir.file("j"), journal_image(c.page_size, c.orig_page_count, records));
    FaultVfs vfs(OsVfs::instance());
    auto file = must(vfs.open(dir.file("j"), false));
    vfs.arm(FaultPlan().on(FsOp::Read));
    auto read = journal::read_valid(*file);
    ASSERT_FALSE(read.has_value());
    EXPECT_EQ(read.error().kind(), Error::Kind::Corrupt) << read.error().display();
    EXPECT_EQ(vfs.count(), 2u);  // the head and the trailer
  }
}

// A database of 4 pages of 512 bytes (page values 1) and a journal beside it.
class LeftoverJournalTest : public ::testing::Test {
 protected:
  void SetUp() override {
    make_filled_db(path_, 4, 1);
    db_ = read_file(path_);
  }

  // A journal that restores the file as it is now: page 1 and page 3.
  std::string valid_journal(uint32_t orig_page_count = 4) {
    return journal_image(512, orig_page_count,
                         {{1, bytes_of(db_.substr(0, 512))}, {3, bytes_of(db_.substr(1024, 512))}});
  }

  TempDir dir_;
  std::string path_ = dir_.file("left.db");
  std::string journal_ = path_ + "-journal";
  std::string db_;
};

TEST_F(LeftoverJournalTest, MalformedJournalsAreDeletedAndTheFileIsUntouched) {
  struct Case {
    const char* what;
    std::function<std::string(std::string)> damage;
  };
  auto set32 = [](std::string j, size_t at, uint32_t v) {
    for (size_t k = 0; k < 4; ++k) j.at(at + k) = static_cast<char>(v >> (24 - 8 * k));
    return j;
  };
  const Case cases[] = {
      {"27 bytes", [](std::string j) { return j.substr(0, 27); }},
      {"empty", [](std::string) { return std::string(); }},
      {"one byte short", [](std::string j) { return j.substr(0, j.size() - 1); }},
      {"one byte long", [](std::string j) { return j + '\0'; }},
      {"magic's last byte", [](std::string j) { j[7] = 0x02; return j; }},
      {"trailer's last byte", [](std::string j) { j.back() = 0x02; return j; }},
      {"page size 0", [&](std::string j) { return set32(j, 8, 0); }},
      {"length overflows", [&](std::string j) { return set32(set32(j, 8, 0xffffffff), 16, 0xffffffff); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    // What a dead writer may have left: a half-written file beside a journal
    // that never became complete cannot happen, so the file is as before.
    write_file(journal_, c.damage(valid_journal()));
    Pager pager = must(Pager::open(OsVfs::instance(), path_));
    EXPECT_FALSE(OsVfs::instance().exists(journal_));
    EXPECT_EQ(read_file(path_), db_);
  }
}

TEST_F(LeftoverJournalTest, DamagedCompleteJournalsFailTheOpenAndAreKept) {
  struct Case {
    const char* what;
    std::string journal;
  };
  const std::vector<uint8_t> page(512, 0);
  const Case cases[] = {
      {"a record for page 0", journal_image(512, 4, {{1, page}, {0, page}})},
      {"original page count 0", journal_image(512, 0, {{1, page}})},
      {"page size 1000", journal_image(1000, 4, {{1, std::vector<uint8_t>(1000, 0)}})},
      {"page size 256", journal_image(256, 4, {{1, std::vector<uint8_t>(256, 0)}})},
  };
  Pager open_before = must(Pager::open(OsVfs::instance(), path_));
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    write_file(journal_, c.journal);
    auto opened = Pager::open(OsVfs::instance(), path_);
    ASSERT_FALSE(opened.has_value());
    EXPECT_EQ(opened.error().kind(), Error::Kind::Corrupt) << opened.error().display();
    // A handle that was open already fails the same way at its next lock.
    for (const LockKind& lock : kLockKinds) {
      auto locked = lock.lock(open_before);
      ASSERT_FALSE(locked.has_value()) << lock.what;
      EXPECT_EQ(locked.error().kind(), Error::Kind::Corrupt);
      EXPECT_FALSE(open_before.in_tx());
    }
    EXPECT_EQ(read_file(journal_), c.journal);
    EXPECT_EQ(read_file(path_), db_);
    EXPECT_TRUE(lock_is_free(path_));
  }
}

TEST_F(LeftoverJournalTest, ACompleteJournalIsPlayedBackAtOpen) {
  // A dead writer rewrote page 3 and the header and appended two pages.
  const std::string journal = valid_journal();
  std::string torn = db_;
  torn.replace(1024, 512, std::string(512, 'x'));
  torn.replace(0, 4, "XXXX");
  torn += std::string(1024, 'y');
  write_file(path_, torn);
  write_file(journal_, journal);
  Pager pager = must(Pager::open(OsVfs::instance(), path_));
  EXPECT_FALSE(OsVfs::instance().exists(journal_));
  EXPECT_EQ(read_file(path_), db_);
  EXPECT_EQ(page_value(pager, 3), 1);
}

TEST_F(LeftoverJournalTest, AnEmptyJournalOnlyCutsTheFile) {
  write_file(path_, db_ + std::string(1024, 'y'));
  write_file(journal_, journal_image(512, 4, {}));
  ASSERT_EQ(read_file(journal_).size(), 28u);
  must(Pager::open(OsVfs::instance(), path_));
  EXPECT_FALSE(OsVfs::instance().exists(journal_));
  EXPECT_EQ(read_file(path_), db_);
}

TEST_F(LeftoverJournalTest, AJournalIsPlayedBackWithItsOwnPageSize) {
  // Two 1024-byte records cover pages 3-4 and 5-6 of 512 bytes.
  std::string grown = db_ + std::string(1024, 'q');
  write_file(path_, grown);
  write_file(journal_, journal_image(1024, 3, {{2, std::vector<uint8_t>(1024, 'r')}}));
  must(Pager::open(OsVfs::instance(), path_));
  std::string expected = db_.substr(0, 1024) + std::string(1024, 'r') + std::string(1024, 'q');
  EXPECT_EQ(read_file(path_), expected);
}

// A handle that was open before a writer died finds the journal at its next
// lock, plays it back and never reads the half-written file.
TEST_F(LeftoverJournalTest, OpenHandlesRecoverAtTheirNextLock) {
  for (const LockKind& c : kLockKinds) {
    SCOPED_TRACE(c.what);
    write_file(path_, db_);
    Pager pager = must(Pager::open(OsVfs::instance(), path_));
    // The dead writer's half-written file: page 3 and the header (with its
    // change counter) rewritten, page 5 appended.
    DbHeader next = pager.header();
    next.change_counter += 1;
    next.page_count = 5;
    std::string torn = db_;
    const auto encoded = next.encode();
    torn.replace(0, encoded.size(), reinterpret_cast<const char*>(encoded.data()), encoded.size());
    torn.replace(1024, 512, std::string(512, 'x'));
    torn += std::string(512, 'y');
    write_file(path_, torn);
    write_file(journal_, valid_journal());

    must(c.lock(pager));
    EXPECT_FALSE(OsVfs::instance().exists(journal_));
    EXPECT_EQ(read_file(path_), db_);
    EXPECT_EQ(pager.header().page_count, 4u);
    EXPECT_EQ(page_value(pager, 3), 1);
    must(c.unlock(pager));
  }
}

class OpenCreateTest : public ::testing::Test {
 protected:
  TempDir dir_;
  std::string path_ = dir_.file("new.db");
};

TEST_F(OpenCreateTest, OpeningWhatIsNoDatabaseFails) {
  auto missing = Pager::open(OsVfs::instance(), path_);
  ASSERT_FALSE(missing.has_value());
  EXPECT_EQ(missing.error(), Error::NotFound(path_));

  write_file(path_, "");
  auto empty = Pager::open(OsVfs::instance(), path_);
  ASSERT_FALSE(empty.has_value());
  EXPECT_EQ(empty.error(), Error::ShortRead(0, 100, 0));
  EXPECT_TRUE(lock_is_free(path_));

  write_file(path_, std::string(512, 'n'));
  auto garbage = Pager::open(OsVfs::instance(), path_);
  ASSERT_FALSE(garbage.has_value());
  EXPECT_EQ(garbage.error(), Error::BadHeader("magic mismatch"));
  EXPECT_TRUE(lock_is_free(path_));
}

TEST_F(OpenCreateTest, CreateWritesPageOneOnly) {
  Pager pager = must(Pager::create(OsVfs::instance(), path_, 4096));
  EXPECT_EQ(pager.page_size(), 4096u);
  EXPECT_EQ(pager.header(), must(DbHeader::new_(4096)));
  EXPECT_FALSE(pager.in_tx());
  EXPECT_EQ(pager.synchronous(), 2);
  const std::string file = read_file(path_);
  ASSERT_EQ(file.size(), 4096u);
  const auto header = must(DbHeader::new_(4096)).encode();
  EXPECT_EQ(file.substr(0, 100), std::string(header.begin(), header.end()));
  EXPECT_EQ(file.substr(100), std::string(3996, '\0'));
  EXPECT_TRUE(lock_is_free(path_));
}

TEST_F(OpenCreateTest, TheSmallestAndLargestPageSizesWork) {
  for (uint64_t size : {512ull, 65536ull}) {
    SCOPED_TRACE(size);
    std::remove(path_.c_str());
    {
      Pager pager = must(Pager::create(OsVfs::instance(), path_, size));
      must(pager.begin());
      fill_page(pager, must(pager.alloc_page()), 9);
      must(pager.commit());
    }
    Pager pager = must(Pager::open(OsVfs::instance(), path_));
    EXPECT_EQ(pager.page_size(), size);
    EXPECT_EQ(page_value(pager, 2), 9);
    EXPECT_EQ(read_file(path_).size(), 2 * size);
  }
}

TEST_F(OpenCreateTest, CreateRejectsBadPageSizesAndTouchesNothing) {
  for (uint64_t size : {0ull, 256ull, 1000ull, 131072ull}) {
    auto r = Pager::create(OsVfs::instance(), path_, size);
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error(), Error::InvalidPageSize(size));
    EXPECT_FALSE(OsVfs::instance().exists(path_));
  }
}

TEST_F(OpenCreateTest, CreateRemovesLeftoversOfAnOldDatabase) {
  write_file(path_ + "-journal", "old journal");
  write_file(path_ + "-wal", "old log");
  must(Pager::create(OsVfs::instance(), path_, 512));
  EXPECT_FALSE(OsVfs::instance().exists(path_ + "-journal"));
  EXPECT_FALSE(OsVfs::instance().exists(path_ + "-wal"));
  EXPECT_EQ(read_file(path_).size(), 512u);
}

// Another process created the file (and committed) between the caller's
// check and create: create opens that database instead of overwriting it.
TEST_F(OpenCreateTest, CreateOpensAFileSomeoneElseFilled) {
  {
    Pager first = must(Pager::create(OsVfs::instance(), path_, 1024));
    must(first.begin());
    fill_page(first, must(first.alloc_page()), 4);
    must(first.commit());
  }
  const std::string before = read_file(path_);
  Pager second = must(Pager::create(OsVfs::instance(), path_, 4096));
  EXPECT_EQ(second.page_size(), 1024u);
  EXPECT_EQ(second.header().page_count, 2u);
  EXPECT_EQ(page_value(second, 2), 4);
  EXPECT_EQ(read_file(path_), before);
}

}  // namespace
}  // namespace vbk::testing
