#include "file_stream.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <numeric>
#include <string>
#include <vector>

#include "archive_image.h"
#include "archive_support.h"
#include "chain_layout.h"
#include "coding.h"
#include "node_layout.h"
#include "ostrand_dat/ostrand_dat.h"
#include "ostrand_dat/utils.h"
#include "ostrand_dat/writer.h"
#include "plain_reference.h"
#include "test_support.h"

namespace ostrand_dat {
namespace {

using testing::Bytes;
using testing::pseudo_random;
using testing::TempFile;
using testing::Xorshift;

// A random archive: one directory leaf listing files of every kind, stored
// in chains of every shape, some of them damaged.
struct RandomArchive {
  Bytes bytes;
  std::vector<std::uint32_t> ids;
};

RandomArchive random_archive(std::uint32_t seed) {
  Xorshift random(seed * 2654435761u + 7);
  const std::uint32_t block_sizes[] = {5, 6, 9, 16, 64, 257, 1024};
  const std::uint32_t block_size = block_sizes[random.next(7)];
  const std::uint32_t payload = block_size - 4;
  ArchiveImage image(block_size);
  // The directory's blocks come first, so that a cut file loses files'
  // blocks, not the directory.
  std::vector<std::uint64_t> node_blocks((kNodeSize + payload - 1) / payload);
  for (auto& block : node_blocks) block = image.allocate_block();
  DirectoryNode leaf;
  RandomArchive archive;
  const std::uint32_t files = 1 + random.next(12);
  for (std::uint32_t id = 1; id <= files; ++id) {
    // Contents: incompressible, repetitive, or a few bytes.
    const std::uint32_t kind = random.next(3);
    const std::size_t length = kind == 2 ? random.next(6) : random.next(6000);
    Bytes contents = pseudo_random(length, seed * 31 + id, kind == 1 ? 3 : 256);
    bool compressed = random.next(3) != 0;
    Bytes stored = compressed ? compress_lrs(contents) : contents;
    if (compressed && !stored.empty()) {
      switch (random.next(6)) {
        case 0:  // the stream ends early, inside a token or not
          stored.resize(
              4 + random.next(static_cast<std::uint32_t>(stored.size() - 3)));
          break;
        case 1:  // declares more or less than it holds, or nothing at all
          store_u32(stored.data(),
                    random.next(3) == 0 ? 0 : random.next(50000));
          break;
        case 2:  // too short to hold a size
          stored.resize(random.next(4));
          break;
        case 3:  // garbage after a valid size
          std::ranges::copy(pseudo_random(stored.size() - 4, seed + id),
                            stored.begin() + 4);
          break;
        default:
          break;
      }
    }
    // The chain: blocks in file order, shuffled, in reverse order, or
    // ending early with the rest in one piece after a block whose pointer
    // is 0.
    const std::size_t count =
        std::max<std::size_t>(1, (stored.size() + payload - 1) / payload);
    std::vector<std::uint64_t> blocks(count);
    for (auto& block : blocks) block = image.allocate_block();
    const std::uint32_t shape = random.next(5);
    if (shape == 1) {
      for (std::size_t i = count; i > 1; --i) {
        std::swap(blocks[i - 1],
                  blocks[random.next(static_cast<std::uint32_t>(i))]);
      }
    } else if (shape == 4) {
      std::reverse(blocks.begin(), blocks.end());
    }
    const std::size_t used =
        shape == 2 ? 1 + random.next(static_cast<std::uint32_t>(count)) : count;
    for (std::size_t i = 0; i < used; ++i) {
      const bool last = i + 1 == used;
      image.put_u32(blocks[i],
                    last ? 0 : static_cast<std::uint32_t>(blocks[i + 1]));
      const std::size_t at = i * payload;
      if (at >= stored.size()) continue;
      const std::size_t take =
          last ? stored.size() - at
               : std::min<std::size_t>(payload, stored.size() - at);
      image.put(blocks[i] + 4, std::span(stored).subspan(at, take));
    }
    if (shape == 3 && count > 1) {
      // The chain loops back to its first block.
      image.put_u32(blocks[count - 1], static_cast<std::uint32_t>(blocks[0]));
    }
    leaf.entries.push_back(DatFileEntry{
        compressed ? 1u : 0u, id, static_cast<std::uint32_t>(blocks[0]),
        static_cast<std::uint32_t>(stored.size()), 0, 0});
    archive.ids.push_back(id);
  }
  const Bytes node = encode_node(leaf);
  for (std::size_t i = 0; i < node_blocks.size(); ++i) {
    const bool last = i + 1 == node_blocks.size();
    image.put_u32(node_blocks[i],
                  last ? 0 : static_cast<std::uint32_t>(node_blocks[i + 1]));
    const std::size_t at = i * payload;
    image.put(node_blocks[i] + 4,
              std::span(node).subspan(
                  at, std::min<std::size_t>(payload, node.size() - at)));
  }
  DatHeader header;
  header.block_size = block_size;
  header.root_offset = static_cast<std::uint32_t>(node_blocks[0]);
  image.put_header(header);
  archive.bytes = image.bytes();
  // Now and then the file is cut short, so chains run past its end.
  // The directory's blocks stay whole.
  if (random.next(3) == 0) {
    archive.bytes.resize(std::max<std::uint64_t>(
        node_blocks.back() + block_size,
        archive.bytes.size() - random.next(4 * block_size)));
  }
  return archive;
}

std::string outcome(const std::expected<Bytes, DatError>& read) {
  return read ? "bytes" : debug_string(read.error());
}

// What a stream of `entry` hands on before it fails in a file of `length`
// bytes: the stored bytes that lie in the file before the damage, decoded
// when the entry is compressed. An item larger than the file fails first.
Bytes before_damage(const File& file, std::uint64_t length,
                    std::uint32_t block_size, const DatFileEntry& entry,
                    bool decode) {
  if (entry.size > length) return {};
  Bytes stored = plain::gather_prefix(file, length, block_size, entry.offset,
                                      entry.size);
  if (!decode || !entry.is_compressed() || entry.size < 4) return stored;
  return stored.size() < 4 ? Bytes() : plain::decompress(stored);
}

// Streamed reads against whole ones on random archives, with random piece
// sizes for the stored batches and the decoded chunks: the same bytes and a
// summary that counts them, or the same error after every byte that lies
// in the file before the damage.
TEST(FileStream, EveryReadGivesWhatTheWholeReadGives) {
  for (std::uint32_t seed = 1; seed <= 80; ++seed) {
    SCOPED_TRACE(seed);
    const RandomArchive archive = random_archive(seed);
    TempFile temp(archive.bytes);
    auto db = DatDatabase::open(temp.path());
    ASSERT_TRUE(db) << debug_string(db.error());
    auto file = File::open_read_only(temp.path());
    ASSERT_TRUE(file);
    const BlockChain chain(*file, db->header().block_size,
                           archive.bytes.size());
    Xorshift random(seed);
    for (std::uint32_t id : archive.ids) {
      SCOPED_TRACE(id);
      const DatFileEntry& entry = *db->files().find(id);
      // Batches of one block up to many; chunks small and large.
      const StreamPieces pieces{
          .batch_bytes =
              random.next(2) == 0 ? 1 + random.next(64) : random.next(1 << 17),
          .chunk = 256 + random.next(random.next(2) == 0 ? 512 : 1 << 16)};
      Bytes joined;
      auto join = [&joined](std::span<const std::byte> piece) {
        EXPECT_FALSE(piece.empty());
        joined.insert(joined.end(), piece.begin(), piece.end());
        return true;
      };
      const auto whole = db->get_file(id);
      const auto streamed = stream_contents(chain, entry, join, pieces);
      ASSERT_EQ(streamed.has_value(), whole.has_value()) << outcome(whole);
      if (whole) {
        ASSERT_EQ(joined, *whole);
        EXPECT_EQ(streamed->size, whole->size());
        EXPECT_FALSE(streamed->stopped);
        auto stored = db->read_file_data(entry.offset, entry.size);
        ASSERT_TRUE(stored);
        if (entry.is_compressed() && stored->size() >= 4) {
          EXPECT_EQ(streamed->declared_size, load_u32(stored->data()));
        } else {
          EXPECT_EQ(streamed->declared_size, std::nullopt);
        }
      } else {
        ASSERT_EQ(debug_string(streamed.error()), outcome(whole));
        ASSERT_EQ(joined, before_damage(*file, archive.bytes.size(),
                                        db->header().block_size, entry, true));
      }

      joined.clear();
      const auto by_default = db->read_file(id, join);
      ASSERT_EQ(by_default.has_value(), whole.has_value());
      if (whole) {
        ASSERT_EQ(joined, *whole);
      }

      joined.clear();
      const auto stored_whole = db->read_file_data(entry.offset, entry.size);
      const auto stored =
          stream_stored(chain, entry.offset, entry.size, join, pieces);
      ASSERT_EQ(stored.has_value(), stored_whole.has_value());
      if (stored_whole) {
        ASSERT_EQ(joined, *stored_whole);
      } else {
        ASSERT_EQ(joined, before_damage(*file, archive.bytes.size(),
                                        db->header().block_size, entry, false));
      }
    }
  }
}

// A sink that returns false is called no more, and the read says it was
// stopped; an id not listed is NotFound before anything is read.
TEST(FileStream, ASinkStopsTheReadAndMissingIdsAreNotFound) {
  ArchiveWriter writer(64);
  const Bytes big = pseudo_random(300000, 5, 4);
  writer.add({.id = 1, .data = big, .compress = true});
  writer.add({.id = 2, .data = big});
  auto bytes = writer.build();
  ASSERT_TRUE(bytes);
  TempFile temp(*bytes);
  auto db = DatDatabase::open(temp.path());
  ASSERT_TRUE(db);
  for (std::uint32_t id : {1u, 2u}) {
    SCOPED_TRACE(id);
    int calls = 0;
    std::uint64_t seen = 0;
    auto summary = db->read_file(id, [&](std::span<const std::byte> piece) {
      seen += piece.size();
      return ++calls < 2;
    });
    ASSERT_TRUE(summary);
    EXPECT_TRUE(summary->stopped);
    EXPECT_EQ(calls, 2);
    EXPECT_EQ(summary->size, seen);
    EXPECT_LT(seen, big.size());
  }
  auto missing = db->read_file(3, [](std::span<const std::byte>) {
    ADD_FAILURE() << "nothing to hand on";
    return true;
  });
  ASSERT_FALSE(missing);
  EXPECT_EQ(debug_string(missing.error()), "NotFound(3)");
}

// Decoding ends after 10 bytes, long before the stored bytes do, and the
// chain runs past the end of the file: get_file reads every stored byte,
// so it fails, and a streamed read must fail the same way rather than stop
// reading where decoding stopped.
TEST(FileStream, TheWholeChainIsReadAfterDecodingEnds) {
  Bytes stored = compress_lrs(pseudo_random(5000, 9, 4));
  store_u32(stored.data(), 10);
  ArchiveImage image(64);
  const std::uint64_t first = image.store_chain(stored);
  // The chain's last block points past the end of the file.
  std::uint64_t block = first;
  for (std::size_t i = 0; i + 1 < (stored.size() + 59) / 60; ++i) {
    block = load_u32(image.bytes().data() + block);
  }
  image.put_u32(block, 0x7FFFFF00);
  DirectoryNode leaf;
  leaf.entries.push_back(
      DatFileEntry{1, 1, static_cast<std::uint32_t>(first),
                   static_cast<std::uint32_t>(stored.size() + 100), 0, 0});
  DatHeader header;
  header.block_size = 64;
  header.root_offset =
      static_cast<std::uint32_t>(image.store_chain(encode_node(leaf)));
  image.put_header(header);
  auto db = testing::open_image(image);
  ASSERT_TRUE(db) << debug_string(db.error());
  const auto whole = db->get_file(1);
  ASSERT_FALSE(whole);
  std::uint64_t handed = 0;
  auto streamed = db->read_file(1, [&](std::span<const std::byte> piece) {
    handed += piece.size();
    return true;
  });
  ASSERT_FALSE(streamed);
  EXPECT_EQ(debug_string(streamed.error()), debug_string(whole.error()));
  EXPECT_EQ(handed, 10u);
}


// An archive cut inside a file's chain: every byte of the file that the
// cut file still holds, decoded when the entry is compressed, reaches the
// sink (and read() in small buffers) before the failure, which is the one
// get_file fails with.
TEST(FileStream, HandsOnEveryByteBeforeTheDamage) {
  struct Case {
    std::string what;
    Bytes stored;
    bool compressed;
    std::uint64_t cut_into_block;  // counted from the chain's first block
    std::uint64_t cut_at;          // bytes into that block
    std::size_t handed;            // what the sink is to receive
  };
  const Bytes text = pseudo_random(8000, 3, 4);
  const Bytes packed = compress_lrs(text);
  const std::size_t packed_blocks = (packed.size() + 59) / 60;
  const std::vector<Case> cases = {
      {"a plain file cut 20 bytes into its tenth block",
       pseudo_random(600, 2), false, 9, 20, 9 * 60 + 16},
      {"a plain file cut inside its first pointer", pseudo_random(600, 2),
       false, 0, 3, 0},
      {"a compressed file cut in its last block", packed, true,
       packed_blocks - 1, 10,
       plain::decompress(std::span(packed).first((packed_blocks - 1) * 60 + 6))
           .size()},
      {"a compressed file cut inside its size prefix", packed, true, 0, 6, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Bytes image = testing::one_file_archive(64, c.stored, c.compressed,
                                            ChainOrder::kForward);
    const auto whole = testing::open_bytes(image)->get_file(1);
    ASSERT_TRUE(whole);
    // The file's chain follows the directory's 29 blocks.
    image.resize(400 + (29 + c.cut_into_block) * 64 + c.cut_at);
    TempFile temp(image);
    auto db = DatDatabase::open(temp.path());
    ASSERT_TRUE(db) << debug_string(db.error());
    const auto failed = db->get_file(1);
    ASSERT_FALSE(failed);
    Bytes handed;
    auto streamed = db->read_file(1, [&](std::span<const std::byte> piece) {
      handed.insert(handed.end(), piece.begin(), piece.end());
      return true;
    });
    ASSERT_FALSE(streamed);
    EXPECT_EQ(debug_string(streamed.error()), debug_string(failed.error()));
    EXPECT_EQ(handed.size(), c.handed);
    EXPECT_TRUE(std::equal(handed.begin(), handed.end(), whole->begin()));
    // Pulled into a small buffer: the same bytes, then the same failure.
    auto raw = File::open_read_only(temp.path());
    const BlockChain chain(*raw, 64, image.size());
    FileStream stream(chain, *db->files().find(1));
    std::array<std::byte, 100> buffer;
    Bytes pulled;
    for (auto read = stream.read(buffer); read; read = stream.read(buffer)) {
      ASSERT_NE(*read, 0u) << "the stream ended without its failure";
      pulled.insert(pulled.end(), buffer.begin(), buffer.begin() + *read);
    }
    EXPECT_EQ(pulled, handed);
  }
}

}  // namespace
}  // namespace ostrand_dat
