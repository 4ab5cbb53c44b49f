// Bounds-checked array access.
//
// Every kernel array access goes through `at`, or is covered by one
// `require_index` made before a loop for the largest index the loop touches.
// A failed test is a fatal internal error, never a silent skip.
#pragma once

#include <cstddef>
#include <iterator>
#include <source_location>

#include "fatal.hpp"

namespace tallow {

// Checks that `index` is a valid index into an array of `len` elements.
inline void require_index(std::size_t len, std::size_t index,
                          std::source_location where = std::source_location::current()) {
  if (index >= len) [[unlikely]] {
    index_out_of_bounds(len, index, where);
  }
}

// a[index] after a bounds test; works for vectors, spans and arrays.
template <class Array>
constexpr decltype(auto) at(Array&& a, std::size_t index,
                            std::source_location where = std::source_location::current()) {
  require_index(std::size(a), index, where);
  return a[index];
}

}  // namespace tallow
