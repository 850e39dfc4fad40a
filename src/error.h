#pragma once

// The engine's one error type. Every fallible operation returns Result<T>; an
// Error travels upward unchanged, and its display text is what the host sees
// (the Python exception's argument, the C interface's last-error text), so
// every message built here is part of the external interface.
//
// A broken internal invariant is not an Error: see vbk::fault below.

#include <cstdint>
#include <expected>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>

namespace vbk {

class Error {
 public:
  // The variants, in their fixed order.
  enum class Kind : uint8_t {
    Io,
    BadHeader,
    InvalidPage,
    InvalidPageSize,
    ShortRead,
    NotFound,
    Corrupt,
    Tx,
    Schema,
    Parse,
    Exec,
    Constraint,
  };

  // The file layer's two failures that carry no system error number.
  static constexpr const char* kShortWrite = "failed to write whole buffer";
  static constexpr const char* kNulInPath = "file name contained an unexpected NUL byte";

  // Io: either a system error number (os_errno() != 0) or one of the two
  // fixed texts above (os_errno() == 0, io_message() names it).
  static Error Io(int os_errno);
  static Error IoMessage(const char* fixed_text);
  static Error BadHeader(std::string text) { return Error(Kind::BadHeader, std::move(text)); }
  static Error InvalidPage(uint32_t pgno) { return Error(Kind::InvalidPage, pgno); }
  static Error InvalidPageSize(uint64_t size) { return Error(Kind::InvalidPageSize, size); }
  static Error ShortRead(uint64_t offset, uint64_t want, uint64_t got);
  static Error NotFound(std::string path) { return Error(Kind::NotFound, std::move(path)); }
  static Error Corrupt(std::string text) { return Error(Kind::Corrupt, std::move(text)); }
  // Tx carries one of the pager's constant messages; nothing is owned.
  static Error Tx(const char* fixed_text);
  static Error Schema(std::string text) { return Error(Kind::Schema, std::move(text)); }
  static Error Parse(std::string msg, uint64_t pos);
  static Error Exec(std::string text) { return Error(Kind::Exec, std::move(text)); }
  static Error Constraint(std::string text) { return Error(Kind::Constraint, std::move(text)); }

  Kind kind() const { return kind_; }
  bool is(Kind k) const { return kind_ == k; }

  // Payload accessors; each is meaningful only for the variants named.
  int os_errno() const { return os_errno_; }                    // Io
  const char* io_message() const { return fixed_; }             // Io without errno
  const char* tx_message() const { return fixed_; }             // Tx
  const std::string& text() const { return text_; }             // owned-text variants, Parse msg
  uint32_t page() const { return static_cast<uint32_t>(n_[0]); }  // InvalidPage
  uint64_t page_size() const { return n_[0]; }                  // InvalidPageSize
  uint64_t offset() const { return n_[0]; }                     // ShortRead
  uint64_t want() const { return n_[1]; }                       // ShortRead
  uint64_t got() const { return n_[2]; }                        // ShortRead
  uint64_t pos() const { return n_[0]; }                        // Parse
  const std::string& msg() const { return text_; }              // Parse

  // "corrupt data: truncated uvarint", "io error: No such file or directory (os error 2)", ...
  std::string display() const;

  // The developer's form, used only inside internal-fault messages: the
  // variant's name, then its payload:
  //   Corrupt("truncated uvarint")      texts quoted, with \" \\ \n \t \r \u{..} escapes
  //   InvalidPage(0)                    numbers in decimal
  //   ShortRead { offset: 8192, want: 4096, got: 0 }
  //   Parse { msg: "unexpected end", pos: 12 }
  //   Tx("no active transaction to commit")
  //   Io(errno 2: "No such file or directory")   a system error number
  //   Io("failed to write whole buffer")         a fixed text
  std::string debug() const;

  // Same variant and same payload; fixed texts compare by content.
  friend bool operator==(const Error& a, const Error& b);

 private:
  Error(Kind kind, std::string text) : kind_(kind), text_(std::move(text)) {}
  Error(Kind kind, uint64_t n) : kind_(kind), n_{n, 0, 0} {}
  Error(Kind kind) : kind_(kind) {}

  Kind kind_;
  int os_errno_ = 0;
  const char* fixed_ = nullptr;
  std::string text_;
  uint64_t n_[3] = {0, 0, 0};
};

template <typename T>
using Result = std::expected<T, Error>;

// Evaluates a Result-returning expression; on failure returns its Error from
// the enclosing function (whose own type must be a Result), otherwise yields
// the value (nothing for Result<void>).
#define VBK_TRY(expr)                                              \
  ({                                                               \
    auto&& vbk_try_result_ = (expr);                               \
    if (!vbk_try_result_.has_value()) [[unlikely]]                 \
      return std::unexpected(std::move(vbk_try_result_).error());  \
    *std::move(vbk_try_result_);                                   \
  })

// A broken internal invariant: never caused by input, only by a bug. Only the
// bindings catch it (Python raises a BaseException subclass, the C interface
// aborts); it never crosses extern "C" or the Python C API.
class InternalFault : public std::logic_error {
 public:
  using std::logic_error::logic_error;
};

[[noreturn]] void fault(std::string_view message);

// Quotes and escapes text for a debug form, as every debug text does
// (append_quoted_debug in util/debug_text.h).
void append_debug_quoted(std::string& out, std::string_view text);

}  // namespace vbk
