// Chains laid out in other orders than the writer's front to back, and
// archives of one file stored in such a chain: for the tests and the
// benchmarks of reading chains whatever their order.
#ifndef OSTRAND_DAT_TESTS_SUPPORT_CHAIN_LAYOUT_H_
#define OSTRAND_DAT_TESTS_SUPPORT_CHAIN_LAYOUT_H_

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <utility>
#include <vector>

#include "archive_image.h"
#include "node_layout.h"
#include "ostrand_dat/ostrand_dat.h"

namespace ostrand_dat::testing {

enum class ChainLayout {
  kForward,    // each block right after the one before, as writers do
  kReversed,   // each block right before the one before
  kScattered,  // runs of 1 to 16 blocks in file order, the runs shuffled
};

inline const char* layout_name(ChainLayout layout) {
  switch (layout) {
    case ChainLayout::kForward:
      return "forward";
    case ChainLayout::kReversed:
      return "reversed";
    case ChainLayout::kScattered:
      return "scattered";
  }
  return "?";
}

// `count` new blocks of `image`, in the order a chain in `layout` visits
// them.
inline std::vector<std::uint64_t> layout_blocks(ArchiveImage& image,
                                                std::size_t count,
                                                ChainLayout layout) {
  std::vector<std::uint64_t> blocks(count);
  for (auto& block : blocks) block = image.allocate_block();
  std::uint32_t x = static_cast<std::uint32_t>(count) * 2654435761u + 1;
  auto random = [&x](std::size_t range) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    return x % range;
  };
  if (layout == ChainLayout::kReversed) {
    std::reverse(blocks.begin(), blocks.end());
  } else if (layout == ChainLayout::kScattered) {
    std::vector<std::vector<std::uint64_t>> runs;
    for (std::size_t i = 0; i < count;) {
      const std::size_t n = std::min(count - i, 1 + random(16));
      runs.emplace_back(blocks.begin() + i, blocks.begin() + i + n);
      i += n;
    }
    for (std::size_t i = runs.size(); i > 1; --i) {
      std::swap(runs[i - 1], runs[random(i)]);
    }
    blocks.clear();
    for (const auto& run : runs) blocks.insert(blocks.end(), run.begin(), run.end());
  }
  return blocks;
}

// Writes `payload` into `blocks` as one chain, in their order; the last
// pointer is 0. `blocks` has room for the payload.
inline void put_chain(ArchiveImage& image,
                      const std::vector<std::uint64_t>& blocks,
                      std::span<const std::byte> payload) {
  const std::size_t room = image.block_size() - 4;
  for (std::size_t i = 0; i < blocks.size(); ++i) {
    const bool last = i + 1 == blocks.size();
    image.put_u32(blocks[i], last ? 0 : static_cast<std::uint32_t>(blocks[i + 1]));
    const std::size_t at = std::min(i * room, payload.size());
    image.put(blocks[i] + 4,
              payload.subspan(at, std::min(room, payload.size() - at)));
  }
}

// An archive whose directory, a single node in the first blocks, lists one
// file, id 1: `stored` in a chain laid out in `layout`, marked compressed
// when `compressed`.
inline std::vector<std::byte> one_file_archive(std::uint32_t block_size,
                                               std::span<const std::byte> stored,
                                               bool compressed,
                                               ChainLayout layout) {
  ArchiveImage image(block_size);
  const std::size_t room = block_size - 4;
  const auto node_blocks =
      layout_blocks(image, (kNodeSize + room - 1) / room, ChainLayout::kForward);
  const auto file_blocks = layout_blocks(
      image, std::max<std::size_t>(1, (stored.size() + room - 1) / room), layout);
  put_chain(image, file_blocks, stored);
  DirectoryNode leaf;
  leaf.entries.push_back(DatFileEntry{
      compressed ? 1u : 0u, 1, static_cast<std::uint32_t>(file_blocks[0]),
      static_cast<std::uint32_t>(stored.size()), 0, 0});
  put_chain(image, node_blocks, encode_node(leaf));
  DatHeader header;
  header.block_size = block_size;
  header.root_offset = static_cast<std::uint32_t>(node_blocks[0]);
  image.put_header(header);
  return std::move(image).take();
}

}  // namespace ostrand_dat::testing

#endif  // OSTRAND_DAT_TESTS_SUPPORT_CHAIN_LAYOUT_H_
