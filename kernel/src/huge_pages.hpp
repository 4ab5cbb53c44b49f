// Large arrays written once (a call's copies and matrices, the edge lists) are
// asked for 2 MB pages before their first write: at a million nodes their
// 4 KB page faults took most of a call's set-up, and one fault per 2 MB, with
// its page cleared in one go, costs a fraction of 512 small ones. It is only
// advice: where the system gives no large pages, nothing changes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace tallow {

// Advises the 2 MB-aligned pages that lie wholly inside [data, data + bytes).
inline void advise_huge_pages(void* data, std::size_t bytes) {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
  constexpr std::uintptr_t huge_page = std::uintptr_t{1} << 21;
  // Below this, whole large pages would be few and half of them wasted.
  constexpr std::size_t min_bytes = std::size_t{4} << 20;
  if (bytes < min_bytes) {
    return;
  }
  const auto begin = reinterpret_cast<std::uintptr_t>(data);
  const std::uintptr_t first = (begin + huge_page - 1) / huge_page * huge_page;
  const std::uintptr_t end = (begin + bytes) / huge_page * huge_page;
  if (first < end) {
    madvise(reinterpret_cast<void*>(first), end - first, MADV_HUGEPAGE);
  }
#else
  (void)data;
  (void)bytes;
#endif
}

// An empty vector's room for `count` elements, advised before anything is
// written there.
template <class T, class Allocator>
void reserve_in_huge_pages(std::vector<T, Allocator>& array, std::size_t count) {
  array.reserve(count);
  advise_huge_pages(array.data(), array.capacity() * sizeof(T));
}

}  // namespace tallow
