// Opening archives laid out by the tests, and looking at how the writer laid
// out its directory.
#ifndef OSTRAND_DAT_TESTS_SUPPORT_ARCHIVE_SUPPORT_H_
#define OSTRAND_DAT_TESTS_SUPPORT_ARCHIVE_SUPPORT_H_

#include <cstddef>
#include <cstdint>
#include <expected>
#include <span>
#include <string>
#include <vector>

#include "archive_image.h"
#include "ostrand_dat/error.h"
#include "ostrand_dat/ostrand_dat.h"

namespace ostrand_dat::testing {

// Writes `image` to a temporary file, opens it, and removes the file (the
// open database keeps it readable).
std::expected<DatDatabase, DatError> open_bytes(
    std::span<const std::byte> image);
std::expected<DatDatabase, DatError> open_image(const ArchiveImage& image);
// open_bytes that must succeed; a failure is reported as a test failure
// and gives an empty database.
DatDatabase open_ok(std::span<const std::byte> image);

// "opened", or the error's debug form: a whole open result in one
// comparable string.
std::string debug_of(const std::expected<DatDatabase, DatError>& db);

// An archive whose directory is a chain of `depth` nodes of 61 entries, one
// node a block, each the only child of the one before. The walk holds the
// whole path and every entry on it before the map takes any, and the ids
// descend in walk order, so the map is sorted at the end.
std::vector<std::byte> deep_chain_directory(std::uint32_t depth);

// Depth of the directory subtree whose node is at `offset` (a leaf: 1),
// read back node by node through `db`; -1 when a node cannot be read or
// the tree is deeper than 64 levels.
int tree_depth(const DatDatabase& db, std::uint32_t offset);

}  // namespace ostrand_dat::testing

#endif  // OSTRAND_DAT_TESTS_SUPPORT_ARCHIVE_SUPPORT_H_
