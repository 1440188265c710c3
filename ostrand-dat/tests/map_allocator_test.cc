#include "ostrand_dat/map_allocator.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <new>
#include <vector>

#include "ostrand_dat/ostrand_dat.h"

namespace ostrand_dat {
namespace {

using detail::MapAllocator;

constexpr std::uintptr_t kHugePage = std::uintptr_t{2} << 20;

// Large buffers start on a 2 MiB boundary and every byte asked for is
// usable; small ones are ordinary allocations. Growth across the boundary
// keeps the contents.
TEST(MapAllocator, LargeBuffersAreAlignedAndKeepTheirContentsAsTheyGrow) {
  std::vector<std::uint32_t, MapAllocator<std::uint32_t>> values;
  for (std::uint32_t i = 0; i < 100; ++i) values.push_back(i);
  EXPECT_LT(values.capacity() * sizeof(std::uint32_t), detail::kLargeMapBytes);

  const std::size_t large = detail::kLargeMapBytes / sizeof(std::uint32_t) + 3;
  values.reserve(large);
  EXPECT_EQ(reinterpret_cast<std::uintptr_t>(values.data()) % kHugePage, 0u);
  for (std::uint32_t i = 100; i < large; ++i) values.push_back(i);
  for (std::uint32_t i = 0; i < large; ++i) ASSERT_EQ(values[i], i);

  values.resize(10);
  values.shrink_to_fit();
  EXPECT_EQ(values.back(), 9u);
}

TEST(MapAllocator, RefusesCountsWhoseSizeOverflows) {
  MapAllocator<DatFileEntry> allocator;
  EXPECT_THROW(
      (void)allocator.allocate(std::numeric_limits<std::size_t>::max() / 8),
      std::bad_array_new_length);
  EXPECT_THROW((void)allocator.allocate(std::numeric_limits<std::size_t>::max() /
                                        sizeof(DatFileEntry)),
               std::bad_alloc);
}

}  // namespace
}  // namespace ostrand_dat
