#include "block_chain.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <string>
#include <utility>

#include "coding.h"
#include "hex.h"
#include "platform/file.h"

namespace ostrand_dat {
namespace {

DatError corruption(std::string text, CorruptionReason reason) {
  return DatError(DatError::Corruption{std::move(text), reason});
}

DatError no_room(std::uint32_t block_size, std::uint64_t block) {
  return corruption("block size " + std::to_string(block_size) +
                        " leaves no room for payload in the chained block at "
                        "offset " +
                        hex(block),
                    CorruptionReason::BlockSizeNoRoom);
}

}  // namespace

DatError item_too_large(std::uint32_t offset, std::uint64_t size,
                        std::uint64_t file_length) {
  return corruption("item of " + std::to_string(size) + " bytes at offset " +
                    hex(offset) + " is larger than the archive (" +
                    std::to_string(file_length) + " bytes)",
                    CorruptionReason::ItemLargerThanFile);
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
              hex(offset),
          CorruptionReason::WalkBudgetExceeded));
    }
    budget -= room;
    if (next == 0) break;
    if (payload_per_block == 0) {
      return std::unexpected(no_room(block_size_, current));
    }
    filled += piece.size();
    missing -= piece.size();
    current = next;
  }
  byte_budget = budget;
  return {};
}

ChainStream::ChainStream(const BlockChain& chain, std::uint32_t offset,
                         std::uint32_t size, std::size_t batch_bytes)
    : chain_(chain),
      first_offset_(offset),
      batch_bytes_(std::max<std::size_t>(batch_bytes, 1)),
      missing_(size),
      current_(offset) {}

std::expected<std::span<const std::byte>, DatError> ChainStream::fail(
    DatError error) {
  missing_ = 0;
  last_block_rest_.reset();
  return std::unexpected(std::move(error));
}

std::expected<std::span<const std::byte>, DatError> ChainStream::next() {
  if (missing_ == 0) return std::span<const std::byte>();
  if (buffer_.empty()) {
    // First call. As gather(): an item larger than the file is refused
    // before anything is read or allocated.
    if (missing_ > chain_.file_length()) {
      return fail(item_too_large(first_offset_, missing_, chain_.file_length()));
    }
    const std::uint64_t payload =
        chain_.block_size() > 4 ? chain_.block_size() - 4 : 1;
    // A batch holds at least one block's payload, and no more than the
    // item; the buffer has room beside it for the pointer slots of its
    // blocks (see next_blocks).
    batch_ = static_cast<std::size_t>(
        std::min(missing_, std::max<std::uint64_t>(batch_bytes_, payload)));
    pointers_.resize(static_cast<std::size_t>(std::min<std::uint64_t>(
        kMaxBlocks, (missing_ + payload - 1) / payload)));
    buffer_.resize(batch_ + 4 * pointers_.size());
  }
  if (last_block_rest_) return next_of_last_block();
  return next_blocks();
}

std::expected<std::span<const std::byte>, DatError>
ChainStream::next_of_last_block() {
  const auto n =
      static_cast<std::size_t>(std::min<std::uint64_t>(missing_, batch_));
  const std::span<std::byte> piece(buffer_.data(), n);
  auto read = platform::read_exact(chain_.file(), *last_block_rest_, piece, {});
  if (!read) return fail(DatError(std::move(read.error())));
  *last_block_rest_ += n;
  missing_ -= n;
  return piece;
}

// The blocks after block `last` that a batch read were read as if the chain
// went on there, but block `last` has pointer 0: the item's rest runs on in
// one piece from the end of its payload, which is where those blocks lie.
// Their pointer slots and payloads, `filled` bytes of the batch in all, are
// put in file order after the `handed` bytes of the item, so that the bytes
// already read are not read again; returns how many were added.
std::uint64_t ChainStream::take_rest_of_batch(std::size_t last,
                                              std::uint64_t handed,
                                              std::uint64_t filled) {
  const std::uint64_t block_size = chain_.block_size();
  const std::uint64_t payload = block_size - 4;
  const std::uint64_t rest_begins = (last + 1) * block_size;  // in the batch
  if (filled <= rest_begins) return 0;
  const std::uint64_t rest = std::min(filled - rest_begins, missing_ - handed);
  // Segment j (block j of the batch) moves right by 4 * (j - last) bytes;
  // from the last segment back, so that no payload is overwritten before
  // it has moved.
  const std::size_t segments =
      static_cast<std::size_t>((rest + block_size - 1) / block_size);
  for (std::size_t k = segments; k-- > 0;) {
    const std::size_t j = last + 1 + k;
    const std::uint64_t at = k * block_size;  // where it starts in the rest
    const std::uint64_t used = std::min(block_size, rest - at);
    std::byte* to = buffer_.data() + handed + at;
    if (used > 4) {
      std::memmove(to + 4, buffer_.data() + j * payload,
                   static_cast<std::size_t>(used - 4));
    }
    std::memcpy(to, pointers_[j].data(),
                static_cast<std::size_t>(std::min<std::uint64_t>(used, 4)));
  }
  return rest;
}

// Invariant: the bytes handed out so far are the item's first bytes, and
// current_ is the chain's next block. Every block of a batch adds at least
// one byte of the item (block_size > 4), so a batch ends after at most
// kMaxBlocks blocks and the stream after size / (block_size - 4) blocks,
// rounded up, even on a chain that points back into itself.
std::expected<std::span<const std::byte>, DatError> ChainStream::next_blocks() {
  const platform::Reader reader(chain_.file());
  const std::uint64_t block_size = chain_.block_size();
  if (block_size <= 4) {
    // A block without room for payload: its pointer alone decides, as in
    // gather().
    std::array<std::byte, 4> pointer;
    auto read = reader.read_exact(current_, pointer, {});
    if (!read) return fail(DatError(std::move(read.error())));
    if (load_u32(pointer.data()) == 0) {
      last_block_rest_ = current_ + 4;
      return next_of_last_block();
    }
    return fail(no_room(chain_.block_size(), current_));
  }
  const std::uint64_t payload = block_size - 4;
  const std::size_t blocks = static_cast<std::size_t>(std::min<std::uint64_t>(
      {(missing_ + payload - 1) / payload,
       std::max<std::uint64_t>(batch_ / payload, 1), pointers_.size()}));
  std::array<std::span<std::byte>, 2 * kMaxBlocks> parts;
  std::uint64_t planned = 0;
  for (std::size_t i = 0; i < blocks; ++i) {
    const std::uint64_t piece = std::min(payload, missing_ - planned);
    parts[2 * i] = pointers_[i];
    parts[2 * i + 1] = {buffer_.data() + planned, static_cast<std::size_t>(piece)};
    planned += piece;
  }
  const platform::ReadResult got = platform::read_fully(
      chain_.file(), current_, std::span(parts).first(2 * blocks));

  std::uint64_t handed = 0;
  std::uint64_t block = current_;
  for (std::size_t i = 0;; ++i) {
    const std::uint64_t piece = std::min(payload, missing_ - handed);
    if (got.filled < i * block_size + 4 + piece) {
      // A block of the chain that the read did not bring whole: the read
      // failed there, or the file ends there.
      return fail(got.failure ? DatError(*got.failure)
                              : DatError(IoError::unexpected_eof()));
    }
    const std::uint32_t next = load_u32(pointers_[i].data());
    handed += piece;
    if (handed == missing_) break;  // the item ends in this block
    if (next == 0) {
      // The last block holds whatever is still missing, in one piece, from
      // its payload's end on; what the batch read past this block is the
      // start of that piece, and is used rather than read again.
      const std::uint64_t taken = take_rest_of_batch(i, handed, got.filled);
      handed += taken;
      last_block_rest_ = block + 4 + piece + taken;
      break;
    }
    if (i + 1 == blocks || next != block + block_size) {
      current_ = next;
      break;
    }
    block = next;
  }
  missing_ -= handed;
  return std::span<const std::byte>(buffer_.data(), handed);
}

}  // namespace ostrand_dat
