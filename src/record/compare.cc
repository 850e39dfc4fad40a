#include "record/compare.h"

#include <cmath>
#include <cstring>
#include <span>

namespace vbk::compare {

namespace {

int rank(Value::Kind kind) {
  switch (kind) {
    case Value::Kind::Null: return 0;
    case Value::Kind::Int:
    case Value::Kind::Real: return 1;
    case Value::Kind::Text: return 2;
    case Value::Kind::Blob: return 3;
  }
  return 0;
}

double as_double(const Value& v) {
  return v.kind() == Value::Kind::Int ? static_cast<double>(v.as_int()) : v.as_real();
}

std::weak_ordering cmp_bytes(std::span<const uint8_t> a, std::span<const uint8_t> b) {
  const size_t common = a.size() < b.size() ? a.size() : b.size();
  const int c = common == 0 ? 0 : std::memcmp(a.data(), b.data(), common);
  if (c != 0) return c < 0 ? std::weak_ordering::less : std::weak_ordering::greater;
  return a.size() <=> b.size();
}

}  // namespace

std::weak_ordering cmp_value(const Value& a, const Value& b) {
  const int ra = rank(a.kind());
  const int rb = rank(b.kind());
  if (ra != rb) return ra <=> rb;
  switch (a.kind()) {
    case Value::Kind::Null:
      return std::weak_ordering::equivalent;
    case Value::Kind::Int:
    case Value::Kind::Real: {
      if (a.kind() == Value::Kind::Int && b.kind() == Value::Kind::Int) return a.as_int() <=> b.as_int();
      const double x = as_double(a);
      const double y = as_double(b);
      if (std::isnan(x) || std::isnan(y)) return std::weak_ordering::equivalent;
      return x < y ? std::weak_ordering::less : y < x ? std::weak_ordering::greater : std::weak_ordering::equivalent;
    }
    case Value::Kind::Text:
      return cmp_bytes(as_bytes(a.as_text()), as_bytes(b.as_text()));
    case Value::Kind::Blob:
      return cmp_bytes(a.as_blob(), b.as_blob());
  }
  return std::weak_ordering::equivalent;
}

}  // namespace vbk::compare
