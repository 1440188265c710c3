// The layout of a directory node: 1716 bytes read through the node's block
// chain, every number a little-endian u32.
//
// Offset  Width  Field
//      0    248  branches: 62 child node offsets, 0 = no child
//    248      4  entry_count
//    252   1464  61 entry slots of 24 bytes; the first entry_count are used
#ifndef OSTRAND_DAT_SRC_NODE_LAYOUT_H_
#define OSTRAND_DAT_SRC_NODE_LAYOUT_H_

#include <cstddef>

#include "ostrand_dat/ostrand_dat.h"

namespace ostrand_dat {

inline constexpr std::size_t kNodeBranches = 62;
inline constexpr std::size_t kNodeEntries = 61;
inline constexpr std::size_t kNodeEntryCountAt = 4 * kNodeBranches;
inline constexpr std::size_t kNodeSlotsAt = kNodeEntryCountAt + 4;
inline constexpr std::size_t kNodeSize =
    kNodeSlotsAt + kNodeEntries * DatFileEntry::kSize;
static_assert(kNodeSize == 1716);

}  // namespace ostrand_dat

#endif  // OSTRAND_DAT_SRC_NODE_LAYOUT_H_
