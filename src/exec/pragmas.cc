// The five pragmas. Names and values are matched whole after ASCII
// lower-casing, and messages show the lower-cased text.
//
// Locks: reindex is a schema change and runs in the autocommit wrapper;
// integrity_check reads under the shared lock; synchronous touches only this
// handle. The journal-mode switch and the checkpoint take the exclusive
// database lock inside the pager (outside a transaction), so they wait for
// another handle's write transaction instead of running under it, and catch
// up with what other handles committed first; this handle's schema then
// follows the file too.

#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "exec/database.h"
#include "util/unicode.h"

namespace vbk {

namespace {

std::string lowered(std::string_view text) {
  std::string out;
  unicode::append_ascii_lower(out, text);
  return out;
}

ExecResult one_column(std::string column, Value value) {
  ExecResult::Rows rows;
  rows.columns.push_back(std::move(column));
  rows.rows.push_back({std::move(value)});
  return rows;
}

// The level a synchronous value names, or nothing.
std::optional<uint8_t> synchronous_level(std::string_view value) {
  if (value == "0" || value == "off") return 0;
  if (value == "1" || value == "normal") return 1;
  if (value == "2" || value == "full") return 2;
  return std::nullopt;
}

}  // namespace

Result<ExecResult> Database::run_pragma(const Statement::Pragma& pragma) {
  const std::string name = lowered(pragma.name);
  if (name == "reindex") return pragma_reindex(pragma.value);
  if (name == "synchronous") {
    if (pragma.value) {
      const std::string value = lowered(*pragma.value);
      const std::optional<uint8_t> level = synchronous_level(value);
      if (!level) return std::unexpected(Error::Exec("unsupported synchronous: " + value));
      // Allowed inside a transaction: it governs the next commit.
      pager_.set_synchronous(*level);
    }
    return one_column("synchronous", Value::Int(pager_.synchronous()));
  }
  if (name == "journal_mode") return pragma_journal_mode(pragma.value);
  if (name == "wal_checkpoint") return pragma_wal_checkpoint();
  if (name == "integrity_check") return pragma_integrity_check();
  return std::unexpected(Error::Exec("unknown pragma: " + name));
}

Result<ExecResult> Database::pragma_reindex(const std::optional<std::string>& table) {
  return autocommit(true, [&](bool& wrote) -> Result<ExecResult> {
    note_schema_change();
    // New roots: programs compiled before must not write the old trees.
    ++schema_generation_;
    wrote = true;
    const std::optional<std::string_view> name =
        table ? std::optional<std::string_view>(*table) : std::nullopt;
    Result<uint64_t> rebuilt = catalog_.reindex(pager_, name);
    if (!rebuilt) {
      // A name that is no table is refused before anything is written. A
      // duplicate key ends one rebuild before its schema row is rewritten:
      // the schema table then names only complete trees (the ones rebuilt
      // before it, and the old ones), so inside a transaction reading the
      // schema again is all that is needed and the transaction goes on.
      // Anything else may have half-written pages.
      if (catalog::schema_left_whole(rebuilt.error())) wrote = false;
      return std::unexpected(std::move(rebuilt).error());
    }
    return one_column("reindex",
                      Value::Text("rebuilt " + std::to_string(*rebuilt) + " index(es)"));
  });
}

Result<ExecResult> Database::pragma_journal_mode(const std::optional<std::string>& value) {
  if (value) {
    const std::string mode = lowered(*value);
    if (mode != "wal" && mode != "delete") {
      return std::unexpected(Error::Exec("unsupported journal_mode: " + mode));
    }
    const uint32_t counter = pager_.header().change_counter;
    const bool outside_tx = !pager_.in_tx();
    VBK_TRY(mode == "wal" ? pager_.set_journal_mode_wal() : pager_.set_journal_mode_delete());
    if (outside_tx) VBK_TRY(catch_up_after(counter));
  } else if (!pager_.in_tx()) {
    // Another handle may have switched since this one last looked: the
    // read lock's change detection follows the file.
    VBK_TRY(read_lock());
    read_unlock();
  }
  return one_column("journal_mode", Value::Text(pager_.header().journal_mode == 1 ? "wal" : "delete"));
}

Result<ExecResult> Database::pragma_wal_checkpoint() {
  const uint32_t counter = pager_.header().change_counter;
  const bool outside_tx = !pager_.in_tx();
  VBK_TRY(pager_.wal_checkpoint());
  if (outside_tx) VBK_TRY(catch_up_after(counter));
  return ExecResult::Done{};
}

Result<ExecResult> Database::pragma_integrity_check() {
  const bool lock = !pager_.in_tx();
  if (lock) VBK_TRY(read_lock());
  Result<std::vector<std::string>> problems = catalog_.integrity_check(pager_);
  if (lock) read_unlock();
  ExecResult::Rows rows;
  rows.columns.push_back("integrity_check");
  for (std::string& line : VBK_TRY(std::move(problems))) rows.rows.push_back({Value::Text(std::move(line))});
  if (rows.rows.empty()) rows.rows.push_back({Value::Text("ok")});
  return rows;
}

Result<void> Database::catch_up_after(uint32_t counter_before) {
  if (!must_catch_up(counter_before)) return {};
  VBK_TRY(pager_.read_lock());
  Result<void> reloaded = reload_catalog();
  (void)pager_.read_unlock();
  return reloaded;
}

}  // namespace vbk
