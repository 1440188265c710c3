#include "ostrand_dat/file_type/sound_table.h"

#include <gtest/gtest.h>

#include "ostrand_dat/writer.h"
#include "test_support.h"

namespace ostrand_dat::file_type {
namespace {

using ostrand_dat::testing::Bytes;
using ostrand_dat::testing::bytes;

SoundData sound(std::vector<std::uint32_t> waves, std::int32_t unknown = 0) {
  SoundData data;
  for (auto wave : waves) data.entries.push_back({wave, 0.5f, 1.0f, 0.25f});
  data.unknown = unknown;
  return data;
}

TEST(SoundTableUnpack, DecodesTheDocumentedTable) {
  const Bytes input = bytes({0x01, 0x00, 0x00, 0x20, 0x00, 0x00, 0x00, 0x00,
                             0x00, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00,
                             0x0E, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00,
                             0x23, 0x01, 0x00, 0x0A, 0x00, 0x00, 0x00, 0x00,
                             0x00, 0x00, 0x80, 0x3F, 0x00, 0x00, 0x80, 0x3F,
                             0x00, 0x00, 0x00, 0x00});
  auto table = SoundTable::unpack(input);
  ASSERT_TRUE(table) << debug_string(table.error());
  EXPECT_EQ(table->id, 0x20000001u);
  EXPECT_EQ(table->hash_key, 0);
  EXPECT_TRUE(table->hashes.empty());
  ASSERT_EQ(table->sounds.size(), 1u);
  const SoundData& data = table->sounds.at(14);
  ASSERT_EQ(data.entries.size(), 1u);
  EXPECT_EQ(data.entries[0], (SoundEntry{0x0A000123, 0.0f, 1.0f, 1.0f}));
  EXPECT_EQ(data.unknown, 0);
  EXPECT_EQ(table->resolve_sound(14), 0x0A000123u);
}

TEST(SoundTableUnpack, CountsAndKeysFollowTheStream) {
  SoundTableRecords records{0x200000A8, -7, {}, {}};
  records.hashes = {{3, {1, 2, 3}}, {3, {4, 5, 6}}, {9, {7, 8, 9}}};
  records.sounds = {{0x46, sound({})},         // present with no entries
                    {0x58, sound({1, 2}, 5)},  // replaced below
                    {0x1F, sound({0x0A000519})},
                    {0x58, sound({0, 3}, -1)}};
  auto table = SoundTable::unpack(encode_sound_table(records));
  ASSERT_TRUE(table) << debug_string(table.error());
  EXPECT_EQ(table->id, 0x200000A8u);
  EXPECT_EQ(table->hash_key, -7);
  ASSERT_EQ(table->hashes.size(), 2u);
  EXPECT_EQ(table->hashes.at(3), (SoundHashData{4, 5, 6}));
  ASSERT_EQ(table->sounds.size(), 3u);
  EXPECT_EQ(table->sounds.at(0x58), sound({0, 3}, -1));
  EXPECT_EQ(table->sounds.at(0x46), sound({}));

  // Trailing bytes change nothing.
  Bytes padded = encode_sound_table(records);
  padded.insert(padded.end(), 13, std::byte{0xEE});
  EXPECT_EQ(SoundTable::unpack(padded), table);
}

TEST(SoundTableUnpack, NegativeTableCountsMeanNoRecords) {
  // id, hash_key, num_hashes = -1, num_sounds = -2147483648.
  auto table = SoundTable::unpack(bytes({1, 0, 0, 0, 2, 0, 0, 0, 0xFF, 0xFF, 0xFF,
                                         0xFF, 0, 0, 0, 0x80}));
  ASSERT_TRUE(table) << debug_string(table.error());
  EXPECT_TRUE(table->hashes.empty());
  EXPECT_TRUE(table->sounds.empty());
}

TEST(SoundTableUnpack, DataEndingInsideAnyFieldIsTheShortRead) {
  SoundTableRecords records{1, 2, {{5, {1, 1, 1}}}, {{6, sound({7, 8})}}};
  const Bytes whole = encode_sound_table(records);
  ASSERT_TRUE(SoundTable::unpack(whole));
  const ReadError short_read{IoError::unexpected_eof(), {}};
  for (std::size_t length = 0; length < whole.size(); ++length) {
    SCOPED_TRACE(length);
    auto table = SoundTable::unpack(std::span(whole).first(length));
    ASSERT_FALSE(table);
    EXPECT_EQ(table.error(), short_read);
    EXPECT_EQ(debug_string(table.error()), "failed to fill whole buffer");
  }
}

TEST(SoundTableUnpack, HugeDeclaredCountsFailWithoutHugeReservations) {
  struct Case {
    std::string what;
    Bytes input;
  } cases[] = {
      {"num_entries 0xFFFFFFFF is unsigned",
       bytes({1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0, 5, 0, 0, 0, 0xFF,
              0xFF, 0xFF, 0xFF, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0})},
      {"num_hashes at the largest count",
       bytes({1, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0x7F, 1, 2, 3, 4})},
      {"num_sounds at the largest count",
       bytes({1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0x7F})},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    auto table = SoundTable::unpack(c.input);
    ASSERT_FALSE(table);
    EXPECT_EQ(table.error().cause, IoError::unexpected_eof());
  }
}

TEST(SoundTableResolve, FirstEntryDecidesAndZeroMeansNone) {
  SoundTable table;
  table.sounds[1] = sound({0x0A000262, 0x0A000263});
  table.sounds[2] = sound({});
  table.sounds[3] = sound({0, 0x0A000274});
  table.sounds[4] = SoundData{{{0x0A000519, 0.0f, 0.0f, 0.0f}}, 0};
  table.hashes[5] = {1, 1, 1};  // a hash record is no sound kind

  EXPECT_EQ(table.resolve_sound(1), 0x0A000262u);
  EXPECT_EQ(table.resolve_sound(2), std::nullopt);
  ASSERT_TRUE(table.entries_for(2).has_value());  // present but empty
  EXPECT_TRUE(table.entries_for(2)->empty());
  EXPECT_EQ(table.resolve_sound(3), std::nullopt);
  EXPECT_EQ(table.resolve_sound(4), 0x0A000519u);  // weights play no part
  EXPECT_EQ(table.resolve_sound(5), std::nullopt);
  EXPECT_FALSE(table.entries_for(5).has_value());
  EXPECT_EQ(table.resolve_sound(0xFFFFFFFF), std::nullopt);
  EXPECT_EQ(table.entries_for(1)->size(), 2u);
}

}  // namespace
}  // namespace ostrand_dat::file_type
