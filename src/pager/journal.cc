#include "pager/journal.h"

#include <algorithm>
#include <cstring>
#include <memory>

#include "pager/header.h"
#include "util/bytes.h"

namespace vbk::journal {

namespace {

constexpr uint8_t kMagic[8] = {'R', 'D', 'B', 'J', 'R', 'N', 'L', 0x01};
constexpr uint8_t kTrailer[8] = {'R', 'D', 'B', 'J', 'E', 'N', 'D', 0x01};
constexpr uint64_t kHeadSize = 20;
constexpr uint64_t kTrailerSize = sizeof kTrailer;

// The byte length of a journal of `n` records of `page_size` bytes, or
// nothing when it does not fit in 64 bits (no such file can exist).
std::optional<uint64_t> journal_length(uint64_t n, uint64_t page_size) {
  uint64_t body = 0;
  if (__builtin_mul_overflow(n, page_size + 4, &body)) return std::nullopt;
  uint64_t total = 0;
  if (__builtin_add_overflow(body, kHeadSize + kTrailerSize, &total)) return std::nullopt;
  return total;
}

// What no commit writes into a journal's head: a page size the database
// could not have, or an original page count of 0 (page 1 always exists).
Result<void> check_head(uint32_t page_size, uint32_t orig_page_count) {
  if (!header::validate_page_size(page_size)) {
    return std::unexpected(Error::Corrupt("rollback journal has an invalid page size " +
                                          std::to_string(page_size)));
  }
  if (orig_page_count == 0) {
    return std::unexpected(Error::Corrupt("rollback journal has an original page count of 0"));
  }
  return {};
}

}  // namespace

std::string journal_path(std::string_view db_path) {
  std::string out(db_path);
  out += "-journal";
  return out;
}

Result<uint64_t> write_body_from(const VfsFile& file, uint32_t page_size, uint32_t orig_page_count,
                                 std::span<const uint32_t> pgnos,
                                 const std::function<Result<void>(uint32_t, std::span<uint8_t>)>& read_page) {
  // Records go into a bounded buffer that is written out whenever the next
  // record would overflow it; a small journal still goes out in one write.
  // The buffer is as large as the journal, up to the bound, and every byte
  // of it that is written out was filled first.
  constexpr size_t kChunk = size_t{1} << 20;
  const size_t record = 4 + size_t{page_size};
  const size_t cap = std::max(kHeadSize + record, std::min(kChunk, kHeadSize + pgnos.size() * record));
  const auto chunk = std::make_unique_for_overwrite<uint8_t[]>(cap);
  std::memcpy(chunk.get(), kMagic, sizeof kMagic);
  put_be32(chunk.get() + 8, page_size);
  put_be32(chunk.get() + 12, orig_page_count);
  put_be32(chunk.get() + 16, static_cast<uint32_t>(pgnos.size()));
  size_t used = kHeadSize;
  uint64_t written = 0;
  for (uint32_t pgno : pgnos) {
    if (used + record > cap) {
      VBK_TRY(file.write_all_at(std::span(chunk.get(), used), written));
      written += used;
      used = 0;
    }
    put_be32(chunk.get() + used, pgno);
    VBK_TRY(read_page(pgno, std::span(chunk.get() + used + 4, page_size)));
    used += record;
  }
  VBK_TRY(file.write_all_at(std::span(chunk.get(), used), written));
  written += used;
  VBK_TRY(file.truncate(written));
  return written;
}

Result<uint64_t> write_body(const VfsFile& file, uint32_t page_size, uint32_t orig_page_count,
                            std::span<const Record> records) {
  std::vector<uint32_t> pgnos;
  pgnos.reserve(records.size());
  for (const Record& r : records) pgnos.push_back(r.pgno);
  size_t next = 0;
  return write_body_from(file, page_size, orig_page_count, pgnos,
                         [&](uint32_t, std::span<uint8_t> out) -> Result<void> {
                           const std::vector<uint8_t>& bytes = records[next++].bytes;
                           if (bytes.size() != out.size()) fault("journal record is not one page long");
                           std::memcpy(out.data(), bytes.data(), out.size());
                           return {};
                         });
}

Result<void> seal(const VfsFile& file, uint64_t body_length) {
  return file.write_all_at(kTrailer, body_length);
}

Result<void> write(const VfsFile& file, uint32_t page_size, uint32_t orig_page_count,
                   std::span<const Record> records) {
  const uint64_t body = VBK_TRY(write_body(file, page_size, orig_page_count, records));
  return seal(file, body);
}

Result<std::optional<Journal>> read_valid(const VfsFile& file) {
  const uint64_t size = VBK_TRY(file.size());
  if (size < kHeadSize + kTrailerSize) return std::optional<Journal>();
  uint8_t head[kHeadSize];
  VBK_TRY(file.read_exact_at(head, 0));
  if (!std::equal(std::begin(kMagic), std::end(kMagic), head)) return std::optional<Journal>();
  const uint32_t page_size = get_be32(head + 8);
  const uint32_t n = get_be32(head + 16);
  if (page_size == 0) return std::optional<Journal>();
  const std::optional<uint64_t> expected = journal_length(n, page_size);
  if (!expected || *expected != size) return std::optional<Journal>();
  uint8_t trailer[kTrailerSize];
  VBK_TRY(file.read_exact_at(trailer, size - kTrailerSize));
  if (!std::equal(std::begin(kTrailer), std::end(kTrailer), trailer)) {
    return std::optional<Journal>();
  }

  Journal j;
  j.page_size = page_size;
  j.orig_page_count = get_be32(head + 12);
  // A head no commit can have written is refused before the records are
  // read: with a page size of a few bytes, a journal of any length would
  // otherwise be read whole as that many tiny records.
  VBK_TRY(check_head(j.page_size, j.orig_page_count));
  // One read for all records: the length check above bounds it by the file.
  std::vector<uint8_t> body(size - kHeadSize - kTrailerSize);
  VBK_TRY(file.read_exact_at(body, kHeadSize));
  j.records.resize(n);
  const uint8_t* p = body.data();
  for (Record& r : j.records) {
    r.pgno = get_be32(p);
    r.bytes.assign(p + 4, p + 4 + page_size);
    p += 4 + uint64_t{page_size};
  }
  return std::optional<Journal>(std::move(j));
}

Result<void> check_playable(const Journal& journal) {
  VBK_TRY(check_head(journal.page_size, journal.orig_page_count));
  for (const Record& r : journal.records) {
    if (r.pgno == 0) {
      return std::unexpected(Error::Corrupt("rollback journal has a record for page 0"));
    }
  }
  return {};
}

}  // namespace vbk::journal
