#include "lrs_stream.h"

#include <algorithm>
#include <cassert>
#include <cstring>

namespace ostrand_dat {

LrsStreamDecoder::LrsStreamDecoder(std::uint64_t stored_size, std::size_t chunk)
    : stored_size_(stored_size), chunk_(std::max(chunk, kMinChunk)) {
  if (stored_size_ == 0) status_ = Status::kEnded;
}

// One round: decodes into the room left in the buffer, up to the allowed
// output. A round that runs short of room stops with the decoded bytes
// ready; the next call slides the window down first, so it has room again.
bool LrsStreamDecoder::decode(std::span<const std::byte>& input) {
  assert(stored_size_ >= 4);
  if (status_ != Status::kNeedsInput) {
    input = {};
    return pending_ != op_;
  }
  input = input.first(static_cast<std::size_t>(
      std::min<std::uint64_t>(input.size(), stored_size_ - fed_)));
  while (fed_ < 4 && !input.empty()) {
    prefix_[fed_++] = input.front();
    input = input.subspan(1);
    if (fed_ == 4) start_decoding();
  }
  if (fed_ < 4 || status_ != Status::kNeedsInput) {
    input = {};
    return false;
  }
  if (full_) {
    assert(pending_ == op_);
    slide();
    full_ = false;
  }
  const auto room = static_cast<std::size_t>(buffer_.get() + capacity_ - op_);
  lrs::Ranges ranges{.in = input.data(),
                     .in_end = input.data() + input.size(),
                     .history = buffer_.get(),
                     .op = op_,
                     .op_end = nullptr,
                     .room_is_final = remaining_ <= room};
  ranges.op_end = op_ + (ranges.room_is_final ? remaining_ : room);
  const auto outcome = lrs::decode(ranges, state_);
  remaining_ -= static_cast<std::size_t>(ranges.op - op_);
  op_ = ranges.op;
  const auto used = static_cast<std::size_t>(ranges.in - input.data());
  fed_ += used;
  input = input.subspan(used);
  switch (outcome) {
    case lrs::Outcome::kNeedRoom:
      full_ = true;
      return true;
    case lrs::Outcome::kNeedInput:
      if (fed_ != stored_size_) return false;
      break;
    case lrs::Outcome::kEnded:
      break;
  }
  status_ = Status::kEnded;
  input = {};
  return pending_ != op_;
}

std::span<const std::byte> LrsStreamDecoder::take() {
  const std::span<const std::byte> bytes(pending_, op_);
  pending_ = op_;
  return bytes;
}

void LrsStreamDecoder::start_decoding() {
  const std::uint64_t declared = load_u32(prefix_);
  // A 2-byte token yields at most kMaxMatch bytes. More tokens than a u32
  // size can use are not counted, so that the product cannot overflow.
  const std::uint64_t tokens =
      std::min<std::uint64_t>((stored_size_ - 4) / 2, std::uint64_t{1} << 32);
  remaining_ = std::min(declared, tokens * lrs::kMaxMatch + 1);
  limit_ = remaining_;
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

void LrsStreamDecoder::slide() {
  // Room runs short only in a buffer of full size, once it holds more than
  // the window.
  assert(op_ - buffer_.get() >= static_cast<std::ptrdiff_t>(lrs::kMaxDistance));
  std::memmove(buffer_.get(), op_ - lrs::kMaxDistance, lrs::kMaxDistance);
  op_ = buffer_.get() + lrs::kMaxDistance;
  pending_ = op_;
}

}  // namespace ostrand_dat
