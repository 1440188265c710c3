#include "ostrand_dat/writer.h"

#include <gtest/gtest.h>

#include <string>

#include "archive_support.h"
#include "ostrand_dat/file_type/sound_table.h"
#include "platform/write_file.h"
#include "test_support.h"

namespace ostrand_dat {
namespace {

using file_type::SoundTable;
using testing::Bytes;

TEST(ArchiveWriter, BlockSizeWithoutRoomForPayloadIsRefused) {
  const testing::TempFile unique(Bytes{});
  const std::filesystem::path path = unique.path().native() + "-x";
  for (std::uint32_t block_size : {0u, 4u}) {
    SCOPED_TRACE(block_size);
    const std::string refused =
        "Other(\"block size " + std::to_string(block_size) +
        " leaves no room for payload after the 4-byte next-block pointer\")";
    auto built = ArchiveWriter(block_size).build();
    ASSERT_FALSE(built);
    EXPECT_EQ(debug_string(built.error()), refused);
    auto written = ArchiveWriter(block_size).write(path);
    ASSERT_FALSE(written);
    EXPECT_EQ(debug_string(written.error()), refused);
    EXPECT_FALSE(std::filesystem::exists(path));
  }
  EXPECT_TRUE(ArchiveWriter(5).build());
}

// A decoded table, its records in a hash map, encodes back in ascending key
// order: the same table, and the bytes of its records written in that order.
TEST(EncodeSoundTable, ADecodedTableEncodesToItsRecordsInKeyOrder) {
  const file_type::SoundData kinds[] = {{{{0x0A000262, 0.5f, 1, 0.25f}}, 3},
                                        {{}, -1}};
  const SoundTableRecords unordered{0x20000001,
                                    7,
                                    {{9, {1, 2, 3}}, {2, {4, 5, 6}}},
                                    {{0x58, kinds[0]}, {0x03, kinds[1]}}};
  SoundTableRecords ordered = unordered;
  std::swap(ordered.hashes[0], ordered.hashes[1]);
  std::swap(ordered.sounds[0], ordered.sounds[1]);
  auto table = SoundTable::unpack(encode_sound_table(unordered));
  ASSERT_TRUE(table) << debug_string(table.error());
  const Bytes again = encode_sound_table(*table);
  EXPECT_EQ(again, encode_sound_table(ordered));
  auto decoded = SoundTable::unpack(again);
  ASSERT_TRUE(decoded) << debug_string(decoded.error());
  EXPECT_EQ(decoded->sounds, table->sounds);
  EXPECT_EQ(decoded->hashes, table->hashes);
}

TEST(WriteWholeFile, PathWithANulByteIsInvalidInputAndCreatesNothing) {
  const testing::TempFile unique(Bytes{});
  const std::string text = unique.path().native() + "-x";
  std::string with_nul = text;
  with_nul += std::string("\0y", 2);
  auto written = platform::write_whole_file(with_nul, testing::bytes("z"));
  ASSERT_FALSE(written);
  EXPECT_EQ(written.error().kind(), IoErrorKind::InvalidInput);
  EXPECT_FALSE(std::filesystem::exists(text));
}

}  // namespace
}  // namespace ostrand_dat
