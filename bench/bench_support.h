#pragma once

// What every benchmark against the peer needs: ending on an error of either
// side, and timing a piece of work.

#include <sqlite3.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <type_traits>
#include <utility>

#include "error.h"

namespace vbk::bench {

// The value of a Result; an error ends the benchmark.
template <typename T>
T must(Result<T> r) {
  if (!r) {
    std::fprintf(stderr, "error: %s\n", r.error().display().c_str());
    std::exit(1);
  }
  if constexpr (!std::is_void_v<T>) return std::move(r).value();
}

// A peer call's result code; anything but `want` ends the benchmark.
inline void check(int rc, sqlite3* db, int want = SQLITE_OK) {
  if (rc != want) {
    std::fprintf(stderr, "peer error %d: %s\n", rc, sqlite3_errmsg(db));
    std::exit(1);
  }
}

// Wall-clock seconds that `body` takes.
inline double seconds(const std::function<void()>& body) {
  const auto start = std::chrono::steady_clock::now();
  body();
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace vbk::bench
