#include "ostrand_dat/ostrand_dat.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <functional>
#include <map>
#include <set>
#include <string>

#include "ostrand_dat/utils.h"
#include "ostrand_dat/writer.h"
#include "plain_reference.h"
#include "test_support.h"

namespace ostrand_dat {
namespace {

using testing::Bytes;
using testing::TempFile;
using testing::bytes;
using testing::pseudo_random;

std::expected<DatDatabase, DatError> open_bytes(std::span<const std::byte> image) {
  TempFile file(image);
  return DatDatabase::open(file.path());
}

DatDatabase open_ok(std::span<const std::byte> image) {
  auto db = open_bytes(image);
  if (!db) ADD_FAILURE() << debug_string(db.error());
  return std::move(db.value());
}

std::string debug_of(const std::expected<DatDatabase, DatError>& db) {
  return db ? std::string("opened") : debug_string(db.error());
}

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
  auto data = db.read_file_data(static_cast<std::uint32_t>(single), 4);
  ASSERT_TRUE(data) << debug_string(data.error());
  EXPECT_EQ(*data, bytes("abcd"));
  auto looping = db.read_file_data(static_cast<std::uint32_t>(chained), 4);
  ASSERT_FALSE(looping);
  EXPECT_EQ(debug_string(looping.error()),
            "Corruption(\"block size 4 leaves no room for payload in the "
            "chained block at offset 0x198\")");
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

// The library's one read per block against the plain two reads per block,
// on chains of every shape, in files cut at every offset of their last
// blocks: the same bytes, or the same error.
TEST(BlockChain, OneReadPerBlockMatchesTwoReadsOnEveryShapeAndCut) {
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
      }
    }
  }
}

// Directory layouts built node by node. Each entry's `offset` field tags
// where it was placed, so tests can tell duplicates apart; the entries are
// only looked up, never fetched.
class DirectoryTest : public ::testing::Test {
 protected:
  static constexpr std::uint32_t kBlockSize = 256;

  DirectoryTest() : image_(kBlockSize) {}

  static DatFileEntry entry(std::uint32_t id, std::uint32_t tag = 0) {
    return DatFileEntry{0, id, tag, 0, id * 3, id * 5};
  }

  std::uint32_t node(std::vector<DatFileEntry> entries,
                     std::vector<std::uint32_t> children = {},
                     std::optional<std::uint32_t> entry_count = {}) {
    DirectoryNode n;
    n.entries = std::move(entries);
    for (std::size_t i = 0; i < children.size(); ++i) n.branches[i] = children[i];
    n.entry_count = entry_count;
    return static_cast<std::uint32_t>(image_.store_chain(encode_node(n)));
  }

  // Node bytes rewritten in place, for loops.
  void relink(std::uint32_t node_offset, std::size_t slot, std::uint32_t child) {
    image_.put_u32(node_offset + 4 + 4 * slot, child);  // first block holds slots
  }

  std::expected<DatDatabase, DatError> open(std::uint32_t root) {
    DatHeader header;
    header.block_size = kBlockSize;
    header.root_offset = root;
    image_.put_header(header);
    return open_bytes(image_.bytes());
  }

  static std::vector<std::uint32_t> ids(const DatDatabase& db) {
    std::vector<std::uint32_t> out;
    for (const auto& e : db.files()) out.push_back(e.id);
    return out;
  }

  ArchiveImage image_;
};

TEST_F(DirectoryTest, RootOffsetZeroAndEmptyRootGiveEmptyDirectories) {
  auto none = open(0);
  ASSERT_TRUE(none) << debug_of(none);
  EXPECT_TRUE(none->files().empty());
  auto empty = open(node({}));
  ASSERT_TRUE(empty) << debug_of(empty);
  EXPECT_TRUE(empty->files().empty());
}

TEST_F(DirectoryTest, ChildSlotsVisitedFollowEntryCountAndSlotZero) {
  struct Case {
    std::string what;
    std::uint32_t entries;       // entries in the node under test
    bool slot_zero;              // whether slot 0 holds a child
    std::vector<std::uint32_t> expected;  // ids reached through children
  } cases[] = {
      {"no entries visits slot 0 only", 0, true, {1000}},
      {"three entries visit slots 0 to 3", 3, true, {1000, 1001, 1002, 1003}},
      {"a leaf ignores its other slots", 3, false, {}},
      {"61 entries visit all 62 slots", 61, true, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    image_ = ArchiveImage(kBlockSize);
    std::vector<std::uint32_t> children;
    for (std::uint32_t slot = 0; slot < 62; ++slot) {
      children.push_back(node({entry(1000 + slot)}));
    }
    if (!c.slot_zero) children[0] = 0;
    std::vector<DatFileEntry> own;
    for (std::uint32_t i = 0; i < c.entries; ++i) own.push_back(entry(i + 1));
    auto db = open(node(own, children));
    ASSERT_TRUE(db) << debug_of(db);
    std::vector<std::uint32_t> expected;
    for (std::uint32_t i = 0; i < c.entries; ++i) expected.push_back(i + 1);
    if (c.entries == 61) {
      for (std::uint32_t slot = 0; slot < 62; ++slot) expected.push_back(1000 + slot);
    }
    expected.insert(expected.end(), c.expected.begin(), c.expected.end());
    EXPECT_EQ(ids(*db), expected);
  }
}

TEST_F(DirectoryTest, EntryCountBeyondTheNodeFailsInSlot61) {
  for (std::uint32_t count : {62u, 0xFFFFFFFFu}) {
    SCOPED_TRACE(count);
    std::vector<DatFileEntry> full;
    for (std::uint32_t i = 0; i < 61; ++i) full.push_back(entry(i));
    auto db = open(node(full, {}, count));
    ASSERT_FALSE(db);
    const auto* bin_read = db.error().get_if<DatError::BinRead>();
    ASSERT_NE(bin_read, nullptr) << debug_string(db.error());
    EXPECT_EQ(bin_read->error.cause, IoError::unexpected_eof());
    ASSERT_EQ(bin_read->error.contexts.size(), 1u);
    EXPECT_EQ(bin_read->error.contexts[0].message,
              "While parsing field 'bit_flags' in DatFileEntry");
  }
}

TEST_F(DirectoryTest, DuplicateIdKeepsTheEntryDecodedLast) {
  // Walk order: root entries, then slot 0's subtree, then slot 1's.
  const std::uint32_t grandchild = node({entry(4, 40)});
  const std::uint32_t first = node({entry(1, 11), entry(2, 12)}, {grandchild, 0});
  const std::uint32_t second = node({entry(2, 22), entry(3, 23)});
  auto db = open(node({entry(1, 1), entry(3, 3), entry(3, 4), entry(4, 5)},
                      {first, second}));
  ASSERT_TRUE(db) << debug_of(db);
  ASSERT_EQ(db->files().size(), 4u);
  EXPECT_EQ(db->files().find(1)->offset, 11u);  // child over parent
  EXPECT_EQ(db->files().find(2)->offset, 22u);  // later sibling subtree
  EXPECT_EQ(db->files().find(3)->offset, 23u);  // later slot, then subtree
  EXPECT_EQ(db->files().find(4)->offset, 40u);  // grandchild over root
  EXPECT_EQ(*db->files().find(4), entry(4, 40));  // every field as read
}

// A full leaf whose ids ascend but for one pair, at every place the pair
// can stand, as a repeat and as a step down: the order check must see each
// pair, and the map then applies the duplicate rule and sorts.
TEST_F(DirectoryTest, OneBrokenPairAnywhereInALeafIsSeen) {
  for (std::uint32_t at = 1; at < kNodeEntries; ++at) {
    for (const bool repeat : {true, false}) {
      SCOPED_TRACE(::testing::Message()
                   << "pair at " << at << (repeat ? ", repeat" : ", down"));
      image_ = ArchiveImage(kBlockSize);
      std::vector<DatFileEntry> leaf;
      std::map<std::uint32_t, DatFileEntry> expected;
      for (std::uint32_t i = 0; i < kNodeEntries; ++i) {
        std::uint32_t id = 10 * (i + 1);
        if (i == at) id = repeat ? 10 * i : 10 * i - 5;
        leaf.push_back(entry(id, i));
        expected.insert_or_assign(id, leaf.back());
      }
      auto db = open(node(leaf));
      ASSERT_TRUE(db) << debug_of(db);
      std::vector<DatFileEntry> got(db->files().begin(), db->files().end());
      std::vector<DatFileEntry> want;
      for (const auto& [id, e] : expected) want.push_back(e);
      ASSERT_EQ(got, want);
    }
  }
}

// Random trees: nodes with 0 to 61 entries, children in some of the slots
// that are walked and in some that are not, leaves with stray slots. Ids
// are either drawn from a small range (duplicates everywhere) or laid out
// as a B-tree (ascending in order, with now and then one repeated). The
// directory must equal a map filled by the plain pre-order walk.
TEST_F(DirectoryTest, RandomTreesMatchAMapFilledInWalkOrder) {
  struct TestNode {
    std::vector<DatFileEntry> entries;
    std::array<int, kNodeBranches> children;  // index into nodes, -1 none
  };
  for (std::uint32_t seed = 1; seed <= 60; ++seed) {
    SCOPED_TRACE(seed);
    testing::Xorshift random(seed * 2654435761u);
    auto next = [&random](std::uint32_t range) { return random.next(range); };
    const bool ordered = seed % 2 == 0;
    std::vector<TestNode> nodes;
    std::uint32_t tag = 0;
    std::uint32_t next_id = 1;
    // Builds a subtree; with `ordered`, in-order ids ascend.
    std::function<int(int)> build = [&](int depth) -> int {
      const int at = static_cast<int>(nodes.size());
      nodes.emplace_back();
      nodes[at].children.fill(-1);
      const std::uint32_t count = next(8) == 0 ? 61 : next(6);
      const bool leaf = depth == 0 || next(5) == 0;
      for (std::uint32_t slot = 0; slot <= count && slot < kNodeBranches; ++slot) {
        if (!leaf && (slot == 0 || next(4) != 0)) nodes[at].children[slot] = build(depth - 1);
        if (slot < count) {
          std::uint32_t id = ordered ? next_id++ : 1 + next(40);
          if (ordered && next(50) == 0) id = --next_id;  // a duplicate
          nodes[at].entries.push_back(entry(id, ++tag));
        }
      }
      // Stray children that the walk must not visit.
      if (count + 1 < kNodeBranches && next(3) == 0) {
        nodes[at].children[count + 1] = static_cast<int>(nodes.size());
        nodes.push_back(TestNode{{entry(999999, ++tag)}, {}});
        nodes.back().children.fill(-1);
      }
      return at;
    };
    const int root = build(1 + static_cast<int>(next(3)));
    image_ = ArchiveImage(kBlockSize);
    std::vector<std::uint32_t> offsets(nodes.size());
    // Children before parents: a node's children have higher indices.
    for (int i = static_cast<int>(nodes.size()) - 1; i >= 0; --i) {
      std::vector<std::uint32_t> children;
      for (int child : nodes[i].children) {
        children.push_back(child < 0 ? 0 : offsets[child]);
      }
      offsets[i] = node(nodes[i].entries, children);
    }
    std::map<std::uint32_t, DatFileEntry> expected;
    std::function<void(int)> walk = [&](int i) {
      for (const auto& e : nodes[i].entries) expected.insert_or_assign(e.id, e);
      if (nodes[i].children[0] < 0) return;
      for (std::size_t slot = 0; slot <= nodes[i].entries.size(); ++slot) {
        if (nodes[i].children[slot] >= 0) walk(nodes[i].children[slot]);
      }
    };
    walk(root);
    auto db = open(offsets[root]);
    ASSERT_TRUE(db) << debug_of(db);
    std::vector<DatFileEntry> got(db->files().begin(), db->files().end());
    std::vector<DatFileEntry> want;
    for (const auto& [id, e] : expected) want.push_back(e);
    ASSERT_EQ(got, want);
    for (const auto& e : want) ASSERT_EQ(*db->files().find(e.id), e);
  }
}

TEST_F(DirectoryTest, ChildThatIsItsOwnAncestorIsCorruption) {
  const std::uint32_t leaf = node({entry(9)});
  const std::uint32_t middle = node({entry(8)}, {leaf});
  const std::uint32_t root = node({entry(7)}, {middle});
  struct Case {
    std::string what;
    std::uint32_t node;
    std::uint32_t loop_to;
  } cases[] = {{"node lists itself", root, root},
               {"grandchild lists the root", leaf, root},
               {"leaf lists its parent", leaf, middle}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    relink(c.node, 0, c.loop_to);
    auto db = open(root);
    ASSERT_FALSE(db);
    EXPECT_EQ(db.error().kind(), DatError::Kind::Corruption) << debug_of(db);
    const std::string hex_offset = [&] {
      char text[16];
      std::snprintf(text, sizeof text, "0x%X", c.loop_to);
      return std::string(text);
    }();
    EXPECT_NE(debug_string(db.error()).find("node at offset " + hex_offset),
              std::string::npos)
        << debug_of(db);
    relink(c.node, 0, c.node == leaf ? 0 : middle);
  }
}

TEST_F(DirectoryTest, SharedChildrenAreWalkedWhileTheFileCouldHoldThem) {
  // Two parents listing one leaf is no loop: the leaf is walked twice, as
  // long as the walk reads no more blocks than the file holds. Node chains
  // take 7 blocks here; the file data below leaves room for a second walk.
  const std::uint32_t shared = node({entry(5)});
  const std::uint32_t root = node({entry(1)}, {shared, shared});
  auto tight = open(root);
  ASSERT_FALSE(tight);
  EXPECT_EQ(debug_string(tight.error()),
            "Corruption(\"directory walk needs more blocks than the archive "
            "holds; stopped at the node at offset 0x" +
                [&] {
                  char text[16];
                  std::snprintf(text, sizeof text, "%X", shared);
                  return std::string(text);
                }() +
                "\")");
  for (int i = 0; i < 8; ++i) image_.allocate_block();
  auto roomy = open(root);
  ASSERT_TRUE(roomy) << debug_of(roomy);
  EXPECT_EQ(ids(*roomy), (std::vector<std::uint32_t>{1, 5}));

  // Twelve levels where each node lists the next one 62 times: 62^12 visits
  // if walked naively. The walk's budget ends it quickly.
  image_ = ArchiveImage(kBlockSize);
  std::uint32_t level = node({entry(99)});
  for (int depth = 0; depth < 12; ++depth) {
    std::vector<std::uint32_t> children(62, level);
    std::vector<DatFileEntry> own(61, entry(static_cast<std::uint32_t>(depth)));
    level = node(own, children);
  }
  auto exploding = open(level);
  ASSERT_FALSE(exploding);
  EXPECT_EQ(exploding.error().kind(), DatError::Kind::Corruption)
      << debug_of(exploding);
}

TEST(FileMap, FromWalkOrderKeepsTheEntryDecodedLastLikeAMap) {
  for (std::uint32_t seed = 0; seed < 200; ++seed) {
    SCOPED_TRACE(seed);
    testing::Xorshift random(seed * 2654435761u + 1);
    auto next = [&random](std::uint32_t range) { return random.next(range); };
    // Sizes from empty up; ids from a range small enough for duplicates,
    // the whole u32 range, or ascending (which is taken as it is).
    const std::uint32_t count = seed < 5 ? seed : next(3000);
    const std::uint32_t range = seed % 3 == 0 ? 0 : 1 + next(count + 1);
    std::vector<DatFileEntry> walk;
    std::map<std::uint32_t, DatFileEntry> expected;
    for (std::uint32_t i = 0; i < count; ++i) {
      const std::uint32_t id = range == 0 ? i * 3 : (seed % 3 == 1 ? next(range) : ~next(range));
      const DatFileEntry e{next(2), id, i, next(100), i * 7, seed};
      walk.push_back(e);
      expected.insert_or_assign(id, e);
    }
    const FileMap map = FileMap::from_walk_order(walk);
    std::vector<DatFileEntry> want;
    for (const auto& [id, e] : expected) want.push_back(e);
    ASSERT_EQ(std::vector<DatFileEntry>(map.begin(), map.end()), want);
    ASSERT_EQ(map.size(), want.size());
    for (const auto& e : want) ASSERT_EQ(*map.find(e.id), e);
    EXPECT_EQ(map.find(range == 0 ? 1 : 0xFFFFFFFF - range), nullptr);
  }
}

TEST(DirectoryWalk, BlocksLargerThanTheFileHoldOneNodeEach) {
  // Each node is a last block (pointer 0) of 4 + 1716 bytes: the walk's
  // room is what the nodes take, not whole blocks of 4 GiB.
  ArchiveImage image(16);
  DirectoryNode child;
  child.entries = {DatFileEntry{0, 2, 0, 0, 0, 0}};
  const std::uint64_t child_at = image.size();
  image.put_u32(child_at, 0);
  image.put(child_at + 4, encode_node(child));
  DirectoryNode root;
  root.entries = {DatFileEntry{0, 1, 0, 0, 0, 0}};
  root.branches[0] = static_cast<std::uint32_t>(child_at);
  const std::uint64_t root_at = image.size();
  image.put_u32(root_at, 0);
  image.put(root_at + 4, encode_node(root));
  DatHeader header;
  header.block_size = 0xFFFFFFFF;
  header.root_offset = static_cast<std::uint32_t>(root_at);
  image.put_header(header);
  auto db = open_bytes(image.bytes());
  ASSERT_TRUE(db) << debug_of(db);
  EXPECT_EQ(db->files().size(), 2u);
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

// Depth of the directory tree below `offset`, read back node by node.
int tree_depth(const DatDatabase& db, std::uint32_t offset) {
  auto node = db.read_file_data(offset, kNodeSize);
  if (!node) return -1000;
  RecordReader reader(*node);
  std::uint32_t first_child = *reader.read_u32();
  if (first_child == 0) return 1;
  return 1 + tree_depth(db, first_child);
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
