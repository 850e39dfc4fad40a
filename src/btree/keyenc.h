#pragma once

// Order-preserving keys: a list of values encoded so that comparing two keys
// bytewise (unsigned, a proper prefix first) orders them as their values.
// Index entries, UNIQUE probes and index range bounds use the key form below;
// GROUP BY groups and the seen-sets of aggregate DISTINCT use its exact
// variant (end of this comment).
//
// One value: a tag byte, then a body.
//   Null  0x00  no body
//   Int   0x10  8 bytes: the integer rounded to the nearest double (ties to
//               even), then encoded as a Real; so Int 1 and Real 1.0 encode
//               alike, and so do integers past 2^53 that round together
//   Real  0x10  8 bytes big-endian: the double's bits with every bit
//               inverted when the sign bit is set, else with the sign bit set;
//               -0.0 sorts just below 0.0, NaNs beyond the infinities
//   Text  0x20  the UTF-8 bytes escaped, then 0x00 0x00
//   Blob  0x30  the bytes escaped, then 0x00 0x00
// Escaping writes each 0x00 as 0x00 0xFF. The terminator sorts below every
// continuation, so a text sorts before the longer texts it begins.
//
// A key is the values' encodings back to back. An index key adds the rowid
// XOR 2^63, 8 bytes big-endian, so equal values order by signed rowid. No tag
// reaches 0xFF: a prefix followed by eight 0xFF bytes is an inclusive upper
// bound of every key that begins with the prefix.
//
// Exact keys live only in memory and never reach the file. They differ from
// the key form above in one point: every number (tag 0x10) is followed by a
// 2-byte big-endian tie-break, its distance from the double it was encoded
// as, plus 0x8000. For an Int that is the integer minus its rounded double
// (at most 1024 either way); for a Real it is 0. So distinct integers past
// 2^53 stay distinct and keep their order, while an Int and a Real of equal
// value (Int 1 and Real 1.0, Int 2^53 and Real 2^53) still encode alike.
// The file's key form keeps its limitation: integers past 2^53 that round to
// one double share an index key.

#include <cstdint>
#include <span>

#include "error.h"
#include "record/value.h"
#include "util/bytes.h"

namespace vbk::keyenc {

inline constexpr size_t kRowidSuffixLength = 8;

// Appends `bytes` escaped, then the terminator 0x00 0x00.
void escape_into(Bytes& out, std::span<const uint8_t> bytes);

// Appends one value's encoding.
void encode_value(Bytes& out, const Value& v);

// The values' encodings, without a rowid suffix.
Bytes encode_key_prefix(std::span<const Value> values);

// The same into `out`, which is emptied first and keeps its capacity.
void encode_key_prefix_into(Bytes& out, std::span<const Value> values);

// Appends one value's exact encoding.
void encode_value_exact(Bytes& out, const Value& v);

// The values' exact encodings into `out`, which is emptied first and keeps its
// capacity.
void encode_key_exact_into(Bytes& out, std::span<const Value> values);

// The values' encodings followed by the rowid suffix.
Bytes encode_index_key(std::span<const Value> values, int64_t rowid);
// The same into `out`, which is emptied first and keeps its capacity.
void encode_index_key_into(Bytes& out, std::span<const Value> values, int64_t rowid);

// Zeros of either sign. -0.0 and 0.0 are equal values whose keys differ
// (-0.0's number body is 0x7FFF...FF, 0.0's is 0x8000...00: adjacent, no key
// between them), and Int 0 encodes as 0.0. A lookup by equal values must find
// both, so it reads a key prefix of its values as a pattern in which each
// zero stands for a zero of either sign.
//
// Rewrites, in place, every number of `prefix` that is a zero as -0.0
// (`negative`) or as 0.0. `prefix` is a key prefix this engine encoded
// (values only, no rowid suffix).
void set_zero_signs(std::span<uint8_t> prefix, bool negative);

// How an index key stands to an equality pattern (the key prefix of the
// values looked up, as encode_key_prefix gives it).
enum class PatternMatch {
  Match,   // the key begins with the pattern's values, a zero of either sign
           // matching a zero
  Resume,  // it does not; the next key that may match is at or after `next`
  Beyond,  // it does not, and no key after it can
};

// Compares `key`, which lies at or after the least key the pattern allows
// (the pattern with every zero as -0.0), with `pattern`. On Resume, `next`
// holds a key strictly after `key`: the least that agrees with the pattern
// on what `key` has already passed. A pattern with z zeros matches at most
// 2^z runs of keys, so a lookup resumes at most that many times.
PatternMatch match_pattern(std::span<const uint8_t> key, std::span<const uint8_t> pattern, Bytes& next);

// The rowid in the last 8 bytes of an index key. A key shorter than that can
// only come from a corrupt page: Error::Corrupt, nothing read.
Result<int64_t> key_rowid(std::span<const uint8_t> key);

}  // namespace vbk::keyenc
