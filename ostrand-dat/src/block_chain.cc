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

namespace {

// The blocks after block `last` of a batch were read as if the chain went
// on there, but block `last` has pointer 0: the item's rest runs on in one
// piece from the end of its payload, which is where those blocks lie. Of
// that rest, the bytes the batch read (`read` bytes from the batch's first
// block on, pointers in `pointers`, payloads one after the other in
// `payloads`) are put in file order from payload (last + 1) on; returns how
// many, at most `rest`.
std::uint64_t rest_from_batch(
    std::byte* payloads, std::span<const std::array<std::byte, 4>> pointers,
    std::size_t last, std::uint64_t block_size, std::uint64_t read,
    std::uint64_t rest) {
  const std::uint64_t payload = block_size - 4;
  const std::uint64_t rest_begins = (last + 1) * block_size;
  if (read <= rest_begins) return 0;
  const std::uint64_t taken = std::min(read - rest_begins, rest);
  std::byte* const to = payloads + (last + 1) * payload;
  // Segment k (block last + 1 + k) moves right by 4 * (k + 1) bytes; from
  // the last segment back, so that no payload is overwritten before it has
  // moved.
  const std::size_t segments =
      static_cast<std::size_t>((taken + block_size - 1) / block_size);
  for (std::size_t k = segments; k-- > 0;) {
    const std::uint64_t at = k * block_size;
    const std::uint64_t used = std::min(block_size, taken - at);
    if (used > 4) {
      std::memmove(to + at + 4, to + k * payload,
                   static_cast<std::size_t>(used - 4));
    }
    std::memcpy(to + at, pointers[last + 1 + k].data(),
                static_cast<std::size_t>(std::min<std::uint64_t>(used, 4)));
  }
  return taken;
}

}  // namespace

platform::ReadResult ReadAhead::read(
    const File& file, std::uint64_t file_length, std::uint64_t offset,
    std::span<const std::span<std::byte>> parts, bool chain_start) {
  std::uint64_t total = 0;
  for (const auto& part : parts) total += part.size();
  platform::ReadResult result;
  std::size_t part = 0, in_part = 0;
  // The next `n` bytes of the parts, from `from`.
  auto put = [&](const std::byte* from, std::uint64_t n) {
    while (n != 0) {
      const std::span<std::byte> to = parts[part];
      const auto take =
          static_cast<std::size_t>(std::min<std::uint64_t>(n, to.size() - in_part));
      std::memcpy(to.data() + in_part, from, take);
      from += take;
      n -= take;
      in_part += take;
      result.filled += take;
      if (in_part == to.size()) ++part, in_part = 0;
    }
  };
  while (result.filled < total) {
    const std::uint64_t at = offset + result.filled;
    const std::uint64_t wanted = total - result.filled;
    Range* held = nullptr;
    for (Range& range : ranges_) {
      if (range.size != 0 && range.start <= at && at < range.end()) {
        held = &range;
      }
    }
    Fetched fetched;
    if (held == nullptr) {
      fetched = fetch(file, file_length, at, wanted, chain_start);
      held = fetched.range;
    }
    held->used = ++clock_;
    const std::uint64_t n = std::min(wanted, held->end() - at);
    if (n != 0) put(held->bytes.get() + (at - held->start), n);
    if (fetched.short_read) {
      result.failure = std::move(fetched.failure);
      break;
    }
  }
  return result;
}

ReadAhead::Fetched ReadAhead::fetch(const File& file,
                                    std::uint64_t file_length,
                                    std::uint64_t offset, std::uint64_t wanted,
                                    bool chain_start) {
  bool goes_on = false;  // from where a start's range ends, or just after
  std::uint64_t next_held = UINT64_MAX;
  for (const Range& range : ranges_) {
    if (range.size != 0 && range.start > offset) {
      next_held = std::min(next_held, range.start);
    }
  }
  Range* victim = &ranges_[kStarts];
  if (chain_start) {
    victim = &ranges_[0];
    for (std::size_t i = 0; i < kStarts; ++i) {
      const Range& range = ranges_[i];
      if (range.size != 0) {
        goes_on |= offset >= range.end() && offset - range.end() < gap_;
      }
      if (range.used < victim->used) victim = &ranges_[i];
    }
  }
  // Up to the next held byte: those are not read again.
  std::uint64_t length = std::min(wanted, next_held - offset);
  if (goes_on && file_length > offset) {
    length = std::max<std::uint64_t>(
        length, std::min({std::uint64_t{kWindow}, file_length - offset,
                          next_held - offset}));
  }
  Range& range = *victim;
  range.size = 0;
  if (range.capacity < length) {
    // Room for a window at once, kept: a buffer made anew for each read
    // would cost fresh pages, zeroed by the system, every time.
    const auto capacity =
        static_cast<std::size_t>(std::max<std::uint64_t>(length, kWindow));
    range.bytes.reset();
    range.bytes = std::make_unique_for_overwrite<std::byte[]>(capacity);
    range.capacity = capacity;
  }
  range.start = offset;
  const platform::ReadResult got = platform::read_fully(
      file, offset, {range.bytes.get(), static_cast<std::size_t>(length)}, {});
  range.size = got.filled;
  // A failure past the bytes wanted is never seen: they are read again
  // when a read wants them.
  return {&range, got.filled < std::min(wanted, length), got.failure};
}

// Reads in batches: one vectored read takes the blocks that would follow
// if the chain lay front to back, as writers lay it out, their pointers
// into `pointers` and their payloads straight into their final place. The
// pointers are checked afterwards, block by block, in chain order; a
// pointer that leads elsewhere ends the batch there, the bytes read beyond
// it go unused, and the chain goes on one block per read until a block
// leads to the one right after it again. So a chain in consecutive blocks
// costs one read per batch, a scattered one a read per block.
//
// A batch's bytes stand for the reads of one block at a time: a block that
// the batch did not bring whole fails with the failure that stopped the
// read (UnexpectedEof at the end of the file), and a failure beyond the
// blocks the chain uses is never seen. Nothing is read again.
//
// Invariant: the bytes of `out` before `filled` are in place and `current`
// is the chain's next block. Every non-final block adds at least one byte
// (block_size > 4), so the loop ends after at most size / (block_size - 4)
// blocks, rounded up, even on a chain that points back into itself.
std::expected<void, DatError> BlockChain::gather(
    std::uint32_t offset, std::span<std::byte> out,
    std::uint64_t& byte_budget, ReadAhead* ahead,
    const std::function<void(std::uint64_t, std::uint32_t)>* observer) const {
  if (out.size() > file_length_) {
    return std::unexpected(item_too_large(offset, out.size(), file_length_));
  }
  const std::uint64_t block_size = block_size_;
  const std::uint64_t payload_per_block = block_size > 4 ? block_size - 4 : 0;
  std::array<std::array<std::byte, 4>, kBatchBlocks> pointers;
  std::array<std::span<std::byte>, 2 * kBatchBlocks> parts;
  std::uint64_t budget = byte_budget;
  std::byte* filled = out.data();
  std::uint64_t missing = out.size();
  std::uint64_t current = offset;  // 64 bits: current + 4 never wraps
  bool in_order = true;  // the chain so far led to the very next block
  while (missing != 0) {
    std::size_t blocks =
        in_order && payload_per_block != 0
            ? static_cast<std::size_t>(std::min<std::uint64_t>(
                  (missing + payload_per_block - 1) / payload_per_block,
                  kBatchBlocks))
            : 1;
    // Blocks that lie past the file's end are left out, so that a read
    // does not go on to find the end; the first block is always read.
    const std::uint64_t in_file =
        file_length_ > current ? file_length_ - current : 0;
    while (blocks > 1 &&
           (blocks - 1) * block_size + 4 +
                   std::min(payload_per_block,
                            missing - (blocks - 1) * payload_per_block) >
               in_file) {
      --blocks;
    }
    std::uint64_t planned = 0;
    for (std::size_t i = 0; i < blocks; ++i) {
      const std::uint64_t piece =
          std::min(missing - planned, payload_per_block);
      parts[2 * i] = pointers[i];
      parts[2 * i + 1] = {filled + planned, static_cast<std::size_t>(piece)};
      planned += piece;
    }
    const std::uint64_t asked = (blocks - 1) * block_size + 4 +
                                (planned - (blocks - 1) * payload_per_block);
    const auto batch = std::span(parts).first(2 * blocks);
    const platform::ReadResult got =
        ahead != nullptr
            ? ahead->read(file_, file_length_, current, batch, current == offset)
            : platform::read_fully(file_, current, batch);
    auto failed = [&got] {
      return std::unexpected(got.failure ? DatError(*got.failure)
                                         : DatError(IoError::unexpected_eof()));
    };
    for (std::size_t i = 0;; ++i) {
      const std::uint64_t piece = std::min(missing, payload_per_block);
      if (got.filled < i * block_size + 4 + piece) return failed();
      const std::uint32_t next = load_u32(pointers[i].data());
      if (next == 0 && missing > piece) {
        // The last block holds whatever is still missing, in one piece;
        // what the batch read past this block is the start of it.
        const std::uint64_t rest = missing - piece;
        const std::uint64_t taken =
            payload_per_block == 0
                ? 0
                : rest_from_batch(filled - i * payload_per_block,
                                  std::span(pointers).first(blocks), i,
                                  block_size, got.filled, rest);
        if (taken < rest) {
          if (got.filled < asked) return failed();
          auto read = platform::read_exact(
              file_, current + 4 + piece + taken,
              {filled + piece + taken, static_cast<std::size_t>(rest - taken)},
              {});
          if (!read) return std::unexpected(DatError(std::move(read.error())));
        }
      }
      if (observer != nullptr) (*observer)(current, next);
      // In a well-formed file every block has room of its own: a block the
      // chain goes on from its whole block_size, the block where the item
      // ends at least its pointer and the item's last bytes. The room is
      // charged after the reads, so that a file cut short still fails with
      // the short read.
      const bool item_ends_here = next == 0 || piece == missing;
      const std::uint64_t room =
          item_ends_here ? 4 + (next == 0 ? missing : piece) : block_size;
      if (budget < room) {
        return std::unexpected(corruption(
            "directory walk would read more than its budget of a few times "
            "the archive's length; stopped at the node at offset " +
                hex(offset),
            CorruptionReason::WalkBudgetExceeded));
      }
      budget -= room;
      if (item_ends_here) {
        missing = 0;
        break;
      }
      if (payload_per_block == 0) {
        return std::unexpected(no_room(block_size_, current));
      }
      filled += piece;
      missing -= piece;
      in_order = next == current + block_size;
      current = next;
      if (!in_order || i + 1 == blocks) break;
    }
  }
  byte_budget = budget;
  return {};
}

ChainStream::ChainStream(const BlockChain& chain, std::uint32_t offset,
                         std::uint32_t size, std::size_t batch_bytes,
                         BlockObserver observer)
    : chain_(chain),
      first_offset_(offset),
      batch_bytes_(std::max<std::size_t>(batch_bytes, 1)),
      observer_(std::move(observer)),
      missing_(size),
      current_(offset) {}

std::expected<std::size_t, DatError> ChainStream::fail_after(
    std::size_t handed, DatError error) {
  if (handed != 0) {
    failure_ = std::move(error);
    return handed;
  }
  missing_ = 0;
  block_left_ = 0;
  return std::unexpected(std::move(error));
}

std::expected<std::span<const std::byte>, DatError> ChainStream::next() {
  if (buffer_.empty() && !failure_ && missing_ <= chain_.file_length()) {
    buffer_.resize(static_cast<std::size_t>(
        std::min<std::uint64_t>(missing_, batch_bytes_)));
  }
  auto read = this->read(buffer_);
  if (!read) return std::unexpected(std::move(read.error()));
  return std::span<const std::byte>(buffer_.data(), *read);
}

std::expected<std::size_t, DatError> ChainStream::read(
    std::span<std::byte> out) {
  if (failure_) {
    DatError error = std::move(*failure_);
    failure_.reset();
    return fail_after(0, std::move(error));
  }
  if (!started_) {
    started_ = true;
    // As gather(): an item larger than the file is refused before anything
    // is read.
    if (missing_ > chain_.file_length()) {
      return fail_after(0, item_too_large(first_offset_, missing_,
                                          chain_.file_length()));
    }
  }
  if (missing_ == 0 || out.empty()) return 0;
  out = out.first(
      static_cast<std::size_t>(std::min<std::uint64_t>(out.size(), missing_)));
  if (block_left_ != 0) return read_in_block(out);
  if (chain_.block_size() <= 4) {
    auto entered = read_tiny_block();
    if (!entered) return std::unexpected(std::move(entered.error()));
    return read_in_block(out);
  }
  return read_blocks(out);
}

namespace {

DatError failure_of(const platform::ReadResult& got) {
  return got.failure ? DatError(*got.failure)
                     : DatError(IoError::unexpected_eof());
}

}  // namespace

// The next part of the block being read in pieces, straight into `out`.
std::expected<std::size_t, DatError> ChainStream::read_in_block(
    std::span<std::byte> out) {
  const auto wanted =
      static_cast<std::size_t>(std::min<std::uint64_t>(block_left_, out.size()));
  const platform::ReadResult got =
      platform::read_fully(chain_.file(), position_, out.first(wanted), {});
  position_ += got.filled;
  block_left_ -= got.filled;
  missing_ -= got.filled;
  if (got.filled < wanted) return fail_after(got.filled, failure_of(got));
  if (block_left_ == 0) current_ = block_next_;
  return wanted;
}

// A block without room for payload: its pointer alone decides, as in
// gather(). Pointer 0: the item lies from its offset 4 on, in one piece.
std::expected<std::size_t, DatError> ChainStream::read_tiny_block() {
  std::array<std::byte, 4> pointer;
  auto read = platform::read_exact(chain_.file(), current_, pointer, {});
  if (!read) return fail_after(0, DatError(std::move(read.error())));
  if (observer_) observer_(current_, load_u32(pointer.data()));
  if (load_u32(pointer.data()) != 0) {
    return fail_after(
        0, no_room(chain_.block_size(), current_));
  }
  block_left_ = missing_;
  position_ = current_ + 4;
  block_next_ = 0;
  return 0;
}

// One batch: the block at current_ and up to run_ - 1 blocks after it in
// the file, each pointer into pointers_ and each payload piece into `out`
// after the one before. Invariant of the walk: the blocks before block i
// were the chain's, their payloads `handed` bytes of the item, in place.
// Every block adds at least one byte (block_size > 4), so a stream ends
// after at most size / (block_size - 4) blocks, rounded up, even on a chain
// that points back into itself.
std::expected<std::size_t, DatError> ChainStream::read_blocks(
    std::span<std::byte> out) {
  const std::uint64_t block_size = chain_.block_size();
  const std::uint64_t payload = block_size - 4;
  std::array<std::span<std::byte>, 2 * kMaxBlocks> parts;
  std::size_t blocks = 0;
  for (std::size_t planned = 0; blocks < run_ && planned < out.size();
       ++blocks) {
    const auto piece = static_cast<std::size_t>(
        std::min<std::uint64_t>(payload, out.size() - planned));
    parts[2 * blocks] = pointers_[blocks];
    parts[2 * blocks + 1] = out.subspan(planned, piece);
    planned += piece;
  }
  const platform::ReadResult got = platform::read_fully(
      chain_.file(), current_, std::span(parts).first(2 * blocks));

  std::size_t handed = 0;
  std::uint64_t block = current_;
  for (std::size_t i = 0;; ++i) {
    const std::uint64_t at = i * block_size;  // block i's place in the read
    if (got.filled < at + 4) {
      missing_ -= handed;
      return fail_after(handed, failure_of(got));
    }
    const std::uint32_t next = load_u32(pointers_[i].data());
    if (observer_) observer_(block, next);
    const std::size_t piece = parts[2 * i + 1].size();
    const auto arrived = static_cast<std::size_t>(
        std::min<std::uint64_t>(piece, got.filled - at - 4));
    // What this block holds of the item: all that is missing when its
    // pointer is 0, else at most a block's payload.
    const std::uint64_t left = missing_ - handed;
    const std::uint64_t in_block = next == 0 ? left : std::min(payload, left);
    handed += arrived;
    if (arrived < piece) {
      missing_ -= handed;
      return fail_after(handed, failure_of(got));
    }
    if (piece < in_block) {
      // `out` is full before the block ends: the rest of it comes next.
      block_left_ = in_block - piece;
      position_ = block + 4 + piece;
      block_next_ = next;
      break;
    }
    if (in_block == left) break;  // the item ends in this block
    const bool forward = next == block + block_size;
    if (forward && i + 1 < blocks) {
      block = next;
      continue;
    }
    current_ = next;
    if (!forward) {
      run_ = 1;
    } else if (blocks == run_) {
      run_ = std::min(2 * run_, kMaxBlocks);
    }
    break;
  }
  missing_ -= handed;
  return handed;
}

}  // namespace ostrand_dat
