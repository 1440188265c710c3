#include "map_storage.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>

#include "ostrand_dat/ostrand_dat.h"

namespace ostrand_dat {
namespace {

constexpr std::uintptr_t kHugePage = std::uintptr_t{2} << 20;

DatFileEntry entry_of(std::uint32_t i) {
  return DatFileEntry{i & 1, i, 3 * i, 5 * i, 7 * i, ~i};
}

// Grows from nothing, past the size where buffers come from the system, and
// on through several remaps: every entry written before keeps its bytes,
// and large buffers start on a 2 MiB boundary. The map then owns them.
TEST(EntryBuffer, KeepsItsEntriesAsItGrowsAndHandsThemToTheMap) {
  EntryBuffer buffer;
  const std::size_t large = 3 * kLargeMapBytes / sizeof(DatFileEntry) + 5;
  for (std::uint32_t i = 0; i < large; ++i) {
    ASSERT_TRUE(buffer.push_back(entry_of(i)));
  }
  EXPECT_EQ(reinterpret_cast<std::uintptr_t>(&buffer[0]) % kHugePage, 0u);
  DatFileEntry* tail = buffer.extend(3);
  ASSERT_NE(tail, nullptr);
  for (std::uint32_t k = 0; k < 3; ++k) tail[k] = entry_of(large + k);

  const FileMap map = *std::move(buffer).into_map();
  ASSERT_EQ(map.size(), large + 3);
  for (std::uint32_t i = 0; i < large + 3; ++i) {
    ASSERT_EQ(map.entries()[i], entry_of(i)) << i;
  }
  EXPECT_EQ(*map.find(12345), entry_of(12345));
  EXPECT_EQ(map.find(static_cast<std::uint32_t>(large + 3)), nullptr);
}

// Sizes no memory can hold fail as values, and the buffer stays usable.
TEST(EntryBuffer, ImpossibleSizesFailWithoutThrowingOrLosingEntries) {
  EntryBuffer buffer;
  ASSERT_TRUE(buffer.push_back(entry_of(1)));
  EXPECT_FALSE(buffer.reserve(std::numeric_limits<std::size_t>::max() / 8));
  EXPECT_FALSE(buffer.reserve(std::numeric_limits<std::size_t>::max() /
                              sizeof(DatFileEntry)));
  EXPECT_EQ(buffer.extend(std::numeric_limits<std::size_t>::max()), nullptr);
  ASSERT_EQ(buffer.size(), 1u);
  EXPECT_EQ(buffer[0], entry_of(1));
  EXPECT_EQ(allocate_map_storage(std::numeric_limits<std::size_t>::max() - 5),
            nullptr);
  EXPECT_EQ(allocate_map_storage(std::numeric_limits<std::size_t>::max() -
                                 kHugePage - 5),
            nullptr);
  EXPECT_EQ(allocate_map_storage(std::size_t{1} << 47), nullptr);

  // The same from a buffer already mapped from the system. Growth within
  // the 2 MiB it was rounded up to keeps it in place.
  const std::size_t large = kLargeMapBytes / sizeof(DatFileEntry) + 1;
  ASSERT_NE(buffer.extend(large - 1), nullptr);
  ASSERT_EQ(buffer.size(), large);
  const DatFileEntry* before = &buffer[0];
  ASSERT_TRUE(buffer.reserve(large + 1));
  EXPECT_EQ(&buffer[0], before);
  EXPECT_FALSE(buffer.reserve((std::size_t{1} << 47) / sizeof(DatFileEntry)));
  EXPECT_FALSE(buffer.reserve(std::numeric_limits<std::size_t>::max() /
                              sizeof(DatFileEntry)));
  ASSERT_EQ(buffer.size(), large);
  EXPECT_EQ(buffer[0], entry_of(1));
}

}  // namespace
}  // namespace ostrand_dat
