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
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "ostrand_dat/error.h"
#include "ostrand_dat/file.h"
#include "platform/file.h"

namespace ostrand_dat {

// Bytes read ahead for a walk over many small chains that lie near each
// other, as the directory's nodes do: a writer lays them out one after the
// other. A read of a chain's first blocks that goes on where an earlier
// such read ended, or less than `gap` bytes after it (the unused rest of a
// chain's last block), reads a window of kWindow bytes; any other read only
// what it asks for, so that chains scattered over the file cost no more
// than reading them plainly. kStarts ranges read at chains' starts are held,
// the least recently used given up first, and one range read elsewhere in
// a chain, so that a chain's scattered blocks do not push the windows out.
// A read stops where a held range begins: while a range is held, none of
// its bytes is read again. One thread.
class ReadAhead {
 public:
  static constexpr std::size_t kWindow = std::size_t{256} << 10;
  static constexpr std::size_t kStarts = 4;

  explicit ReadAhead(std::uint64_t gap) : gap_(gap) {}

  // Fills `parts` with the file's bytes from `offset` on, as read_fully
  // does: what is in place, and the failure of the read that stopped short
  // of the parts' end, if one did. A failure past what the parts take is
  // never seen. `chain_start`: the bytes begin a chain.
  platform::ReadResult read(const File& file, std::uint64_t file_length,
                            std::uint64_t offset,
                            std::span<const std::span<std::byte>> parts,
                            bool chain_start);

 private:
  struct Range {
    std::uint64_t start = 0;
    std::size_t size = 0;  // bytes held, from start on
    std::size_t capacity = 0;
    std::unique_ptr<std::byte[]> bytes;
    std::uint64_t used = 0;  // when last read from, by clock_
    std::uint64_t end() const { return start + size; }
  };
  struct Fetched {
    Range* range = nullptr;
    bool short_read = false;  // the file ended, or the read failed
    std::optional<IoError> failure;
  };
  // Reads the file from `offset` on into a range given up for it: `wanted`
  // bytes, or up to the next held range, or a window.
  Fetched fetch(const File& file, std::uint64_t file_length,
                std::uint64_t offset, std::uint64_t wanted, bool chain_start);

  std::uint64_t gap_;
  // kStarts ranges read at chains' starts, then the one read elsewhere.
  std::array<Range, kStarts + 1> ranges_;
  std::uint64_t clock_ = 0;
};

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
  // With `ahead`, those reads go through it; `observer`, if given, is told
  // each block whose bytes are in place, as a stream tells it.
  std::expected<void, DatError> gather(
      std::uint32_t offset, std::span<std::byte> out,
      std::uint64_t& byte_budget, ReadAhead* ahead = nullptr,
      const std::function<void(std::uint64_t, std::uint32_t)>* observer =
          nullptr) const;

  static constexpr std::size_t kBatchBlocks = 32;

 private:
  const File& file_;
  std::uint32_t block_size_;
  std::uint64_t file_length_;
};

// Told the file offset of each block of a chain that a stream takes bytes
// from, and the block's next-block pointer, once per visit, in chain order,
// before those bytes are handed out. A chain that loops is told the looped
// blocks again. A block whose pointer cannot be read is not told; the
// stream's failure follows.
using BlockObserver =
    std::function<void(std::uint64_t block_offset, std::uint32_t next)>;

// An item read through its chain piece by piece, in bounded memory: the
// bytes gather() would fill, in the same order, with the same failures.
//
// Reading is speculative: a batch is one vectored read of the block the
// chain is at and of the blocks that follow it in the file, as writers lay
// a chain out, their pointers into a small array and their payloads one
// after the other into place. A pointer that leads elsewhere ends the batch
// there; the bytes read beyond it are not used. The next batch is twice as
// many blocks when the whole batch ran forward and one block when it did
// not, so that a chain in any order costs at most one read per block, as
// the plain block-by-block read does, and at most about twice its bytes,
// while a forward chain is read in few large reads.
//
// A block whose payload is larger than the room given (a huge block size,
// or the rest of an item after a block whose pointer is 0) is read in
// pieces. Every byte of the item that lies in the file before a failure is
// handed out before the failure is reported: a read that fails part way
// returns the bytes before it, and the next call returns the failure (Io,
// UnexpectedEof at the end of the file). Nothing is read again, and after a
// failure the stream is done. Borrows the chain; one thread.
class ChainStream {
 public:
  // The most payload bytes next() hands out at once.
  static constexpr std::size_t kDefaultBatchBytes = std::size_t{256} << 10;
  // Up to kMaxBlocks blocks a batch: a pointer and a payload part each.
  static constexpr std::size_t kMaxBlocks = 512;

  // Pieces of next() of at most `batch_bytes` (>= 1); its buffer is no
  // larger than that or the item. `observer`, if given, is told each block.
  ChainStream(const BlockChain& chain, std::uint32_t offset,
              std::uint32_t size,
              std::size_t batch_bytes = kDefaultBatchBytes,
              BlockObserver observer = {});

  // The next bytes of the item, at most out.size(), read straight into
  // `out`: how many, 0 once the whole item has been handed out (or `out`
  // is empty).
  std::expected<std::size_t, DatError> read(std::span<std::byte> out);

  // The next piece of the item in the stream's own buffer, valid until the
  // next call; empty once the whole item has been handed out.
  std::expected<std::span<const std::byte>, DatError> next();

  // Bytes of the item not yet handed out.
  std::uint64_t missing() const { return missing_; }

 private:
  std::expected<std::size_t, DatError> read_blocks(std::span<std::byte> out);
  std::expected<std::size_t, DatError> read_in_block(std::span<std::byte> out);
  std::expected<std::size_t, DatError> read_tiny_block();
  // The end of a read that brought `handed` bytes and then met `error`.
  std::expected<std::size_t, DatError> fail_after(std::size_t handed,
                                                  DatError error);

  const BlockChain& chain_;
  std::uint32_t first_offset_;
  std::size_t batch_bytes_;
  BlockObserver observer_;
  bool started_ = false;
  std::uint64_t missing_;
  std::uint64_t current_;  // the chain's next block, when block_left_ is 0
  // Inside a block read in pieces: the payload bytes of it still to hand
  // out, the file position of the first of them, and the block's pointer.
  std::uint64_t block_left_ = 0;
  std::uint64_t position_ = 0;
  std::uint32_t block_next_ = 0;
  std::size_t run_ = 1;  // blocks the next batch reads at most
  std::optional<DatError> failure_;  // to report on the next call
  std::vector<std::byte> buffer_;    // next()'s pieces
  std::array<std::array<std::byte, 4>, kMaxBlocks> pointers_;
};

// Corruption: an item of `size` bytes at `offset` larger than the whole
// archive of `file_length` bytes.
DatError item_too_large(std::uint32_t offset, std::uint64_t size,
                        std::uint64_t file_length);

}  // namespace ostrand_dat

#endif  // OSTRAND_DAT_SRC_BLOCK_CHAIN_H_
