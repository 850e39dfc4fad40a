#pragma once

// The rollback journal, "{db}-journal": while a commit rewrites the database
// file, the journal holds what every page it overwrites held before, so that
// a commit cut short can be undone. It exists only from the moment a commit
// has made it durable until the commit's end; deleting it is the commit
// point. A journal found later belongs to a writer that died or failed, and
// is played back by whoever next takes the database lock.
//
// File layout (integers unsigned 32-bit big-endian):
//   offset               size                 content
//   0                    8                    magic "RDBJRNL" and the byte 0x01
//   8                    4                    page size; never 0
//   12                   4                    page count when the transaction began
//   16                   4                    N, the number of page records
//   20                   N * (page size + 4)  records: page number, then the page's
//                                             bytes before the transaction
//   20 + N*(ps + 4)      8                    trailer "RDBJEND" and the byte 0x01
// Nothing follows the trailer. There is no checksum: the magic, the trailer
// and the exact length are the only proof that a journal is complete, which
// holds because the trailer is written only once the rest is synced, and the
// whole journal is synced before the database file is touched.
//
// This module only formats and parses; opening, locking, syncing and deleting
// the file are the pager's.

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "error.h"
#include "vfs/vfs.h"

namespace vbk::journal {

struct Record {
  uint32_t pgno = 0;
  std::vector<uint8_t> bytes;  // the page before the transaction; page-size long
};

// A decoded journal. The reader promises only the layout above and a head
// that a commit could have written: page numbers may be 0, repeated or out
// of order (check_playable decides whether it may be played back).
struct Journal {
  std::vector<Record> records;  // in file order
  uint32_t page_size = 0;
  uint32_t orig_page_count = 0;
};

// The database path followed by "-journal", unchanged otherwise.
std::string journal_path(std::string_view db_path);

// Writes everything of a journal but its trailer from offset 0 of `file` (in
// writes of about a megabyte) and cuts the file to that length; gives the length. Without
// its trailer the journal is incomplete: a commit syncs the body before it
// seals it, so that a write torn by a power loss can never leave a trailer
// behind a body that did not reach the disk. Nothing is synced here.
Result<uint64_t> write_body(const VfsFile& file, uint32_t page_size, uint32_t orig_page_count,
                            std::span<const Record> records);
// write_body for records that are read as they are written: `read_page`
// fills a record's page-size bytes for each of `pgnos` in turn, straight
// into the write buffer, so that however many records the journal has, no
// more than about a megabyte of them is in memory at once. The file is byte
// for byte what write_body writes for the same records.
Result<uint64_t> write_body_from(const VfsFile& file, uint32_t page_size, uint32_t orig_page_count,
                                 std::span<const uint32_t> pgnos,
                                 const std::function<Result<void>(uint32_t, std::span<uint8_t>)>& read_page);
// Appends the trailer after a body of `body_length` bytes: the journal is
// complete once this reaches the disk.
Result<void> seal(const VfsFile& file, uint64_t body_length);
// write_body then seal, with no sync between: for tests that make journals.
Result<void> write(const VfsFile& file, uint32_t page_size, uint32_t orig_page_count,
                   std::span<const Record> records);

// Reads a journal if it is complete and well-formed. An empty result means it
// is not (too short, wrong magic, page size 0, wrong length, wrong trailer).
// A complete journal whose head no commit can have written (an invalid page
// size, an original page count of 0) is damaged rather than incomplete, and
// Corrupt; otherwise an Error comes only from a failing file operation. The
// header and trailer are checked before anything is allocated for the
// records.
Result<std::optional<Journal>> read_valid(const VfsFile& file);

// A journal that no commit can have written: a record for page 0, or a head
// that read_valid refuses. Such a journal is damaged rather than incomplete,
// and playing it back or deleting it could leave a half-written database, so
// it is Corrupt.
Result<void> check_playable(const Journal& journal);

}  // namespace vbk::journal
