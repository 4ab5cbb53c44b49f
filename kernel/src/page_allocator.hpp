// An allocator for large arrays that takes them straight from the system's
// pages. A freed array goes back to the system at once, and pages of a
// reserved capacity that are never written are never used. The region arrays
// of a tree built in cells grow on worker threads, and each thread's malloc
// arena would keep their old, written arrays: after some iterations a run
// held half as much memory again.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory>
#include <new>
#include <utility>
#include <vector>

#include "for_each_range.hpp"

#if defined(__unix__) || defined(__APPLE__)
#include <sys/mman.h>
#define TALLOW_PAGE_ALLOCATOR_MMAP 1
#endif

// Sanitizers watch malloc'd arrays only: under them every array is malloc'd.
#if defined(__SANITIZE_ADDRESS__)
#undef TALLOW_PAGE_ALLOCATOR_MMAP
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(memory_sanitizer)
#undef TALLOW_PAGE_ALLOCATOR_MMAP
#endif
#endif

namespace tallow {

template <class T>
struct PageAllocator {
  using value_type = T;

  // Below this, an array is malloc'd as usual: pages would waste more.
  static constexpr std::size_t min_page_bytes = std::size_t{1} << 16;

  PageAllocator() = default;
  template <class U>
  explicit PageAllocator(const PageAllocator<U>&) noexcept {}

  T* allocate(std::size_t n) {
    if (n > std::numeric_limits<std::size_t>::max() / sizeof(T)) {
      throw std::bad_array_new_length();
    }
#if defined(TALLOW_PAGE_ALLOCATOR_MMAP)
    if (n * sizeof(T) >= min_page_bytes) {
      void* pages = mmap(nullptr, n * sizeof(T), PROT_READ | PROT_WRITE,
                         MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
      if (pages == MAP_FAILED) {
        throw std::bad_alloc();
      }
      return static_cast<T*>(pages);
    }
#endif
    return std::allocator<T>{}.allocate(n);
  }

  void deallocate(T* array, std::size_t n) noexcept {
#if defined(TALLOW_PAGE_ALLOCATOR_MMAP)
    if (n * sizeof(T) >= min_page_bytes) {
      munmap(array, n * sizeof(T));
      return;
    }
#endif
    std::allocator<T>{}.deallocate(array, n);
  }

  friend bool operator==(const PageAllocator&, const PageAllocator&) { return true; }
};

// An allocator whose resize() leaves the new elements unwritten (default-
// rather than value-initialized), for arrays that are sized first and then
// written element by element on several threads, so that a pass on one
// thread does not write them all twice.
template <template <class> class Allocator, class T>
struct UnwrittenElements : Allocator<T> {
  template <class U>
  struct rebind {
    using other = UnwrittenElements<Allocator, U>;
  };
  UnwrittenElements() = default;
  template <class U>
  explicit UnwrittenElements(const UnwrittenElements<Allocator, U>&) noexcept {}
  template <class U>
  void construct(U* element) noexcept {
    ::new (static_cast<void*>(element)) U;
  }
  template <class U, class... Args>
  void construct(U* element, Args&&... args) {
    ::new (static_cast<void*>(element)) U(std::forward<Args>(args)...);
  }
};

// The system's pages, as PageAllocator.
template <class T>
using UnwrittenPageAllocator = UnwrittenElements<PageAllocator, T>;

// malloc'd like any vector, so that it reuses memory the process already
// holds instead of taking fresh pages.
template <class T>
using UnwrittenArray = std::vector<T, UnwrittenElements<std::allocator, T>>;

// Resizes `array` as std::vector::resize does, new elements
// value-initialized, but writes them part by part through `for_each`, so
// that a large array's pages are first touched on several threads instead
// of one.
template <class T, template <class> class Allocator>
void resize_in_parts(std::vector<T, UnwrittenElements<Allocator, T>>& array, std::size_t size,
                     const ForEachRange& for_each) {
  const std::size_t old_size = std::min(array.size(), size);
  array.resize(size);
  constexpr std::size_t part = std::size_t{1} << 16;  // elements
  const std::size_t parts = (size - old_size + part - 1) / part;
  const auto fill = [&](std::size_t begin, std::size_t end) {
    std::fill(array.begin() + static_cast<std::ptrdiff_t>(old_size + begin * part),
              array.begin() + static_cast<std::ptrdiff_t>(std::min(size, old_size + end * part)),
              T{});
  };
  if (parts <= 1) {
    fill(0, parts);  // a tree's usual growth: cheaper here than handing it out
    return;
  }
  for_each(parts, fill);
}

// Gives the pages past the first `keep` elements of an array back to the
// system while keeping the capacity (writing there again maps fresh zero
// pages), so that an array that shrinks and grows from step to step holds the
// pages of its present size, not of the largest it ever had.
template <class T>
void release_pages_past(std::vector<T, PageAllocator<T>>& array, std::size_t keep) {
#if defined(TALLOW_PAGE_ALLOCATOR_MMAP)
  if (array.capacity() * sizeof(T) < PageAllocator<T>::min_page_bytes || keep >= array.capacity()) {
    return;  // malloc'd, or nothing to give
  }
  constexpr std::uintptr_t page = 4096;
  const auto end = reinterpret_cast<std::uintptr_t>(array.data() + keep);
  const auto limit = reinterpret_cast<std::uintptr_t>(array.data() + array.capacity());
  const std::uintptr_t first = (end + page - 1) / page * page;
  if (first < limit) {
    madvise(reinterpret_cast<void*>(first), limit - first, MADV_DONTNEED);
  }
#else
  (void)array;
  (void)keep;
#endif
}

}  // namespace tallow
