// The archive's compression as the writer produces it: a greedy encoder
// over the 4,095-byte window that decompress_lrs reads back.
#include <algorithm>
#include <cassert>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <span>
#include <vector>

#include "lrs_decoder.h"
#include "ostrand_dat/writer.h"

namespace ostrand_dat {

// Greedy: at each position take the longest match (up to 17 bytes, up to
// 4095 back) found through a chain of earlier positions with the same
// 3-byte hash, else a literal.
std::vector<std::byte> compress_lrs(std::span<const std::byte> input) {
  assert(input.size() <= std::numeric_limits<std::uint32_t>::max());
  constexpr std::size_t kHashBits = 15;
  constexpr std::size_t kChainDepth = 48;
  constexpr std::uint32_t kNone = std::numeric_limits<std::uint32_t>::max();

  const std::size_t n = input.size();
  std::vector<std::byte> out;
  out.reserve(4 + n + n / 8 + 1);
  const auto size = static_cast<std::uint32_t>(n);
  for (int shift = 0; shift < 32; shift += 8) {
    out.push_back(static_cast<std::byte>(size >> shift));
  }

  std::vector<std::uint32_t> head(std::size_t{1} << kHashBits, kNone);
  std::vector<std::uint32_t> previous(n, kNone);
  auto hash_at = [&](std::size_t pos) {
    std::uint32_t v = std::to_integer<std::uint32_t>(input[pos]) |
                      std::to_integer<std::uint32_t>(input[pos + 1]) << 8 |
                      std::to_integer<std::uint32_t>(input[pos + 2]) << 16;
    return (v * 2654435761u) >> (32 - kHashBits);
  };
  auto insert = [&](std::size_t pos) {
    if (pos + 3 > n) return;
    auto h = hash_at(pos);
    previous[pos] = head[h];
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
           ++depth, candidate = previous[candidate]) {
        const std::size_t distance = pos - candidate;
        if (distance > lrs::kMaxDistance) break;
        std::size_t length = 0;
        while (length < longest && input[candidate + length] == input[pos + length]) {
          ++length;
        }
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
