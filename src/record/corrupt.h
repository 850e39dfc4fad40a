#pragma once

// The record decoder's failures: Error::Corrupt with one of these fixed
// messages ("corrupt data: truncated uvarint" once displayed).

#include <string_view>

#include "error.h"

namespace vbk::record {

namespace msg {
// The bytes end before a uvarint's last byte (an empty record, a serial type
// running past the end of the header).
inline constexpr std::string_view kTruncatedUvarint = "truncated uvarint";
// The 10th byte of a uvarint is 2 or more.
inline constexpr std::string_view kUvarintOverflow = "uvarint overflow / overlong";
inline constexpr std::string_view kHeaderSizeExceeds = "record header size exceeds buffer";
inline constexpr std::string_view kBodyExceeds = "record body exceeds buffer";
// The end of the one column that decode_column reads overflows 64 bits.
inline constexpr std::string_view kBodyLengthOverflow = "record body length overflow";
inline constexpr std::string_view kFloatBody = "float body must be 8 bytes";
inline constexpr std::string_view kReservedSerialType = "reserved serial type";
inline constexpr std::string_view kTextNotUtf8 = "text body is not valid UTF-8";
}  // namespace msg

inline Error corrupt(std::string_view message) { return Error::Corrupt(std::string(message)); }

}  // namespace vbk::record
