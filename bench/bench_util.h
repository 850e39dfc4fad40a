#pragma once

// Helpers shared by the benchmarks: a failure ends the program with its
// message, since a benchmark has nothing to recover.

#include <sqlite3.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <type_traits>
#include <utility>

#include "error.h"

namespace vbk::bench {

template <typename T>
T must(Result<T> r) {
  if (!r) {
    std::fprintf(stderr, "error: %s\n", r.error().display().c_str());
    std::exit(1);
  }
  if constexpr (!std::is_void_v<T>) return std::move(r).value();
}

inline void check(int rc, sqlite3* db, int want = SQLITE_OK) {
  if (rc != want) {
    std::fprintf(stderr, "peer error %d: %s\n", rc, sqlite3_errmsg(db));
    std::exit(1);
  }
}

inline double seconds(const std::function<void()>& body) {
  const auto start = std::chrono::steady_clock::now();
  body();
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace vbk::bench
