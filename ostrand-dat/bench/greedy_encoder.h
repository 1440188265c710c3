// A plain greedy encoder of the archive's compression, as someone outside
// this project might write one: at each position the longest match within
// the 4095-byte window, found through a hash chain of limited depth, else a
// literal. Its streams are not this project's: other matches, 2-byte ones
// among them. Only for measuring the decoder on streams it was not tuned
// on, and as test input; the library and `pack` never use it.
#ifndef OSTRAND_DAT_BENCH_GREEDY_ENCODER_H_
#define OSTRAND_DAT_BENCH_GREEDY_ENCODER_H_

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <span>
#include <vector>

namespace ostrand_dat::bench {

struct GreedyOptions {
  // Matches shorter than this (2 or 3) are written as literals. With 2 the
  // chains link positions by their first two bytes, with 3 by a 15-bit
  // hash of their first three.
  std::size_t min_match = 2;
  std::size_t chain_depth = 16;  // candidates looked at per position
};

// The whole stream: the u32 size prefix, then the groups.
inline std::vector<std::byte> greedy_compress(std::span<const std::byte> input,
                                              GreedyOptions options = {}) {
  constexpr std::size_t kMaxMatch = 17;
  constexpr std::size_t kWindow = 4095;
  constexpr std::uint32_t kNone = std::numeric_limits<std::uint32_t>::max();
  const std::size_t n = input.size();
  const std::size_t key_bytes = options.min_match <= 2 ? 2 : 3;
  auto byte_at = [&input](std::size_t i) {
    return std::to_integer<std::uint32_t>(input[i]);
  };
  auto key_at = [&](std::size_t i) -> std::uint32_t {
    if (key_bytes == 2) return byte_at(i) | byte_at(i + 1) << 8;
    const std::uint32_t v = byte_at(i) | byte_at(i + 1) << 8 | byte_at(i + 2) << 16;
    return (v * 2654435761u) >> 17;
  };
  // The chains: head[key] is the latest position with that key, and
  // previous[i % kRing] the one before position i. A slot is reused only
  // by a position kRing later, when i has left the window: the walk stops
  // at the first candidate outside it, before following its link.
  constexpr std::size_t kRing = 4096;
  static_assert(kRing > kWindow);
  std::vector<std::uint32_t> head(std::size_t{1} << 16, kNone);
  std::vector<std::uint32_t> previous(kRing, kNone);
  auto insert = [&](std::size_t i) {
    if (i + key_bytes > n) return;
    const std::uint32_t key = key_at(i);
    previous[i % kRing] = head[key];
    head[key] = static_cast<std::uint32_t>(i);
  };

  std::vector<std::byte> out;
  out.reserve(4 + n + n / 8 + 1);
  for (int shift = 0; shift < 32; shift += 8) {
    out.push_back(static_cast<std::byte>(n >> shift));
  }
  std::size_t control_at = 0;
  unsigned bit = 0;
  // Invariant: input[0, pos) is encoded and every position before pos that
  // has key_bytes bytes from it is on its chain.
  for (std::size_t pos = 0; pos < n;) {
    if (bit == 0) {
      control_at = out.size();
      out.push_back(std::byte{0});
      bit = 0x80;
    }
    const std::size_t longest = std::min(kMaxMatch, n - pos);
    std::size_t best_length = 0;
    std::size_t best_distance = 0;
    if (longest >= key_bytes) {
      std::uint32_t candidate = head[key_at(pos)];
      for (std::size_t depth = 0;
           candidate != kNone && depth < options.chain_depth &&
           pos - candidate <= kWindow && best_length < longest;
           ++depth, candidate = previous[candidate % kRing]) {
        std::size_t length = 0;
        while (length < longest && input[candidate + length] == input[pos + length]) {
          ++length;
        }
        if (length > best_length) {
          best_length = length;
          best_distance = pos - candidate;
        }
      }
    }
    if (best_length >= options.min_match) {
      out[control_at] |= static_cast<std::byte>(bit);
      out.push_back(static_cast<std::byte>(best_distance & 0xFF));
      out.push_back(static_cast<std::byte>((best_distance >> 8) << 4 |
                                           (best_length - 2)));
      for (std::size_t i = 0; i < best_length; ++i) insert(pos + i);
      pos += best_length;
    } else {
      out.push_back(input[pos]);
      insert(pos);
      ++pos;
    }
    bit >>= 1;
  }
  return out;
}

}  // namespace ostrand_dat::bench

#endif  // OSTRAND_DAT_BENCH_GREEDY_ENCODER_H_
