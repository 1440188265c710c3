#include "ostrand_dat/ostrand_dat.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <set>
#include <string>

#include "ostrand_dat/utils.h"
#include "ostrand_dat/version.h"
#include "ostrand_dat/writer.h"
#include "archive_image.h"
#include "archive_support.h"
#include "coding.h"
#include "test_support.h"

namespace ostrand_dat {
namespace {

using testing::Bytes;
using testing::TempFile;
using testing::bytes;
using testing::open_bytes;
using testing::open_ok;
using testing::pseudo_random;
using testing::tree_depth;

// A header with every field set to a distinct value.
DatHeader full_header() {
  DatHeader h;
  h.magic = 0x00005442;
  h.block_size = 64;
  h.file_size = 1234;
  h.dataset = 1, h.subset = 2, h.free_head = 3, h.free_tail = 4;
  h.free_count = 5, h.root_offset = 0, h.new_lru = 6, h.old_lru = 7;
  h.use_lru = 8, h.master_map_id = 9, h.engine_version = 10;
  h.game_version = 11, h.version_minor = 12;
  for (int i = 0; i < 16; ++i) {
    h.version_string[i] = static_cast<std::byte>(i % 3 == 0 ? 0 : 0x80 + i);
  }
  return h;
}

Bytes header_only(const DatHeader& header) {
  ArchiveImage image(64);
  image.put_header(header);
  return image.bytes();
}

TEST(DatDatabaseOpen, FileEndingInsideHeaderNamesFirstFieldCutShort) {
  const Bytes whole = header_only(full_header());
  struct Case {
    std::size_t length;
    std::string field;
  } cases[] = {{0, "magic"},           {100, "magic"},
               {323, "magic"},         {324, "block_size"},
               {330, "file_size"},     {355, "root_offset"},
               {379, "game_version"},  {390, "version_string"},
               {395, "version_string"}, {396, "version_minor"},
               {399, "version_minor"}};
  std::set<std::uint32_t> lines;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.length);
    auto db = open_bytes(std::span(whole).first(c.length));
    ASSERT_FALSE(db);
    const auto* bin_read = db.error().get_if<DatError::BinRead>();
    ASSERT_NE(bin_read, nullptr) << debug_string(db.error());
    EXPECT_EQ(bin_read->error.cause, IoError::unexpected_eof());
    ASSERT_EQ(bin_read->error.contexts.size(), 1u);
    const ReadContext& context = bin_read->error.contexts[0];
    EXPECT_EQ(context.message, "While parsing field '" + c.field + "' in DatHeader");
    EXPECT_EQ(context.file, "ostrand-dat/src/ostrand_dat.cc");
    lines.insert(context.line);
  }
  // Each field's reader has its own line.
  EXPECT_EQ(lines.size(), 7u);
}

TEST(DatDatabaseOpen, HeaderIsHeldExactlyAsStored) {
  DatHeader header = full_header();
  header.magic = 0;  // no magic value is required
  auto db = open_ok(header_only(header));
  EXPECT_EQ(db.header(), header);
  EXPECT_TRUE(db.files().empty());
}

TEST(DatDatabaseOpen, MissingPathIsPathErrorWithThePathAsGiven) {
  const std::filesystem::path path = "no/such/dir/../client_portal.dat";
  auto db = DatDatabase::open(path);
  ASSERT_FALSE(db);
  const auto* error = db.error().get_if<DatError::PathError>();
  ASSERT_NE(error, nullptr) << debug_string(db.error());
  EXPECT_EQ(error->path, path);
  EXPECT_EQ(error->source.kind(), IoErrorKind::NotFound);
  EXPECT_EQ(error->source.os_code(), ENOENT);
  EXPECT_EQ(debug_string(db.error()),
            "PathError { path: \"no/such/dir/../client_portal.dat\", source: Os "
            "{ code: 2, kind: NotFound, message: \"No such file or directory\" } }");
}

// The system would take the path only up to the NUL byte and open another
// file: the one named "real" here, which exists and is a valid archive.
TEST(DatDatabaseOpen, PathWithANulByteIsInvalidInputNotAShorterPath) {
  ArchiveImage image(64);
  image.put_header(DatHeader{.block_size = 64});
  TempFile real(image.bytes());
  std::string text = real.path().native();
  text.push_back('\0');
  text += "/ignored";
  const std::filesystem::path path = text;
  auto db = DatDatabase::open(path);
  ASSERT_FALSE(db);
  const auto* error = db.error().get_if<DatError::PathError>();
  ASSERT_NE(error, nullptr) << debug_string(db.error());
  EXPECT_EQ(error->path, path);
  EXPECT_EQ(error->source.kind(), IoErrorKind::InvalidInput);
}

TEST(DatDatabaseOpen, BlockSizeWithoutRoomForPayloadIsRefusedBeforeTheWalk) {
  for (std::uint32_t block_size : {0u, 1u, 4u}) {
    SCOPED_TRACE(block_size);
    DatHeader header;
    header.block_size = block_size;
    header.root_offset = 400;
    auto db = open_bytes(header_only(header));
    ASSERT_FALSE(db);
    EXPECT_EQ(debug_string(db.error()),
              "Corruption(\"block size " + std::to_string(block_size) +
                  " leaves no room for payload after the 4-byte next-block "
                  "pointer\")");
    // Without a directory there is nothing to walk, and the archive opens.
    header.root_offset = 0;
    EXPECT_TRUE(open_bytes(header_only(header))) << block_size;
  }
}


TEST(DatDatabaseGetFile, MissingIdIsNotFoundAndReadsNothing) {
  ArchiveWriter writer(64);
  writer.add({.id = 7, .data = bytes("seven")});
  TempFile file(*writer.build());
  auto db = DatDatabase::open(file.path());
  ASSERT_TRUE(db) << debug_string(db.error());
  auto missing = db->get_file(0x20000001);
  ASSERT_FALSE(missing);
  EXPECT_EQ(debug_string(missing.error()), "NotFound(536870913)");
  // The database stays usable after a failure.
  EXPECT_EQ(*db->get_file(7), bytes("seven"));
}

TEST(DatDatabaseGetFile, OnlyBitZeroDecidesDecompression) {
  const Bytes payload = bytes({6, 0, 0, 0, 0x10, 0x61, 0x62, 0x63, 0x03, 0x01});
  ArchiveWriter writer(32);
  writer.add({.id = 1, .data = payload, .extra_flags = 0x1});
  writer.add({.id = 2, .data = payload, .extra_flags = 0xFFFFFFFE});
  writer.add({.id = 3, .data = bytes({1, 2, 3}), .extra_flags = 0x1});
  writer.add({.id = 4, .data = {}, .extra_flags = 0x1});
  TempFile file(*writer.build());
  auto db = DatDatabase::open(file.path());
  ASSERT_TRUE(db) << debug_string(db.error());
  EXPECT_EQ(*db->get_file(1), bytes("abcabc"));
  EXPECT_EQ(*db->get_file(2), payload);
  EXPECT_EQ(*db->get_file(3), bytes({1, 2, 3}));  // too short to decode
  EXPECT_TRUE(db->get_file(4)->empty());
}

// Pulls file `id` through a FileReader in reads of `buffer` bytes. On a
// failure, checks that the bytes before it were a prefix of `intact`.
std::expected<Bytes, DatError> pulled(const DatDatabase& db, std::uint32_t id,
                                      ReadOptions options, std::size_t buffer,
                                      const Bytes* intact = nullptr) {
  auto reader = db.open_file(id, options);
  if (!reader) return std::unexpected(reader.error());
  Bytes out;
  Bytes chunk(buffer);
  bool was_short = false;  // only the end or a failure may follow
  while (true) {
    auto n = reader->read(chunk);
    EXPECT_TRUE(!was_short || !n || *n == 0) << "a short read mid-file";
    if (!n) {
      if (intact != nullptr) {
        EXPECT_TRUE(std::equal(out.begin(), out.end(), intact->begin()));
      }
      EXPECT_FALSE(reader->read(chunk)) << "a failure stays";
      return std::unexpected(n.error());
    }
    if (*n == 0) break;
    was_short = *n < buffer;
    out.insert(out.end(), chunk.begin(), chunk.begin() + *n);
  }
  EXPECT_EQ(reader->position(), out.size());
  return out;
}

// file_info, raw and strict reads agree with each other and with the
// stored bytes, through get_file and read_file alike.
TEST(DatDatabaseReadOptions, InfoRawAndStrictOnEveryKindOfEntry) {
  const Bytes text = pseudo_random(3000, 5, 4);
  const Bytes packed = compress_lrs(text);
  Bytes cut = packed;  // declares 3000 bytes, holds the first tokens only
  cut.resize(packed.size() / 2);
  const Bytes tiny = bytes({1, 2, 3});  // compressed, too short to decode
  ArchiveWriter writer(64);
  writer.add({.id = 1, .data = text, .timestamp = 9});
  writer.add({.id = 2, .data = text, .compress = true});
  writer.add({.id = 3, .data = cut, .extra_flags = 0x1});
  writer.add({.id = 4, .data = tiny, .extra_flags = 0x1});
  const DatDatabase db = open_ok(*writer.build());
  const Bytes short_text = decompress_lrs(cut);
  ASSERT_LT(short_text.size(), text.size());
  struct Case {
    std::uint32_t id;
    Bytes stored;
    std::optional<std::uint32_t> declared;
    Bytes contents;
    bool strict_fails;
  } cases[] = {
      {1, text, std::nullopt, text, false},
      {2, packed, 3000, text, false},
      {3, cut, 3000, short_text, true},
      {4, tiny, std::nullopt, tiny, false},
  };
  auto streamed = [&](std::uint32_t id, ReadOptions options)
      -> std::expected<Bytes, DatError> {
    Bytes out;
    auto read = db.read_file(
        id,
        [&](std::span<const std::byte> piece) {
          out.insert(out.end(), piece.begin(), piece.end());
          return true;
        },
        options);
    if (!read) return std::unexpected(read.error());
    EXPECT_EQ(read->size, out.size());
    return out;
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.id);
    auto info = db.file_info(c.id);
    ASSERT_TRUE(info) << debug_string(info.error());
    EXPECT_EQ(info->entry, *db.files().find(c.id));
    EXPECT_EQ(info->declared_size, c.declared);
    EXPECT_EQ(info->size(), c.declared.value_or(c.stored.size()));
    EXPECT_EQ(*db.get_file(c.id, {.raw = true}), c.stored);
    EXPECT_EQ(*streamed(c.id, {.raw = true}), c.stored);
    EXPECT_EQ(*db.get_file(c.id), c.contents);
    EXPECT_EQ(*streamed(c.id, {}), c.contents);
    for (std::size_t buffer : {1, 7, 4096, 1 << 20}) {
      EXPECT_EQ(*pulled(db, c.id, {.raw = true}, buffer), c.stored);
      EXPECT_EQ(*pulled(db, c.id, {}, buffer), c.contents);
    }
    for (auto strict : {db.get_file(c.id, {.strict = true}),
                        streamed(c.id, {.strict = true}),
                        pulled(db, c.id, {.strict = true}, 1000)}) {
      if (c.strict_fails) {
        ASSERT_FALSE(strict);
        EXPECT_EQ(debug_string(strict.error()), "DecompressionFailed(3000)");
      } else {
        EXPECT_EQ(strict, c.contents);
      }
    }
  }
  EXPECT_EQ(debug_string(db.file_info(77).error()), "NotFound(77)");
  EXPECT_EQ(version(), kVersionString);
}

// A chain whose 21st block points past the end of the archive: the pull
// reader hands out a prefix of the contents, then fails as get_file fails.
TEST(DatDatabaseOpenFile, BrokenChainGivesAPrefixThenGetFilesError) {
  const Bytes contents = pseudo_random(20000, 3, 5);
  for (bool compress : {false, true}) {
    SCOPED_TRACE(compress);
    ArchiveWriter writer(64);
    writer.add({.id = 1, .data = contents, .compress = compress});
    Bytes image = *writer.build();
    const std::uint32_t first = open_ok(image).files().find(1)->offset;
    store_u32(image.data() + first + 20 * 64, 0xFFFFFF00u);
    const DatDatabase db = open_ok(image);
    auto whole = db.get_file(1);
    ASSERT_FALSE(whole);
    for (std::size_t buffer : {1, 3000}) {
      auto pulled_bytes = pulled(db, 1, {}, buffer, &contents);
      ASSERT_FALSE(pulled_bytes);
      EXPECT_EQ(debug_string(pulled_bytes.error()),
                debug_string(whole.error()));
    }
  }
}

TEST(ArchiveWriterRoundTrip, EveryFileComesBackAcrossShapes) {
  struct Shape {
    std::uint32_t block_size;
    std::uint32_t files;
    int depth;
  } shapes[] = {{5, 3, 1},    {8, 61, 1},     {13, 62, 2},  {64, 200, 2},
                {256, 3843, 2}, {1024, 3844, 3}, {4096, 500, 2}, {1720, 1, 1}};
  for (const auto& shape : shapes) {
    SCOPED_TRACE(shape.block_size);
    SCOPED_TRACE(shape.files);
    ArchiveWriter writer(shape.block_size);
    std::vector<StoredFile> files;
    for (std::uint32_t i = 0; i < shape.files; ++i) {
      // Ids spread over the whole range; sizes from empty to several blocks.
      StoredFile f{.id = i * 2654435761u,
                   .data = pseudo_random((i * 37) % 700, i, 1 + i % 7),
                   .compress = i % 2 == 1,
                   .timestamp = i,
                   .version = ~i};
      files.push_back(f);
      writer.add(std::move(f));
    }
    auto built = writer.build();
    ASSERT_TRUE(built) << debug_string(built.error());
    TempFile file(*built);
    auto db = DatDatabase::open(file.path());
    ASSERT_TRUE(db) << debug_string(db.error());
    ASSERT_EQ(db->files().size(), files.size());
    EXPECT_EQ(db->header().file_size, built->size());
    if (shape.files > 0) {
      EXPECT_EQ(tree_depth(*db, db->header().root_offset), shape.depth);
    }
    for (const auto& f : files) {
      const DatFileEntry* e = db->files().find(f.id);
      ASSERT_NE(e, nullptr) << f.id;
      EXPECT_EQ(e->is_compressed(), f.compress);
      EXPECT_EQ(e->timestamp, f.timestamp);
      EXPECT_EQ(e->version, f.version);
      auto data = db->get_file(f.id);
      ASSERT_TRUE(data) << debug_string(data.error());
      ASSERT_EQ(*data, f.data) << f.id;
    }
  }
}

}  // namespace
}  // namespace ostrand_dat
