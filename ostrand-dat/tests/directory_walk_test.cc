#include "directory_walk.h"

#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "archive_image.h"
#include "archive_support.h"
#include "hex.h"
#include "node_layout.h"
#include "ostrand_dat/ostrand_dat.h"
#include "test_support.h"

namespace ostrand_dat {
namespace {

using testing::debug_of;
using testing::open_bytes;
using testing::open_ok;


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

// Nodes reachable by more than one path, with no loop, are walked once per
// path, so their entries are decoded again each time: the map holds what a
// plain pre-order walk leaves, the entry decoded last winning. Here `shared`
// is walked after `middle` last, so its entry 6 wins over middle's. The
// file is no larger than its three nodes, which the walk reads five times.
TEST_F(DirectoryTest, SharedNodesAreWalkedOnEveryPathInPreOrder) {
  const std::uint32_t shared = node({entry(5, 50), entry(6, 60)});
  const std::uint32_t middle = node({entry(6, 61)}, {shared});
  const std::uint32_t root =
      node({entry(1, 10), entry(5, 11)}, {shared, middle, shared});
  auto db = open(root);
  ASSERT_TRUE(db) << debug_of(db);
  std::vector<DatFileEntry> got(db->files().begin(), db->files().end());
  EXPECT_EQ(got, (std::vector{entry(1, 10), entry(5, 50), entry(6, 60)}));
}

// The walk may read four times the file's length. A root whose 62 slots
// all name one leaf walks 63 nodes of 7 blocks, 6 * 256 + 4 + 204 = 1744
// bytes each: 109872 bytes, so a file of 27468 bytes opens and one byte
// less does not. Directories that multiply their paths end quickly.
TEST_F(DirectoryTest, WalkReadingMoreThanFourTimesTheFileIsCorruption) {
  const std::uint32_t leaf = node({entry(5)});
  std::vector<DatFileEntry> own;
  for (std::uint32_t id = 100; id < 161; ++id) own.push_back(entry(id));
  const std::uint32_t root = node(own, std::vector<std::uint32_t>(62, leaf));
  const std::string over_budget =
      "Corruption(\"directory walk would read more than its budget of a few "
      "times the archive's length; stopped at the node at offset " +
      hex(leaf) + "\")";
  image_.put(27468 - 1, testing::bytes({0}));
  auto at_budget = open(root);
  ASSERT_TRUE(at_budget) << debug_of(at_budget);
  EXPECT_EQ(at_budget->files().size(), 62u);
  image_.truncate(27468 - 1);
  EXPECT_EQ(debug_of(open(root)), over_budget);

  struct Case {
    std::string what;
    std::size_t fan_out;  // slots naming the next level's node
    int levels;
  } cases[] = {{"two slots a level, 2^40 paths", 2, 40},
               {"62 slots a level, 62^12 paths", 62, 12}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    image_ = ArchiveImage(kBlockSize);
    std::uint32_t level = node({entry(99)});
    for (int depth = 0; depth < c.levels; ++depth) {
      std::vector<DatFileEntry> entries(
          c.fan_out - 1, entry(static_cast<std::uint32_t>(depth)));
      level = node(entries, std::vector<std::uint32_t>(c.fan_out, level));
    }
    auto exploding = open(level);
    ASSERT_FALSE(exploding);
    EXPECT_NE(debug_of(exploding).find("would read more than its budget"),
              std::string::npos)
        << debug_of(exploding);
  }
}

// An entry read on its own: six little-endian fields in order, and a cut
// anywhere names the field it falls in.
TEST(DatFileEntry, ReadsSixFieldsInOrderAndNamesTheFieldCutShort) {
  const DatFileEntry entry{0x01020304, 0x20000001, 400, 1716, 7, 9};
  const auto bytes = encode_entry(entry);
  RecordReader whole{std::span<const std::byte>(bytes)};
  EXPECT_EQ(DatFileEntry::read(whole), entry);
  const char* const fields[] = {"bit_flags", "id",        "offset",
                                "size",      "timestamp", "version"};
  for (std::size_t length = 0; length < bytes.size(); ++length) {
    SCOPED_TRACE(length);
    RecordReader cut{std::span<const std::byte>(bytes).first(length)};
    auto read = DatFileEntry::read(cut);
    ASSERT_FALSE(read);
    ASSERT_EQ(read.error().contexts.size(), 1u);
    EXPECT_EQ(read.error().contexts[0].message,
              std::string("While parsing field '") + fields[length / 4] +
                  "' in DatFileEntry");
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

}  // namespace
}  // namespace ostrand_dat
