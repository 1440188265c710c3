#include "block_chain.h"

#include <algorithm>
#include <array>
#include <string>
#include <utility>

#include "coding.h"
#include "hex.h"
#include "platform/file.h"

namespace ostrand_dat {
namespace {

DatError corruption(std::string text) {
  return DatError(DatError::Corruption{std::move(text)});
}

}  // namespace

DatError item_too_large(std::uint32_t offset, std::uint64_t size,
                        std::uint64_t file_length) {
  return corruption("item of " + std::to_string(size) + " bytes at offset " +
                    hex(offset) + " is larger than the archive (" +
                    std::to_string(file_length) + " bytes)");
}

// One vectored read per block: the next-block pointer into a local and the
// payload straight into its final place. Invariant: the bytes of `out`
// before `filled` are in place; every non-final block adds at least one
// byte (block_size > 4), so the loop ends after at most
// size / (block_size - 4) blocks, rounded up, even on a chain that points
// back into itself.
std::expected<void, DatError> BlockChain::gather(
    std::uint32_t offset, std::span<std::byte> out,
    std::uint64_t& byte_budget) const {
  if (out.size() > file_length_) {
    return std::unexpected(item_too_large(offset, out.size(), file_length_));
  }
  const std::uint64_t block_size = block_size_;
  const std::uint64_t payload_per_block = block_size > 4 ? block_size - 4 : 0;
  // Kept in locals through the loop, which runs once per block.
  const platform::Reader reader(file_);
  std::uint64_t budget = byte_budget;
  std::byte* filled = out.data();
  std::uint64_t missing = out.size();
  std::uint64_t current = offset;  // 64 bits: current + 4 never wraps
  while (missing != 0) {
    std::array<std::byte, 4> pointer;
    const std::span<std::byte> piece(filled,
                                     std::min(missing, payload_per_block));
    platform::Reader::FirstRead first;
    if (!reader.try_read_exact(current, pointer, piece, first)) [[unlikely]] {
      auto read = reader.finish(current, pointer, piece, first);
      if (!read) return std::unexpected(DatError(std::move(read.error())));
    }
    const std::uint32_t next = load_u32(pointer.data());
    if (next == 0 && missing > piece.size()) {
      // The last block holds whatever is still missing, in one piece.
      auto rest = reader.read_exact(
          current + 4 + piece.size(),
          {filled + piece.size(), missing - piece.size()}, {});
      if (!rest) return std::unexpected(DatError(std::move(rest.error())));
    }
    // In a well-formed file every block has room of its own: a block the
    // chain goes on from its whole block_size, the block where the item
    // ends at least its pointer and the item's last bytes. The room is
    // charged after the reads, so that a file cut short still fails with
    // the short read.
    const bool item_ends_here = next == 0 || piece.size() == missing;
    const std::uint64_t room =
        item_ends_here ? 4 + (next == 0 ? missing : piece.size()) : block_size;
    if (budget < room) {
      return std::unexpected(corruption(
          "directory walk would read more than its budget of a few times "
          "the archive's length; stopped at the node at offset " +
          hex(offset)));
    }
    budget -= room;
    if (next == 0) break;
    if (payload_per_block == 0) {
      return std::unexpected(corruption(
          "block size " + std::to_string(block_size_) +
          " leaves no room for payload in the chained block at offset " +
          hex(current)));
    }
    filled += piece.size();
    missing -= piece.size();
    current = next;
  }
  byte_budget = budget;
  return {};
}

}  // namespace ostrand_dat
