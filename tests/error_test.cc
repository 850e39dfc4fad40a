#include "error.h"

#include <cerrno>
#include <cstring>
#include <string>

#include <gtest/gtest.h>

namespace vbk {
namespace {

struct Case {
  Error error;
  const char* display;
  const char* debug;
};

TEST(Error, DisplayAndDebugForms) {
  const Case cases[] = {
      {Error::IoMessage(Error::kShortWrite), "io error: failed to write whole buffer",
       "Io(\"failed to write whole buffer\")"},
      {Error::IoMessage(Error::kNulInPath), "io error: file name contained an unexpected NUL byte",
       "Io(\"file name contained an unexpected NUL byte\")"},
      {Error::BadHeader("magic mismatch"), "bad database header: magic mismatch",
       "BadHeader(\"magic mismatch\")"},
      {Error::InvalidPage(0), "invalid page id: 0", "InvalidPage(0)"},
      {Error::InvalidPageSize(1000), "invalid page size: 1000", "InvalidPageSize(1000)"},
      {Error::ShortRead(8192, 4096, 0), "short read at offset 8192: wanted 4096 bytes, got 0",
       "ShortRead { offset: 8192, want: 4096, got: 0 }"},
      {Error::NotFound("/no/such \"file\""), "file not found: /no/such \"file\"",
       "NotFound(\"/no/such \\\"file\\\"\")"},
      {Error::Corrupt("truncated uvarint"), "corrupt data: truncated uvarint",
       "Corrupt(\"truncated uvarint\")"},
      {Error::Tx("a transaction is already active"),
       "transaction error: a transaction is already active",
       "Tx(\"a transaction is already active\")"},
      {Error::Schema("no such table: t"), "schema error: no such table: t",
       "Schema(\"no such table: t\")"},
      {Error::Parse("unexpected end", 12), "parse error at byte 12: unexpected end",
       "Parse { msg: \"unexpected end\", pos: 12 }"},
      {Error::Exec("a\\b\n\x01"), "execution error: a\\b\n\x01",
       "Exec(\"a\\\\b\\n\\u{1}\")"},
      {Error::Constraint("UNIQUE failed"), "constraint violation: UNIQUE failed",
       "Constraint(\"UNIQUE failed\")"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.error.display(), c.display);
    EXPECT_EQ(c.error.debug(), c.debug);
  }
}

TEST(Error, IoWithSystemErrorNumber) {
  Error e = Error::Io(ENOENT);
  const std::string message = std::strerror(ENOENT);
  EXPECT_EQ(e.display(), "io error: " + message + " (os error 2)");
  EXPECT_EQ(e.debug(), "Io(errno 2: \"" + message + "\")");
  EXPECT_EQ(e.os_errno(), ENOENT);
  EXPECT_EQ(e.io_message(), nullptr);
}

TEST(Error, VariantsKeepTheirOrder) {
  EXPECT_EQ(static_cast<int>(Error::Kind::Io), 0);
  EXPECT_EQ(static_cast<int>(Error::Kind::ShortRead), 4);
  EXPECT_EQ(static_cast<int>(Error::Kind::Parse), 9);
  EXPECT_EQ(static_cast<int>(Error::Kind::Constraint), 11);
}

Result<int> half(int n) {
  if (n % 2 != 0) return std::unexpected(Error::Exec("odd"));
  return n / 2;
}

Result<void> check_even(int n) {
  if (n % 2 != 0) return std::unexpected(Error::Exec("odd"));
  return {};
}

Result<int> quarter(int n) {
  VBK_TRY(check_even(n));
  int h = VBK_TRY(half(n));
  return VBK_TRY(half(h));
}

TEST(Error, TryPropagatesTheSameError) {
  EXPECT_EQ(quarter(8).value(), 2);
  ASSERT_FALSE(quarter(6).has_value());
  EXPECT_EQ(quarter(6).error(), Error::Exec("odd"));
  EXPECT_EQ(quarter(3).error().display(), "execution error: odd");
}

TEST(Error, FaultThrowsInternalFault) {
  try {
    fault("patch on non-jump op");
    FAIL() << "fault returned";
  } catch (const InternalFault& f) {
    EXPECT_STREQ(f.what(), "patch on non-jump op");
  }
}

}  // namespace
}  // namespace vbk
