// Value operations over long texts: the numeric readings of 1 MB and 10 MB
// texts whose numeric prefix is long (digits), short (a number followed by
// junk) or preceded by blanks, and LIKE over long texts of letters with
// patterns that match early, late or never. The peer computes the same
// expressions over the same bound texts (CAST AS REAL for the prefix reading,
// its LIKE for ours); its statement overhead is negligible at these sizes.
//
//   value_ops_bench [seconds per figure]     default 0.3

#include <sqlite3.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "bench_support.h"
#include "vdbe/value_ops.h"

namespace {

using vbk::Value;

double g_budget = 0.3;  // seconds spent on each figure

// Seconds per call of `body`, repeated until the budget is spent.
double per_call(const std::function<void()>& body) {
  using Clock = std::chrono::steady_clock;
  const auto start = Clock::now();
  uint64_t calls = 0;
  double elapsed = 0;
  do {
    body();
    ++calls;
    elapsed = std::chrono::duration<double>(Clock::now() - start).count();
  } while (elapsed < g_budget);
  return elapsed / static_cast<double>(calls);
}

// Keeps a result alive so the call is not optimised away.
volatile double g_sink = 0;

// One prepared statement on an in-memory peer database.
struct Peer : vbk::bench::PeerDb {
  sqlite3_stmt* stmt = nullptr;

  explicit Peer(const char* sql) : PeerDb(":memory:", "", true), stmt(prepare(sql)) {}
  ~Peer() { sqlite3_finalize(stmt); }

  double run(const std::string& a, const std::string* b) {
    sqlite3_bind_text(stmt, 1, a.data(), static_cast<int>(a.size()), SQLITE_STATIC);
    if (b != nullptr) sqlite3_bind_text(stmt, 2, b->data(), static_cast<int>(b->size()), SQLITE_STATIC);
    vbk::bench::check(sqlite3_step(stmt), db, SQLITE_ROW);
    const double r = sqlite3_column_double(stmt, 0);
    sqlite3_reset(stmt);
    return r;
  }
};

// Per-call times in microseconds, and the text's size over that time where a
// call reads the whole text (a call under a microsecond reads only a few
// bytes, and a rate would mean nothing).
void report(const char* what, size_t bytes, double ours, double peer) {
  const double mb = static_cast<double>(bytes) / 1e6;
  auto rate = [mb](double seconds) {
    char buf[32];
    if (seconds < 1e-6) return std::string("        -");
    std::snprintf(buf, sizeof buf, "%9.0f", mb / seconds);
    return std::string(buf);
  };
  std::printf("%-42s %3.0f MB  ours %10.2f us %s MB/s   peer %10.2f us %s MB/s\n", what, mb, ours * 1e6,
              rate(ours).c_str(), peer * 1e6, rate(peer).c_str());
}

std::string digits(size_t n) {
  std::string s;
  s.reserve(n + 1);
  for (size_t i = 0; i < n; ++i) s += static_cast<char>('1' + i % 9);
  return s;
}

std::string letters(size_t n, uint32_t seed) {
  std::mt19937 rng(seed);
  std::uniform_int_distribution<int> pick(0, 25);
  std::string s(n, ' ');
  for (char& c : s) c = static_cast<char>('a' + pick(rng));
  return s;
}

void readings(size_t n) {
  Peer cast("SELECT CAST(?1 AS REAL)");
  const struct {
    const char* name;
    std::string text;
  } texts[] = {
      {"prefix reading, all digits then 'x'", digits(n - 1) + "x"},
      {"prefix reading, '1.5e3' then junk", "1.5e3" + letters(n - 5, 1)},
      {"prefix reading, blanks then '42'", std::string(n - 2, ' ') + "42"},
      {"prefix reading, digits '.' digits", digits(n / 2) + "." + digits(n - n / 2 - 1)},
  };
  for (const auto& t : texts) {
    const double ours = per_call([&] { g_sink = vbk::value_ops::num_from_text(t.text); });
    const double peer = per_call([&] { g_sink = cast.run(t.text, nullptr); });
    report(t.name, t.text.size(), ours, peer);
  }
  const Value whole = Value::Text(digits(n));
  const double ours = per_call([&] { g_sink = vbk::value_ops::real_from_text(whole.as_text()).value_or(0); });
  const double peer = per_call([&] { g_sink = cast.run(whole.as_text(), nullptr); });
  report("whole reading, all digits", whole.as_text().size(), ours, peer);
  const Value ten = Value::Int(10);
  const double cmp = per_call([&] { g_sink = vbk::value_ops::ge(whole, ten).as_int(); });
  Peer peer_ge("SELECT ?1 + 0 >= 10");
  const double peer_cmp = per_call([&] { g_sink = peer_ge.run(whole.as_text(), nullptr); });
  report("text >= 10, all digits", whole.as_text().size(), cmp, peer_cmp);
}

void likes(size_t n) {
  Peer like("SELECT ?1 LIKE ?2");
  const Value text = Value::Text(letters(n, 7));
  const struct {
    const char* name;
    std::string pattern;
  } patterns[] = {
      {"LIKE '%NEEDLE%' (no match)", "%NEEDLE%"},
      {"LIKE '%' || last 8 bytes (match at end)", "%" + text.as_text().substr(n - 8)},
      {"LIKE '%a%b%c%d%e%f%' (early match)", "%a%b%c%d%e%f%"},
      {"LIKE '_%' (any non-empty)", "_%"},
      {"LIKE '%zq_x%zz' (no match, two runs)", "%zq_x%zz"},
  };
  for (const auto& p : patterns) {
    const Value pattern = Value::Text(p.pattern);
    const double ours = per_call([&] { g_sink = vbk::value_ops::like_op(text, pattern, false).as_int(); });
    const double peer = per_call([&] { g_sink = like.run(text.as_text(), &p.pattern); });
    report(p.name, n, ours, peer);
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 1) g_budget = std::atof(argv[1]);
  for (size_t n : {size_t{1} << 20, size_t{10} << 20}) {
    readings(n);
    likes(n);
  }
  return 0;
}
