#pragma once

#include <stdexcept>
#include <type_traits>
#include <utility>

#include "error.h"

namespace vbk::testing {

// The value of a Result that the test expects to succeed; an error throws,
// which fails the test with the error's text.
template <typename T>
T must(Result<T> r) {
  if (!r) throw std::runtime_error("unexpected error: " + r.error().display());
  if constexpr (!std::is_void_v<T>) return std::move(r).value();
}

}  // namespace vbk::testing
