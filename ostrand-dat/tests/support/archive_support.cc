#include "archive_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <utility>

#include "coding.h"
#include "node_layout.h"
#include "test_support.h"

namespace ostrand_dat::testing {
namespace {

int subtree_depth(const DatDatabase& db, std::uint32_t offset, int limit) {
  if (limit == 0) return -1;
  auto node = db.read_file_data(offset, kNodeSize);
  if (!node) return -1;
  if (load_u32(node->data()) == 0) return 1;
  const std::uint32_t entry_count = load_u32(node->data() + kNodeEntryCountAt);
  const std::size_t slots =
      std::min<std::size_t>(entry_count + std::size_t{1}, kNodeBranches);
  int below = 0;
  for (std::size_t slot = 0; slot < slots; ++slot) {
    const std::uint32_t child = load_u32(node->data() + 4 * slot);
    if (child == 0) continue;
    const int depth = subtree_depth(db, child, limit - 1);
    if (depth < 0) return -1;
    below = std::max(below, depth);
  }
  return below + 1;
}

}  // namespace

std::expected<DatDatabase, DatError> open_bytes(
    std::span<const std::byte> image) {
  TempFile file(image);
  return DatDatabase::open(file.path());
}

std::expected<DatDatabase, DatError> open_image(const ArchiveImage& image) {
  return open_bytes(image.bytes());
}

DatDatabase open_ok(std::span<const std::byte> image) {
  auto db = open_bytes(image);
  if (db) return std::move(*db);
  ADD_FAILURE() << debug_string(db.error());
  ArchiveImage empty(64);
  return std::move(*open_bytes(empty.bytes()));
}

std::string debug_of(const std::expected<DatDatabase, DatError>& db) {
  return db ? std::string("opened") : debug_string(db.error());
}

std::vector<std::byte> deep_chain_directory(std::uint32_t depth) {
  constexpr std::uint32_t kBlockSize = kNodeSize + 4;
  ArchiveImage image(kBlockSize);
  std::uint32_t child = 0;
  for (std::uint32_t level = depth; level-- > 0;) {
    DirectoryNode node;
    node.branches[0] = child;
    for (std::uint32_t i = 0; i < kNodeEntries; ++i) {
      node.entries.push_back({0, level * 61 + i, 0, 0, 0, 0});
    }
    child = static_cast<std::uint32_t>(image.store_chain(encode_node(node)));
  }
  DatHeader header;
  header.block_size = kBlockSize;
  header.root_offset = child;
  image.put_header(header);
  return std::move(image).take();
}

int tree_depth(const DatDatabase& db, std::uint32_t offset) {
  return subtree_depth(db, offset, 64);
}

}  // namespace ostrand_dat::testing
