// Archive bytes laid out by hand: the header, directory nodes and entries
// encoded field by field, and block allocation with chains. The writer
// builds well-formed archives with it; the tests build every layout with it,
// hostile ones included.
#ifndef OSTRAND_DAT_SRC_ARCHIVE_IMAGE_H_
#define OSTRAND_DAT_SRC_ARCHIVE_IMAGE_H_

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "node_layout.h"
#include "ostrand_dat/error.h"
#include "ostrand_dat/ostrand_dat.h"

namespace ostrand_dat {

// The 80 header bytes, fields in order, little-endian.
std::array<std::byte, DatHeader::kSize> encode_header(const DatHeader& header);
// The 24 bytes of a directory entry.
std::array<std::byte, DatFileEntry::kSize> encode_entry(
    const DatFileEntry& entry);

// A directory node before encoding. `entry_count` overrides the stored count
// (for hostile layouts); by default it is entries.size().
struct DirectoryNode {
  std::array<std::uint32_t, kNodeBranches> branches{};
  std::vector<DatFileEntry> entries;  // at most 61 are encoded
  std::optional<std::uint32_t> entry_count;
};
// The 1716 node bytes: branches, entry_count, 61 entry slots (unused ones 0).
std::vector<std::byte> encode_node(const DirectoryNode& node);

// Where a chain's blocks lie in the file, one after the other.
enum class ChainOrder {
  kForward,    // each block right after the one before, as the writer does
  kReversed,   // each block right before the one before
  kScattered,  // runs of 1 to 16 blocks in file order, the runs shuffled
};

// Raw archive bytes with block allocation, for building any layout by hand,
// hostile ones included. Blocks are appended after the 400 header bytes.
// Owns its bytes; not thread-safe.
class ArchiveImage {
 public:
  // `block_size` must be at least 5 for store_chain; smaller sizes can still
  // be written into the header by hand.
  explicit ArchiveImage(std::uint32_t block_size);

  std::uint32_t block_size() const { return block_size_; }
  std::uint64_t size() const { return bytes_.size(); }

  // Appends one zeroed block and returns its offset.
  std::uint64_t allocate_block();
  // Stores `payload` as a chain of new blocks (pointer of the last one 0)
  // and returns the first block's offset; an empty payload stores nothing
  // and returns 0.
  std::uint64_t store_chain(std::span<const std::byte> payload);
  // store_chain with the chain's blocks in the file in `order`; the same
  // block count always gives the same order.
  std::uint64_t store_chain(std::span<const std::byte> payload,
                            ChainOrder order);

  // Writes bytes at any offset, growing the image with zeros as needed.
  void put(std::uint64_t offset, std::span<const std::byte> bytes);
  void put_u32(std::uint64_t offset, std::uint32_t value);
  void put_header(const DatHeader& header);

  // Cuts the image to `length` bytes (to make truncated files).
  void truncate(std::uint64_t length) { bytes_.resize(length); }

  const std::vector<std::byte>& bytes() const { return bytes_; }
  std::vector<std::byte> take() && { return std::move(bytes_); }

 private:
  std::uint32_t block_size_;
  std::vector<std::byte> bytes_;
};

}  // namespace ostrand_dat

#endif  // OSTRAND_DAT_SRC_ARCHIVE_IMAGE_H_
