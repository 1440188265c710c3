// Items stored as chains of blocks. Each block of `block_size` bytes starts
// with the little-endian u32 file offset of the next block (0: the last one)
// and carries payload in the rest; an item's length comes from whoever
// names the chain.
#ifndef OSTRAND_DAT_SRC_BLOCK_CHAIN_H_
#define OSTRAND_DAT_SRC_BLOCK_CHAIN_H_

#include <cstddef>
#include <cstdint>
#include <expected>
#include <span>

#include "ostrand_dat/error.h"
#include "ostrand_dat/file.h"

namespace ostrand_dat {

// The archive's blocks, read through a borrowed file. Only reads, with
// positional reads, so one BlockChain serves any number of threads.
class BlockChain {
 public:
  BlockChain(const File& file, std::uint32_t block_size,
             std::uint64_t file_length)
      : file_(file), block_size_(block_size), file_length_(file_length) {}

  std::uint32_t block_size() const { return block_size_; }
  std::uint64_t file_length() const { return file_length_; }

  // Fills `out` through the chain whose first block is at `offset`. A block
  // whose pointer is 0 holds all that is still missing, in one piece; a
  // pointer is not followed once `out` is full. Fails with Io when a read
  // fails (UnexpectedEof past the end of the file), and with Corruption
  // when `out` is larger than the file or the chain goes on from a block
  // that has no room for payload (block_size <= 4).
  //
  // Spends from `byte_budget` the room each block takes in a well-formed
  // file, and fails with Corruption when the budget does not cover it: the
  // bound of the directory walk. Pass UINT64_MAX for no bound.
  std::expected<void, DatError> gather(std::uint32_t offset,
                                       std::span<std::byte> out,
                                       std::uint64_t& byte_budget) const;

 private:
  const File& file_;
  std::uint32_t block_size_;
  std::uint64_t file_length_;
};

// Corruption: an item of `size` bytes at `offset` larger than the whole
// archive of `file_length` bytes.
DatError item_too_large(std::uint32_t offset, std::uint64_t size,
                        std::uint64_t file_length);

}  // namespace ostrand_dat

#endif  // OSTRAND_DAT_SRC_BLOCK_CHAIN_H_
