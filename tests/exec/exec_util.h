#pragma once

// Helpers shared by the engine tests.

#include <algorithm>
#include <string>
#include <string_view>
#include <vector>

#include <gtest/gtest.h>

#include "exec/database.h"
#include "record/record.h"
#include "support/must.h"

namespace vbk::testing {

// Every statement's result of a script that must succeed.
inline std::vector<ExecResult> run(Database& db, std::string_view sql) {
  Result<std::vector<ExecResult>> r = db.execute(sql);
  if (!r) throw std::runtime_error("script failed: " + std::string(sql) + ": " + r.error().display());
  return std::move(*r);
}

// The error display text of a script that must fail.
inline std::string run_error(Database& db, std::string_view sql) {
  Result<std::vector<ExecResult>> r = db.execute(sql);
  if (r) throw std::runtime_error("script succeeded: " + std::string(sql));
  return r.error().display();
}

// The rows of a script's last result, which must be a result set.
inline std::vector<vdbe::Row> rows(Database& db, std::string_view sql) {
  std::vector<ExecResult> results = run(db, sql);
  if (results.empty() || !results.back().is<ExecResult::Rows>()) {
    throw std::runtime_error("no rows from: " + std::string(sql));
  }
  return std::move(results.back().as<ExecResult::Rows>().rows);
}

// The schema as one comparable text: every definition's schema row, sorted.
inline std::string schema_text(const Catalog& c) {
  std::vector<std::string> lines;
  for (const auto& [name, t] : c.tables()) {
    Bytes b = record::encode_record(t.to_row());
    lines.push_back(std::to_string(t.rowid) + ":" + std::string(b.begin(), b.end()));
  }
  for (const auto& [name, ix] : c.indexes()) {
    Bytes b = record::encode_record(ix.to_row());
    lines.push_back(std::to_string(ix.rowid) + ":" + std::string(b.begin(), b.end()));
  }
  std::sort(lines.begin(), lines.end());
  std::string out;
  for (const auto& l : lines) out += l + "\n";
  return out;
}

// The integrity check's problems (none when the indexes agree with their
// tables), under a read lock when no transaction is open.
inline std::vector<std::string> integrity_problems(Database& db) {
  Pager& pager = db.pager();
  const bool lock = !pager.in_tx();
  if (lock) must(pager.read_lock());
  Result<std::vector<std::string>> problems = db.catalog().integrity_check(pager);
  if (lock) must(pager.read_unlock());
  if (!problems) throw std::runtime_error("integrity check failed: " + problems.error().display());
  return std::move(*problems);
}

}  // namespace vbk::testing
