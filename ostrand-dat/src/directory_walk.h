// The directory: a tree of 1716-byte nodes stored in block chains, each node
// with up to 61 entries and up to 62 child offsets, loaded whole into a
// FileMap when an archive is opened.
#ifndef OSTRAND_DAT_SRC_DIRECTORY_WALK_H_
#define OSTRAND_DAT_SRC_DIRECTORY_WALK_H_

#include <cstdint>
#include <expected>

#include "block_chain.h"
#include "ostrand_dat/error.h"
#include "ostrand_dat/ostrand_dat.h"

namespace ostrand_dat {

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
std::expected<FileMap, DatError> load_directory(const BlockChain& chain,
                                                std::uint32_t root_offset);

}  // namespace ostrand_dat

#endif  // OSTRAND_DAT_SRC_DIRECTORY_WALK_H_
