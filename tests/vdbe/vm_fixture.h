#pragma once

// Databases in temporary files, inside a write transaction, for running
// hand-built programs on the machine: VmFixture for programs over tables of
// rows numbered from 1; VmDb, of any page size, with table and index
// B-trees filled from given rowids and keys, the outcome of a run as text
// (rows, error, counters) and the stored rows and keys read back.

#include <cstdint>
#include <initializer_list>
#include <map>
#include <set>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "btree/btree.h"
#include "btree/cursor.h"
#include "btree/index.h"
#include "btree/index_cursor.h"
#include "btree/keyenc.h"
#include "pager/pager.h"
#include "record/record.h"
#include "support/must.h"
#include "support/temp_dir.h"
#include "support/tree_check.h"
#include "support/values.h"
#include "vdbe/program.h"
#include "vdbe/vdbe.h"
#include "vfs/os.h"

namespace vbk::testing {

class VmFixture {
 public:
  VmFixture() : pager_(must(Pager::create(OsVfs::instance(), dir_.file("t.db"), 4096))) {
    must(pager_.begin());
  }

  Pager& pager() { return pager_; }

  // A new table holding `rows` as records, with rowids 1, 2, ...; its root.
  uint32_t table(const std::vector<std::vector<Value>>& rows) {
    const BTree tree = must(BTree::create(pager_));
    for (size_t i = 0; i < rows.size(); ++i) {
      must(tree.insert(static_cast<int64_t>(i + 1), record::encode_record(rows[i])));
    }
    return tree.root();
  }

  // The number of rows stored in the table at `root`.
  uint64_t count(uint32_t root) { return must(BTree(pager_, root).count_subtree(root)); }

  // Runs `program` on a fresh machine; its output rows as they were emitted.
  Result<std::vector<vdbe::Row>> run(const vdbe::Program& program, std::span<const Value> binds = {}) {
    vdbe::Vm vm(pager_, binds);
    VBK_TRY(vm.run(program));
    return std::move(vm).into_output();
  }

 private:
  TempDir dir_;
  Pager pager_;
};

// A program of `ops` with room for `n_regs` registers and `n_cursors` table
// slots; output rows of `width` columns, not sorted.
inline vdbe::Program program_of(std::vector<vdbe::Op> ops, uint32_t n_regs, uint32_t n_cursors,
                                uint32_t width) {
  vdbe::Program p;
  p.ops = std::move(ops);
  p.n_regs = n_regs;
  p.n_cursors = n_cursors;
  p.width = width;
  return p;
}



using vdbe::Op;
using vdbe::Program;
using vdbe::Row;
using vdbe::Target;

// A program with the given counts and instructions.
inline Program program(uint32_t n_regs, uint32_t n_cursors, uint32_t n_idx, std::vector<Op> ops) {
  Program p;
  p.ops = std::move(ops);
  p.n_regs = n_regs;
  p.n_cursors = n_cursors;
  p.n_idx_cursors = n_idx;
  return p;
}

inline Target to(uint32_t at) { return Target{at}; }

// Rows as debug texts, "[Int(1), Text(\"a\")]" per row: compares kinds and
// payloads exactly and reads well in failures.
inline std::vector<std::string> show(const std::vector<Row>& rows) {
  std::vector<std::string> out;
  for (const Row& r : rows) {
    std::string s = "[";
    for (const Value& v : r) {
      if (s.size() > 1) s += ", ";
      v.append_debug(s);
    }
    out.push_back(s + "]");
  }
  return out;
}

// The outcome of a run: its rows, or the error's display text.
struct Outcome {
  std::vector<std::string> rows;
  std::string error;  // empty on success
  uint64_t changes = 0;
  int64_t last_rowid = 0;
};

class VmDb {
 public:
  explicit VmDb(uint64_t page_size = 4096)
      : path_(dir_.file("v.db")), pager_(must(Pager::create(OsVfs::instance(), path_, page_size))) {
    must(pager_.begin());
  }

  Pager& pager() { return pager_; }

  // A new table B-tree holding the rows, each a rowid and its values.
  uint32_t table(const std::map<int64_t, std::vector<Value>>& rows = {}) {
    const BTree t = must(BTree::create(pager_));
    for (const auto& [rowid, values] : rows) must(t.insert(rowid, record::encode_record(values)));
    return t.root();
  }

  // A new index B-tree holding the keys of (values, rowid) entries.
  uint32_t index(const std::vector<std::pair<std::vector<Value>, int64_t>>& entries = {}) {
    const IndexBTree t = must(IndexBTree::create(pager_));
    for (const auto& [values, rowid] : entries) must(t.insert(keyenc::encode_index_key(values, rowid)));
    return t.root();
  }

  // Every row of a table, as "rowid: [values]".
  std::vector<std::string> rows_of(uint32_t root) {
    std::map<int64_t, Bytes> rows;
    std::set<uint32_t> pages;
    EXPECT_TRUE(check_table_tree(pager_, root, pages, &rows));
    std::vector<std::string> out;
    for (const auto& [rowid, record] : rows) {
      std::vector<Row> one{must(record::decode_record(record))};
      out.push_back(std::to_string(rowid) + ": " + show(one)[0]);
    }
    return out;
  }

  // Every key of an index, as "[values] rowid".
  std::vector<Bytes> keys_of(uint32_t root) {
    IndexCursor c(pager_, root);
    must(c.seek({}));
    std::vector<Bytes> out;
    while (auto k = must(c.next())) out.push_back(*k);
    return out;
  }

  // Runs the program on a fresh machine.
  Outcome run(const Program& p, std::span<const Value> binds = {}) {
    vdbe::Vm vm(pager_, binds);
    Outcome o;
    const Result<void> r = vm.run(p);
    if (!r) o.error = r.error().display();
    o.changes = vm.changes();
    o.last_rowid = vm.last_rowid();
    o.rows = show(std::move(vm).into_output());
    return o;
  }

 private:
  TempDir dir_;
  std::string path_;
  Pager pager_;
};

// Rows of values as the machine emits them, for comparison with show().
inline std::vector<std::string> rows(std::initializer_list<std::vector<Value>> list) {
  std::vector<Row> r;
  for (const auto& values : list) r.push_back(values);
  return show(r);
}

}  // namespace vbk::testing
