// The archive's compression as the writer produces it: a greedy encoder
// over the 4,095-byte window that decompress_lrs reads back, fed in pieces,
// on one thread or on several.
#include <algorithm>
#include <array>
#include <bit>
#include <cassert>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <exception>
#include <limits>
#include <span>
#include <thread>
#include <utility>
#include <vector>

#include "lrs_decoder.h"
#include "ostrand_dat/writer.h"

namespace ostrand_dat {
namespace {

constexpr std::size_t kHashBits = 15;
constexpr std::size_t kChainDepth = 48;
constexpr std::uint32_t kNone = std::numeric_limits<std::uint32_t>::max();
// The chains' links: previous[i % kRing] is the position before i with i's
// hash. A slot is taken over only by the position kRing later, and by then
// i lies beyond the window: the walk stops at the first candidate out of
// the window, before following its link. So the links take 16 KiB whatever
// the input's size, and stay in the cache.
constexpr std::size_t kRing = 4096;
static_assert(kRing > lrs::kMaxDistance);
// The input bytes held: the window behind the position and what has come
// after it. Sliding moves positions by a multiple of kRing, so a position's
// ring slot stays the same.
constexpr std::size_t kHeld = 64 * kRing;
// Bytes after a position that its step reads: a match of up to kMaxMatch,
// and the hash of the last position it covers.
constexpr std::size_t kLookahead = lrs::kMaxMatch + 2;

// How many of the first `longest` bytes at `a` and `b` agree, eight at a
// time while eight remain.
std::size_t match_length(const std::byte* a, const std::byte* b,
                         std::size_t longest) {
  std::size_t length = 0;
  for (; length + 8 <= longest; length += 8) {
    std::uint64_t x, y;
    std::memcpy(&x, a + length, 8);
    std::memcpy(&y, b + length, 8);
    if (x != y) {
      const std::uint64_t differ = x ^ y;
      return length + static_cast<std::size_t>(
                          (std::endian::native == std::endian::little
                               ? std::countr_zero(differ)
                               : std::countl_zero(differ)) /
                          8);
    }
  }
  while (length < longest && a[length] == b[length]) ++length;
  return length;
}

}  // namespace

LrsEncoder::LrsEncoder(std::uint32_t size)
    : size_(size),
      head_(std::size_t{1} << kHashBits, kNone),
      previous_(kRing, kNone),
      held_(std::min<std::size_t>(kHeld, size)) {
  for (int shift = 0; shift < 32; shift += 8) {
    out_.push_back(static_cast<std::byte>(size >> shift));
  }
}

bool LrsEncoder::add(std::span<const std::byte> piece) {
  if (piece.size() > size_ - received_) return false;
  while (!piece.empty()) {
    if (filled_ == held_.size()) slide();
    const std::size_t take = std::min(piece.size(), held_.size() - filled_);
    std::memcpy(held_.data() + filled_, piece.data(), take);
    filled_ += take;
    received_ += take;
    piece = piece.subspan(take);
    encode();
  }
  return true;
}

std::span<const std::byte> LrsEncoder::output() const {
  // An open control byte still gets bits, until the input ends.
  if (bit_ != 0 && !done()) return std::span(out_).first(control_at_);
  return out_;
}

void LrsEncoder::clear_output() {
  const std::size_t taken = output().size();
  out_.erase(out_.begin(), out_.begin() + static_cast<std::ptrdiff_t>(taken));
  control_at_ -= std::min(control_at_, taken);
}

// Drops the held bytes that lie out of the window, a multiple of kRing of
// them, and moves every position back by as much.
void LrsEncoder::slide() {
  assert(pos_ > lrs::kMaxDistance + kRing);
  const std::size_t shift = (pos_ - lrs::kMaxDistance) / kRing * kRing;
  std::memmove(held_.data(), held_.data() + shift, filled_ - shift);
  filled_ -= shift;
  pos_ -= shift;
  base_ += shift;
  // A link to a dropped position lies out of the window, where the walk
  // stops anyway.
  const auto moved = [shift](std::uint32_t& at) {
    at = at == kNone || at < shift ? kNone
                                   : at - static_cast<std::uint32_t>(shift);
  };
  std::for_each(head_.begin(), head_.end(), moved);
  std::for_each(previous_.begin(), previous_.end(), moved);
}

namespace {

std::uint32_t hash_at(const std::byte* data, std::size_t pos) {
  const std::uint32_t v = std::to_integer<std::uint32_t>(data[pos]) |
                          std::to_integer<std::uint32_t>(data[pos + 1]) << 8 |
                          std::to_integer<std::uint32_t>(data[pos + 2]) << 16;
  return (v * 2654435761u) >> (32 - kHashBits);
}

// The bytes greedy() may write for `count` positions: a literal each, a
// control byte per eight, and a match begun at the last one.
std::size_t worst_output(std::size_t count) { return count + count / 8 + 4; }

// Where a parse stands: the next position to encode, and the output so far.
struct Parse {
  std::size_t pos;
  std::size_t size;        // of the output
  std::size_t control_at;  // in the output, the control byte getting bits
  unsigned bit;            // its next bit; 0: none open
};

// Adds `pos` to the chains, unless its hash would read past `end`.
inline void insert(const std::byte* data, std::size_t pos, std::size_t end,
                   std::uint32_t* head, std::uint32_t* previous) {
  if (pos + 3 > end) return;
  const std::uint32_t h = hash_at(data, pos);
  previous[pos % kRing] = head[h];
  head[h] = static_cast<std::uint32_t>(pos);
}

// Greedy: at each position take the longest match (up to 17 bytes, up to
// 4095 back) found through a chain of earlier positions with the same
// 3-byte hash, else a literal. The first of the longest candidates wins.
// Encodes data's positions from parse.pos while they are before `stop`;
// the input ends at `end` (stop <= end; a step reads up to kLookahead
// bytes ahead, or to `end`). `out` has room for worst_output(stop -
// parse.pos) bytes after parse.size.
void greedy(const std::byte* data, std::size_t stop, std::size_t end,
            std::uint32_t* head, std::uint32_t* previous, std::byte* out,
            Parse& parse) {
  std::size_t pos = parse.pos;
  std::size_t size = parse.size;
  std::size_t control_at = parse.control_at;
  unsigned bit = parse.bit;
  while (pos < stop) {
    if (bit == 0) {
      control_at = size;
      out[size++] = std::byte{0};
      bit = 0x80;
    }
    std::size_t best_length = 0;
    std::size_t best_distance = 0;
    const std::size_t longest = std::min(lrs::kMaxMatch, end - pos);
    if (longest >= 3) {
      std::uint32_t candidate = head[hash_at(data, pos)];
      for (std::size_t depth = 0; candidate != kNone && depth < kChainDepth;
           ++depth, candidate = previous[candidate % kRing]) {
        const std::size_t distance = pos - candidate;
        if (distance > lrs::kMaxDistance) break;
        // Only a candidate that agrees at best_length can be longer.
        if (data[candidate + best_length] != data[pos + best_length]) continue;
        const std::size_t length =
            match_length(data + candidate, data + pos, longest);
        if (length > best_length) {
          best_length = length;
          best_distance = distance;
          if (length == longest) break;
        }
      }
    }
    if (best_length >= 3) {
      out[control_at] |= static_cast<std::byte>(bit);
      out[size++] = static_cast<std::byte>(best_distance & 0xFF);
      out[size++] = static_cast<std::byte>((best_distance >> 8) << 4 |
                                           (best_length - lrs::kMinMatch));
      for (std::size_t i = 0; i < best_length; ++i) {
        insert(data, pos + i, end, head, previous);
      }
      pos += best_length;
    } else {
      out[size++] = data[pos];
      insert(data, pos, end, head, previous);
      ++pos;
    }
    bit >>= 1;
  }
  parse = {pos, size, control_at, bit};
}

// Appends a parse's output, whose tokens begin a group of their own, to
// `out`, whose last group (at control_at, next bit `bit`) may be open. Each
// of the parse's groups then fills the open group and begins the next, so
// its control byte is split in two and the output is never longer.
void append_tokens(std::vector<std::byte>& out, std::size_t& control_at,
                   unsigned& bit, const std::byte* tokens, const Parse& parse) {
  const std::size_t at = out.size();
  if (bit == 0) {
    out.insert(out.end(), tokens, tokens + parse.size);
    control_at = at + parse.control_at;
    bit = parse.bit;
    return;
  }
  out.resize(at + parse.size);
  std::byte* const o = out.data();
  std::size_t w = at;
  auto used = static_cast<unsigned>(8 - std::bit_width(bit));  // 1 to 7
  // Invariant: the open group at control_at holds `used` tokens; every
  // group of the parse but its last holds 8, so `used` stays until then.
  for (std::size_t r = 0; r < parse.size;) {
    const unsigned control = std::to_integer<unsigned>(tokens[r]);
    const unsigned count =
        r == parse.control_at && parse.bit != 0
            ? static_cast<unsigned>(8 - std::bit_width(parse.bit))
            : 8;
    ++r;
    const unsigned room = 8 - used;
    const unsigned first = std::min(count, room);
    o[control_at] |= static_cast<std::byte>(control >> used);
    const std::size_t first_bytes =
        first + static_cast<std::size_t>(std::popcount(control >> (8 - first)));
    std::memcpy(o + w, tokens + r, first_bytes);
    w += first_bytes;
    r += first_bytes;
    if (count > room) {
      const unsigned rest = count - room;
      const unsigned moved = (control << room) & 0xFF;
      control_at = w;
      o[w++] = static_cast<std::byte>(moved);
      const std::size_t rest_bytes =
          rest + static_cast<std::size_t>(std::popcount(moved));
      std::memcpy(o + w, tokens + r, rest_bytes);
      w += rest_bytes;
      r += rest_bytes;
      used = rest;
    } else {
      used += count;
    }
    bit = used == 8 ? 0 : 0x80u >> used;
  }
  out.resize(w);
}

}  // namespace

// Encodes from pos_ up to where the held bytes allow, through greedy().
// Positions count from held_[0]; `end` is the input's end among them.
void LrsEncoder::encode() {
  const std::size_t end = static_cast<std::size_t>(size_ - base_);
  // Every step before `stop` has all the bytes it reads: the input's last
  // bytes wait for what follows them, or for the end.
  const std::size_t stop =
      received_ == size_ ? end
                         : (filled_ > kLookahead ? filled_ - kLookahead : 0);
  if (stop <= pos_) return;
  const std::size_t at = out_.size();
  out_.resize(at + worst_output(stop - pos_));
  Parse parse{pos_, at, control_at_, bit_};
  greedy(held_.data(), stop, end, head_.data(), previous_.data(), out_.data(),
         parse);
  out_.resize(parse.size);
  pos_ = parse.pos;
  control_at_ = parse.control_at;
  bit_ = parse.bit;
}

std::vector<std::byte> compress_lrs(std::span<const std::byte> input) {
  assert(input.size() <= std::numeric_limits<std::uint32_t>::max());
  LrsEncoder encoder(static_cast<std::uint32_t>(input.size()));
  const std::size_t n = input.size();
  encoder.out_.reserve(4 + worst_output(n) + 64);
  encoder.add(input);
  return std::move(encoder.out_);
}

namespace {

// The history a segment is parsed after: the window's reach.
constexpr std::size_t kHistory = kRing;
constexpr std::size_t kMaxThreads = 8;

}  // namespace

// A segment's input, its history first, and its own chains and output.
struct ParallelLrsEncoder::Segment {
  std::vector<std::byte> input;
  std::size_t history = 0;  // bytes of input before the segment's
  std::size_t filled = 0;   // bytes of input
  std::vector<std::uint32_t> head;
  std::vector<std::uint32_t> previous;
  std::vector<std::byte> out;
  Parse parse{};

  // Parses the segment as if the input ended with it, its history only
  // inserted into the chains. Allocates nothing, so it cannot throw.
  void encode() noexcept {
    std::fill(head.begin(), head.end(), kNone);
    for (std::size_t pos = 0; pos < history; ++pos) {
      insert(input.data(), pos, filled, head.data(), previous.data());
    }
    parse = {history, 0, 0, 0};
    greedy(input.data(), filled, filled, head.data(), previous.data(),
           out.data(), parse);
  }
};

ParallelLrsEncoder::ParallelLrsEncoder(std::uint32_t size, unsigned threads,
                                       std::size_t segment_bytes)
    : size_(size), segment_(std::max<std::size_t>(segment_bytes, 1)) {
  if (threads == 0) threads = std::max(1u, std::thread::hardware_concurrency());
  const std::size_t needed =
      std::max<std::size_t>(1, (size + segment_ - 1) / segment_);
  const std::size_t count =
      std::min({std::size_t{threads}, kMaxThreads, needed});
  const std::size_t longest = std::min<std::size_t>(segment_, size);
  segments_.resize(count);
  for (Segment& segment : segments_) {
    segment.input.resize(std::min<std::size_t>(kHistory + segment_, size));
    segment.head.resize(std::size_t{1} << kHashBits);
    segment.previous.resize(kRing, kNone);
    segment.out.resize(worst_output(longest));
  }
  out_.reserve(4 + count * worst_output(longest));
  for (int shift = 0; shift < 32; shift += 8) {
    out_.push_back(static_cast<std::byte>(size >> shift));
  }
}

ParallelLrsEncoder::~ParallelLrsEncoder() = default;

bool ParallelLrsEncoder::add(std::span<const std::byte> piece) {
  if (piece.size() > size_ - received_) return false;
  while (!piece.empty()) {
    Segment& segment = segments_[filling_];
    const std::size_t full = segment.history + segment_;
    const std::size_t take = std::min(piece.size(), full - segment.filled);
    std::memcpy(segment.input.data() + segment.filled, piece.data(), take);
    segment.filled += take;
    received_ += take;
    piece = piece.subspan(take);
    if (segment.filled == full && !done()) {
      if (filling_ + 1 < segments_.size()) {
        start_segment(filling_ + 1);
      } else {
        encode_segments();
        start_segment(0);
      }
    }
  }
  if (done() && !encoded_all_) {
    encoded_all_ = true;
    encode_segments();
  }
  return true;
}

// The segment at `index` takes input next, after the last kHistory bytes
// of the one filled so far (which may be itself) as its history.
void ParallelLrsEncoder::start_segment(std::size_t index) {
  const Segment& from = segments_[filling_];
  Segment& to = segments_[index];
  const std::size_t tail = std::min(kHistory, from.filled);
  std::memmove(to.input.data(), from.input.data() + from.filled - tail, tail);
  to.history = tail;
  to.filled = tail;
  filling_ = index;
}

// Parses segments 0 to filling_, one per thread, this one's included, and
// appends their tokens in order.
void ParallelLrsEncoder::encode_segments() {
  const std::size_t count = filling_ + 1;
  std::array<std::thread, kMaxThreads> helpers;
  for (std::size_t i = 1; i < count; ++i) {
    try {
      helpers[i] = std::thread(&Segment::encode, &segments_[i]);
    } catch (const std::exception&) {
      // A helper that cannot start leaves its segment to this thread.
    }
  }
  segments_[0].encode();
  for (std::size_t i = 1; i < count; ++i) {
    if (helpers[i].joinable()) {
      helpers[i].join();
    } else {
      segments_[i].encode();
    }
  }
  for (std::size_t i = 0; i < count; ++i) {
    append_tokens(out_, control_at_, bit_, segments_[i].out.data(),
                  segments_[i].parse);
  }
}

std::span<const std::byte> ParallelLrsEncoder::output() const {
  if (bit_ != 0 && !done()) return std::span(out_).first(control_at_);
  return out_;
}

void ParallelLrsEncoder::clear_output() {
  const std::size_t taken = output().size();
  out_.erase(out_.begin(), out_.begin() + static_cast<std::ptrdiff_t>(taken));
  control_at_ -= std::min(control_at_, taken);
}

}  // namespace ostrand_dat
