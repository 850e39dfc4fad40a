// Runs the SQL behaviour cases in tests/cases/*.test: one test per file, each
// file on a fresh database of its own.
//
// File format. Lines starting with "#" are comments; cases are separated by
// blank lines. A case is SQL text of one or more lines (run through
// Database::execute as one script), optionally followed by a line "----" and
// the expected result:
//
//   CREATE TABLE t (a INT)     without "----" the text must run without error
//
//   SELECT a FROM t ORDER BY a
//   ----
//   1
//   NULL
//
// The expected lines render the script's results in order:
//   ok                 a Done result
//   affected N         an Affected result
//   v1 | v2 | ...      one line per row of a Rows result: NULL; integers as
//                      42; reals always with a point or exponent (2.0, 1e+100,
//                      nan, -inf); texts as 'it''s'; blobs as x'00ff'. A
//                      result without rows renders no line.
//   columns: a | b     before each Rows result's rows, when the expected
//                      block starts with a columns line
//   error: TEXT        the error's display text; a failing script has only
//                      its error as result
// "----" followed directly by the blank line expects no line at all.
//
// Directives take the place of the SQL text:
//   @prepare NAME SQL       prepare SQL on the current handle, keep it as NAME
//                           (expected: ok, or the error)
//   @run NAME v1, v2 ...    run NAME with these values (written as in rows;
//                           nothing after NAME runs it without values) on the
//                           current handle; expected as for a script result
//   @last_insert_rowid      expected: the current handle's value
//   @handle N               the following cases run on handle N, opened on
//                           the same file at first use; handle 1 is the first
//   @reopen                 closes every handle (open transactions are lost)
//                           and opens handle 1 again
//   @integrity_check        expected: "ok" or the catalog's problem lines
//   @both_journal_modes     as a file's first case: the file runs twice, with
//                           the rollback journal, then on a fresh database
//                           switched to the write-ahead log first
//   @schema TABLE           expected: the table as the handle's catalog holds
//                           it, one line each: "table NAME [rowid COLUMN]",
//                           then "column NAME TYPE [not_null] [unique]
//                           [default VALUE]" per column, then "index NAME
//                           [unique] (COLUMNS)" per index in creation order

#include <algorithm>
#include <charconv>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "exec/database.h"
#include "support/temp_dir.h"

namespace vbk {
namespace {

namespace fs = std::filesystem;

std::string render_value(const Value& v) {
  switch (v.kind()) {
    case Value::Kind::Null:
      return "NULL";
    case Value::Kind::Int:
      return std::to_string(v.as_int());
    case Value::Kind::Real: {
      const double d = v.as_real();
      if (std::isnan(d)) return "nan";
      if (std::isinf(d)) return d < 0 ? "-inf" : "inf";
      char buf[64];
      const auto res = std::to_chars(buf, buf + sizeof buf, d);
      std::string s(buf, res.ptr);
      if (s.find_first_of(".e") == std::string::npos) s += ".0";
      return s;
    }
    case Value::Kind::Text: {
      std::string s = "'";
      for (char c : v.as_text()) {
        if (c == '\'') s += '\'';
        s += c;
      }
      return s + "'";
    }
    case Value::Kind::Blob: {
      static constexpr char kHex[] = "0123456789abcdef";
      std::string s = "x'";
      for (uint8_t b : v.as_blob()) {
        s += kHex[b >> 4];
        s += kHex[b & 15];
      }
      return s + "'";
    }
  }
  return "?";
}

void render_result(const ExecResult& r, bool with_columns, std::vector<std::string>& out) {
  if (r.is<ExecResult::Done>()) {
    out.push_back("ok");
  } else if (const auto* a = r.get_if<ExecResult::Affected>()) {
    out.push_back("affected " + std::to_string(a->count));
  } else {
    const auto& rows = r.as<ExecResult::Rows>();
    auto join = [](const auto& items, auto&& render) {
      std::string line;
      for (size_t i = 0; i < items.size(); ++i) {
        if (i > 0) line += " | ";
        line += render(items[i]);
      }
      return line;
    };
    if (with_columns) {
      out.push_back("columns: " + join(rows.columns, [](const std::string& s) { return s; }));
    }
    for (const vdbe::Row& row : rows.rows) out.push_back(join(row, render_value));
  }
}

// Reads values written as render_value writes them, separated by commas.
std::optional<std::vector<Value>> parse_values(std::string_view text) {
  std::vector<Value> out;
  size_t i = 0;
  auto skip_space = [&] {
    while (i < text.size() && text[i] == ' ') ++i;
  };
  skip_space();
  if (i == text.size()) return out;
  for (;;) {
    skip_space();
    if (i >= text.size()) return std::nullopt;
    if (text[i] == '\'') {
      std::string s;
      for (++i;; ++i) {
        if (i >= text.size()) return std::nullopt;
        if (text[i] == '\'') {
          if (i + 1 < text.size() && text[i + 1] == '\'') {
            s += '\'';
            ++i;
            continue;
          }
          ++i;
          break;
        }
        s += text[i];
      }
      out.push_back(Value::Text(std::move(s)));
    } else if (text.substr(i, 2) == "x'") {
      const size_t end = text.find('\'', i + 2);
      if (end == std::string_view::npos || (end - i - 2) % 2 != 0) return std::nullopt;
      Bytes bytes;
      for (size_t k = i + 2; k < end; k += 2) {
        bytes.push_back(static_cast<uint8_t>(std::stoi(std::string(text.substr(k, 2)), nullptr, 16)));
      }
      out.push_back(Value::Blob(std::move(bytes)));
      i = end + 1;
    } else {
      size_t end = text.find(',', i);
      if (end == std::string_view::npos) end = text.size();
      std::string word(text.substr(i, end - i));
      while (!word.empty() && word.back() == ' ') word.pop_back();
      i = end;
      if (word == "NULL") {
        out.push_back(Value());
      } else if (word.find_first_of(".en") != std::string::npos) {
        out.push_back(Value::Real(std::stod(word)));
      } else {
        int64_t n = 0;
        const auto res = std::from_chars(word.data(), word.data() + word.size(), n);
        if (res.ec != std::errc() || res.ptr != word.data() + word.size()) return std::nullopt;
        out.push_back(Value::Int(n));
      }
    }
    skip_space();
    if (i == text.size()) return out;
    if (text[i] != ',') return std::nullopt;
    ++i;
  }
}

std::vector<std::string> describe_table(const Catalog& catalog, const std::string& name) {
  const TableDef* t = catalog.get(name);
  if (t == nullptr) return {"no table " + name};
  std::vector<std::string> out;
  out.push_back("table " + t->name +
                (t->rowid_alias ? " rowid " + t->columns[*t->rowid_alias].name : ""));
  for (const Column& c : t->columns) {
    std::string line = "column " + c.name + " " + (c.decl_type.empty() ? "-" : c.decl_type);
    if (c.not_null) line += " not_null";
    if (c.unique) line += " unique";
    if (c.default_) line += " default " + render_value(*c.default_);
    out.push_back(line);
  }
  for (const IndexDef* ix : catalog.indexes_for(t->name)) {
    std::string cols;
    for (const std::string& c : ix->columns) cols += (cols.empty() ? "" : ", ") + c;
    out.push_back("index " + ix->name + (ix->unique ? " unique" : "") + " (" + cols + ")");
  }
  return out;
}

struct Case {
  int line = 0;                // of its first line
  std::string text;            // SQL or directive
  bool has_expected = false;   // a "----" block follows
  std::vector<std::string> expected;
};

std::vector<Case> read_cases(const std::string& path) {
  std::ifstream in(path);
  std::vector<Case> cases;
  std::optional<Case> cur;
  bool in_expected = false;
  std::string line;
  int n = 0;
  auto finish = [&] {
    if (cur) cases.push_back(std::move(*cur));
    cur.reset();
    in_expected = false;
  };
  while (std::getline(in, line)) {
    ++n;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty()) {
      finish();
      continue;
    }
    if (!in_expected && line[0] == '#') continue;
    if (!cur) {
      cur = Case{};
      cur->line = n;
    }
    if (in_expected) {
      cur->expected.push_back(line);
    } else if (line == "----") {
      cur->has_expected = true;
      in_expected = true;
    } else {
      if (!cur->text.empty()) cur->text += '\n';
      cur->text += line;
    }
  }
  finish();
  return cases;
}

class CaseFile {
 public:
  explicit CaseFile(std::string path) : path_(std::move(path)), db_path_(dir_.file("test.db")) {}

  void run() {
    std::vector<Case> cases = read_cases(path_);
    const bool both = !cases.empty() && cases[0].text == "@both_journal_modes";
    if (both) cases.erase(cases.begin());
    run_all(cases);
    if (!both || ::testing::Test::HasFatalFailure()) return;
    SCOPED_TRACE("again with the write-ahead log");
    prepared_.clear();
    handles_.clear();
    current_ = 1;
    db_path_ = dir_.file("wal.db");
    Result<std::vector<ExecResult>> switched = db().execute("PRAGMA journal_mode = WAL");
    ASSERT_TRUE(switched.has_value()) << switched.error().display();
    run_all(cases);
  }

 private:
  void run_all(const std::vector<Case>& cases) {
    for (const Case& c : cases) {
      run_case(c);
      if (::testing::Test::HasFatalFailure()) return;
    }
  }

  Database& db() {
    std::optional<Database>& slot = handles_[current_];
    if (!slot) {
      Result<Database> opened = Database::open(db_path_);
      if (!opened) throw std::runtime_error("cannot open the database: " + opened.error().display());
      slot.emplace(std::move(*opened));
    }
    return *slot;
  }

  void check(const Case& c, const std::vector<std::string>& actual) {
    if (!c.has_expected || actual == c.expected) return;
    std::string want, got;
    for (const auto& l : c.expected) want += "  " + l + "\n";
    for (const auto& l : actual) got += "  " + l + "\n";
    ADD_FAILURE_AT(path_.c_str(), c.line) << c.text << "\nexpected:\n" << want << "actual:\n" << got;
  }

  bool wants_columns(const Case& c) const {
    return !c.expected.empty() && c.expected[0].starts_with("columns: ");
  }

  void run_case(const Case& c) {
    std::vector<std::string> actual;
    auto error_line = [&](const Error& e) {
      actual.push_back("error: " + e.display());
      if (!c.has_expected) {
        ADD_FAILURE_AT(path_.c_str(), c.line) << c.text << "\nunexpected error: " << e.display();
      }
    };
    const std::string& t = c.text;
    if (t.starts_with("@prepare ")) {
      std::istringstream words(t.substr(9));
      std::string name;
      words >> name;
      std::string sql;
      std::getline(words, sql);
      Result<Prepared> p = db().prepare(sql);
      if (p) {
        prepared_.insert_or_assign(name, std::move(*p));
        actual.push_back("ok");
      } else {
        error_line(p.error());
      }
    } else if (t.starts_with("@run ")) {
      const std::string rest = t.substr(5);
      const size_t space = rest.find(' ');
      const std::string name = rest.substr(0, space);
      const std::optional<std::vector<Value>> values =
          parse_values(space == std::string::npos ? "" : std::string_view(rest).substr(space + 1));
      auto it = prepared_.find(name);
      if (it == prepared_.end() || !values) {
        ADD_FAILURE_AT(path_.c_str(), c.line) << "bad @run: " << t;
        return;
      }
      Result<ExecResult> r = db().execute_prepared(it->second, *values);
      if (r) {
        render_result(*r, wants_columns(c), actual);
      } else {
        error_line(r.error());
      }
    } else if (t == "@last_insert_rowid") {
      actual.push_back(std::to_string(db().last_insert_rowid()));
    } else if (t.starts_with("@handle ")) {
      current_ = std::stoi(t.substr(8));
      return;
    } else if (t == "@reopen") {
      handles_.clear();
      current_ = 1;
      (void)db();
      return;
    } else if (t == "@integrity_check") {
      Pager& pager = db().pager();
      bool locked = !pager.in_tx();
      if (locked && !pager.read_lock()) {
        ADD_FAILURE_AT(path_.c_str(), c.line) << "read lock failed";
        return;
      }
      Result<std::vector<std::string>> problems = db().catalog().integrity_check(pager);
      if (locked) (void)pager.read_unlock();
      if (!problems) {
        error_line(problems.error());
      } else if (problems->empty()) {
        actual.push_back("ok");
      } else {
        actual = *problems;
      }
    } else if (t.starts_with("@schema ")) {
      actual = describe_table(db().catalog(), t.substr(8));
    } else if (t.starts_with("@")) {
      ADD_FAILURE_AT(path_.c_str(), c.line) << "unknown directive: " << t;
      return;
    } else {
      Result<std::vector<ExecResult>> results = db().execute(t);
      if (results) {
        for (const ExecResult& r : *results) render_result(r, wants_columns(c), actual);
      } else {
        error_line(results.error());
      }
    }
    check(c, actual);
  }

  std::string path_;
  testing::TempDir dir_;
  std::string db_path_;
  std::map<int, std::optional<Database>> handles_;
  int current_ = 1;
  std::map<std::string, Prepared> prepared_;
};

// Every tests/cases/*.test file, as the build found them.
std::vector<std::string> case_files() {
  static const char* const kFiles[] = {
#include "case_files.inc"
      nullptr};
  std::vector<std::string> files;
  for (const char* const* f = kFiles; *f != nullptr; ++f) files.emplace_back(*f);
  std::sort(files.begin(), files.end());
  return files;
}

class SqlCases : public ::testing::TestWithParam<std::string> {};

TEST_P(SqlCases, Run) { CaseFile(GetParam()).run(); }

INSTANTIATE_TEST_SUITE_P(Cases, SqlCases, ::testing::ValuesIn(case_files()),
                         [](const ::testing::TestParamInfo<std::string>& info) {
                           std::string name = fs::path(info.param).stem().string();
                           for (char& ch : name) {
                             if (!std::isalnum(static_cast<unsigned char>(ch))) ch = '_';
                           }
                           return name;
                         });

}  // namespace
}  // namespace vbk
