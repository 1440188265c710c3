// The directory: a tree of 1716-byte nodes stored in block chains, each node
// with up to 61 entries and up to 62 child offsets, loaded whole into a
// FileMap when an archive is opened.
#ifndef OSTRAND_DAT_SRC_DIRECTORY_WALK_H_
#define OSTRAND_DAT_SRC_DIRECTORY_WALK_H_

#include <array>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <unordered_map>
#include <utility>
#include <vector>

#include "block_chain.h"
#include "node_layout.h"
#include "ostrand_dat/error.h"
#include "ostrand_dat/ostrand_dat.h"

namespace ostrand_dat {

// The nodes a walk read, for a check of the same archive that would read
// them again: each with its blocks in chain order (offset and next-block
// pointer) and its bytes. Nodes are kept while they take at most kMaxBytes
// in all; the rest are read again.
class NodeLog {
 public:
  struct Node {
    std::vector<std::pair<std::uint64_t, std::uint32_t>> blocks;
    std::array<std::byte, kNodeSize> bytes;
  };
  static constexpr std::size_t kMaxBytes = std::size_t{64} << 20;

  const Node* find(std::uint32_t offset) const {
    auto it = nodes_.find(offset);
    return it == nodes_.end() ? nullptr : &it->second;
  }
  void add(std::uint32_t offset, Node node) {
    const std::size_t size =
        sizeof node + node.blocks.size() * sizeof node.blocks[0];
    if (bytes_ + size > kMaxBytes || nodes_.contains(offset)) return;
    bytes_ += size;
    nodes_.emplace(offset, std::move(node));
  }

 private:
  std::unordered_map<std::uint32_t, Node> nodes_;
  std::size_t bytes_ = 0;
};

// Walks the tree whose root node is at `root_offset` (0: no directory),
// depth first and pre-order: a node's entries are decoded before any child
// is visited, children in slot order (the first entry_count + 1 slots of an
// inner node; none of a leaf, whose slot 0 is 0). Where an id occurs more
// than once, the entry decoded last in that order is kept.
//
// Fails with the block chain's errors, BinRead when a node's entry_count
// exceeds 61, and Corruption when a node is its own ancestor, when the walk
// would read more than four times the file's length (nodes shared by many
// parents), or when the block size leaves no room for payload.
// With `log`, each node read whole goes into it.
std::expected<FileMap, DatError> load_directory(const BlockChain& chain,
                                                std::uint32_t root_offset,
                                                NodeLog* log = nullptr);

}  // namespace ostrand_dat

#endif  // OSTRAND_DAT_SRC_DIRECTORY_WALK_H_
