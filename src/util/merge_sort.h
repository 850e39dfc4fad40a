#pragma once

// A stable merge sort for orders that need not be consistent. The value order
// of compare::cmp_value is not a strict weak order (NaN is equivalent to every
// number), which leaves std::sort and std::stable_sort undefined; this sort
// only ever compares two elements inside the range and moves elements
// between the range and one buffer of the same size, so it finishes within
// bounds whatever the comparison answers. When the order is consistent the
// result is the stable sort: equal elements keep their relative order.

#include <algorithm>
#include <cstddef>
#include <utility>
#include <vector>

namespace vbk {

// Sorts `items` so that `before(b, a)` is false for each element a placed
// ahead of b, as far as the comparison allows; elements for which neither
// comes before the other keep their order.
template <typename T, typename Before>
void merge_sort(std::vector<T>& items, Before before) {
  const size_t n = items.size();
  if (n < 2) return;
  std::vector<T> buf(n);
  std::vector<T>* src = &items;
  std::vector<T>* dst = &buf;
  for (size_t width = 1; width < n; width *= 2) {
    for (size_t lo = 0; lo < n; lo += 2 * width) {
      const size_t mid = std::min(lo + width, n);
      const size_t hi = std::min(lo + 2 * width, n);
      size_t i = lo, j = mid, out = lo;
      // Take from the right run only when its head strictly comes first:
      // that keeps equal elements in their order.
      while (i < mid && j < hi) {
        if (before((*src)[j], (*src)[i])) (*dst)[out++] = std::move((*src)[j++]);
        else (*dst)[out++] = std::move((*src)[i++]);
      }
      while (i < mid) (*dst)[out++] = std::move((*src)[i++]);
      while (j < hi) (*dst)[out++] = std::move((*src)[j++]);
    }
    std::swap(src, dst);
  }
  if (src != &items) items = std::move(*src);
}

}  // namespace vbk
