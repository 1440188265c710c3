#include "ostrand_dat/writer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "archive_support.h"
#include "ostrand_dat/file_type/sound_table.h"
#include "ostrand_dat/utils.h"
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

// The encoder fed in pieces of every size gives compress_lrs's bytes, on
// inputs long enough to slide its held bytes several times.
TEST(LrsEncoder, AnyPiecesGiveTheBytesOfTheWholeInput) {
  Bytes runs;
  for (std::uint32_t i = 0; runs.size() < 700000; ++i) {
    runs.insert(runs.end(), 3 + i % 40, static_cast<std::byte>(i % 7));
  }
  Bytes mixed = testing::pseudo_random(300000, 5, 4);
  const Bytes noise = testing::pseudo_random(300000, 6);
  mixed.insert(mixed.end(), noise.begin(), noise.end());
  const struct {
    const char* name;
    Bytes input;
  } inputs[] = {{"empty", {}},
                {"one byte", testing::bytes("x")},
                {"four letters", testing::pseudo_random(20000, 3, 4)},
                {"runs", runs},
                {"zeros", Bytes(600000)},
                {"letters then noise", mixed}};
  testing::Xorshift random(17);
  for (const auto& c : inputs) {
    SCOPED_TRACE(c.name);
    const Bytes whole = compress_lrs(c.input);
    EXPECT_EQ(decompress_lrs(whole), c.input);
    for (std::size_t largest : {1, 18, 20, 4096, 70000, 300000}) {
      SCOPED_TRACE(largest);
      LrsEncoder encoder(static_cast<std::uint32_t>(c.input.size()));
      Bytes pieced;
      std::span<const std::byte> rest = c.input;
      // One-byte pieces only for the short inputs: they are slow.
      if (largest == 1 && rest.size() > 20000) continue;
      while (!rest.empty()) {
        const std::size_t take =
            std::min<std::size_t>(rest.size(), 1 + random.next(largest));
        ASSERT_TRUE(encoder.add(rest.first(take)));
        rest = rest.subspan(take);
        EXPECT_EQ(encoder.done(), rest.empty());
        pieced.insert(pieced.end(), encoder.output().begin(),
                      encoder.output().end());
        encoder.clear_output();
      }
      EXPECT_FALSE(encoder.add(testing::bytes("y")));
      pieced.insert(pieced.end(), encoder.output().begin(),
                    encoder.output().end());
      EXPECT_EQ(pieced, whole);
    }
  }
}

// The parallel encoder's output, fed in pieces, decodes back to the input
// around the seams between its segments (small ones make seams that leave
// the last group at every fill), and with 1 MiB segments stays within 0.1%
// of compress_lrs's size, on one thread or several.
TEST(ParallelLrsEncoder, DecodesBackAroundTheSeams) {
  constexpr std::size_t kSmall = 5000;
  constexpr std::size_t kMiB = ParallelLrsEncoder::kSegment;
  const Bytes letters = testing::pseudo_random(kSmall + 1, 7, 4);
  testing::Xorshift random(29);
  Bytes phrases;  // words from a small vocabulary: matches cross every seam
  while (phrases.size() < 2 * kMiB + 5000) {
    const std::size_t word = random.next(40);
    phrases.insert(phrases.end(), 2 + word % 9,
                   static_cast<std::byte>('a' + word));
    phrases.push_back(std::byte{' '});
  }
  const auto first = [](const Bytes& input, std::size_t size) {
    return Bytes(input.begin(), input.begin() + static_cast<long>(size));
  };
  const struct {
    const char* name;
    Bytes input;
    std::size_t segment;
  } inputs[] = {
      {"empty", {}, kSmall},
      {"one byte", testing::bytes("x"), kSmall},
      {"a segment less one", first(letters, kSmall - 1), kSmall},
      {"a segment", first(letters, kSmall), kSmall},
      {"a segment and one", letters, kSmall},
      {"runs across many seams", Bytes(30 * kSmall, std::byte{7}), kSmall},
      {"many seams", first(phrases, 60 * kSmall + 17), kSmall},
      {"two 1 MiB segments and a part", phrases, kMiB}};
  for (const auto& c : inputs) {
    SCOPED_TRACE(c.name);
    const std::size_t whole = compress_lrs(c.input).size();
    for (unsigned threads : {0u, 1u, 3u}) {
      SCOPED_TRACE(threads);
      ParallelLrsEncoder encoder(static_cast<std::uint32_t>(c.input.size()),
                                 threads, c.segment);
      Bytes out;
      std::span<const std::byte> rest = c.input;
      do {
        const std::size_t take =
            std::min<std::size_t>(rest.size(), 1 + random.next(3 * kSmall));
        ASSERT_TRUE(encoder.add(rest.first(take)));
        rest = rest.subspan(take);
        EXPECT_EQ(encoder.done(), rest.empty());
        out.insert(out.end(), encoder.output().begin(), encoder.output().end());
        encoder.clear_output();
      } while (!rest.empty());
      EXPECT_FALSE(encoder.add(testing::bytes("y")));
      EXPECT_EQ(decompress_lrs(out), c.input);
      if (c.segment == kMiB) {
        EXPECT_LE(out.size(), whole + whole / 1000);
      }
    }
  }
}

// Files stored through the stream writer in pieces, some begun and
// abandoned first, give the archive build() gives for the same files.
TEST(ArchiveStreamWriter, WritesTheArchiveThatBuildGives) {
  const struct {
    const char* name;
    std::uint32_t block_size;
    std::vector<std::size_t> sizes;  // of files 1, 2, ..., compressed when odd
    std::vector<std::size_t> abandoned;  // of a try before each file, 0: none
  } layouts[] = {
      {"no file", 64, {}, {}},
      {"one empty file", 64, {0}, {0}},
      {"one byte", 5, {1}, {0}},
      {"multi-block files", 64, {60, 61, 3000, 2500000}, {0, 0, 0, 0}},
      {"abandoned tries", 1024, {100, 5000, 2000000}, {3000000, 1, 200}},
      {"a last abandoned try past the end", 4096, {10, 10}, {0, 2500000}},
      {"a directory of many nodes", 64, std::vector<std::size_t>(300, 7),
       std::vector<std::size_t>(300, 0)},
  };
  testing::Xorshift random(23);
  for (const auto& layout : layouts) {
    SCOPED_TRACE(layout.name);
    ArchiveWriter reference(layout.block_size);
    reference.header().dataset = 9;
    Bytes written;
    auto writer = ArchiveStreamWriter::create(
        layout.block_size,
        [&written](std::uint64_t offset, std::span<const std::byte> bytes)
            -> std::expected<void, IoError> {
          if (offset + bytes.size() > written.size()) {
            written.resize(offset + bytes.size(), std::byte{0xEE});
          }
          std::memcpy(written.data() + offset, bytes.data(), bytes.size());
          return {};
        });
    ASSERT_TRUE(writer);
    writer->header() = reference.header();
    const auto write_pieces = [&](std::span<const std::byte> stored) {
      while (!stored.empty()) {
        const std::size_t take =
            std::min<std::size_t>(stored.size(), 1 + random.next(300000));
        ASSERT_TRUE(writer->write(stored.first(take)));
        stored = stored.subspan(take);
      }
    };
    for (std::size_t i = 0; i < layout.sizes.size(); ++i) {
      const auto id = static_cast<std::uint32_t>(i + 1);
      const bool compress = i % 2 == 1;
      Bytes data = testing::pseudo_random(layout.sizes[i], id, 3);
      if (layout.abandoned[i] != 0) {
        writer->begin_file({.id = id});
        write_pieces(testing::pseudo_random(layout.abandoned[i], 99));
        EXPECT_EQ(writer->written(), layout.abandoned[i]);
        writer->abandon();
      }
      writer->begin_file({.bit_flags = compress ? 1u : 0u,
                          .id = id,
                          .timestamp = id * 3,
                          .version = id});
      write_pieces(compress ? compress_lrs(data) : data);
      ASSERT_TRUE(writer->end_file());
      reference.add({.id = id,
                     .data = std::move(data),
                     .compress = compress,
                     .timestamp = id * 3,
                     .version = id});
    }
    auto size = writer->finish();
    ASSERT_TRUE(size) << debug_string(size.error());
    ASSERT_LE(*size, written.size());
    written.resize(*size);
    auto built = reference.build();
    ASSERT_TRUE(built);
    EXPECT_TRUE(written == *built);
  }
}

// What the stream writer cannot write fails as a value: an id given twice,
// an archive past 32-bit offsets. (pack_fault_test.cc fails the sink.)
TEST(ArchiveStreamWriter, FailuresAreValues) {
  const auto discard = [](std::uint64_t, std::span<const std::byte>)
      -> std::expected<void, IoError> { return {}; };
  const struct {
    const char* name;
    std::uint32_t block_size;
    std::vector<std::uint32_t> ids;  // each stored as one byte
    std::string error;
  } cases[] = {
      {"id twice", 64, {2, 1, 2}, "DuplicateId(2)"},
      {"past 32-bit offsets",
       0x7FFFFFF0,
       {1, 2},
       "Other(\"file 2 does not fit in an archive with 32-bit offsets\")"},
      {"directory past 32-bit offsets",
       0x80000000,
       {1},
       "Other(\"the directory does not fit in an archive with 32-bit "
       "offsets\")"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto writer = ArchiveStreamWriter::create(c.block_size, discard);
    ASSERT_TRUE(writer);
    std::optional<DatError> failed;
    for (std::size_t i = 0; !failed && i < c.ids.size(); ++i) {
      writer->begin_file({.id = c.ids[i]});
      auto done = writer->write(testing::bytes("z"));
      if (done) done = writer->end_file();
      if (!done) failed = done.error();
    }
    if (!failed) {
      auto size = writer->finish();
      ASSERT_FALSE(size);
      failed = size.error();
    }
    EXPECT_EQ(debug_string(*failed), c.error);
  }
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
