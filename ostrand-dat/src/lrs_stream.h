// Decoding a compressed payload that arrives in pieces, so that a stored
// file can be read and decoded without holding all of it: the same output
// as decompress_lrs on the whole payload, in bounded memory.
#ifndef OSTRAND_DAT_SRC_LRS_STREAM_H_
#define OSTRAND_DAT_SRC_LRS_STREAM_H_

#include <cstddef>
#include <algorithm>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>

#include "coding.h"
#include "lrs_decoder.h"

namespace ostrand_dat {

// Decodes one compressed payload (a u32 declared size, then the token
// stream) handed over in consecutive pieces of any size, down to single
// bytes: the size prefix and any token may be split between pieces. The
// decoded bytes come out in order, about a chunk at a time (at most
// kMaxDistance + chunk bytes, the first); concatenated, they equal
// decompress_lrs of the whole payload, however it is cut, and those of the
// payload's first bytes are the start of those of the whole.
//
// Two ways to drive it: pulling, with decode() and take(), for a reader
// that hands bytes on at its caller's pace; or pushing, with feed() and
// finish(), which hand the decoded bytes to a sink (a callable
// bool(std::span<const std::byte>), false to stop) in spans valid only
// during the call. When pushing, a payload of fewer than 4 stored bytes is
// handed to the sink as it arrives, unchanged; the pull side takes payloads
// of 4 bytes or more only.
//
// Memory: one buffer of at most kMaxDistance + chunk bytes, allocated
// once, when the size prefix is complete, and no larger than the declared
// size or what the stored bytes can produce; nothing per piece. It holds
// the last kMaxDistance decoded bytes (the most a reference reaches back)
// and the decoded bytes not yet handed out.
//
// Decoding ends on its own at the declared size, at a zero distance, at a
// reference while nothing is decoded yet, and when all stored_size bytes
// have arrived; ended() then says that the caller may stop reading stored
// bytes, and everything decoded has been handed out. A sink that returns
// false stops decoding at once: nothing more is decoded or handed out.
//
// Owns its buffer; move-only. One decoder serves one payload, on one
// thread at a time.
class LrsStreamDecoder {
 public:
  // The decoded bytes gathered before they go to the sink, by default; a
  // chunk is never smaller than kMinChunk.
  static constexpr std::size_t kChunk = std::size_t{128} << 10;
  static constexpr std::size_t kMinChunk = 256;
  static_assert(kMinChunk >= lrs::kFastRoom);

  enum class Status {
    kNeedsInput,  // decoding goes on with the next stored bytes
    kEnded,       // decoding has ended; everything decoded was handed out
    kStopped,     // the sink asked to stop
  };

  // `stored_size`: the payload's whole length, size prefix included.
  // `chunk`: see kChunk; smaller chunks serve tests, which then see the
  // window slide often.
  explicit LrsStreamDecoder(std::uint64_t stored_size,
                            std::size_t chunk = kChunk);

  // Decodes stored bytes from the front of `input`, those that follow the
  // bytes of earlier calls, and drops what it used from `input`. Returns
  // true when decoded bytes are ready to take(): a chunk, or the last ones
  // once decoding has ended (then `input` is emptied); false when it has
  // used all of `input` and wants more, or has ended with nothing left to
  // take. take() what is ready before calling again. Bytes past
  // stored_size are ignored.
  bool decode(std::span<const std::byte>& input);
  // The decoded bytes not taken yet; valid until the next decode().
  std::span<const std::byte> take();
  // Ends decoding where the stored bytes given so far end, for a caller
  // that has no more of them (a short read); what was decoded can then be
  // taken. Not needed once all stored_size bytes have been given.
  void end_input() {
    if (status_ == Status::kNeedsInput) status_ = Status::kEnded;
  }

  // Decodes `piece` and hands what is decoded to `sink` whenever a chunk
  // is ready, at the end of decoding and when the last stored byte has
  // arrived. Pieces after decoding ended or stopped are ignored.
  template <class Sink>
  Status feed(std::span<const std::byte> piece, Sink&& sink) {
    if (status_ != Status::kNeedsInput) return status_;
    if (stored_size_ < 4) return pass_through(piece, sink);
    while (decode(piece)) {
      const auto bytes = take();
      if (!bytes.empty() && !sink(bytes)) return status_ = Status::kStopped;
    }
    return status_;
  }

  // end_input(), then hands out what is pending.
  template <class Sink>
  Status finish(Sink&& sink) {
    if (status_ != Status::kNeedsInput) return status_;
    end_input();
    const auto bytes = take();
    if (!bytes.empty() && !sink(bytes)) status_ = Status::kStopped;
    return status_;
  }

  Status status() const { return status_; }
  bool ended() const { return status_ != Status::kNeedsInput; }
  // The output size the payload's first 4 bytes declare, once they have
  // arrived; nullopt before, and for a payload of fewer than 4 bytes.
  std::optional<std::uint32_t> declared_size() const {
    if (stored_size_ < 4 || fed_ < 4) return std::nullopt;
    return load_u32(prefix_);
  }
  // The most bytes the payload can decode to, once its size prefix has
  // arrived: the declared size, bounded by what its tokens can produce.
  std::optional<std::uint64_t> output_limit() const {
    if (stored_size_ < 4 || fed_ < 4) return std::nullopt;
    return limit_;
  }

 private:
  template <class Sink>
  Status pass_through(std::span<const std::byte> piece, Sink& sink) {
    // Too short to hold a size prefix: the stored bytes are the contents.
    piece = piece.first(static_cast<std::size_t>(
        std::min<std::uint64_t>(piece.size(), stored_size_ - fed_)));
    fed_ += piece.size();
    if (!piece.empty() && !sink(piece)) return status_ = Status::kStopped;
    if (fed_ == stored_size_) status_ = Status::kEnded;
    return status_;
  }
  // Keeps the last kMaxDistance decoded bytes at the start of the buffer.
  void slide();
  void start_decoding();

  std::uint64_t stored_size_;
  std::size_t chunk_;
  std::uint64_t fed_ = 0;
  Status status_ = Status::kNeedsInput;
  // The size prefix while it arrives.
  std::byte prefix_[4] = {};
  // Output bytes still allowed: the declared size, bounded by what the
  // stored bytes can produce, less what has been decoded.
  std::uint64_t remaining_ = 0;
  std::uint64_t limit_ = 0;  // remaining_ before the first byte
  bool full_ = false;        // the buffer must slide before decoding on
  std::unique_ptr<std::byte[]> buffer_;
  std::size_t capacity_ = 0;
  // Decoded bytes in [buffer_, op_); [pending_, op_) not handed out yet.
  std::byte* op_ = nullptr;
  std::byte* pending_ = nullptr;
  lrs::TokenState state_;
};

}  // namespace ostrand_dat

#endif  // OSTRAND_DAT_SRC_LRS_STREAM_H_
