#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <vector>

#include "page_allocator.hpp"

namespace tallow {
namespace {

// Runs the parts last first, as a pool may.
void parts_backwards(std::size_t count, const RangeBody& body) {
  for (std::size_t part = count; part-- > 0;) {
    body(part, part + 1);
  }
}

// Grown in parts, an array keeps its elements and gets zeros after them, as
// std::vector::resize gives; shrunk, it keeps its first elements.
TEST(ResizeInParts, KeepsOldElementsAndZeroesNewOnes) {
  std::vector<std::uint32_t, UnwrittenPageAllocator<std::uint32_t>> array = {7, 8, 9};
  constexpr std::size_t grown = 200'001;  // several parts and a partial last one
  resize_in_parts(array, grown, parts_backwards);
  ASSERT_EQ(array.size(), grown);
  EXPECT_EQ(array[0], 7u);
  EXPECT_EQ(array[2], 9u);
  std::size_t nonzero = 0;
  for (std::size_t i = 3; i < grown; ++i) {
    nonzero += array[i] != 0;
  }
  EXPECT_EQ(nonzero, 0u);
  array[grown - 1] = 5;
  resize_in_parts(array, 2, parts_backwards);
  EXPECT_EQ(array, (decltype(array){7, 8}));
  resize_in_parts(array, grown, parts_backwards);
  EXPECT_EQ(array[grown - 1], 0u) << "a regrown element must not keep its old value";
}

}  // namespace
}  // namespace tallow
