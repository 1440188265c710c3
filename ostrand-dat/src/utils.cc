#include "ostrand_dat/utils.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cassert>
#include <cstddef>
#include <cstring>
#include <limits>

#include "coding.h"
#include "lrs_decoder.h"
#include "platform/file.h"

namespace ostrand_dat {

std::expected<void, IoError> read_exact_at_compat(const File& file,
                                                  std::span<std::byte> buffer,
                                                  std::uint64_t offset) {
  return read_exact_at_compat(file, buffer, {}, offset);
}

std::expected<void, IoError> read_exact_at_compat(const File& file,
                                                  std::span<std::byte> head,
                                                  std::span<std::byte> tail,
                                                  std::uint64_t offset) {
  return platform::read_exact(file, offset, head, tail);
}

// The output grows with what the stream decodes, not with what its header
// declares: room is added geometrically, each time zero-filled, from a
// modest start. The whole possible output (the declared size, bounded by
// what the input can produce, as a 2-byte token yields at most 17 bytes) is
// reserved first, so growing never moves what was decoded; a reservation
// takes address space only, and memory as the output fills it. The fast
// path reads a little past the decoded output, which is why the room is
// initialised rather than left raw.
std::vector<std::byte> decompress_lrs(std::span<const std::byte> input) {
  if (input.size() < 4) return std::vector<std::byte>(input.begin(), input.end());
  constexpr std::size_t kFirstRoom = std::size_t{64} << 10;
  const auto stream = input.subspan(4);
  const std::size_t limit = static_cast<std::size_t>(std::min<std::uint64_t>(
      load_u32(input.data()), stream.size() / 2 * lrs::kMaxMatch + 1));
  std::vector<std::byte> out;
  out.reserve(limit);
  out.resize(std::min(limit, kFirstRoom));
  lrs::Ranges ranges{.in = stream.data(),
                     .in_end = stream.data() + stream.size(),
                     .history = out.data(),
                     .op = out.data(),
                     .op_end = out.data() + out.size(),
                     .room_is_final = out.size() == limit};
  lrs::TokenState state;
  // A round ends when the input is used up, when decoding ends, or when the
  // room runs short; only then is room added, doubled up to `limit`, where
  // it is final and no round asks for more. So the loop ends.
  while (lrs::decode(ranges, state) == lrs::Outcome::kNeedRoom) {
    const auto written = static_cast<std::size_t>(ranges.op - out.data());
    out.resize(std::min(limit, 2 * out.size()));
    ranges.history = out.data();
    ranges.op = out.data() + written;
    ranges.op_end = out.data() + out.size();
    ranges.room_is_final = out.size() == limit;
  }
  out.resize(static_cast<std::size_t>(ranges.op - out.data()));
  return out;
}

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
