#include "block_chain.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <optional>
#include <string>

#include "archive_image.h"
#include "archive_support.h"
#include "ostrand_dat/ostrand_dat.h"
#include "ostrand_dat/utils.h"
#include "plain_reference.h"
#include "test_support.h"

namespace ostrand_dat {
namespace {

using testing::Bytes;
using testing::TempFile;
using testing::bytes;
using testing::open_ok;
using testing::pseudo_random;


// Block chains, read through an archive without a directory so that only
// read_file_data touches the blocks. Block size 16: 12 payload bytes.
class BlockChainTest : public ::testing::Test {
 protected:
  static constexpr std::uint32_t kBlockSize = 16;

  BlockChainTest() : image_(kBlockSize) {
    DatHeader header;
    header.block_size = kBlockSize;
    image_.put_header(header);
  }

  // A block holding `pointer` and `payload`.
  std::uint64_t block(std::uint32_t pointer, const Bytes& payload) {
    auto offset = image_.allocate_block();
    image_.put_u32(offset, pointer);
    image_.put(offset + 4, payload);
    return offset;
  }

  std::expected<std::vector<std::byte>, DatError> read(std::uint32_t offset,
                                                        std::uint32_t size) {
    db_ = std::make_unique<DatDatabase>(open_ok(image_.bytes()));
    return db_->read_file_data(offset, size);
  }

  ArchiveImage image_;
  std::unique_ptr<DatDatabase> db_;
};

TEST_F(BlockChainTest, SizeZeroReadsNothingWhateverTheOffset) {
  auto data = read(0xFFFFFFF0, 0);
  ASSERT_TRUE(data) << debug_string(data.error());
  EXPECT_TRUE(data->empty());
}

TEST_F(BlockChainTest, ItemEndingInsideABlockDoesNotFollowItsPointer) {
  const Bytes payload = bytes("abcdefghijkl");
  // The pointer leads past the end of the file: following it would fail.
  auto at = block(0x7FFFFFF0, payload);
  for (std::uint32_t size : {1u, 5u, 12u}) {
    SCOPED_TRACE(size);
    auto data = read(static_cast<std::uint32_t>(at), size);
    ASSERT_TRUE(data) << debug_string(data.error());
    EXPECT_EQ(*data, Bytes(payload.begin(), payload.begin() + size));
  }
}

TEST_F(BlockChainTest, ChainGathersPayloadsInChainOrder) {
  // Blocks laid out out of order: C, A, B with A -> B -> C.
  auto c = image_.allocate_block();
  auto a = image_.allocate_block();
  auto b = image_.allocate_block();
  image_.put_u32(a, static_cast<std::uint32_t>(b));
  image_.put_u32(b, static_cast<std::uint32_t>(c));
  image_.put(a + 4, bytes("AAAAAAAAAAAA"));
  image_.put(b + 4, bytes("BBBBBBBBBBBB"));
  image_.put(c + 4, bytes("CCCCCC"));
  auto data = read(static_cast<std::uint32_t>(a), 30);
  ASSERT_TRUE(data) << debug_string(data.error());
  EXPECT_EQ(*data, bytes("AAAAAAAAAAAABBBBBBBBBBBBCCCCCC"));
}

TEST_F(BlockChainTest, LastBlockHoldsTheRestInOnePiece) {
  auto at = block(0, bytes("0123456789AB"));
  image_.put(at + kBlockSize, bytes("CDEFGHIJ"));  // beyond the block itself
  auto data = read(static_cast<std::uint32_t>(at), 20);
  ASSERT_TRUE(data) << debug_string(data.error());
  EXPECT_EQ(*data, bytes("0123456789ABCDEFGHIJ"));
}

TEST_F(BlockChainTest, ChainLoopingIntoItselfYieldsTheLoopedBytesAgain) {
  auto at = image_.allocate_block();
  image_.put_u32(at, static_cast<std::uint32_t>(at));
  image_.put(at + 4, bytes("xyzxyzxyzxyz"));
  auto data = read(static_cast<std::uint32_t>(at), 30);
  ASSERT_TRUE(data) << debug_string(data.error());
  EXPECT_EQ(*data, bytes("xyzxyzxyzxyzxyzxyzxyzxyzxyzxyz"));
}

TEST_F(BlockChainTest, ReadingPastTheEndIsUnexpectedEof) {
  auto last = block(0, bytes("short"));
  image_.truncate(last + 4 + 5);
  const std::string eof =
      "Io(Error { kind: UnexpectedEof, message: \"failed to fill whole buffer\" })";
  struct Case {
    std::string what;
    std::uint32_t offset;
    std::uint32_t size;
  } cases[] = {
      {"last block shorter than the rest", static_cast<std::uint32_t>(last), 6},
      {"pointer beyond the end", static_cast<std::uint32_t>(last + 9), 1},
      {"pointer cut short", static_cast<std::uint32_t>(last + 7), 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    auto data = read(c.offset, c.size);
    ASSERT_FALSE(data);
    EXPECT_EQ(debug_string(data.error()), eof);
  }
}

TEST_F(BlockChainTest, SizeBeyondTheFileIsRefusedBeforeAllocating) {
  block(0, bytes("abc"));
  auto data = read(400, 0xFFFFFFFF);
  ASSERT_FALSE(data);
  EXPECT_EQ(debug_string(data.error()),
            "Corruption(\"item of 4294967295 bytes at offset 0x190 is larger "
            "than the archive (416 bytes)\")");
}

TEST(BlockChain, BlockSizeWithoutPayloadRoomFailsOnlyWhenAChainContinues) {
  ArchiveImage image(8);
  DatHeader header;
  header.block_size = 4;
  image.put_header(header);
  auto single = image.allocate_block();  // pointer 0: read in one piece
  image.put(single + 4, bytes("abcd"));
  auto chained = image.allocate_block();
  image.put_u32(chained, static_cast<std::uint32_t>(single));
  auto db = open_ok(image.bytes());
  // The whole read and the streamed one alike.
  auto both = [&db](std::uint64_t offset) {
    const auto at = static_cast<std::uint32_t>(offset);
    auto whole = db.read_file_data(at, 4);
    Bytes joined;
    auto streamed = db.read_file_data(at, 4, [&](std::span<const std::byte> piece) {
      joined.insert(joined.end(), piece.begin(), piece.end());
      return true;
    });
    EXPECT_EQ(streamed.has_value(), whole.has_value());
    if (!whole) {
      EXPECT_EQ(debug_string(streamed.error()), debug_string(whole.error()));
    } else {
      EXPECT_EQ(joined, *whole);
    }
    return whole;
  };
  auto data = both(single);
  ASSERT_TRUE(data) << debug_string(data.error());
  EXPECT_EQ(*data, bytes("abcd"));
  auto looping = both(chained);
  ASSERT_FALSE(looping);
  EXPECT_EQ(debug_string(looping.error()),
            "Corruption(\"block size 4 leaves no room for payload in the "
            "chained block at offset 0x198\")");
  auto past_the_end = both(image.size() - 2);
  ASSERT_FALSE(past_the_end);
  EXPECT_EQ(past_the_end.error().kind(), DatError::Kind::Io);
}

// A file just over 4 GiB, sparse, with marker bytes right after the 4 GiB
// line: a block near the top of the 32-bit range must read its payload
// there, not wrap around to the start of the file.
TEST(BlockChain, PayloadOffsetsAbove4GiBDoNotWrap) {
  ArchiveImage image(1024);
  DatHeader header;
  header.block_size = 1024;
  image.put_header(header);
  TempFile file(image.bytes());
  {
    int fd = ::open(file.path().c_str(), O_WRONLY);
    ASSERT_GE(fd, 0);
    const char marker[] = "past4GiB";
    const bool written =
        ::pwrite(fd, marker, 8, 0x100000000LL) == 8 && ::close(fd) == 0;
    if (!written) GTEST_SKIP() << "no sparse file of 4 GiB here: " << errno;
  }
  auto db = DatDatabase::open(file.path());
  ASSERT_TRUE(db) << debug_string(db.error());
  // The pointer at 0xFFFFFFFC is 0 (a hole), so the payload follows it.
  auto data = db->read_file_data(0xFFFFFFFC, 8);
  ASSERT_TRUE(data) << debug_string(data.error());
  EXPECT_EQ(*data, bytes("past4GiB"));
}

// What a ChainStream with batches of `batch` bytes handed out, the blocks
// it was told of, and the failure that ended it.
struct Streamed {
  Bytes bytes;
  std::vector<std::uint64_t> blocks;
  std::optional<DatError> error;
};

Streamed stream_all(const BlockChain& chain, std::uint32_t offset,
                    std::uint32_t size, std::size_t batch) {
  Streamed out;
  ChainStream stream(chain, offset, size, batch,
                     [&out](std::uint64_t block, std::uint32_t) {
                       out.blocks.push_back(block);
                     });
  while (true) {
    auto piece = stream.next();
    if (!piece) {
      out.error = std::move(piece.error());
      break;
    }
    if (piece->empty()) break;
    out.bytes.insert(out.bytes.end(), piece->begin(), piece->end());
  }
  return out;
}

// The library's one read per block, and its stream of batches of blocks,
// against the plain two reads per block, on chains of every shape, in files
// cut at every offset of their last blocks: the same bytes and blocks, or
// the same error after every byte of the item that the file still holds.
TEST(BlockChain, OneReadPerBlockMatchesTwoReadsOnEveryShapeAndCut) {
  // n blocks, each pointing to the next.
  auto in_order = [](std::int32_t n) {
    std::vector<std::int32_t> next(static_cast<std::size_t>(n));
    for (std::int32_t i = 0; i < n; ++i) next[i] = i + 1 < n ? i + 1 : -1;
    return next;
  };
  struct Shape {
    std::string what;
    std::vector<std::int32_t> next;  // per block: index of the next, -1 = 0
    bool past_end;                   // the last block points past the file
    std::uint32_t half_payloads;     // the item's size
  };
  const Shape shapes[] = {
      {"single block, item smaller", {-1}, false, 1},
      {"single block, exact fit", {-1}, false, 2},
      {"three blocks, exact fit", {1, 2, -1}, false, 6},
      {"pointer 0 early, the rest in one piece", {1, -1, -1}, false, 5},
      {"item ends inside a block that points on", {1, 2, -1}, false, 3},
      {"item ends where a block points past the file", {1, -1}, true, 4},
      {"chain looping back into itself", {1, 0}, false, 9},
      {"blocks out of file order", {2, -1, 1}, false, 5},
      {"a jump over a block", {2, -1, -1}, false, 4},
      {"a run, a jump, a run, a jump back", {1, 2, 5, 4, -1, 6, 3}, false, 14},
      // Longer than one read of consecutive blocks takes.
      {"a long run in order", in_order(70), false, 140},
      {"pointer 0 first, the rest longer than a read of blocks",
       std::vector<std::int32_t>(50, -1), false, 100},
  };
  for (std::uint32_t block_size : {5u, 6u, 16u, 64u}) {
    const std::uint32_t payload = block_size - 4;
    for (const auto& shape : shapes) {
      SCOPED_TRACE(shape.what + ", block size " + std::to_string(block_size));
      ArchiveImage image(block_size);
      DatHeader header;
      header.block_size = block_size;
      image.put_header(header);
      std::vector<std::uint64_t> blocks;
      for (std::size_t i = 0; i < shape.next.size(); ++i) {
        blocks.push_back(image.allocate_block());
      }
      // Distinct bytes everywhere, pointers written over them.
      image.put(DatHeader::kFileOffset + DatHeader::kSize,
                pseudo_random(image.size() - 400, block_size));
      for (std::size_t i = 0; i < blocks.size(); ++i) {
        const std::int32_t next = shape.next[i];
        image.put_u32(blocks[i], next < 0 ? 0 : static_cast<std::uint32_t>(blocks[next]));
      }
      if (shape.past_end) image.put_u32(blocks.back(), 0x7FFFFFF0);
      // Bytes after the last block, for a final read in one piece.
      image.put(image.size(), pseudo_random(3 * block_size, 7));
      const std::uint32_t size = std::max(1u, shape.half_payloads * payload / 2);
      const auto offset = static_cast<std::uint32_t>(blocks[0]);
      std::vector<std::uint64_t> visits;  // the chain's blocks, in order
      for (std::size_t i = 0, left = size; left != 0;
           i = static_cast<std::size_t>(shape.next[i])) {
        visits.push_back(blocks[i]);
        if (shape.next[i] < 0 || left <= payload) break;
        left -= payload;
      }
      const std::uint64_t full = image.size();
      const std::uint64_t first_cut =
          std::max<std::uint64_t>(DatHeader::kFileOffset + DatHeader::kSize,
                                  blocks.back() - block_size);
      for (std::uint64_t length = first_cut; length <= full; ++length) {
        if (length < size) continue;  // refused as larger than the archive
        SCOPED_TRACE(length);
        Bytes cut(image.bytes().begin(), image.bytes().begin() + length);
        TempFile temp(cut);
        auto db = DatDatabase::open(temp.path());
        ASSERT_TRUE(db) << debug_string(db.error());
        auto file = File::open_read_only(temp.path());
        ASSERT_TRUE(file);
        auto library = db->read_file_data(offset, size);
        auto reference = plain::gather(*file, block_size, offset, size);
        ASSERT_EQ(library.has_value(), reference.has_value())
            << (library ? debug_string(DatError(reference.error()))
                        : debug_string(library.error()));
        if (library) {
          ASSERT_EQ(*library, *reference);
        } else {
          ASSERT_EQ(debug_string(library.error()),
                    debug_string(DatError(reference.error())));
        }
        const BlockChain chain(*file, block_size, length);
        for (std::size_t batch : {std::size_t{1}, std::size_t{payload},
                                  std::size_t{2 * payload + 1},
                                  std::size_t{1} << 20}) {
          SCOPED_TRACE("batch " + std::to_string(batch));
          const Streamed streamed = stream_all(chain, offset, size, batch);
          ASSERT_EQ(streamed.error.has_value(), !library.has_value());
          if (library) {
            ASSERT_EQ(streamed.bytes, *library);
            ASSERT_EQ(streamed.blocks, visits);
          } else {
            ASSERT_EQ(debug_string(*streamed.error),
                      debug_string(library.error()));
            ASSERT_EQ(streamed.bytes, plain::gather_prefix(*file, length,
                                                           block_size, offset,
                                                           size));
          }
        }
      }
    }
  }
}

}  // namespace
}  // namespace ostrand_dat
