// The whole-archive check: each kind of finding made by a real damaged
// archive, exactly as reported.
#include "ostrand_dat/check.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "ostrand_dat/ostrand_dat.h"
#include "ostrand_dat/writer.h"
#include "archive_image.h"
#include "archive_support.h"
#include "coding.h"
#include "test_support.h"

namespace ostrand_dat {
namespace {

using testing::Bytes;

constexpr std::uint32_t kA = 0x10, kB = 0x20;

// Findings one a line: "D Kind 0x10: text" (W for a warning, no id for the
// archive as a whole).
std::string lines_of(const ArchiveCheck& check) {
  std::string out;
  for (const CheckFinding& f : check.findings) {
    out += f.severity == CheckFinding::Severity::Damage ? "D " : "W ";
    out += std::string(kind_name(f.kind)) + " ";
    if (f.id) out += "0x" + std::to_string(*f.id) + ": ";
    out += f.text + "\n";
  }
  return out;
}

std::string findings_of(const Bytes& archive) {
  testing::TempFile file(archive);
  auto check = check_archive(file.path());
  if (!check) return "error " + debug_string(check.error());
  return lines_of(*check);
}

std::string hex(std::uint64_t value) {
  char text[24];
  std::snprintf(text, sizeof text, "0x%llX",
                static_cast<unsigned long long>(value));
  return text;
}

struct DamageCase {
  std::string what;
  Bytes archive;
  std::string findings;
};

// Each kind of finding, made by a real archive, and its exact words.
std::vector<DamageCase> damage_cases() {
  // Block size 64: kA takes three blocks, kB two, then the root node.
  ArchiveWriter writer(64);
  writer.add({.id = kA, .data = Bytes(150, std::byte{1})});
  writer.add({.id = kB, .data = Bytes(100, std::byte{2})});
  const Bytes good = *writer.build();
  const DatFileEntry a = testing::open_ok(good).files().find(kA)[0];
  const DatFileEntry b = testing::open_ok(good).files().find(kB)[0];
  const std::uint32_t a2 = a.offset + 64, a3 = a.offset + 128;
  const std::uint32_t root = testing::open_ok(good).header().root_offset;
  const std::uint64_t end = good.size();
  auto edit = [&](std::function<void(Bytes&)> change) {
    Bytes out = good;
    change(out);
    return out;
  };
  auto put = [](Bytes& bytes, std::uint64_t at, std::uint32_t value) {
    if (bytes.size() < at + 4) bytes.resize(at + 4);
    store_u32(bytes.data() + at, value);
  };
  // Two free blocks appended, linked (the second to `then`), and the
  // header naming them.
  const auto end2 = static_cast<std::uint32_t>(end + 64);
  auto free_list = [&](std::uint32_t head, std::uint32_t count,
                       std::uint32_t then = 0, std::uint32_t tail = 0) {
    return edit([&](Bytes& bytes) {
      put(bytes, end, end2);
      put(bytes, end + 64, then);
      bytes.resize(end + 128);
      put(bytes, 328, static_cast<std::uint32_t>(bytes.size()));
      put(bytes, 340, head);
      put(bytes, 344, tail == 0 ? end2 : tail);
      put(bytes, 348, count);
    });
  };
  // The root's first entry (kA) is at node byte 252: its size, node byte
  // 264, is byte 24 of the node's fifth block.
  const std::uint32_t a_size_at = root + 4 * 64 + 4 + 24;
  // A root listing no file whose slots 0 and 1 both name one leaf.
  ArchiveImage shared(64);
  const std::uint64_t leaf = shared.store_chain(encode_node({}));
  DirectoryNode inner;
  inner.branches = {static_cast<std::uint32_t>(leaf),
                    static_cast<std::uint32_t>(leaf)};
  inner.entry_count = 1;
  inner.entries = {{0, 0, 0, 0, 0, 0}};
  DatHeader header;
  header.block_size = 64;
  header.root_offset = static_cast<std::uint32_t>(
      shared.store_chain(encode_node(inner)));
  header.file_size = static_cast<std::uint32_t>(shared.size());
  shared.put_header(header);

  return {
      {"as written", good, ""},
      {"file_size wrong", edit([&](Bytes& x) { put(x, 328, 5); }),
       "W FileSizeMismatch the header's file_size is 5, the file is " +
           std::to_string(end) + " bytes\n"},
      {"a chain that comes back", edit([&](Bytes& x) { put(x, a2, a.offset); }),
       "W Unaccounted 1 blocks unaccounted for\n"
       "D ChainLoop 0x16: its chain comes back to the block at " +
           hex(a.offset) + "\n"},
      {"two files sharing a block", edit([&](Bytes& x) { put(x, b.offset, a3); }),
       "W Unaccounted 1 blocks unaccounted for\n"
       "D CrossLinked 0x16: its block at " + hex(a3) +
           " is also in the file 0x00000020\n"
           "D CrossLinked 0x32: its block at " + hex(a3) +
           " is also in the file 0x00000010\n"},
      {"a chain past the end",
       edit([&](Bytes& x) { put(x, a.offset, static_cast<std::uint32_t>(end + 640)); }),
       "W Unaccounted 2 blocks unaccounted for\n"
       "D ChainOutOfRange 0x16: its chain runs past the end of the file at the "
       "block at " + hex(end + 640) + "\n"},
      {"a root node past the end of the file",
       edit([&](Bytes& x) { put(x, 352, static_cast<std::uint32_t>(end + 640)); }),
       "D ChainOutOfRange the directory node at " + hex(end + 640) +
           ": its chain runs past the end of the file at the block at " +
           hex(end + 640) + "\n"
           "W Unaccounted 34 blocks unaccounted for\n"},
      {"a chain into the header", edit([&](Bytes& x) { put(x, a.offset, 0x100); }),
       "W Unaccounted 2 blocks unaccounted for\n"
       "D ChainOutOfRange 0x16: its chain goes to 0x100, inside the header\n"},
      // entry_count, node byte 248, is byte 8 of the node's fifth block.
      {"a node with 62 entries",
       edit([&](Bytes& x) { put(x, root + 4 * 64 + 4 + 8, 62); }),
       "D BadNode the directory node at " + hex(root) +
           ": it counts 62 entries, more than 61\n"
           "W Unaccounted 5 blocks unaccounted for\n"},
      {"a node two slots name", shared.bytes(),
       "W SharedNode the directory node at " + hex(leaf) +
           ": two slots name it (again in the node at " +
           hex(header.root_offset) + "); its blocks count once\n"},
      {"a free list as the header says", free_list(end, 2), ""},
      {"a free list shorter than its count", free_list(end, 3),
       "D FreeList the free list: it ends after 2 of its 3 blocks\n"},
      {"a free list through a file", free_list(a3, 2),
       "W Unaccounted 2 blocks unaccounted for\n"
       "D FreeBlockInUse the free list: its block at " + hex(a3) +
           " is also in the file 0x00000010\n"
           "D FreeBlockInUse 0x16: its block at " + hex(a3) +
           " is also in the free list\n"},
      {"blocks nothing reaches", edit([&](Bytes& x) {
         x.resize(end + 128);
         put(x, 328, static_cast<std::uint32_t>(x.size()));
       }),
       "W Unaccounted 2 blocks unaccounted for\n"},
      {"a megabyte of zeros", Bytes(1 << 20),
       "W FileSizeMismatch the header's file_size is 0, the file is 1048576 "
       "bytes\n"
       "W BlockSizeNoRoom the block size 0 leaves no room for data after the "
       "block pointer\n"},
      {"block size 4 with a directory", edit([&](Bytes& x) { put(x, 324, 4); }),
       "D BlockSizeNoRoom the block size 4 leaves no room for data after the "
       "block pointer\n"},
      {"a size larger than the file",
       edit([&](Bytes& x) { put(x, a_size_at, 1u << 30); }),
       "W Unaccounted 3 blocks unaccounted for\n"
       "D ChainOutOfRange 0x16: its size of 1073741824 bytes is larger than "
       "the whole file\n"},
      {"a last block whose rest runs past the end",
       edit([&](Bytes& x) {
         put(x, a_size_at, static_cast<std::uint32_t>(end - 10));
       }),
       "W Unaccounted 1 blocks unaccounted for\n"
       "D ChainOutOfRange 0x16: its chain runs past the end of the file at the "
       "block at " + hex(a3) + "\n"},
      {"a chain off the block grid", edit([&](Bytes& x) { put(x, a.offset, a2 + 1); }),
       "W Unaccounted 2 blocks unaccounted for\n"
       "D ChainOutOfRange 0x16: its chain goes to " + hex(a2 + 1) +
           ", which is not on the block grid\n"},
      {"a chain into a directory node",
       edit([&](Bytes& x) { put(x, a.offset, root); }),
       "W Unaccounted 2 blocks unaccounted for\n"
       "D CrossLinked the directory node at " + hex(root) + ": its block at " +
           hex(root) + " is also in the file 0x00000010\n"
           "D CrossLinked 0x16: its block at " + hex(root) +
           " is also in the directory node at " + hex(root) + "\n"},
      {"a node that is its own child", edit([&](Bytes& x) { put(x, root + 4, root); }),
       "D ChainLoop the directory node at " + hex(root) +
           ": it is its own ancestor (named again by the node at " + hex(root) +
           ")\n"},
      {"a free list that comes back", free_list(end, 3, static_cast<std::uint32_t>(end)),
       "D FreeList the free list: it comes back to the block at " + hex(end) +
           "\n"},
      {"a free list ending elsewhere than free_tail", free_list(end, 2, 0, a3),
       "D FreeList the free list: its last block is at " + hex(end2) +
           ", not at free_tail " + hex(a3) + "\n"},
      {"a free list that leaves the file", free_list(end2 + 640, 2),
       "D FreeList the free list: it goes to " + hex(end2 + 640) +
           ", which is not a block of the file\n"
           "W Unaccounted 2 blocks unaccounted for\n"},
      {"a file shorter than its header", Bytes(100),
       "D HeaderCutShort the file is 100 bytes, its header ends at byte 400\n"},
  };
}

TEST(CheckArchive, EachKindOfDamageFromARealArchive) {
  for (const auto& c : damage_cases()) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(findings_of(c.archive), c.findings);
  }
}

// The same findings when the caller reads every entry through the checker
// on two threads, and each read gives what read_file() gives.
TEST(ArchiveChecker, ReadsOnTwoThreadsFindWhatTheCheckFinds) {
  for (const auto& c : damage_cases()) {
    SCOPED_TRACE(c.what);
    testing::TempFile file(c.archive);
    auto checker = ArchiveChecker::start(file.path());
    ASSERT_TRUE(checker) << debug_string(checker.error());
    auto db = DatDatabase::open(file.path());
    std::vector<DatFileEntry> entries;
    if (db) entries.assign(db->files().begin(), db->files().end());
    std::vector<std::string> got(entries.size()), want(entries.size());
    auto read = [&](std::size_t first) {
      for (std::size_t i = first; i < entries.size(); i += 2) {
        auto text = [](std::string& out) {
          return [&out](std::span<const std::byte> piece) {
            out.append(reinterpret_cast<const char*>(piece.data()),
                       piece.size());
            return true;
          };
        };
        auto ours = checker->read_file(entries[i], text(got[i]));
        if (!ours) got[i] += debug_string(ours.error());
        auto theirs = db->read_file(entries[i].id, text(want[i]));
        if (!theirs) want[i] += debug_string(theirs.error());
      }
    };
    std::thread other(read, 1);
    read(0);
    other.join();
    EXPECT_EQ(got, want);
    auto check = checker->finish();
    ASSERT_TRUE(check) << debug_string(check.error());
    EXPECT_EQ(lines_of(*check), c.findings);
  }
}

// A sink that stops after the first piece stops the handing out, not the
// check: the rest of the chain is still read and counted.
TEST(ArchiveChecker, ASinkThatStopsLeavesNoBlockUncounted) {
  ArchiveWriter writer(64);
  writer.add({.id = kA, .data = Bytes(1000, std::byte{1})});
  testing::TempFile file(*writer.build());
  auto checker = ArchiveChecker::start(file.path());
  ASSERT_TRUE(checker) << debug_string(checker.error());
  const DatFileEntry a = *testing::open_ok(*writer.build()).files().find(kA);
  auto read = checker->read_file(
      a, [](std::span<const std::byte>) { return false; });
  ASSERT_TRUE(read) << debug_string(read.error());
  EXPECT_TRUE(read->stopped);
  EXPECT_LT(read->size, 1000u);
  auto check = checker->finish();
  ASSERT_TRUE(check) << debug_string(check.error());
  EXPECT_EQ(lines_of(*check), "");
  EXPECT_EQ(check->unaccounted, 0u);
}

}  // namespace
}  // namespace ostrand_dat
