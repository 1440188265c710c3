// Items stored as chains of blocks. Each block of `block_size` bytes starts
// with the little-endian u32 file offset of the next block (0: the last one)
// and carries payload in the rest; an item's length comes from whoever
// names the chain.
#ifndef OSTRAND_DAT_SRC_BLOCK_CHAIN_H_
#define OSTRAND_DAT_SRC_BLOCK_CHAIN_H_

#include <array>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <vector>

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

  const File& file() const { return file_; }
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
  //
  // Blocks that lie one after the other are read together, as many as
  // kBatchBlocks in one read; failures are those of reading block by block.
  std::expected<void, DatError> gather(std::uint32_t offset,
                                       std::span<std::byte> out,
                                       std::uint64_t& byte_budget) const;

  static constexpr std::size_t kBatchBlocks = 32;

 private:
  const File& file_;
  std::uint32_t block_size_;
  std::uint64_t file_length_;
};

// An item read through its chain piece by piece, in bounded memory: the
// bytes gather() would fill, in the same order, with the same failures.
//
// Each batch is one vectored read of the blocks that would follow if the
// chain were laid out front to back, as writers lay it out: their pointers
// into a small array, their payloads one after the other into the stream's
// buffer, which the caller then receives as one piece. A pointer that leads
// elsewhere ends the batch there, and the next batch starts where it
// leads; the bytes read beyond it are not used. A read that fails, or a
// file that ends, before a block of the chain is complete ends the stream
// with that failure (UnexpectedEof at the end of the file); nothing is read
// again. Borrows the chain; one thread.
class ChainStream {
 public:
  // Batches of at most `batch_bytes` (>= 1) of payload; the buffer is no
  // larger than the item.
  static constexpr std::size_t kDefaultBatchBytes = std::size_t{256} << 10;
  ChainStream(const BlockChain& chain, std::uint32_t offset,
              std::uint32_t size,
              std::size_t batch_bytes = kDefaultBatchBytes);

  // The next piece of the item, valid until the next call; empty once the
  // whole item has been handed out. After a failure the stream is done.
  std::expected<std::span<const std::byte>, DatError> next();

  // Bytes of the item not yet handed out.
  std::uint64_t missing() const { return missing_; }

 private:
  // Up to kMaxBlocks blocks a batch: a pointer and a payload part each.
  static constexpr std::size_t kMaxBlocks = 512;

  std::expected<std::span<const std::byte>, DatError> next_blocks();
  std::expected<std::span<const std::byte>, DatError> next_of_last_block();
  std::expected<std::span<const std::byte>, DatError> fail(DatError error);
  std::uint64_t take_rest_of_batch(std::size_t last, std::uint64_t handed,
                                   std::uint64_t filled);

  const BlockChain& chain_;
  std::uint32_t first_offset_;
  std::size_t batch_bytes_;
  std::uint64_t missing_;
  std::uint64_t current_;  // the next block of the chain
  // Set once a block with pointer 0 has been met: the rest of the item
  // lies from this file position on, in one piece.
  std::optional<std::uint64_t> last_block_rest_;
  std::size_t batch_ = 0;  // payload bytes a batch reads at most
  // The batch's payloads, with room for 4 bytes more per block.
  std::vector<std::byte> buffer_;
  std::vector<std::array<std::byte, 4>> pointers_;
};

// Corruption: an item of `size` bytes at `offset` larger than the whole
// archive of `file_length` bytes.
DatError item_too_large(std::uint32_t offset, std::uint64_t size,
                        std::uint64_t file_length);

}  // namespace ostrand_dat

#endif  // OSTRAND_DAT_SRC_BLOCK_CHAIN_H_
