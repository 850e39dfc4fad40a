#pragma once

// A database file with one index tree, inside a write transaction, for the
// index tree and index cursor tests.

#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "btree/index.h"
#include "btree/index_cursor.h"
#include "pager/pager.h"
#include "support/must.h"
#include "support/temp_dir.h"
#include "support/tree_check.h"
#include "vfs/os.h"

namespace vbk::testing {

inline Bytes key_of(std::string_view text) {
  const auto b = as_bytes(text);
  return Bytes(b.begin(), b.end());
}

class IndexFixture {
 public:
  explicit IndexFixture(uint64_t page_size = 4096)
      : path_(dir_.file("i.db")), pager_(must(Pager::create(OsVfs::instance(), path_, page_size))) {
    must(pager_.begin());
    root_ = must(IndexBTree::create(pager_)).root();
  }

  IndexBTree tree() { return IndexBTree(pager_, root_); }
  IndexCursor cursor() { return IndexCursor(pager_, root_); }
  Pager& pager() { return pager_; }
  uint32_t root() const { return root_; }

  // Commits, reopens the file and begins again.
  void reopen() {
    must(pager_.commit());
    pager_ = must(Pager::open(OsVfs::instance(), path_));
    must(pager_.begin());
  }

  // The tree and the page accounting; the keys in order into `keys`, the
  // tree's pages into `pages`, when given.
  ::testing::AssertionResult valid(std::vector<Bytes>* keys = nullptr,
                                   std::set<uint32_t>* pages = nullptr) {
    std::set<uint32_t> own;
    std::set<uint32_t>& used = pages ? *pages : own;
    auto tree_ok = check_index_tree(pager_, root_, used, keys);
    if (!tree_ok) return tree_ok;
    return check_page_accounting(pager_, used);
  }

  // Every key from a rewind to the end.
  std::vector<Bytes> scan() {
    IndexCursor c = cursor();
    must(c.seek({}));
    std::vector<Bytes> out;
    while (auto k = must(c.next())) out.push_back(*k);
    return out;
  }

 private:
  TempDir dir_;
  std::string path_;
  Pager pager_;
  uint32_t root_;
};

}  // namespace vbk::testing
