#pragma once

// The record: how a row of values is stored (table B-tree payloads, schema
// rows, rows the virtual machine builds).
//
//   header size   uvarint S: bytes from the record's start to the end of the
//                 header, this uvarint included
//   serial types  one uvarint per column (serial.h), filling the header to S
//   bodies        the columns' bodies back to back from byte S, each as long
//                 as its serial type says
//
// A row of no columns is the single byte 0x01. Readers take the record as a
// borrowed, bounded span and keep nothing of it; whatever its bytes say, they
// never read outside it, and they fail with Error::Corrupt and one of the
// messages of corrupt.h. Bytes after the last body are ignored.
//
// Record bytes are also an equality of rows: Int 1 and Real 1.0 differ, and
// so do -0.0 and 0.0.

#include <cstddef>
#include <span>
#include <vector>

#include "error.h"
#include "record/serial.h"
#include "record/value.h"
#include "util/bytes.h"

namespace vbk::record {

// The record of `values`, one column per value, in a new buffer.
Bytes encode_record(std::span<const Value> values);

// The same into `out`, which is emptied first and keeps its capacity. Uses
// this thread's scratch buffers, so a steady stream of calls into a reused
// `out` allocates nothing once the buffers have grown. Never fails.
void encode_record_into(Bytes& out, std::span<const Value> values);

// Every column the header lists. All serial types are read before any body.
Result<std::vector<Value>> decode_record(std::span<const uint8_t> record);

// Column `i` (0-based) alone: the bodies of earlier columns are skipped
// unread, so a reserved serial type or bad text elsewhere does not matter. A
// record of i or fewer columns gives Null (rows written before a column was
// added).
Result<Value> decode_column(std::span<const uint8_t> record, size_t i);

// One column's place in a record, as a walk of the header finds it: its serial
// type and the offset of its body. The offset is the sum of the earlier
// bodies' lengths, which come from the bytes and may overflow 64 bits; that
// is an error only for a column that is read, so it is carried along.
struct ColumnPlace {
  uint64_t type = 0;
  uint64_t offset = 0;
  bool overflow = false;  // offset (or this body's end) overflowed
};

// A walk over a record's serial types, one column at a time. It holds sizes
// only, never the bytes: every call is given the same record.
class HeaderWalk {
 public:
  HeaderWalk() = default;
  // Reads the header size: "truncated uvarint" for an empty record, "record
  // header size exceeds buffer".
  static Result<HeaderWalk> start(std::span<const uint8_t> record) {
    // Nearly every header is shorter than 128 bytes: its size is one byte.
    if (!record.empty() && record[0] < 0x80 && record[0] <= record.size()) [[likely]] {
      HeaderWalk w;
      w.header_end_ = record[0];
      w.pos_ = 1;
      w.offset_ = record[0];
      return w;
    }
    return start_slow(record);
  }
  // No serial type is left: every further column is Null.
  bool done() const { return pos_ >= header_end_; }
  // The next column's place (requires !done()); a serial type that does not
  // read within the header is Corrupt, and the walk then stays where it was.
  Result<ColumnPlace> next(std::span<const uint8_t> record) {
    // A serial type below 128 (numbers, texts and blobs up to 57 bytes) is
    // one byte; pos_ < header_end_ <= record.size() here.
    if (record[pos_] < 0x80) [[likely]]
      return advance(record[pos_], 1);
    return next_slow(record);
  }

 private:
  static Result<HeaderWalk> start_slow(std::span<const uint8_t> record);
  Result<ColumnPlace> next_slow(std::span<const uint8_t> record);
  // The place of a column of serial type `type` read from `length` bytes at
  // pos_; moves past it.
  ColumnPlace advance(uint64_t type, size_t length) {
    pos_ += length;
    const ColumnPlace place{type, offset_, overflow_};
    overflow_ = overflow_ || __builtin_add_overflow(offset_, serial::body_length(type), &offset_);
    return place;
  }

  size_t header_end_ = 0;
  size_t pos_ = 0;      // next serial type
  uint64_t offset_ = 0;  // body of the next column
  bool overflow_ = false;
};

// The column at `place` of `record` into `out` (its buffer reused when it
// holds a value of the same kind): "record body length overflow", "record
// body exceeds buffer", or the body's own failures; `out` is unchanged then.
Result<void> decode_at(std::span<const uint8_t> record, const ColumnPlace& place, Value& out);

// Writes into `out` a record of one column per value: where keep[i] is set,
// column i of `old_record` is taken over byte for byte (Null when the old
// record has no column i) and values[i] is not looked at; elsewhere column i
// is values[i]. Old columns past the last value are dropped. `keep` has one
// flag per value. Every old column that is visited (those below
// values.size()) must lie within the old record, kept or not. On failure
// `out` is left as it was. Uses a scratch pair of its own, apart from
// encode_record_into's.
Result<void> splice_record_into(Bytes& out, std::span<const uint8_t> old_record,
                                std::span<const Value> values, std::span<const bool> keep);

}  // namespace vbk::record
