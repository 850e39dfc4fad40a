#pragma once

// Small helpers shared by the pager tests.

#include <fcntl.h>
#include <sys/wait.h>
#include <sys/file.h>
#include <unistd.h>

#include <cstring>
#include <optional>
#include <fstream>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <vector>

#include <gtest/gtest.h>

#include "pager/pager.h"
#include "pager/wal.h"
#include "support/must.h"
#include "support/temp_dir.h"
#include "vfs/os.h"

namespace vbk::testing {


// Fills a page with one byte value (and stamps its number in the first four
// bytes, so that a page written at the wrong offset is caught).
inline void fill_page(Pager& pager, uint32_t pgno, uint8_t value) {
  PageRef page = must(pager.get_page(pgno));
  PageWrite w = page.write();
  std::memset(w.data(), value, w.size());
  w.data()[0] = static_cast<uint8_t>(pgno >> 24);
  w.data()[1] = static_cast<uint8_t>(pgno >> 16);
  w.data()[2] = static_cast<uint8_t>(pgno >> 8);
  w.data()[3] = static_cast<uint8_t>(pgno);
}

// The fill value of a page written by fill_page; -1 when the page does not
// look like one (wrong stamp or mixed bytes).
inline int page_value(Pager& pager, uint32_t pgno) {
  PageRef page = must(pager.get_page(pgno));
  PageRead r = page.read();
  const uint8_t* d = r.data();
  const uint32_t stamp = (uint32_t{d[0]} << 24) | (uint32_t{d[1]} << 16) | (uint32_t{d[2]} << 8) | d[3];
  if (stamp != pgno) return -1;
  for (size_t i = 5; i < r.size(); ++i) {
    if (d[i] != d[4]) return -1;
  }
  return d[4];
}

// Value for make_filled_db: each page holds its own number's low byte.
inline constexpr int kOwnNumber = -1;

// A new database at `path` of `pages` pages of 512 bytes (page 1 included),
// each page from 2 up filled by fill_page with `value`, in one commit.
inline void make_filled_db(const std::string& path, uint32_t pages, int value) {
  Pager pager = must(Pager::create(OsVfs::instance(), path, 512));
  must(pager.begin());
  for (uint32_t i = 2; i <= pages; ++i) {
    must(pager.alloc_page());
    fill_page(pager, i, static_cast<uint8_t>(value == kOwnNumber ? i : static_cast<uint32_t>(value)));
  }
  must(pager.commit());
}

inline std::vector<uint8_t> page_copy(Pager& pager, uint32_t pgno) {
  PageRef page = must(pager.get_page(pgno));
  PageRead r = page.read();
  return {r.bytes().begin(), r.bytes().end()};
}

// The two ways a handle takes the database lock, each with its release.
struct LockKind {
  const char* what;
  Result<void> (*lock)(Pager&);
  Result<void> (*unlock)(Pager&);
};
inline constexpr LockKind kLockKinds[] = {
    {"read_lock", [](Pager& p) { return p.read_lock(); }, [](Pager& p) { return p.read_unlock(); }},
    {"begin", [](Pager& p) { return p.begin(); }, [](Pager& p) { return p.rollback(); }},
};

// True once `pid` waits for a file lock; false if it ended first, with its
// wait status in `status`.
inline bool wait_until_blocked(pid_t pid, int& status) {
  const std::string needle = " " + std::to_string(pid) + " ";
  for (;;) {
    std::ifstream locks("/proc/locks");
    std::string line;
    while (std::getline(locks, line)) {
      if (line.find("->") != std::string::npos && line.find(needle) != std::string::npos) return true;
    }
    if (::waitpid(pid, &status, WNOHANG) == pid) return false;
    ::usleep(1000);
  }
}

// Whether another descriptor could take the exclusive lock right now.
inline bool lock_is_free(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
  if (fd < 0) return false;
  const bool free = ::flock(fd, LOCK_EX | LOCK_NB) == 0;
  ::close(fd);
  return free;
}

// The database as a reader sees it, read without taking a lock: the header
// (the first 100 bytes of page 1) and pages 2 up to its page count, each from
// the log's newest commit when the log holds one, else from the database
// file. Two databases with the same image hold the same state, whether or not
// a checkpoint has copied the log into the file.
inline std::string logical_image(const std::string& path) {
  const std::string db = read_file(path);
  const auto db_bytes = std::span(reinterpret_cast<const uint8_t*>(db.data()), db.size());
  const DbHeader file_header = must(DbHeader::decode(db_bytes));
  const uint64_t page_size = file_header.page_size;
  std::optional<Wal> wal;
  if (OsVfs::instance().exists(Wal::path_for(path))) {
    wal = must(Wal::open(OsVfs::instance(), path, page_size));
  }
  std::vector<uint8_t> page(page_size);
  std::string out;
  auto take = [&](uint32_t pgno, size_t length) {
    if (!wal || !must(wal->read_page(pgno, page))) {
      const uint64_t offset = uint64_t{pgno - 1} * page_size;
      if (offset + page_size > db.size()) {
        out += "<page " + std::to_string(pgno) + " missing>";
        return;
      }
      std::memcpy(page.data(), db.data() + offset, page_size);
    }
    out.append(reinterpret_cast<const char*>(page.data()), length);
  };
  take(1, kHeaderSize);
  const DbHeader header = must(DbHeader::decode(std::span(page).first(kHeaderSize)));
  for (uint32_t pgno = 2; pgno <= header.page_count; ++pgno) take(pgno, page_size);
  return out;
}

}  // namespace vbk::testing
