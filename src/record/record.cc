#include "record/record.h"

#include "record/corrupt.h"
#include "record/serial.h"
#include "record/varint.h"

namespace vbk::record {

namespace {

// The serial types and the bodies of a record being built, kept apart until
// the header size is known. Each writer has its own pair per thread; a writer
// holds it from start to end and starts no other encoding meanwhile.
struct Scratch {
  Bytes types;
  Bytes bodies;

  void clear() {
    types.clear();
    bodies.clear();
  }
};

// Header size S for serial types taking h bytes: h + k, with k the smallest
// length such that S's own uvarint takes exactly k bytes.
uint64_t header_size(uint64_t h) {
  uint64_t k = 1;
  while (varint::uvarint_length(h + k) != k) ++k;
  return h + k;
}

void write_record(Bytes& out, const Scratch& s) {
  const uint64_t size = header_size(s.types.size());
  out.clear();
  out.reserve(size + s.bodies.size());
  varint::append_uvarint(out, size);
  out.insert(out.end(), s.types.begin(), s.types.end());
  out.insert(out.end(), s.bodies.begin(), s.bodies.end());
}

void append_column(Scratch& s, const Value& v) {
  varint::append_uvarint(s.types, serial::serial_type(v));
  serial::encode_body(s.bodies, v);
}

// Where a record's header ends and its serial types begin.
struct Header {
  std::span<const uint8_t> bytes;  // the whole header, [0, S)
  size_t first_type;               // just behind the size uvarint
};

Result<Header> read_header(std::span<const uint8_t> record) {
  // read_uvarint fails on the empty record with "truncated uvarint".
  const varint::Uvarint size = VBK_TRY(varint::read_uvarint(record));
  if (size.value > record.size()) return std::unexpected(corrupt(msg::kHeaderSizeExceeds));
  return Header{record.first(static_cast<size_t>(size.value)), size.length};
}

// Reads the serial type at `pos` from the header bytes alone, advancing pos.
Result<uint64_t> next_type(const Header& h, size_t& pos) {
  const varint::Uvarint t = VBK_TRY(varint::read_uvarint(h.bytes.subspan(pos)));
  pos += t.length;
  return t.value;
}

// The body of serial type `type` at `offset`, or "record body exceeds buffer".
// `offset` never exceeds the record's size, so nothing here can overflow.
Result<std::span<const uint8_t>> body_at(std::span<const uint8_t> record, size_t offset, uint64_t type) {
  const uint64_t length = serial::body_length(type);
  if (length > record.size() - offset) return std::unexpected(corrupt(msg::kBodyExceeds));
  return record.subspan(offset, static_cast<size_t>(length));
}

}  // namespace

void encode_record_into(Bytes& out, std::span<const Value> values) {
  thread_local Scratch scratch;
  scratch.clear();
  for (const Value& v : values) append_column(scratch, v);
  write_record(out, scratch);
}

Bytes encode_record(std::span<const Value> values) {
  Bytes out;
  encode_record_into(out, values);
  return out;
}

Result<std::vector<Value>> decode_record(std::span<const uint8_t> record) {
  const Header h = VBK_TRY(read_header(record));
  // First pass: every serial type, so that header faults come before body
  // faults and the result is allocated once.
  size_t columns = 0;
  for (size_t pos = h.first_type; pos < h.bytes.size(); ++columns) VBK_TRY(next_type(h, pos));

  std::vector<Value> values;
  values.reserve(columns);
  size_t offset = h.bytes.size();
  for (size_t pos = h.first_type; pos < h.bytes.size();) {
    const uint64_t type = VBK_TRY(next_type(h, pos));
    const std::span<const uint8_t> body = VBK_TRY(body_at(record, offset, type));
    values.push_back(VBK_TRY(serial::decode_body(type, body)));
    offset += body.size();
  }
  return values;
}

Result<HeaderWalk> HeaderWalk::start_slow(std::span<const uint8_t> record) {
  const Header h = VBK_TRY(read_header(record));
  HeaderWalk w;
  w.header_end_ = h.bytes.size();
  w.pos_ = h.first_type;
  w.offset_ = h.bytes.size();
  return w;
}

Result<ColumnPlace> HeaderWalk::next_slow(std::span<const uint8_t> record) {
  // Serial types are read from the header bytes alone.
  const varint::Uvarint t =
      VBK_TRY(varint::read_uvarint(record.subspan(pos_, header_end_ - pos_)));
  return advance(t.value, t.length);
}

Result<void> decode_at(std::span<const uint8_t> record, const ColumnPlace& place, Value& out) {
  const uint64_t length = serial::body_length(place.type);
  uint64_t end;
  if (place.overflow || __builtin_add_overflow(place.offset, length, &end)) {
    return std::unexpected(corrupt(msg::kBodyLengthOverflow));
  }
  if (end > record.size()) return std::unexpected(corrupt(msg::kBodyExceeds));
  return serial::decode_body_into(
      place.type, record.subspan(static_cast<size_t>(place.offset), static_cast<size_t>(length)), out);
}

Result<Value> decode_column(std::span<const uint8_t> record, size_t i) {
  HeaderWalk walk = VBK_TRY(HeaderWalk::start(record));
  // Earlier bodies are only counted, not read.
  for (size_t column = 0;; ++column) {
    if (walk.done()) return Value::Null();
    const ColumnPlace place = VBK_TRY(walk.next(record));
    if (column == i) {
      Value v;
      VBK_TRY(decode_at(record, place, v));
      return v;
    }
  }
}

Result<void> splice_record_into(Bytes& out, std::span<const uint8_t> old_record, std::span<const Value> values,
                                std::span<const bool> keep) {
  if (keep.size() != values.size()) fault("splice_record_into: one keep flag per value expected");
  const Header h = VBK_TRY(read_header(old_record));
  thread_local Scratch scratch;
  scratch.clear();
  size_t pos = h.first_type;
  size_t offset = h.bytes.size();
  for (size_t i = 0; i < values.size(); ++i) {
    const bool had_column = pos < h.bytes.size();
    uint64_t old_type = 0;
    std::span<const uint8_t> old_body;
    if (had_column) {
      old_type = VBK_TRY(next_type(h, pos));
      old_body = VBK_TRY(body_at(old_record, offset, old_type));
      offset += old_body.size();
    }
    if (!keep[i]) {
      append_column(scratch, values[i]);
    } else {
      // A missing old column is Null: serial type 0 and no body.
      varint::append_uvarint(scratch.types, old_type);
      scratch.bodies.insert(scratch.bodies.end(), old_body.begin(), old_body.end());
    }
  }
  write_record(out, scratch);
  return {};
}

}  // namespace vbk::record
