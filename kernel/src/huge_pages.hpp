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

inline constexpr std::uintptr_t huge_page_bytes = std::uintptr_t{1} << 21;
// Below this, whole large pages would be few and half of them wasted.
inline constexpr std::size_t min_huge_page_array_bytes = std::size_t{4} << 20;

// An address range [first, end); empty when first == end.
struct AddressRange {
  std::uintptr_t first = 0;
  std::uintptr_t end = 0;
};

// The 2 MB-aligned pages that lie wholly inside [begin, begin + bytes), or
// none for an array below min_huge_page_array_bytes: advice must never
// reach memory that belongs to something else.
inline AddressRange whole_huge_pages(std::uintptr_t begin, std::size_t bytes) {
  if (bytes < min_huge_page_array_bytes) {
    return {};
  }
  const std::uintptr_t first = (begin + huge_page_bytes - 1) / huge_page_bytes * huge_page_bytes;
  const std::uintptr_t end = (begin + bytes) / huge_page_bytes * huge_page_bytes;
  return first < end ? AddressRange{first, end} : AddressRange{};
}

// Asks for large pages under the array at `data`.
inline void advise_huge_pages(void* data, std::size_t bytes) {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
  const AddressRange pages = whole_huge_pages(reinterpret_cast<std::uintptr_t>(data), bytes);
  if (pages.first < pages.end) {
    madvise(reinterpret_cast<void*>(pages.first), pages.end - pages.first, MADV_HUGEPAGE);
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
