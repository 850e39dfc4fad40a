#pragma once

// A database file inside a write transaction, with helpers to fill table and
// index B-trees and to run hand-built programs on them, for the machine's
// tests.

#include <cstdint>
#include <initializer_list>
#include <map>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "btree/btree.h"
#include "btree/index.h"
#include "btree/index_cursor.h"
#include "btree/keyenc.h"
#include "pager/pager.h"
#include "record/record.h"
#include "support/must.h"
#include "support/temp_dir.h"
#include "support/tree_check.h"
#include "vdbe/program.h"
#include "vdbe/vdbe.h"
#include "vfs/os.h"

namespace vbk::testing {

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

class VmFixture {
 public:
  explicit VmFixture(uint64_t page_size = 4096)
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

inline Value I(int64_t v) { return Value::Int(v); }
inline Value R(double v) { return Value::Real(v); }
inline Value T(std::string v) { return Value::Text(std::move(v)); }
inline Value B(Bytes v) { return Value::Blob(std::move(v)); }
inline Value N() { return Value::Null(); }

}  // namespace vbk::testing
