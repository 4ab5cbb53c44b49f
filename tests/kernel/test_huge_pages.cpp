#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <ostream>
#include <string>

#include "huge_pages.hpp"

namespace tallow {
namespace {

constexpr std::uintptr_t mib = std::uintptr_t{1} << 20;

struct RangeCase {
  std::string name;
  std::uintptr_t begin;
  std::size_t bytes;
  AddressRange expected;
};

void PrintTo(const RangeCase& c, std::ostream* out) { *out << c.name; }

class WholeHugePages : public testing::TestWithParam<RangeCase> {};

// Only whole 2 MB pages inside the array are advised: none that reach
// before its start or past its end, none for small arrays.
TEST_P(WholeHugePages, StayInsideTheArray) {
  const RangeCase& c = GetParam();
  const AddressRange pages = whole_huge_pages(c.begin, c.bytes);
  EXPECT_EQ(pages.first, c.expected.first);
  EXPECT_EQ(pages.end, c.expected.end);
  if (pages.first < pages.end) {
    EXPECT_GE(pages.first, c.begin);
    EXPECT_LE(pages.end, c.begin + c.bytes);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, WholeHugePages,
    testing::Values(
        RangeCase{"Aligned", 64 * mib, 8 * mib, {64 * mib, 72 * mib}},
        RangeCase{"UnalignedStartAndEnd", 64 * mib + 16, 8 * mib, {66 * mib, 72 * mib}},
        RangeCase{"EndShortOfAPage", 64 * mib, 7 * mib, {64 * mib, 70 * mib}},
        RangeCase{"BelowTheSmallestArray", 64 * mib, 4 * mib - 1, {}},
        RangeCase{"SmallestArrayAligned", 64 * mib, 4 * mib, {64 * mib, 68 * mib}},
        RangeCase{"SmallestArrayUnaligned", 64 * mib + 4096, 4 * mib, {66 * mib, 68 * mib}},
        RangeCase{"OddMegabyteStart", 65 * mib, 4 * mib + 4096, {66 * mib, 68 * mib}},
        RangeCase{"OnePageBetweenHalves", 63 * mib, 4 * mib, {64 * mib, 66 * mib}}),
    [](const auto& test) { return test.param.name; });

}  // namespace
}  // namespace tallow
