#pragma once

// Serial types: the code that a record's header holds for each column, naming
// the column's kind and the length of its body.
//
//   0 Null, no body            7 Real, 8 bytes (IEEE-754 bits, big-endian)
//   1 Int, 1 byte              8 Int 0, no body
//   2 Int, 2 bytes             9 Int 1, no body
//   3 Int, 3 bytes             10, 11 reserved (rejected)
//   4 Int, 4 bytes             N >= 12 even: Blob of (N - 12) / 2 bytes
//   5 Int, 6 bytes             N >= 13 odd:  Text of (N - 13) / 2 bytes
//   6 Int, 8 bytes
//
// Integer bodies are big-endian two's complement, sign-extended when read.

#include <cstdint>
#include <span>

#include "error.h"
#include "record/value.h"
#include "util/bytes.h"

namespace vbk::serial {

// The serial type a writer picks for `v` (the smallest that holds it).
uint64_t serial_type(const Value& v);

// Body length of a serial type (0 for the reserved ones).
inline uint64_t body_length(uint64_t serial_type) {
  static constexpr uint8_t kFixed[12] = {0, 1, 2, 3, 4, 6, 8, 8, 0, 0, 0, 0};
  return serial_type < 12 ? kFixed[serial_type] : (serial_type - 12) / 2;
}

// Appends the body of `v` for the serial type serial_type(v) picks.
void encode_body(Bytes& out, const Value& v);

// Decodes one body. `body` is exactly the body_length(serial_type) bytes
// that the record holds for the column; only a Real is checked for it ("float
// body must be 8 bytes"). Fails with "reserved serial type" for 10 and 11 and
// "text body is not valid UTF-8".
Result<Value> decode_body(uint64_t serial_type, std::span<const uint8_t> body);

// The same into `out`, whose text or byte buffer is reused when it already
// holds a value of the body's kind. `out` is unchanged on failure.
Result<void> decode_body_into(uint64_t serial_type, std::span<const uint8_t> body, Value& out);

}  // namespace vbk::serial
