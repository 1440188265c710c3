#include "lrs_stream.h"

#include <algorithm>
#include <cassert>
#include <cstring>

namespace ostrand_dat {

LrsStreamDecoder::LrsStreamDecoder(std::uint64_t stored_size, std::size_t chunk)
    : stored_size_(stored_size), chunk_(std::max(chunk, kMinChunk)) {
  if (stored_size_ == 0) status_ = Status::kEnded;
}

LrsStreamDecoder::Status LrsStreamDecoder::feed(
    std::span<const std::byte> piece, ByteSink sink) {
  if (status_ != Status::kNeedsInput) return status_;
  piece = piece.first(static_cast<std::size_t>(
      std::min<std::uint64_t>(piece.size(), stored_size_ - fed_)));
  if (stored_size_ < 4) {
    // Too short to hold a size prefix: the stored bytes are the contents.
    fed_ += piece.size();
    if (!piece.empty() && !sink(piece)) return status_ = Status::kStopped;
    if (fed_ == stored_size_) status_ = Status::kEnded;
    return status_;
  }
  for (; fed_ < 4 && !piece.empty(); piece = piece.subspan(1)) {
    prefix_[fed_++] = piece.front();
    if (fed_ == 4) start_decoding();
  }
  if (fed_ < 4 || status_ != Status::kNeedsInput) return status_;
  fed_ += piece.size();

  std::byte* const buffer_end = buffer_.get() + capacity_;
  lrs::Ranges ranges{.in = piece.data(),
                     .in_end = piece.data() + piece.size(),
                     .history = buffer_.get(),
                     .op = op_,
                     .op_end = nullptr,
                     .room_is_final = false};
  // Each round decodes into the room left in the buffer, up to the allowed
  // output; a round that runs short of room hands the decoded bytes out
  // and slides the window down, so the next round has room again. Every
  // round but the last uses up room or input, so the loop ends.
  for (;;) {
    const auto room = static_cast<std::size_t>(buffer_end - op_);
    ranges.room_is_final = remaining_ <= room;
    ranges.op_end = op_ + (ranges.room_is_final ? remaining_ : room);
    const auto outcome = lrs::decode(ranges, state_);
    remaining_ -= static_cast<std::size_t>(ranges.op - op_);
    op_ = ranges.op;
    if (outcome == lrs::Outcome::kEnded) {
      end(sink);
      return status_;
    }
    if (outcome == lrs::Outcome::kNeedInput) break;
    if (!hand_out(sink)) return status_ = Status::kStopped;
    slide();
    ranges.op = op_;
  }
  if (fed_ == stored_size_) end(sink);
  return status_;
}

LrsStreamDecoder::Status LrsStreamDecoder::finish(ByteSink sink) {
  if (status_ == Status::kNeedsInput) end(sink);
  return status_;
}

void LrsStreamDecoder::start_decoding() {
  const std::uint64_t declared = load_u32(prefix_);
  // A 2-byte token yields at most kMaxMatch bytes. More tokens than a u32
  // size can use are not counted, so that the product cannot overflow.
  const std::uint64_t tokens =
      std::min<std::uint64_t>((stored_size_ - 4) / 2, std::uint64_t{1} << 32);
  remaining_ = std::min(declared, tokens * lrs::kMaxMatch + 1);
  if (remaining_ == 0) {
    status_ = Status::kEnded;
    return;
  }
  // The window and a chunk, or less when the output cannot fill them; then
  // the room is final from the start and the window never slides.
  capacity_ = static_cast<std::size_t>(
      std::min<std::uint64_t>(remaining_, lrs::kMaxDistance + chunk_));
  // Initialised: the fast path reads a little past the decoded bytes.
  buffer_ = std::make_unique<std::byte[]>(capacity_);
  op_ = buffer_.get();
  pending_ = op_;
}

bool LrsStreamDecoder::hand_out(ByteSink& sink) {
  const std::span<const std::byte> bytes(pending_, op_);
  pending_ = op_;
  return bytes.empty() || sink(bytes);
}

void LrsStreamDecoder::slide() {
  // Room runs short only in a buffer of full size, once it holds more than
  // the window.
  assert(op_ - buffer_.get() >= static_cast<std::ptrdiff_t>(lrs::kMaxDistance));
  std::memmove(buffer_.get(), op_ - lrs::kMaxDistance, lrs::kMaxDistance);
  op_ = buffer_.get() + lrs::kMaxDistance;
  pending_ = op_;
}

void LrsStreamDecoder::end(ByteSink& sink) {
  status_ = hand_out(sink) ? Status::kEnded : Status::kStopped;
}

}  // namespace ostrand_dat
