// Decoding a compressed payload that arrives in pieces, so that a stored
// file can be read and decoded without holding all of it: the same output
// as decompress_lrs on the whole payload, in bounded memory.
#ifndef OSTRAND_DAT_SRC_LRS_STREAM_H_
#define OSTRAND_DAT_SRC_LRS_STREAM_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <type_traits>
#include <utility>

#include "coding.h"
#include "lrs_decoder.h"

namespace ostrand_dat {

// A reference to a caller's callable bool(std::span<const std::byte>),
// which receives decoded bytes and returns false to stop decoding. It does
// not own the callable, which must outlive the call it is passed to. Made
// implicitly from the callable, so that a lambda can be passed as it is.
class ByteSink {
 public:
  template <class F,
            class = std::enable_if_t<
                !std::is_same_v<std::remove_cvref_t<F>, ByteSink> &&
                std::is_invocable_r_v<bool, F&, std::span<const std::byte>>>>
  ByteSink(F&& f) noexcept
      : object_(const_cast<void*>(static_cast<const void*>(std::addressof(f)))),
        call_([](void* object, std::span<const std::byte> bytes) -> bool {
          return (*static_cast<std::remove_reference_t<F>*>(object))(bytes);
        }) {}

  bool operator()(std::span<const std::byte> bytes) const {
    return call_(object_, bytes);
  }

 private:
  void* object_;
  bool (*call_)(void*, std::span<const std::byte>);
};

// Decodes one compressed payload (a u32 declared size, then the token
// stream) handed over in consecutive pieces of any size, down to single
// bytes: the size prefix and any token may be split between pieces. The
// decoded bytes go to a sink, in order, in spans valid only during the
// call, about a chunk each (at most kMaxDistance + chunk bytes, the first);
// concatenated, they equal decompress_lrs of the whole payload, however it
// is cut. A payload of fewer than 4 stored bytes is handed to the sink as
// it arrives, unchanged.
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

  // Decodes `piece`, the stored bytes that follow those of earlier calls,
  // and hands what is decoded to `sink` whenever a chunk is ready, at
  // the end of decoding and when the last stored byte has arrived. Bytes
  // past stored_size, and pieces after decoding ended or stopped, are
  // ignored.
  Status feed(std::span<const std::byte> piece, ByteSink sink);

  // Ends decoding where the stored bytes given so far end, for a caller
  // that has no more of them (a short read), and hands out what is
  // pending. Not needed once all stored_size bytes have been fed.
  Status finish(ByteSink sink);

  Status status() const { return status_; }
  bool ended() const { return status_ != Status::kNeedsInput; }
  // The output size the payload's first 4 bytes declare, once they have
  // arrived; nullopt before, and for a payload of fewer than 4 bytes.
  std::optional<std::uint32_t> declared_size() const {
    if (stored_size_ < 4 || fed_ < 4) return std::nullopt;
    return load_u32(prefix_);
  }

 private:
  // Hands [pending_, op) to the sink; false if it asks to stop.
  bool hand_out(ByteSink& sink);
  // Keeps the last kMaxDistance decoded bytes at the start of the buffer.
  void slide();
  void start_decoding();
  void end(ByteSink& sink);

  std::uint64_t stored_size_;
  std::size_t chunk_;
  std::uint64_t fed_ = 0;
  Status status_ = Status::kNeedsInput;
  // The size prefix while it arrives.
  std::byte prefix_[4] = {};
  // Output bytes still allowed: the declared size, bounded by what the
  // stored bytes can produce, less what has been decoded.
  std::uint64_t remaining_ = 0;
  std::unique_ptr<std::byte[]> buffer_;
  std::size_t capacity_ = 0;
  // Decoded bytes in [buffer_, op_); [pending_, op_) not handed out yet.
  std::byte* op_ = nullptr;
  std::byte* pending_ = nullptr;
  lrs::TokenState state_;
};

}  // namespace ostrand_dat

#endif  // OSTRAND_DAT_SRC_LRS_STREAM_H_
