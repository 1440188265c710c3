// Hostile archives built byte by byte: truncated files, looping and shared
// directory nodes, impossible block sizes, and sizes and counts of
// 0xFFFFFFFF. Each must end with the promised result or a clear error, and
// nothing may grow beyond a small multiple of the file: results are checked
// against the file's length here, and under ASan any single allocation above
// 256 MiB is itself an error (see __asan_default_options below).
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <functional>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include "ostrand_dat/file_type/sound_table.h"
#include "ostrand_dat/ostrand_dat.h"
#include "ostrand_dat/utils.h"
#include "ostrand_dat/writer.h"
#include "archive_image.h"
#include "archive_support.h"
#include "coding.h"
#include "node_layout.h"
#include "test_support.h"

#if defined(__SANITIZE_ADDRESS__)
#define OSTRAND_HOSTILE_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define OSTRAND_HOSTILE_ASAN 1
#endif
#endif

#ifdef OSTRAND_HOSTILE_ASAN
// The archives below are a few KiB; a reservation taken from a declared
// 0xFFFFFFFF would be gigabytes. Make ASan report it instead of trying.
extern "C" const char* __asan_default_options() {
  return "max_allocation_size_mb=256:allocator_may_return_null=0";
}
#endif

namespace ostrand_dat {
namespace {

using file_type::SoundData;
using file_type::SoundTable;
using testing::Bytes;
using testing::TempFile;
using testing::bytes;
using testing::debug_of;
using testing::open_image;
using testing::pseudo_random;

const std::string kEof =
    "Io(Error { kind: UnexpectedEof, message: \"failed to fill whole buffer\" })";

std::uint32_t u32(std::uint64_t offset) {
  return static_cast<std::uint32_t>(offset);
}

// Writes `payload` over the payload bytes of the chain that starts at
// `block`, following the chain's own pointers.
void rewrite_chain(ArchiveImage& image, std::uint64_t block,
                   std::span<const std::byte> payload) {
  const std::size_t per_block = image.block_size() - 4;
  while (!payload.empty()) {
    const std::size_t take = std::min(per_block, payload.size());
    image.put(block + 4, payload.first(take));
    payload = payload.subspan(take);
    block = load_u32(image.bytes().data() + block);
  }
}

// One past the last byte that gathering `size` bytes must read, for a chain
// of consecutive blocks from `first`: the last block is needed only up to
// the item's end, not to the block's end.
std::uint64_t chain_end(std::uint64_t first, std::uint32_t block_size,
                        std::uint64_t size) {
  const std::uint64_t per_block = block_size - 4;
  const std::uint64_t blocks = (size + per_block - 1) / per_block;
  return first + (blocks - 1) * block_size + 4 + (size - (blocks - 1) * per_block);
}

// The header field cut short in a file of `length` bytes (below 400).
std::string header_field_cut_at(std::uint64_t length) {
  static const char* const kFields[] = {
      "magic",         "block_size",     "file_size",    "dataset",
      "subset",        "free_head",      "free_tail",    "free_count",
      "root_offset",   "new_lru",        "old_lru",      "use_lru",
      "master_map_id", "engine_version", "game_version"};
  if (length < 380) {
    return kFields[length < 320 ? 0 : (length - 320) / 4];
  }
  return length < 396 ? "version_string" : "version_minor";
}

SoundData sound(std::vector<std::uint32_t> waves) {
  SoundData data;
  for (auto wave : waves) data.entries.push_back({wave, 0.5f, 1.0f, 0.25f});
  return data;
}

// An archive laid out so that every kind of item ends somewhere inside the
// file: root node, child node, then three file chains. Cutting the file at
// each length from its full size down to 0 must give, at every length,
// exactly one of: the header field cut short (below 400 bytes); a node cut
// short (the short read, or Corruption for a file too small to hold a
// node); or an open archive whose files either come back exactly or fail
// with the short read when their own chain is cut. Reading a byte more than
// an item needs would make the archive fail at lengths where it must not.
TEST(HostileArchive, TruncationAtEveryLengthFailsCleanlyOrReadsTrueBytes) {
  constexpr std::uint32_t kBlockSize = 512;
  ArchiveImage image(kBlockSize);
  const Bytes empty_node = encode_node({});
  const std::uint64_t root = image.store_chain(empty_node);
  const std::uint64_t leaf = image.store_chain(empty_node);

  struct Item {
    DatFileEntry entry;
    Bytes contents;  // what get_file returns
    std::uint64_t end = 0;
  };
  std::vector<Item> items;
  auto add = [&](std::uint32_t id, Bytes contents, bool compress) {
    const Bytes stored = compress ? compress_lrs(contents) : contents;
    const std::uint64_t at = image.store_chain(stored);
    DatFileEntry entry{compress ? 1u : 0u, id, u32(at), u32(stored.size()), 0, 0};
    items.push_back({entry, std::move(contents), chain_end(at, kBlockSize, stored.size())});
  };
  add(1, pseudo_random(1200, 1), false);  // three blocks
  Bytes text;
  for (int i = 0; i < 40; ++i) {
    const Bytes line = bytes("wave " + std::to_string(i % 7) + " of the table\n");
    text.insert(text.end(), line.begin(), line.end());
  }
  add(2, text, true);
  add(0x20000001, encode_sound_table(SoundTableRecords{
                      0x20000001, 0, {}, {{0x58, sound({0x0A000262})}}}),
      false);

  DirectoryNode root_node;
  root_node.entries = {items[2].entry};
  root_node.branches[0] = u32(leaf);
  rewrite_chain(image, root, encode_node(root_node));
  DirectoryNode leaf_node;
  leaf_node.entries = {items[0].entry, items[1].entry};
  rewrite_chain(image, leaf, encode_node(leaf_node));
  DatHeader header;
  header.block_size = kBlockSize;
  header.root_offset = u32(root);
  image.put_header(header);
  const std::uint64_t nodes_end = chain_end(leaf, kBlockSize, kNodeSize);

  TempFile file(image.bytes());
  std::size_t header_cuts = 0, node_cuts = 0, file_cuts = 0, whole = 0;
  for (std::uint64_t length = image.size() + 1; length-- > 0;) {
    SCOPED_TRACE(length);
    ASSERT_EQ(::truncate(file.path().c_str(), static_cast<off_t>(length)), 0);
    auto db = DatDatabase::open(file.path());
    if (length < DatHeader::kFileOffset + DatHeader::kSize) {
      ++header_cuts;
      ASSERT_FALSE(db);
      const auto* bin_read = db.error().get_if<DatError::BinRead>();
      ASSERT_NE(bin_read, nullptr) << debug_of(db);
      ASSERT_EQ(bin_read->error.contexts.size(), 1u);
      EXPECT_EQ(bin_read->error.contexts[0].message,
                "While parsing field '" + header_field_cut_at(length) +
                    "' in DatHeader");
      continue;
    }
    if (length < nodes_end) {
      ++node_cuts;
      ASSERT_FALSE(db);
      // A file shorter than a node cannot hold one: refused before reading.
      EXPECT_EQ(debug_string(db.error()),
                length >= kNodeSize
                    ? kEof
                    : "Corruption(\"item of 1716 bytes at offset 0x190 is larger "
                      "than the archive (" +
                          std::to_string(length) + " bytes)\")");
      continue;
    }
    ASSERT_TRUE(db) << debug_of(db);
    ASSERT_EQ(db->files().size(), items.size());
    bool all_read = true;
    for (const auto& item : items) {
      SCOPED_TRACE(item.entry.id);
      EXPECT_EQ(*db->files().find(item.entry.id), item.entry);
      auto contents = db->get_file(item.entry.id);
      if (length < item.end) {
        all_read = false;
        ASSERT_FALSE(contents);
        EXPECT_EQ(debug_string(contents.error()), kEof);
      } else {
        ASSERT_TRUE(contents) << debug_string(contents.error());
        EXPECT_EQ(*contents, item.contents);
      }
    }
    ++(all_read ? whole : file_cuts);
  }
  // Every kind of cut was met, so no branch above went untested.
  EXPECT_EQ(header_cuts, 400u);
  EXPECT_GT(node_cuts, 2u * kBlockSize);
  EXPECT_GT(file_cuts, 2u * kBlockSize);
  EXPECT_GE(whole, 1u);
}

// Directory layouts that no writer makes, each with the error it must end
// in. Block size 2048: a node fits in one block, so a node's bytes lie at
// its offset + 4.
TEST(HostileArchive, BrokenDirectoriesEndInAClearError) {
  constexpr std::uint32_t kBlockSize = 2048;
  struct Case {
    std::string what;
    // Builds the layout in `image` and returns the root offset.
    std::function<std::uint32_t(ArchiveImage&)> build;
    std::string error;  // a part of the error's debug form
    std::uint32_t block_size = kBlockSize;
  };
  auto node_at = [](ArchiveImage& image, const DirectoryNode& node) {
    return u32(image.store_chain(encode_node(node)));
  };
  auto entries = [](std::uint32_t count, std::uint32_t first_id) {
    std::vector<DatFileEntry> out;
    for (std::uint32_t i = 0; i < count; ++i) out.push_back({0, first_id + i, 0, 0, 0, 0});
    return out;
  };
  // Every file is padded to 2000 bytes, so that a node of 1716 bytes is not
  // refused for its size alone before the layout is looked at.
  const Case cases[] = {
      {"root offset beyond the file",
       [](ArchiveImage&) { return 0xFFFFFFFFu; }, kEof},
      {"root offset near the top of the 32-bit range",
       [](ArchiveImage&) { return 0xFFFFFFFCu; }, kEof},
      {"a child beyond the file",
       [&](ArchiveImage& image) {
         DirectoryNode root;
         root.branches[0] = 0x7FFFFFF0;
         return node_at(image, root);
       },
       kEof},
      {"entry_count 62 in a child, after the root's entries",
       [&](ArchiveImage& image) {
         DirectoryNode child{{}, entries(61, 100), 62};
         DirectoryNode root{{}, entries(1, 1), {}};
         root.branches[0] = node_at(image, child);
         return node_at(image, root);
       },
       "While parsing field 'bit_flags' in DatFileEntry"},
      {"entry_count 0xFFFFFFFF in a child",
       [&](ArchiveImage& image) {
         DirectoryNode child{{}, {}, 0xFFFFFFFF};
         DirectoryNode root;
         root.branches[0] = node_at(image, child);
         return node_at(image, root);
       },
       "While parsing field 'bit_flags' in DatFileEntry"},
      {"a loop reached through a node shared by two parents",
       [&](ArchiveImage& image) {
         // root -> a, b; a -> shared; b -> shared; shared -> a.
         const std::uint32_t shared = node_at(image, {});
         DirectoryNode a;
         a.branches[0] = shared;
         const std::uint32_t a_at = node_at(image, a);
         DirectoryNode b = a;
         const std::uint32_t b_at = node_at(image, b);
         image.put_u32(shared + 4, a_at);  // shared's slot 0
         DirectoryNode root{{}, entries(1, 1), {}};
         root.branches[0] = a_at;
         root.branches[1] = b_at;
         return node_at(image, root);
       },
       "is its own ancestor"},
      {"a node chain whose second block points back to its first",
       [&](ArchiveImage& image) {
         // A node takes 1716 blocks of 5 bytes, 8580 bytes of walk; a file
         // of 2000 bytes allows 8000.
         const std::uint64_t first = image.allocate_block();
         const std::uint64_t second = image.allocate_block();
         image.put_u32(first, u32(second));
         image.put_u32(second, u32(first));
         return u32(first);
       },
       "directory walk would read more than its budget", 5},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    ArchiveImage image(c.block_size);
    DatHeader header;
    header.block_size = c.block_size;
    header.root_offset = c.build(image);
    image.put_header(header);
    if (image.size() < 2000) image.put_u32(2000 - 4, 0);
    auto db = open_image(image);
    ASSERT_FALSE(db);
    EXPECT_NE(debug_string(db.error()).find(c.error), std::string::npos)
        << debug_of(db);
  }
}

// Block sizes at the edges: 5 leaves one payload byte per block, so a
// node takes 1716 blocks; 0xFFFFFFFF holds any node in one block.
TEST(HostileArchive, ExtremeBlockSizesWalkOrStopWithinTheFile) {
  {
    SCOPED_TRACE("block size 5, a node chain looping on one block");
    ArchiveImage image(5);
    const std::uint64_t block = image.allocate_block();
    image.put_u32(block, u32(block));
    DatHeader header;
    header.block_size = 5;
    header.root_offset = u32(block);
    image.put_header(header);
    auto db = open_image(image);
    ASSERT_FALSE(db);
    EXPECT_EQ(db.error().kind(), DatError::Kind::Corruption) << debug_of(db);
  }
  {
    SCOPED_TRACE("block size 5, a well-formed tree");
    ArchiveWriter writer(5);
    for (std::uint32_t id = 1; id <= 62; ++id) writer.add({.id = id, .data = bytes("ab")});
    TempFile file(*writer.build());
    auto db = DatDatabase::open(file.path());
    ASSERT_TRUE(db) << debug_of(db);
    EXPECT_EQ(db->files().size(), 62u);
    EXPECT_EQ(*db->get_file(62), bytes("ab"));
  }
  {
    SCOPED_TRACE("block size 0xFFFFFFFF, one node");
    ArchiveImage image(2048);
    const std::uint64_t root = image.allocate_block();
    image.put_u32(root, 0x12345678);  // never followed: the node is complete
    image.put(root + 4, encode_node({{}, {{0, 9, 0, 0, 0, 0}}, {}}));
    DatHeader header;
    header.block_size = 0xFFFFFFFF;
    header.root_offset = u32(root);
    image.put_header(header);
    auto db = open_image(image);
    ASSERT_TRUE(db) << debug_of(db);
    EXPECT_TRUE(db->files().contains(9));
  }
}

// Files whose entries or payloads declare far more than the archive holds.
// Each result is either a clear error or bounded by the file's length.
TEST(HostileArchive, HugeDeclaredSizesStayBoundedByTheFile) {
  constexpr std::uint32_t kBlockSize = 2048;
  ArchiveImage image(kBlockSize);
  auto stored = [&](const Bytes& payload) { return u32(image.store_chain(payload)); };

  // A literal, then seven back-references of 17 bytes at distance 1.
  const Bytes runs = bytes({0xFF, 0xFF, 0xFF, 0xFF, 0x7F, 'a', 1, 0x0F, 1, 0x0F, 1,
                            0x0F, 1, 0x0F, 1, 0x0F, 1, 0x0F, 1, 0x0F});
  Bytes literals = bytes({0xFF, 0xFF, 0xFF, 0xFF});
  for (int group = 0; group < 10; ++group) {
    literals.push_back(std::byte{0});
    for (int i = 0; i < 8; ++i) literals.push_back(static_cast<std::byte>('0' + i));
  }
  // A sound table of one record declaring 0xFFFFFFFF entries, compressed
  // behind an output size of 0xFFFFFFFF.
  const Bytes greedy_table = bytes({1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0,
                                    0x58, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF, 7, 0, 0,
                                    0, 0, 0, 0, 0});
  Bytes packed_table = compress_lrs(greedy_table);
  for (int i = 0; i < 4; ++i) packed_table[i] = std::byte{0xFF};
  // A chain of one block that points to itself.
  const std::uint64_t loop = image.allocate_block();
  image.put_u32(loop, u32(loop));
  image.put(loop + 4, bytes("loop"));

  const std::uint32_t runs_at = stored(runs);
  const std::uint32_t literals_at = stored(literals);
  const std::uint32_t table_at = stored(packed_table);
  const std::uint32_t small_at = stored(bytes("small"));
  const std::uint64_t root = image.allocate_block();
  const std::uint64_t length = image.size();
  struct Case {
    std::string what;
    DatFileEntry entry;
    std::optional<std::size_t> size;  // the result's size, or
    std::string error;                // a part of the error's debug form
  };
  const Case cases[] = {
      {"plain entry of size 0xFFFFFFFF", {0, 1, small_at, 0xFFFFFFFF, 0, 0},
       std::nullopt, "item of 4294967295 bytes"},
      {"compressed entry of size 0xFFFFFFFF", {1, 2, small_at, 0xFFFFFFFF, 0, 0},
       std::nullopt, "item of 4294967295 bytes"},
      {"entry at offset 0xFFFFFFFF", {0, 3, 0xFFFFFFFF, 1, 0, 0}, std::nullopt,
       "UnexpectedEof"},
      {"output size 0xFFFFFFFF over runs", {1, 4, runs_at, u32(runs.size()), 0, 0},
       1 + 7 * 17, ""},
      {"output size 0xFFFFFFFF over literals",
       {1, 5, literals_at, u32(literals.size()), 0, 0}, 80, ""},
      {"output size 0xFFFFFFFF over a greedy sound table",
       {1, 6, table_at, u32(packed_table.size()), 0, 0}, greedy_table.size(), ""},
      {"looping chain of the file's length", {0, 7, u32(loop), u32(length), 0, 0},
       length, ""},
      {"looping chain one byte longer than the file",
       {0, 8, u32(loop), u32(length + 1), 0, 0}, std::nullopt,
       "larger than the archive"},
  };
  DirectoryNode node;
  for (const auto& c : cases) node.entries.push_back(c.entry);
  image.put(root + 4, encode_node(node));
  DatHeader header;
  header.block_size = kBlockSize;
  header.root_offset = u32(root);
  image.put_header(header);
  ASSERT_EQ(image.size(), length);

  auto db = open_image(image);
  ASSERT_TRUE(db) << debug_of(db);
  ASSERT_EQ(db->files().size(), std::size(cases));
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    auto contents = db->get_file(c.entry.id);
    if (!c.size) {
      ASSERT_FALSE(contents) << contents->size();
      EXPECT_NE(debug_string(contents.error()).find(c.error), std::string::npos)
          << debug_string(contents.error());
      continue;
    }
    ASSERT_TRUE(contents) << debug_string(contents.error());
    EXPECT_EQ(contents->size(), *c.size);
    EXPECT_LE(contents->size(), 8 * length);
  }
  EXPECT_EQ(*db->get_file(4), Bytes(120, std::byte{'a'}));
  auto greedy = SoundTable::unpack(*db->get_file(6));
  ASSERT_FALSE(greedy);
  EXPECT_EQ(greedy.error().cause, IoError::unexpected_eof());
}

}  // namespace
}  // namespace ostrand_dat
