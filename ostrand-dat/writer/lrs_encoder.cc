// The archive's compression as the writer produces it: a greedy encoder
// over the 4,095-byte window that decompress_lrs reads back.
#include <algorithm>
#include <bit>
#include <cassert>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <span>
#include <vector>

#include "lrs_decoder.h"
#include "ostrand_dat/writer.h"

namespace ostrand_dat {
namespace {

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

// Greedy: at each position take the longest match (up to 17 bytes, up to
// 4095 back) found through a chain of earlier positions with the same
// 3-byte hash, else a literal. The first of the longest candidates wins.
std::vector<std::byte> compress_lrs(std::span<const std::byte> input) {
  assert(input.size() <= std::numeric_limits<std::uint32_t>::max());
  constexpr std::size_t kHashBits = 15;
  constexpr std::size_t kChainDepth = 48;
  constexpr std::uint32_t kNone = std::numeric_limits<std::uint32_t>::max();
  // The chains' links: previous[i % kRing] is the position before i with
  // i's hash. A slot is taken over only by the position kRing later, and
  // by then i lies beyond the window: the walk stops at the first
  // candidate out of the window, before following its link. So the links
  // take 16 KiB whatever the input's size, and stay in the cache.
  constexpr std::size_t kRing = 4096;
  static_assert(kRing > lrs::kMaxDistance);

  const std::size_t n = input.size();
  std::vector<std::byte> out;
  out.reserve(4 + n + n / 8 + 1);
  const auto size = static_cast<std::uint32_t>(n);
  for (int shift = 0; shift < 32; shift += 8) {
    out.push_back(static_cast<std::byte>(size >> shift));
  }

  std::vector<std::uint32_t> head(std::size_t{1} << kHashBits, kNone);
  std::vector<std::uint32_t> previous(kRing, kNone);
  const std::byte* const data = input.data();
  auto hash_at = [data](std::size_t pos) {
    std::uint32_t v = std::to_integer<std::uint32_t>(data[pos]) |
                      std::to_integer<std::uint32_t>(data[pos + 1]) << 8 |
                      std::to_integer<std::uint32_t>(data[pos + 2]) << 16;
    return (v * 2654435761u) >> (32 - kHashBits);
  };
  auto insert = [&](std::size_t pos) {
    if (pos + 3 > n) return;
    auto h = hash_at(pos);
    previous[pos % kRing] = head[h];
    head[h] = static_cast<std::uint32_t>(pos);
  };

  std::size_t pos = 0;
  std::size_t control_at = 0;
  unsigned bit = 0;
  while (pos < n) {
    if (bit == 0) {
      control_at = out.size();
      out.push_back(std::byte{0});
      bit = 0x80;
    }
    std::size_t best_length = 0;
    std::size_t best_distance = 0;
    const std::size_t longest = std::min(lrs::kMaxMatch, n - pos);
    if (longest >= 3) {
      std::uint32_t candidate = head[hash_at(pos)];
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
      out.push_back(static_cast<std::byte>(best_distance & 0xFF));
      out.push_back(static_cast<std::byte>((best_distance >> 8) << 4 |
                                           (best_length - lrs::kMinMatch)));
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

}  // namespace ostrand_dat
