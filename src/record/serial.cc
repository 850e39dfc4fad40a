#include "record/serial.h"

#include <bit>
#include <string>

#include "record/corrupt.h"
#include "util/utf8.h"

namespace vbk::serial {

namespace {

// Body bytes of integer serial types 1 to 6.
constexpr uint8_t kIntWidth[7] = {0, 1, 2, 3, 4, 6, 8};

uint64_t int_serial_type(int64_t v) {
  if (v == 0) return 8;
  if (v == 1) return 9;
  if (v >= -128 && v <= 127) return 1;
  if (v >= -32768 && v <= 32767) return 2;
  if (v >= -8388608 && v <= 8388607) return 3;
  if (v >= -2147483648LL && v <= 2147483647LL) return 4;
  if (v >= -(int64_t{1} << 47) && v <= (int64_t{1} << 47) - 1) return 5;
  return 6;
}

void append_be(Bytes& out, uint64_t bits, size_t width) {
  uint8_t buf[8];
  put_be64(buf, bits);
  out.insert(out.end(), buf + 8 - width, buf + 8);
}

}  // namespace

uint64_t serial_type(const Value& v) {
  switch (v.kind()) {
    case Value::Kind::Null: return 0;
    case Value::Kind::Int: return int_serial_type(v.as_int());
    case Value::Kind::Real: return 7;
    case Value::Kind::Text: return 2 * uint64_t{v.as_text().size()} + 13;
    case Value::Kind::Blob: return 2 * uint64_t{v.as_blob().size()} + 12;
  }
  return 0;
}

void encode_body(Bytes& out, const Value& v) {
  switch (v.kind()) {
    case Value::Kind::Null:
      return;
    case Value::Kind::Int: {
      const uint64_t type = int_serial_type(v.as_int());
      if (type <= 6) append_be(out, static_cast<uint64_t>(v.as_int()), kIntWidth[type]);
      return;
    }
    case Value::Kind::Real:
      append_be(out, std::bit_cast<uint64_t>(v.as_real()), 8);
      return;
    case Value::Kind::Text: {
      const auto bytes = as_bytes(v.as_text());
      out.insert(out.end(), bytes.begin(), bytes.end());
      return;
    }
    case Value::Kind::Blob:
      out.insert(out.end(), v.as_blob().begin(), v.as_blob().end());
      return;
  }
}

Result<void> decode_body_into(uint64_t serial_type, std::span<const uint8_t> body, Value& out) {
  switch (serial_type) {
    case 0:
      out = Value::Null();
      return {};
    case 1: case 2: case 3: case 4: case 5: case 6: {
      // Sign-extend the bytes given, at most 8 of them.
      const size_t width = body.size() < 8 ? body.size() : 8;
      uint64_t bits = (width > 0 && (body[0] & 0x80)) ? ~uint64_t{0} : 0;
      for (size_t i = 0; i < width; ++i) bits = (bits << 8) | body[i];
      out = Value::Int(static_cast<int64_t>(bits));
      return {};
    }
    case 7:
      if (body.size() != 8) return std::unexpected(record::corrupt(record::msg::kFloatBody));
      out = Value::Real(std::bit_cast<double>(get_be64(body.data())));
      return {};
    case 8:
      out = Value::Int(0);
      return {};
    case 9:
      out = Value::Int(1);
      return {};
    case 10:
    case 11:
      return std::unexpected(record::corrupt(record::msg::kReservedSerialType));
    default:
      break;
  }
  if (serial_type % 2 == 0) {
    if (out.kind() == Value::Kind::Blob) {
      out.as_blob().assign(body.begin(), body.end());
    } else {
      out = Value::Blob(Bytes(body.begin(), body.end()));
    }
    return {};
  }
  if (!utf8::is_valid(body)) return std::unexpected(record::corrupt(record::msg::kTextNotUtf8));
  const char* text = reinterpret_cast<const char*>(body.data());
  if (out.kind() == Value::Kind::Text) {
    out.as_text().assign(text, body.size());
  } else {
    out = Value::Text(std::string(text, body.size()));
  }
  return {};
}

Result<Value> decode_body(uint64_t serial_type, std::span<const uint8_t> body) {
  Value v;
  VBK_TRY(decode_body_into(serial_type, body, v));
  return v;
}

}  // namespace vbk::serial
