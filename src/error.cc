#include "error.h"

#include <cstring>
#include <string>

#include "util/debug_text.h"

namespace vbk {

Error Error::Io(int os_errno) {
  Error e(Kind::Io);
  e.os_errno_ = os_errno;
  return e;
}

Error Error::IoMessage(const char* fixed_text) {
  Error e(Kind::Io);
  e.fixed_ = fixed_text;
  return e;
}

Error Error::ShortRead(uint64_t offset, uint64_t want, uint64_t got) {
  Error e(Kind::ShortRead);
  e.n_[0] = offset;
  e.n_[1] = want;
  e.n_[2] = got;
  return e;
}

Error Error::Tx(const char* fixed_text) {
  Error e(Kind::Tx);
  e.fixed_ = fixed_text;
  return e;
}

Error Error::Parse(std::string msg, uint64_t pos) {
  Error e(Kind::Parse, std::move(msg));
  e.n_[0] = pos;
  return e;
}

namespace {

// strerror_r in its GNU form may return a static string instead of filling the
// buffer; both are handled.
std::string os_message(int errnum) {
  char buf[256];
  const char* text = strerror_r(errnum, buf, sizeof buf);
  return text;
}

std::string io_payload_text(const Error& e) {
  if (e.io_message() != nullptr) return e.io_message();
  return os_message(e.os_errno()) + " (os error " + std::to_string(e.os_errno()) + ")";
}

const char* variant_name(Error::Kind kind) {
  switch (kind) {
    case Error::Kind::Io: return "Io";
    case Error::Kind::BadHeader: return "BadHeader";
    case Error::Kind::InvalidPage: return "InvalidPage";
    case Error::Kind::InvalidPageSize: return "InvalidPageSize";
    case Error::Kind::ShortRead: return "ShortRead";
    case Error::Kind::NotFound: return "NotFound";
    case Error::Kind::Corrupt: return "Corrupt";
    case Error::Kind::Tx: return "Tx";
    case Error::Kind::Schema: return "Schema";
    case Error::Kind::Parse: return "Parse";
    case Error::Kind::Exec: return "Exec";
    case Error::Kind::Constraint: return "Constraint";
  }
  return "?";
}

}  // namespace

std::string Error::display() const {
  switch (kind_) {
    case Kind::Io: return "io error: " + io_payload_text(*this);
    case Kind::BadHeader: return "bad database header: " + text_;
    case Kind::InvalidPage: return "invalid page id: " + std::to_string(page());
    case Kind::InvalidPageSize: return "invalid page size: " + std::to_string(page_size());
    case Kind::ShortRead:
      return "short read at offset " + std::to_string(offset()) + ": wanted " +
             std::to_string(want()) + " bytes, got " + std::to_string(got());
    case Kind::NotFound: return "file not found: " + text_;
    case Kind::Corrupt: return "corrupt data: " + text_;
    case Kind::Tx: return std::string("transaction error: ") + fixed_;
    case Kind::Schema: return "schema error: " + text_;
    case Kind::Parse: return "parse error at byte " + std::to_string(pos()) + ": " + text_;
    case Kind::Exec: return "execution error: " + text_;
    case Kind::Constraint: return "constraint violation: " + text_;
  }
  return {};
}

void append_debug_quoted(std::string& out, std::string_view text) { append_quoted_debug(out, text); }

std::string Error::debug() const {
  std::string out = variant_name(kind_);
  switch (kind_) {
    case Kind::Io:
      out += '(';
      if (fixed_ != nullptr) {
        append_debug_quoted(out, fixed_);
      } else {
        out += "errno " + std::to_string(os_errno_) + ": ";
        append_debug_quoted(out, os_message(os_errno_));
      }
      out += ')';
      break;
    case Kind::InvalidPage:
    case Kind::InvalidPageSize:
      out += '(' + std::to_string(n_[0]) + ')';
      break;
    case Kind::ShortRead:
      out += " { offset: " + std::to_string(offset()) + ", want: " + std::to_string(want()) +
             ", got: " + std::to_string(got()) + " }";
      break;
    case Kind::Parse:
      out += " { msg: ";
      append_debug_quoted(out, text_);
      out += ", pos: " + std::to_string(pos()) + " }";
      break;
    case Kind::Tx:
      out += '(';
      append_debug_quoted(out, fixed_);
      out += ')';
      break;
    default:
      out += '(';
      append_debug_quoted(out, text_);
      out += ')';
  }
  return out;
}

bool operator==(const Error& a, const Error& b) {
  auto same_fixed = [](const char* x, const char* y) {
    return x == y || (x != nullptr && y != nullptr && std::strcmp(x, y) == 0);
  };
  return a.kind_ == b.kind_ && a.os_errno_ == b.os_errno_ && same_fixed(a.fixed_, b.fixed_) &&
         a.text_ == b.text_ && a.n_[0] == b.n_[0] && a.n_[1] == b.n_[1] && a.n_[2] == b.n_[2];
}

void fault(std::string_view message) { throw InternalFault(std::string(message)); }

}  // namespace vbk
