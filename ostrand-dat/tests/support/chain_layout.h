// Archives of one file stored in a chain in any order, for the tests and
// benchmarks of reading chains whatever their layout.
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

namespace ostrand_dat::testing {

inline const char* order_name(ChainOrder order) {
  constexpr const char* kNames[] = {"forward", "reversed", "scattered"};
  return kNames[static_cast<int>(order)];
}

// An archive whose directory, one node in its first blocks, lists one file,
// id 1: `stored` in a chain in `order`, marked compressed when `compressed`.
inline std::vector<std::byte> one_file_archive(std::uint32_t block_size,
                                               std::span<const std::byte> stored,
                                               bool compressed, ChainOrder order) {
  ArchiveImage image(block_size);
  const std::size_t room = block_size - 4;
  // The node's blocks first, forward; their payload is written last.
  const std::uint64_t node = image.store_chain(std::vector<std::byte>(kNodeSize));
  DirectoryNode leaf;
  leaf.entries.push_back(DatFileEntry{
      compressed ? 1u : 0u, 1,
      static_cast<std::uint32_t>(image.store_chain(stored, order)),
      static_cast<std::uint32_t>(stored.size()), 0, 0});
  const auto bytes = encode_node(leaf);
  for (std::size_t at = 0; at < bytes.size(); at += room) {
    image.put(node + at / room * block_size + 4,
              std::span(bytes).subspan(at, std::min(room, bytes.size() - at)));
  }
  DatHeader header;
  header.block_size = block_size;
  header.root_offset = static_cast<std::uint32_t>(node);
  image.put_header(header);
  return std::move(image).take();
}

}  // namespace ostrand_dat::testing

#endif  // OSTRAND_DAT_TESTS_SUPPORT_CHAIN_LAYOUT_H_
